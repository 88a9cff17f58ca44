// One signature a person approved in the dialog: the text shown and the mechanism its hash
// selects. The token gets only that: C_SignInit with that mechanism, then the shown bytes in one
// C_SignUpdate (as the plug-in passes them: a part, even one the text starts with, is not what
// was shown) and C_SignFinal, or C_Sign with them; one signature per approval.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

namespace vellum::pin {

class SignatureApproval {
public:
    // The plug-in's table of hash names: the mechanism each selects; any other name selects
    // SHA-1 with RSA, as it does in the plug-in.
    static CK_MECHANISM_TYPE mechanismFor(const std::string& hash);
    // The name of the hash that `hash` selects, as the dialog shows it.
    static std::string hashShown(const std::string& hash);

    SignatureApproval(std::string text, const std::string& hash)
        : text_(std::move(text)), mechanism_(mechanismFor(hash)) {}

    // C_SignInit: whether the mechanism is the approved one (then the operation has begun).
    bool begin(const CK_MECHANISM* mechanism);
    // C_SignUpdate: whether `data` is the shown text, nothing having passed before (then it
    // has).
    bool takes(const unsigned char* data, CK_ULONG length);
    // C_SignFinal: whether the shown text has passed.
    bool complete() const { return passed_; }
    // C_Sign: whether `data` is the shown text, with nothing passed before.
    bool whole(const unsigned char* data, CK_ULONG length) const;

    const std::string& text() const { return text_; }

private:
    std::string text_;
    CK_MECHANISM_TYPE mechanism_;
    bool begun_ = false;
    bool passed_ = false;
};

}  // namespace vellum::pin
