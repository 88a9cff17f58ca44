#include "script/ScriptValues.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "shell/NPNFuncs.h"

namespace {

// Number of bytes before the first zero byte among the first `length`.
std::size_t lengthBeforeZero(const char* bytes, std::size_t length) noexcept {
    const void* zero = std::memchr(bytes, '\0', length);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes)
                           : length;
}

}  // namespace

std::optional<std::string> textFromValue(const NPVariant& value) {
    if (!NPVARIANT_IS_STRING(value)) {
        return std::nullopt;
    }
    const NPString& string = NPVARIANT_TO_STRING(value);
    // Lengths are counted in size_t: a 32-bit length of 0xFFFFFFFF plus one must not wrap.
    const std::size_t length = string.UTF8Length;
    if (string.UTF8Characters == nullptr) {
        if (length == 0) {
            return std::string();
        }
        return std::nullopt;
    }
    return std::string(string.UTF8Characters, lengthBeforeZero(string.UTF8Characters, length));
}

std::optional<int32_t> int32FromValue(const NPVariant& value) noexcept {
    if (NPVARIANT_IS_INT32(value)) {
        return NPVARIANT_TO_INT32(value);
    }
    if (NPVARIANT_IS_DOUBLE(value)) {
        const double number = NPVARIANT_TO_DOUBLE(value);
        constexpr double kLowest = std::numeric_limits<int32_t>::min();
        constexpr double kHighest = std::numeric_limits<int32_t>::max();
        // NaN fails every comparison, and the infinities fail the range.
        if (number >= kLowest && number <= kHighest && std::trunc(number) == number) {
            return static_cast<int32_t>(number);
        }
    }
    return std::nullopt;
}

bool setTextResult(const char* text, std::size_t length, NPVariant* result) noexcept {
    setVoidResult(result);
    if (result == nullptr || NPNFuncs.memalloc == nullptr) {
        return false;
    }
    // The host allocates 32-bit sizes; the text and a terminating zero must fit in one.
    if (length >= std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    const auto size = static_cast<uint32_t>(length + 1);
    auto* buffer = static_cast<char*>(NPNFuncs.memalloc(size));
    if (buffer == nullptr) {
        return false;
    }
    std::memset(buffer, 0, size);
    const std::size_t kept = lengthBeforeZero(text, length);
    std::memcpy(buffer, text, kept);
    STRINGN_TO_NPVARIANT(buffer, kept, *result);
    return true;
}

void setInt16Result(short number, NPVariant* result) noexcept {
    if (result != nullptr) {
        INT32_TO_NPVARIANT(number, *result);
    }
}

void setVoidResult(NPVariant* result) noexcept {
    if (result != nullptr) {
        VOID_TO_NPVARIANT(*result);
    }
}
