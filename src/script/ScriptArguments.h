#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "npapi/npruntime.h"

// The arguments of one method call, read by position. A missing argument, or one of the wrong
// kind, reads as nothing, and the call that needs it fails without reaching the service.
class ScriptArguments {
public:
    ScriptArguments(const NPVariant* args, uint32_t count) noexcept : args(args), argCount(count) {}

    uint32_t count() const noexcept { return args != nullptr ? argCount : 0; }

    // A string argument as text, cut at its first zero byte.
    std::optional<std::string> text(uint32_t position) const;

    // An index argument, narrowed to the service's 16-bit index.
    std::optional<short> index(uint32_t position) const noexcept;

    // An integer argument, widened with its sign to the service's long.
    std::optional<long> integer(uint32_t position) const noexcept;

private:
    const NPVariant* at(uint32_t position) const noexcept;
    std::optional<int32_t> int32At(uint32_t position) const noexcept;

    const NPVariant* args;
    uint32_t argCount;
};
