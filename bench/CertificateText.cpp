#include "CertificateText.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

namespace vellum::bench {
namespace {

struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};

struct OpensslFree {
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

std::string utf8(const ASN1_STRING* value) {
    unsigned char* converted = nullptr;
    int length = ASN1_STRING_to_UTF8(&converted, value);
    std::unique_ptr<unsigned char, OpensslFree> owned(converted);
    if (length <= 0 || converted == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<char*>(converted), static_cast<size_t>(length));
}

std::string displayName(const X509_NAME* name) {
    std::string organization;
    const int entries = X509_NAME_entry_count(name);
    for (int i = 0; i < entries; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
        if (nid == NID_commonName) {
            std::string common = utf8(X509_NAME_ENTRY_get_data(entry));
            if (!common.empty()) {
                return common;
            }
        } else if (nid == NID_organizationName) {
            organization = utf8(X509_NAME_ENTRY_get_data(entry));
        }
    }
    return organization;
}

}  // namespace

bool CertificateText::read(const std::vector<unsigned char>& der, std::string* name,
                           std::string& serial) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!cert) {
        return false;
    }
    if (name != nullptr) {
        *name = displayName(X509_get_subject_name(cert.get()));
    }
    const ASN1_INTEGER* number = X509_get_serialNumber(cert.get());
    const unsigned char* octets = ASN1_STRING_get0_data(number);
    static const char kDigits[] = "0123456789ABCDEF";
    serial.clear();
    for (int i = 0; i < ASN1_STRING_length(number); ++i) {
        serial.push_back(kDigits[octets[i] >> 4]);
        serial.push_back(kDigits[octets[i] & 0xF]);
    }
    return true;
}

}  // namespace vellum::bench
