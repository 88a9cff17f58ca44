// The answer to one script access: the raw bool that the object's hook returned, and a copy of
// the value it left in the result variant.
#pragma once

#include <ostream>
#include <string>

#include "pluginhost/ScriptValue.h"

namespace vellum::pluginhost {

struct ScriptResult {
    bool ok = false;
    ScriptValue value;

    // "true, string \"OK\" (2 bytes)"
    std::string describe() const { return (ok ? "true, " : "false, ") + value.describe(); }
};

inline bool operator==(const ScriptResult& a, const ScriptResult& b) {
    return a.ok == b.ok && a.value == b.value;
}

inline bool operator!=(const ScriptResult& a, const ScriptResult& b) {
    return !(a == b);
}

inline std::ostream& operator<<(std::ostream& out, const ScriptResult& result) {
    return out << result.describe();
}

}  // namespace vellum::pluginhost
