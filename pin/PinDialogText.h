// The texts of one PIN dialog: which token, which site asks, how many tries are left, and why
// the last PIN was refused. Plain text; PinEntryDialog escapes it for the protocol.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

namespace vellum::pin {

struct PinDialogText {
    std::string title;
    std::string description;
    std::string prompt;
    std::string error;  // empty: no error line

    // `label`: the token's label as CK_TOKEN_INFO holds it (blank-padded, not terminated);
    // `tokenFlags`: its flags; `site`: who asks; `lastFailure`: what C_Login answered to the
    // PIN typed last time for this token, or CKR_OK.
    static PinDialogText forLogin(const CK_UTF8CHAR (&label)[32], CK_FLAGS tokenFlags,
                                  const std::string& site, CK_RV lastFailure);

    // A sentence for a C_Login failure, for the next dialog's error line.
    static std::string failureText(CK_RV rv);
};

}  // namespace vellum::pin
