// Script values laid out as the NPVariant array of one call. Each string's bytes sit in a
// buffer of exactly their length, with no terminator after them, so that a module reading past
// UTF8Length is caught by the sanitizers and valgrind. The host owns these bytes; the callee
// only borrows them for the call.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "npapi/npruntime.h"
#include "pluginhost/ScriptValue.h"

namespace vellum::pluginhost {

class ArgumentList {
public:
    explicit ArgumentList(const std::vector<ScriptValue>& values);
    // A property write's one value, without a list of copies first (a value can be 64 MiB).
    explicit ArgumentList(const ScriptValue& value);
    ArgumentList(const ArgumentList&) = delete;
    ArgumentList& operator=(const ArgumentList&) = delete;

    // Null for an empty list, as a browser passes it.
    const NPVariant* data() const noexcept {
        return variants_.empty() ? nullptr : variants_.data();
    }
    uint32_t count() const noexcept { return static_cast<uint32_t>(variants_.size()); }

private:
    void add(const ScriptValue& value);

    std::vector<std::unique_ptr<char[]>> bytes_;
    std::vector<NPVariant> variants_;
};

}  // namespace vellum::pluginhost
