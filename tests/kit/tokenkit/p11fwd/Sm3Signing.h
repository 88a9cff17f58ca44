// VELLUM_P11FWD_SM3: the module signs with the vendor mechanism SM3 with RSA (0x10003), which
// SoftHSM2 does not offer, over the real module's CKM_RSA_PKCS: the SM3 hash of the data, bare or
// in a DigestInfo, in a PKCS#1 v1.5 type-1 block by the key given to C_SignInit, as a token of
// that vendor signs. What the application sees of the call sequence is that of any signing.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

namespace vellum::p11fwd {

enum class Sm3Mode {
    None,
    DigestInfo,  // the hash in a DigestInfo naming SM3
    Bare,        // the hash alone
};

class Sm3Signing {
public:
    static constexpr CK_MECHANISM_TYPE kMechanism = 0x10003;

    // "digestinfo" or "bare"; false on anything else.
    static bool parse(const std::string& text, Sm3Mode& mode);

    // Starts the real module's CKM_RSA_PKCS signing with the key; the data is kept from here on.
    CK_RV signInit(CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key);
    // Any other signing started: nothing is emulated any more.
    void reset();
    // Whether the session's signing is this one.
    bool active(CK_SESSION_HANDLE session) const { return active_ && session_ == session; }
    void update(const CK_BYTE* part, CK_ULONG length);
    // C_SignFinal by the real module's C_Sign over the block, with the two-call protocol: a
    // length query or a buffer too small leaves the signing active, as for any C_SignFinal.
    CK_RV signFinal(Sm3Mode mode, CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session,
                    CK_BYTE_PTR signature, CK_ULONG_PTR length);

private:
    bool active_ = false;
    CK_SESSION_HANDLE session_ = 0;
    std::string data_;
};

}  // namespace vellum::p11fwd
