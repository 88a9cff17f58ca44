#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <memory>

// Checks a signature against the public key of one DER-encoded X.509 certificate before the
// signature leaves the module: a token module may answer success and hand out bytes that are no
// signature of the data.
//
// A certificate whose key is RSA (rsaEncryption, or id-RSASSA-PSS: the same modulus and exponent
// in other clothes) checks PKCS#1 v1.5 signatures with the chosen hash. MD5, SHA-1 and SHA-256
// are the hashes of RSA mechanisms, so under any other key such a signature can never be valid.
// SM3 under an RSA key is a PKCS#1 v1.5 type-1 block of the modulus' length holding the SM3 hash
// of the data, bare or in a DigestInfo that names SM3; SM3 under any other key is the vendor's own
// scheme and goes unchecked.
class SignatureVerifier {
public:
    enum class Digest { Md5, Sha1, Sha256, Sm3 };
    enum class Verdict {
        Verified,   // a valid signature of the data under the certificate's RSA key
        Invalid,    // not one, or the certificate's key cannot vouch for it, or memory ran out
        Unchecked,  // SM3 under a key that is not RSA: the vendor's scheme
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

    bool verifyDigestInfo(Digest digest, const unsigned char* data, size_t dataLength,
                          const unsigned char* signature, size_t signatureLength) const;
    bool verifySm3Block(const unsigned char* data, size_t dataLength,
                        const unsigned char* signature, size_t signatureLength) const;

    std::unique_ptr<EVP_PKEY, KeyFree> rsaKey;
    // The certificate parsed and its key is not RSA.
    bool otherKeyType = false;
};
