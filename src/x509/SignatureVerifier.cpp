#include "x509/SignatureVerifier.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>

namespace {

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

const EVP_MD* messageDigest(SignatureVerifier::Digest digest) {
    switch (digest) {
        case SignatureVerifier::Digest::Md5:
            return EVP_md5();
        case SignatureVerifier::Digest::Sha1:
            return EVP_sha1();
        case SignatureVerifier::Digest::Sha256:
            return EVP_sha256();
    }
    return nullptr;
}

// What OpenSSL records about a failure here is of no use to anyone after us: it is dropped, and
// errors queued before are left as they were.
class ErrorMark {
public:
    ErrorMark() { ERR_set_mark(); }
    ~ErrorMark() { ERR_pop_to_mark(); }
    ErrorMark(const ErrorMark&) = delete;
    ErrorMark& operator=(const ErrorMark&) = delete;
};

}  // namespace

SignatureVerifier::SignatureVerifier(const unsigned char* der, size_t length) {
    if (der == nullptr || length == 0 || length > LONG_MAX) {
        return;
    }
    ErrorMark mark;
    const unsigned char* cursor = der;
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &cursor, static_cast<long>(length)));
    if (!cert) {
        return;
    }
    // The algorithm named in the certificate decides, not whether OpenSSL can decode the key:
    // an RSA key that does not decode must fail the check, not skip it.
    ASN1_OBJECT* algorithm = nullptr;
    if (X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr,
                               X509_get_X509_PUBKEY(cert.get())) != 1) {
        return;
    }
    if (OBJ_obj2nid(algorithm) != NID_rsaEncryption) {
        otherKeyType = true;
        return;
    }
    rsaKey.reset(X509_get_pubkey(cert.get()));
}

SignatureVerifier::~SignatureVerifier() = default;

SignatureVerifier::Verdict SignatureVerifier::verify(Digest digest, const unsigned char* data,
                                                     size_t dataLength,
                                                     const unsigned char* signature,
                                                     size_t signatureLength) const {
    if (otherKeyType) {
        return Verdict::Unchecked;
    }
    if (!rsaKey || signature == nullptr || (data == nullptr && dataLength > 0)) {
        return Verdict::Invalid;
    }
    ErrorMark mark;
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    // PKCS#1 v1.5 is the padding of an RSA key unless one is chosen.
    if (!context || EVP_DigestVerifyInit(context.get(), nullptr, messageDigest(digest), nullptr,
                                         rsaKey.get()) != 1) {
        return Verdict::Invalid;
    }
    static const unsigned char kNoData = 0;
    return EVP_DigestVerify(context.get(), signature, signatureLength,
                            data != nullptr ? data : &kNoData, dataLength) == 1
               ? Verdict::Verified
               : Verdict::Invalid;
}
