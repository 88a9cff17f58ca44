#pragma once

#include <openssl/x509.h>

#include <memory>

// Reads one DER-encoded X.509 certificate: a display name for its subject (or issuer) and its
// serial number as upper-case hexadecimal. Callers make one on the stack per certificate.
class X509Helper {
public:
    X509Helper();
    virtual ~X509Helper();

    X509Helper(const X509Helper&) = delete;
    X509Helper& operator=(const X509Helper&) = delete;

    // Parses at most len bytes from der. Any certificate held before is released first, so after
    // a failed parse nothing is held and the getters answer false.
    bool loadDERCert(unsigned char* der, int len);

    // Display name: the first non-empty CN, else the last O, else the empty text. Copies exactly
    // min(size, 512) bytes, zero padding included, into buf. False only when nothing is loaded.
    bool GetSubjectName(char* buf, int size);
    bool GetIssuerName(char* buf, int size);

    // Two upper-case hex digits per magnitude octet, then a NUL. False, with buf untouched, when
    // nothing is loaded or buf has no room for the digits and the NUL.
    bool GetSerialNumber(char* buf, int size);

private:
    struct X509Free {
        void operator()(X509* cert) const { X509_free(cert); }
    };

    static bool CopyDisplayName(const X509_NAME* name, char* buf, int size);

    std::unique_ptr<X509, X509Free> cert;
};
