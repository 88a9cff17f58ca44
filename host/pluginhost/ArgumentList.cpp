#include "pluginhost/ArgumentList.h"

#include <cstring>

namespace vellum::pluginhost {

ArgumentList::ArgumentList(const std::vector<ScriptValue>& values) {
    variants_.reserve(values.size());
    for (const ScriptValue& value : values) {
        add(value);
    }
}

ArgumentList::ArgumentList(const ScriptValue& value) {
    add(value);
}

void ArgumentList::add(const ScriptValue& value) {
    {
        NPVariant variant;
        VOID_TO_NPVARIANT(variant);
        switch (value.kind()) {
            case ScriptValue::Kind::Void:
                break;
            case ScriptValue::Kind::Null:
                NULL_TO_NPVARIANT(variant);
                break;
            case ScriptValue::Kind::Bool:
                BOOLEAN_TO_NPVARIANT(value.boolValue(), variant);
                break;
            case ScriptValue::Kind::Int32:
                INT32_TO_NPVARIANT(value.int32Value(), variant);
                break;
            case ScriptValue::Kind::Double:
                DOUBLE_TO_NPVARIANT(value.doubleValue(), variant);
                break;
            case ScriptValue::Kind::String: {
                const std::string& text = value.stringValue();
                // new char[0] is a valid, distinct, zero-byte block.
                std::unique_ptr<char[]> block(new char[text.size()]);
                std::memcpy(block.get(), text.data(), text.size());
                STRINGN_TO_NPVARIANT(block.get(), text.size(), variant);
                bytes_.push_back(std::move(block));
                break;
            }
            case ScriptValue::Kind::Object:
                OBJECT_TO_NPVARIANT(value.objectValue(), variant);
                break;
        }
        variants_.push_back(variant);
    }
}

}  // namespace vellum::pluginhost
