#include "CertificateBuilder.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using KeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

KeyPtr readKey(const std::string& path) {
    BioPtr file(BIO_new_file(path.c_str(), "r"));
    return KeyPtr(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
}

// The certificate's key, as `key` encodes it, under the algorithm `nid` without parameters.
bool setSubjectKey(X509* cert, EVP_PKEY* key, int nid) {
    unsigned char* encoded = nullptr;
    const int length = i2d_PublicKey(key, &encoded);
    if (length <= 0 || X509_set_pubkey(cert, key) != 1 ||
        X509_PUBKEY_set0_param(X509_get_X509_PUBKEY(cert), OBJ_nid2obj(nid), V_ASN1_UNDEF, nullptr,
                               encoded, length) != 1) {
        OPENSSL_free(encoded);
        return false;
    }
    return true;
}

KeyPtr makeKey() {
    KeyContextPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &key) <= 0) {
        return nullptr;
    }
    return KeyPtr(key);
}

}  // namespace

CertificateBuilder& CertificateBuilder::subjectEntry(int nid, int asn1Type,
                                                     const std::string& bytes) {
    entries.push_back({nid, asn1Type, bytes});
    return *this;
}

CertificateBuilder& CertificateBuilder::subjectKey(const std::string& keyPath, int algorithmNid) {
    subjectKeyPath = keyPath;
    subjectKeyAlgorithm = algorithmNid;
    return *this;
}

CertificateBuilder& CertificateBuilder::serial(long value) {
    serialNumber = value;
    return *this;
}

std::vector<unsigned char> CertificateBuilder::der() const {
    X509Ptr cert(X509_new());
    KeyPtr key = makeKey();
    if (!cert || !key) {
        return {};
    }
    if (subjectKeyPath.empty()) {
        if (X509_set_pubkey(cert.get(), key.get()) != 1) {
            return {};
        }
    } else {
        KeyPtr subject = readKey(subjectKeyPath);
        if (!subject || !setSubjectKey(cert.get(), subject.get(), subjectKeyAlgorithm)) {
            return {};
        }
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    for (const Entry& e : entries) {
        // A plain ASN.1 type (not an MBSTRING_ flag) stores the bytes unchecked.
        const auto* bytes = reinterpret_cast<const unsigned char*>(e.bytes.data());
        if (X509_NAME_add_entry_by_NID(name, e.nid, e.asn1Type, bytes,
                                       static_cast<int>(e.bytes.size()), -1, 0) != 1) {
            return {};
        }
    }
    if (ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serialNumber) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_set_version(cert.get(), 2) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400) == nullptr ||
        X509_sign(cert.get(), key.get(), nullptr) <= 0) {
        return {};
    }
    const int length = i2d_X509(cert.get(), nullptr);
    if (length <= 0) {
        return {};
    }
    std::vector<unsigned char> out(static_cast<size_t>(length));
    unsigned char* cursor = out.data();
    if (i2d_X509(cert.get(), &cursor) != length) {
        return {};
    }
    return out;
}
