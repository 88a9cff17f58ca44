#include "pluginhost/ScriptValue.h"

#include <cstdio>
#include <ostream>
#include <utility>

namespace vellum::pluginhost {

ScriptValue ScriptValue::makeNull() {
    ScriptValue value;
    value.kind_ = Kind::Null;
    return value;
}

ScriptValue ScriptValue::boolean(bool flag) {
    ScriptValue value;
    value.kind_ = Kind::Bool;
    value.bool_ = flag;
    return value;
}

ScriptValue ScriptValue::int32(int32_t number) {
    ScriptValue value;
    value.kind_ = Kind::Int32;
    value.int32_ = number;
    return value;
}

ScriptValue ScriptValue::number(double number) {
    ScriptValue value;
    value.kind_ = Kind::Double;
    value.double_ = number;
    return value;
}

ScriptValue ScriptValue::string(std::string bytes) {
    ScriptValue value;
    value.kind_ = Kind::String;
    value.bytes_ = std::move(bytes);
    return value;
}

ScriptValue ScriptValue::object(NPObject* object) {
    ScriptValue value;
    value.kind_ = Kind::Object;
    value.object_ = object;
    return value;
}

ScriptValue ScriptValue::fromVariant(const NPVariant& variant, bool* malformed) {
    if (malformed != nullptr) {
        *malformed = false;
    }
    switch (variant.type) {
        case NPVariantType_Void:
            return makeVoid();
        case NPVariantType_Null:
            return makeNull();
        case NPVariantType_Bool:
            return boolean(variant.value.boolValue);
        case NPVariantType_Int32:
            return int32(variant.value.intValue);
        case NPVariantType_Double:
            return number(variant.value.doubleValue);
        case NPVariantType_String: {
            const NPString& text = variant.value.stringValue;
            if (text.UTF8Characters == nullptr) {
                if (malformed != nullptr && text.UTF8Length != 0) {
                    *malformed = true;
                }
                return string(std::string());
            }
            return string(std::string(text.UTF8Characters, text.UTF8Length));
        }
        case NPVariantType_Object:
            return object(variant.value.objectValue);
    }
    if (malformed != nullptr) {
        *malformed = true;
    }
    return makeVoid();
}

const char* kindName(ScriptValue::Kind kind) noexcept {
    switch (kind) {
        case ScriptValue::Kind::Void:
            return "void";
        case ScriptValue::Kind::Null:
            return "null";
        case ScriptValue::Kind::Bool:
            return "bool";
        case ScriptValue::Kind::Int32:
            return "int32";
        case ScriptValue::Kind::Double:
            return "double";
        case ScriptValue::Kind::String:
            return "string";
        case ScriptValue::Kind::Object:
            return "object";
    }
    return "?";
}

std::string ScriptValue::describe() const {
    char buffer[64];
    switch (kind_) {
        case Kind::Void:
        case Kind::Null:
            return kindName(kind_);
        case Kind::Bool:
            return bool_ ? "true" : "false";
        case Kind::Int32:
            return "int32 " + std::to_string(int32_);
        case Kind::Double:
            std::snprintf(buffer, sizeof buffer, "double %.17g", double_);
            return buffer;
        case Kind::Object:
            std::snprintf(buffer, sizeof buffer, "object %p", static_cast<void*>(object_));
            return buffer;
        case Kind::String:
            break;
    }
    std::string text = "string \"";
    for (unsigned char byte : bytes_) {
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += static_cast<char>(byte);
        } else {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
            text += buffer;
        }
    }
    text += "\" (" + std::to_string(bytes_.size()) + (bytes_.size() == 1 ? " byte)" : " bytes)");
    return text;
}

bool ScriptValue::operator==(const ScriptValue& other) const noexcept {
    if (kind_ != other.kind_) {
        return false;
    }
    switch (kind_) {
        case Kind::Void:
        case Kind::Null:
            return true;
        case Kind::Bool:
            return bool_ == other.bool_;
        case Kind::Int32:
            return int32_ == other.int32_;
        case Kind::Double:
            return double_ == other.double_;
        case Kind::String:
            return bytes_ == other.bytes_;
        case Kind::Object:
            return object_ == other.object_;
    }
    return false;
}

std::ostream& operator<<(std::ostream& out, const ScriptValue& value) {
    return out << value.describe();
}

}  // namespace vellum::pluginhost
