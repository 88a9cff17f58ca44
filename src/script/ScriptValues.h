#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "npapi/npruntime.h"

// Conversions between script values and the byte strings and small integers of the service.

// The text of a string value: its bytes up to the first zero byte, or all of them. Nothing for
// a value of another kind, which never stands in for text.
std::optional<std::string> textFromValue(const NPVariant& value);

// A 32-bit integer value, or a double holding an integral number within the 32-bit range (some
// hosts hand every script number over as a double). Nothing for any other value.
std::optional<int32_t> int32FromValue(const NPVariant& value) noexcept;

// Makes `result` a string value holding `text` up to its first zero byte, in memory from the
// host's allocator that belongs to the host from then on. False, with `result` void, when the
// host gives no memory.
bool setTextResult(const char* text, std::size_t length, NPVariant* result) noexcept;
inline bool setTextResult(const std::string& text, NPVariant* result) noexcept {
    return setTextResult(text.data(), text.size(), result);
}

// Makes `result` the 32-bit integer value of a 16-bit service answer.
void setInt16Result(short number, NPVariant* result) noexcept;

// Makes `result` void; a null result pointer is left alone.
void setVoidResult(NPVariant* result) noexcept;
