#include "x509/X509Helper.h"

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Working buffers of the name rule; a value is kept to one byte less so that each buffer always
// ends in a NUL and can be read as text.
constexpr int kNameBufferSize = 512;
using NameBuffer = char[kNameBufferSize];

struct OpensslFree {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

// Replaces the buffer's text with the value converted to UTF-8, cut to 511 bytes (possibly inside
// a multi-byte character). A value with no UTF-8 form leaves the buffer as it was.
bool StoreAsUtf8(const ASN1_STRING* value, NameBuffer& buffer) {
    unsigned char* converted = nullptr;
    const int length = ASN1_STRING_to_UTF8(&converted, value);
    std::unique_ptr<unsigned char, OpensslFree> owned(converted);
    if (length < 0 || (length > 0 && converted == nullptr)) {
        return false;
    }
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, converted, static_cast<size_t>(std::min(length, kNameBufferSize - 1)));
    return true;
}

}  // namespace

X509Helper::X509Helper() = default;

X509Helper::~X509Helper() = default;

bool X509Helper::loadDERCert(unsigned char* der, int len) {
    cert.reset();
    if (der == nullptr || len <= 0) {
        return false;
    }
    const unsigned char* cursor = der;
    cert.reset(d2i_X509(nullptr, &cursor, len));
    return cert != nullptr;
}

bool X509Helper::GetSubjectName(char* buf, int size) {
    if (!cert) {
        return false;
    }
    return CopyDisplayName(X509_get_subject_name(cert.get()), buf, size);
}

bool X509Helper::GetIssuerName(char* buf, int size) {
    if (!cert) {
        return false;
    }
    return CopyDisplayName(X509_get_issuer_name(cert.get()), buf, size);
}

bool X509Helper::CopyDisplayName(const X509_NAME* name, char* buf, int size) {
    if (buf == nullptr && size > 0) {
        return false;
    }
    NameBuffer commonName = {};
    NameBuffer organizationName = {};
    const int entries = name != nullptr ? X509_NAME_entry_count(name) : 0;
    for (int i = 0; i < entries; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (entry == nullptr) {
            continue;
        }
        const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
        if (nid == NID_organizationName) {
            StoreAsUtf8(X509_NAME_ENTRY_get_data(entry), organizationName);
        } else if (nid == NID_commonName) {
            // An empty CN does not count; a later one may still supply the name.
            if (StoreAsUtf8(X509_NAME_ENTRY_get_data(entry), commonName) && commonName[0] != '\0') {
                break;
            }
        }
    }
    const char* chosen = commonName[0] != '\0' ? commonName : organizationName;
    const int count = std::min(std::max(size, 0), kNameBufferSize);
    if (count > 0) {
        std::memcpy(buf, chosen, static_cast<size_t>(count));
    }
    return true;
}

bool X509Helper::GetSerialNumber(char* buf, int size) {
    if (!cert || buf == nullptr) {
        return false;
    }
    const ASN1_INTEGER* serial = X509_get_serialNumber(cert.get());
    if (serial == nullptr) {
        return false;
    }
    // The library keeps the magnitude only: no sign, no leading zero octet from the DER.
    const int octets = ASN1_STRING_length(serial);
    const unsigned char* magnitude = ASN1_STRING_get0_data(serial);
    if (octets < 0 || (octets > 0 && magnitude == nullptr)) {
        return false;
    }
    if (2LL * octets + 1 > size) {
        return false;
    }
    buf[0] = '\0';
    for (size_t i = 0; i < static_cast<size_t>(octets); ++i) {
        std::snprintf(buf + 2 * i, 3, "%02X", magnitude[i]);
    }
    return true;
}
