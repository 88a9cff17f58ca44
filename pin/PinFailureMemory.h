// What the token answered to the PIN typed last, per token, so that the next dialog can say
// it ("Wrong PIN"). The plug-in unloads the module after every operation, so the memory is
// kept in the process environment (VELLUM_PIN_LAST_FAILURE), marked with the process ID that
// a child does not share: the token's serial number and the return value, never the PIN.
#pragma once

#include <p11-kit/pkcs11.h>

namespace vellum::pin {

class PinFailureMemory {
public:
    static constexpr const char* kVariable = "VELLUM_PIN_LAST_FAILURE";

    // CKR_OK when the last PIN typed for this token was taken, or none was typed.
    static CK_RV lastFailure(const CK_TOKEN_INFO& token);
    static void remember(const CK_TOKEN_INFO& token, CK_RV rv);
    static void forget();
};

}  // namespace vellum::pin
