#include "x509/SignatureVerifier.h"

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <climits>

namespace {

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

struct AlgorithmFree {
    void operator()(X509_ALGOR* algorithm) const { X509_ALGOR_free(algorithm); }
};

struct BitStringFree {
    void operator()(ASN1_BIT_STRING* bits) const { ASN1_BIT_STRING_free(bits); }
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

// One DER element within [*cursor, end): its header is read and *cursor left on its content.
// False for anything but a definite length that fits.
bool enter(const unsigned char** cursor, const unsigned char* end, long& length, int& tag,
           int& tagClass) {
    const int flags = ASN1_get_object(cursor, &length, &tag, &tagClass, end - *cursor);
    return (flags & 0x80) == 0 && (flags & 0x01) == 0 && length <= end - *cursor;
}

bool enterSequence(const unsigned char** cursor, const unsigned char* end, long& length) {
    int tag = 0;
    int tagClass = 0;
    return enter(cursor, end, length, tag, tagClass) && tag == V_ASN1_SEQUENCE &&
           tagClass == V_ASN1_UNIVERSAL;
}

// The subjectPublicKeyInfo of a certificate, found by walking the fields before it. Parsing the
// whole certificate would decode its key through OpenSSL's generic decoders, which costs several
// times the signature check itself, on every signing.
bool findPublicKeyInfo(const unsigned char* der, long derLength, const unsigned char*& info,
                       long& infoLength) {
    const unsigned char* cursor = der;
    long length = 0;
    // Certificate, then its tbsCertificate.
    if (!enterSequence(&cursor, der + derLength, length) ||
        !enterSequence(&cursor, cursor + length, length)) {
        return false;
    }
    const unsigned char* const end = cursor + length;
    // [0] version (absent for version 1), serialNumber, signature, issuer, validity, subject.
    for (int field = 0; field < 6; ++field) {
        const unsigned char* fieldStart = cursor;
        int tag = 0;
        int tagClass = 0;
        if (!enter(&cursor, end, length, tag, tagClass)) {
            return false;
        }
        if (field == 0 && !(tag == 0 && tagClass == V_ASN1_CONTEXT_SPECIFIC)) {
            cursor = fieldStart;  // no version: this is the serial number
            continue;
        }
        cursor += length;
    }
    info = cursor;
    if (!enterSequence(&cursor, end, length)) {
        return false;
    }
    infoLength = cursor + length - info;
    return true;
}

}  // namespace

SignatureVerifier::SignatureVerifier(const unsigned char* der, size_t length) {
    if (der == nullptr || length == 0 || length > LONG_MAX) {
        return;
    }
    ErrorMark mark;
    const unsigned char* info = nullptr;
    long infoLength = 0;
    if (!findPublicKeyInfo(der, static_cast<long>(length), info, infoLength)) {
        return;
    }
    // SubjectPublicKeyInfo: the algorithm, then the key as a bit string.
    const unsigned char* cursor = info;
    const unsigned char* const end = info + infoLength;
    long contentLength = 0;
    if (!enterSequence(&cursor, end, contentLength)) {
        return;
    }
    std::unique_ptr<X509_ALGOR, AlgorithmFree> algorithm(
        d2i_X509_ALGOR(nullptr, &cursor, end - cursor));
    if (!algorithm) {
        return;
    }
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm.get());
    // The algorithm named in the certificate decides, not whether the key decodes: an RSA key
    // that does not decode fails the check rather than skipping it.
    if (OBJ_obj2nid(oid) != NID_rsaEncryption) {
        otherKeyType = true;
        return;
    }
    std::unique_ptr<ASN1_BIT_STRING, BitStringFree> bits(
        d2i_ASN1_BIT_STRING(nullptr, &cursor, end - cursor));
    if (!bits || cursor != end) {
        return;
    }
    const unsigned char* key = ASN1_STRING_get0_data(bits.get());
    rsaKey.reset(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &key, ASN1_STRING_length(bits.get())));
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
