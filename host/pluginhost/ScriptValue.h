// A script value as page script would hand it over or get it back: void, null, a boolean, a
// 32-bit integer, a double, a string of arbitrary bytes (zero bytes included) or an object.
// Strings are owned copies; an object value is a plain pointer (the host, not the value,
// holds the references: see PluginHost).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "npapi/npruntime.h"

namespace vellum::pluginhost {

class ScriptValue {
public:
    enum class Kind { Void, Null, Bool, Int32, Double, String, Object };

    ScriptValue() = default;  // void

    static ScriptValue makeVoid() { return ScriptValue(); }
    static ScriptValue makeNull();
    static ScriptValue boolean(bool value);
    static ScriptValue int32(int32_t value);
    static ScriptValue number(double value);
    static ScriptValue string(std::string bytes);
    static ScriptValue object(NPObject* value);

    // A copy of what a variant holds; the variant is left as it is. A string whose byte
    // pointer is null while its length is not zero has no bytes to copy: `malformed` is set.
    static ScriptValue fromVariant(const NPVariant& variant, bool* malformed = nullptr);

    Kind kind() const noexcept { return kind_; }
    bool isVoid() const noexcept { return kind_ == Kind::Void; }
    bool isString() const noexcept { return kind_ == Kind::String; }

    // Each accessor answers the stored value of its kind, or a zero value for another kind.
    bool boolValue() const noexcept { return kind_ == Kind::Bool && bool_; }
    int32_t int32Value() const noexcept { return kind_ == Kind::Int32 ? int32_ : 0; }
    double doubleValue() const noexcept { return kind_ == Kind::Double ? double_ : 0.0; }
    const std::string& stringValue() const noexcept { return bytes_; }
    NPObject* objectValue() const noexcept { return kind_ == Kind::Object ? object_ : nullptr; }

    // "void", "null", "true", "int32 42", "double 1.5", "string \"a\\x00b\" (3 bytes)",
    // "object 0x...".
    std::string describe() const;

    bool operator==(const ScriptValue& other) const noexcept;
    bool operator!=(const ScriptValue& other) const noexcept { return !(*this == other); }

private:
    Kind kind_ = Kind::Void;
    bool bool_ = false;
    int32_t int32_ = 0;
    double double_ = 0.0;
    std::string bytes_;
    NPObject* object_ = nullptr;
};

const char* kindName(ScriptValue::Kind kind) noexcept;

// For test frameworks' failure messages.
std::ostream& operator<<(std::ostream& out, const ScriptValue& value);

}  // namespace vellum::pluginhost
