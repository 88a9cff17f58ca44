#include "x509/SignatureVerifier.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <vector>

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

struct KeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

struct DigestInfoFree {
    void operator()(X509_SIG* info) const { X509_SIG_free(info); }
};

constexpr size_t kSm3Length = 32;
// What the digest of no data is taken over.
const unsigned char kNoData = 0;

const EVP_MD* messageDigest(SignatureVerifier::Digest digest) {
    switch (digest) {
        case SignatureVerifier::Digest::Md5:
            return EVP_md5();
        case SignatureVerifier::Digest::Sha1:
            return EVP_sha1();
        case SignatureVerifier::Digest::Sha256:
            return EVP_sha256();
        case SignatureVerifier::Digest::Sm3:
            break;
    }
    return nullptr;
}

// Whether the recovered block is a DER DigestInfo naming the algorithm `algorithmNid` (its
// parameters NULL or absent) and nothing more, its digest being its last bytes. The digest itself
// is compared by the caller: a DigestInfo naming another hash around the right bytes is refused
// here, as it vouches for a different digest of the data.
bool isDigestInfo(const unsigned char* block, size_t length, int algorithmNid,
                  size_t digestLength) {
    const unsigned char* cursor = block;
    std::unique_ptr<X509_SIG, DigestInfoFree> info(
        d2i_X509_SIG(nullptr, &cursor, static_cast<long>(length)));
    if (!info || cursor != block + length) {
        return false;
    }
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OCTET_STRING* digest = nullptr;
    X509_SIG_get0(info.get(), &algorithm, &digest);
    const ASN1_OBJECT* oid = nullptr;
    int parameterType = V_ASN1_UNDEF;
    X509_ALGOR_get0(&oid, &parameterType, nullptr, algorithm);
    if (OBJ_obj2nid(oid) != algorithmNid ||
        (parameterType != V_ASN1_UNDEF && parameterType != V_ASN1_NULL)) {
        return false;
    }
    // Its own encoding: no other way of writing the same values hides bytes in the block.
    unsigned char* encoded = nullptr;
    const int encodedLength = i2d_X509_SIG(info.get(), &encoded);
    const bool canonical = encodedLength > 0 && static_cast<size_t>(encodedLength) == length &&
                           CRYPTO_memcmp(encoded, block, length) == 0;
    OPENSSL_free(encoded);
    return canonical && static_cast<size_t>(ASN1_STRING_length(digest)) == digestLength;
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
    // that does not decode fails the check rather than skipping it. An id-RSASSA-PSS key is an
    // RSA key whose holder promised to sign with PSS only; its modulus and exponent are encoded
    // as for rsaEncryption, and a token signing PKCS#1 v1.5 with it is still held to them.
    const int keyAlgorithm = OBJ_obj2nid(oid);
    if (keyAlgorithm != NID_rsaEncryption && keyAlgorithm != NID_rsassaPss) {
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
        return digest == Digest::Sm3 ? Verdict::Unchecked : Verdict::Invalid;
    }
    if (!rsaKey || signature == nullptr || (data == nullptr && dataLength > 0)) {
        return Verdict::Invalid;
    }
    ErrorMark mark;
    if (data == nullptr) {
        data = &kNoData;
    }
    const bool valid = digest == Digest::Sm3
                           ? verifySm3Block(data, dataLength, signature, signatureLength)
                           : verifyDigestInfo(digest, data, dataLength, signature, signatureLength);
    return valid ? Verdict::Verified : Verdict::Invalid;
}

bool SignatureVerifier::verifyDigestInfo(Digest digest, const unsigned char* data,
                                         size_t dataLength, const unsigned char* signature,
                                         size_t signatureLength) const {
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
    // PKCS#1 v1.5 is the padding of an RSA key unless one is chosen.
    return context &&
           EVP_DigestVerifyInit(context.get(), nullptr, messageDigest(digest), nullptr,
                                rsaKey.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature, signatureLength, data, dataLength) == 1;
}

// OpenSSL's RSA signatures do not take SM3, so the block is opened with the public key and its
// end compared with the hash.
bool SignatureVerifier::verifySm3Block(const unsigned char* data, size_t dataLength,
                                       const unsigned char* signature,
                                       size_t signatureLength) const {
#ifdef OPENSSL_NO_SM3
    (void)data;
    (void)dataLength;
    (void)signature;
    (void)signatureLength;
    return false;
#else
    // Exactly the modulus' length, as the other hashes' check demands: a shorter signature would
    // otherwise open as if padded with zeros.
    const int keySize = EVP_PKEY_get_size(rsaKey.get());
    if (keySize <= 0 || signatureLength != static_cast<size_t>(keySize)) {
        return false;
    }
    std::unique_ptr<EVP_PKEY_CTX, KeyContextFree> context(EVP_PKEY_CTX_new(rsaKey.get(), nullptr));
    if (!context || EVP_PKEY_verify_recover_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return false;
    }
    // Type 1 only: the padding check of a public-key operation refuses every other block type.
    std::vector<unsigned char> block(signatureLength);
    size_t blockLength = block.size();
    if (EVP_PKEY_verify_recover(context.get(), block.data(), &blockLength, signature,
                                signatureLength) != 1 ||
        blockLength < kSm3Length) {
        return false;
    }
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    if (EVP_Digest(data, dataLength, hash, &hashLength, EVP_sm3(), nullptr) != 1 ||
        hashLength != kSm3Length ||
        CRYPTO_memcmp(block.data() + blockLength - kSm3Length, hash, kSm3Length) != 0) {
        return false;
    }
    return blockLength == kSm3Length ||
           isDigestInfo(block.data(), blockLength, NID_sm3, kSm3Length);
#endif
}
