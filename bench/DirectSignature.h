// The floor of reading the plug-in's Signature property: the same PKCS#11 calls in the same
// order, written directly against the module with nothing else. One call of sign() is one whole
// token operation: load, initialise, find the certificate by serial number on the first slot
// that has it, log in, find the private key with the certificate's CKA_ID, sign, log out, close,
// finalise, unload; then the "US65001:" envelope of the hexadecimal signature.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <utility>
#include <vector>

namespace vellum::bench {

class DirectSignature {
public:
    struct Settings {
        std::string modulePath;
        // Empty: C_Login with a null PIN and length 0, as the plug-in does.
        std::string pin;
        // Upper-case hexadecimal serial number of the certificate to sign with.
        std::string serial;
        CK_MECHANISM_TYPE mechanism = CKM_SHA256_RSA_PKCS;
    };

    explicit DirectSignature(Settings settings) : settings_(std::move(settings)) {}

    // The envelope in `envelope`, or false with the reason in `error`.
    bool sign(const std::string& data, std::string& envelope, std::string& error) const;

private:
    bool signOnToken(const std::string& data, std::vector<unsigned char>& signature,
                     std::string& error) const;

    Settings settings_;
};

}  // namespace vellum::bench
