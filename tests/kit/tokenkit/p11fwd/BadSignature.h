// VELLUM_P11FWD_BAD_SIGNATURE: C_SignFinal hands out a signature that is not one of the data
// signed, with CKR_OK, as a faulty token module has done. What the application sees of the call
// sequence stays the same; only the bytes differ.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

namespace vellum::p11fwd {

enum class BadSignatureMode {
    None,
    Flip,   // the real signature with its last byte inverted
    Empty,  // a signature of empty data by the same key and mechanism
};

class BadSignature {
public:
    // "flip" or "empty"; false on anything else.
    static bool parse(const std::string& text, BadSignatureMode& mode);

    // Remembers the mechanism and key the session signs with, for the "empty" mode.
    void signInit(CK_SESSION_HANDLE session, const CK_MECHANISM& mechanism, CK_OBJECT_HANDLE key);

    // Called after the real module has written a signature of *length bytes into `signature`,
    // a buffer of `capacity` bytes, and so ended its signing operation. Replaces it as the mode
    // says and returns what the application is answered; appends the log words to `args`.
    CK_RV bend(BadSignatureMode mode, CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session,
               CK_BYTE_PTR signature, CK_ULONG_PTR length, CK_ULONG capacity, std::string& args);

private:
    bool known_ = false;
    CK_SESSION_HANDLE session_ = 0;
    CK_MECHANISM_TYPE mechanism_ = 0;
    CK_OBJECT_HANDLE key_ = 0;
};

}  // namespace vellum::p11fwd
