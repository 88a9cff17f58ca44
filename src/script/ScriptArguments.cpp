#include "script/ScriptArguments.h"

#include "script/ScriptValues.h"

std::optional<std::string> ScriptArguments::text(uint32_t position) const {
    const NPVariant* value = at(position);
    if (value == nullptr) {
        return std::nullopt;
    }
    return textFromValue(*value);
}

std::optional<short> ScriptArguments::index(uint32_t position) const noexcept {
    const std::optional<int32_t> number = int32At(position);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<short>(*number);
}

std::optional<long> ScriptArguments::integer(uint32_t position) const noexcept {
    const std::optional<int32_t> number = int32At(position);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<long>(*number);
}

std::optional<int32_t> ScriptArguments::int32At(uint32_t position) const noexcept {
    const NPVariant* value = at(position);
    if (value == nullptr) {
        return std::nullopt;
    }
    return int32FromValue(*value);
}

const NPVariant* ScriptArguments::at(uint32_t position) const noexcept {
    return position < count() ? &args[position] : nullptr;
}
