#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>

// Checks a PKCS#1 v1.5 RSA signature against the public key of one DER-encoded X.509
// certificate, before the signature leaves the module: a token module may answer success and
// hand out bytes that are no signature of the data. Only RSA keys are checked; a certificate
// with any other key is the vendor's scheme and passes unchecked.
class SignatureVerifier {
public:
    enum class Digest { Md5, Sha1, Sha256 };
    enum class Verdict {
        Verified,   // a valid signature of the data under the certificate's RSA key
        Invalid,    // not one, or the certificate's RSA key cannot be read, or memory ran out
        Unchecked,  // the certificate's key is not RSA
    };

    // Reads the public key of the certificate in der[0, length). Nothing is kept of the bytes.
    SignatureVerifier(const unsigned char* der, size_t length);
    ~SignatureVerifier();

    SignatureVerifier(const SignatureVerifier&) = delete;
    SignatureVerifier& operator=(const SignatureVerifier&) = delete;

    Verdict verify(Digest digest, const unsigned char* data, size_t dataLength,
                   const unsigned char* signature, size_t signatureLength) const;

private:
    struct KeyFree {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };

    std::unique_ptr<EVP_PKEY, KeyFree> rsaKey;
    // The certificate parsed and its key is not RSA.
    bool otherKeyType = false;
};
