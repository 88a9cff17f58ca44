// One signature a person approved in the dialog: the text shown and the mechanism its hash
// selects. The token gets only that: C_SignInit with that mechanism, C_SignUpdate with the
// shown bytes in their order, C_SignFinal (or C_Sign) once all of them have passed, and one
// signature per approval.
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
    // C_SignUpdate: whether `part` is the next stretch of the shown text (then it has passed).
    bool takes(const unsigned char* part, CK_ULONG length);
    // C_SignFinal: whether all of the shown text has passed, and nothing else.
    bool complete() const { return begun_ && passed_ == text_.size(); }
    // C_Sign: whether `data` is the shown text, with nothing passed before.
    bool whole(const unsigned char* data, CK_ULONG length) const;

    const std::string& text() const { return text_; }

private:
    std::string text_;
    CK_MECHANISM_TYPE mechanism_;
    bool begun_ = false;
    size_t passed_ = 0;
};

}  // namespace vellum::pin
