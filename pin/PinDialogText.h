// The texts of one PIN or confirmation dialog: which token, which site asks (and on which page,
// for a frame), what is to be signed, how many tries are left, and why the last PIN was refused.
// Plain text; PinEntryDialog escapes it for the protocol.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "HostHandOver.h"

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

    // The dialog of one signature: the sites, the token, the hash and the text the host handed
    // over: the whole text when the description can hold it, line for line, each line behind
    // "> " so that no text line passes for one of the dialog's own; otherwise its first lines,
    // its length and its SHA-256 in groups of four hex digits. Everything the page chose is
    // shown through VisibleText. `askPin`: the person types the PIN (else OK confirms).
    static PinDialogText forSignature(const CK_UTF8CHAR (&label)[32], CK_FLAGS tokenFlags,
                                      const HostHandOver::Request& request, CK_RV lastFailure,
                                      bool askPin);

    // Longest description, once escaped for the protocol: pinentry reads lines of up to 1000
    // bytes, "SETDESC " included.
    static constexpr size_t kMaxEscapedDescription = 980;
    // Lines the text is given behind, and the line that ends a text shown in part.
    static constexpr const char* kTextLine = "> ";
    static constexpr const char* kTextCut = "[...]";

    // A sentence for a C_Login failure, for the next dialog's error line.
    static std::string failureText(CK_RV rv);
};

}  // namespace vellum::pin
