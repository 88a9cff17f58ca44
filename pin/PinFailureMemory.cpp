#include "PinFailureMemory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vellum::pin {
namespace {

// "PID:SERIAL-IN-HEX:" for the token; the return value follows in hexadecimal.
std::string keyFor(const CK_TOKEN_INFO& token) {
    std::string key = std::to_string(static_cast<long>(::getpid())) + ":";
    for (CK_UTF8CHAR c : token.serialNumber) {
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02X", static_cast<unsigned>(c));
        key += digits;
    }
    return key + ":";
}

}  // namespace

CK_RV PinFailureMemory::lastFailure(const CK_TOKEN_INFO& token) {
    const char* value = std::getenv(kVariable);
    const std::string key = keyFor(token);
    if (value == nullptr || std::string(value).compare(0, key.size(), key) != 0) {
        return CKR_OK;
    }
    return static_cast<CK_RV>(std::strtoul(value + key.size(), nullptr, 16));
}

void PinFailureMemory::remember(const CK_TOKEN_INFO& token, CK_RV rv) {
    char code[24];
    std::snprintf(code, sizeof(code), "%lX", static_cast<unsigned long>(rv));
    ::setenv(kVariable, (keyFor(token) + code).c_str(), 1);
}

void PinFailureMemory::forget() {
    ::unsetenv(kVariable);
}

}  // namespace vellum::pin
