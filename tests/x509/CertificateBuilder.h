#pragma once

#include <string>
#include <vector>

// Builds DER certificates with the OpenSSL API, for what the openssl command refuses to make:
// subjects with empty values, values longer than the attribute's upper bound, values of types
// with no UTF-8 form; a key certified under another algorithm than its own.
class CertificateBuilder {
public:
    // Appends an entry, one per RDN, holding `bytes` as they are under the ASN.1 type `asn1Type`.
    CertificateBuilder& subjectEntry(int nid, int asn1Type, const std::string& bytes);

    // Certifies the public half of the PEM private key at `keyPath` instead of the fresh key,
    // named in the SubjectPublicKeyInfo as `algorithmNid` says (NID_rsassaPss: an RSA key in
    // RSASSA-PSS clothes). The certificate is still signed by the fresh key.
    CertificateBuilder& subjectKey(const std::string& keyPath, int algorithmNid);
    CertificateBuilder& serial(long value);

    // Signed with a fresh Ed25519 key, which it certifies unless told otherwise; empty when
    // OpenSSL refuses to encode it or the key file cannot be read.
    std::vector<unsigned char> der() const;

private:
    struct Entry {
        int nid;
        int asn1Type;
        std::string bytes;
    };
    std::vector<Entry> entries;
    std::string subjectKeyPath;
    int subjectKeyAlgorithm = 0;
    long serialNumber = 1;
};
