#pragma once

#include <string>
#include <vector>

// Builds DER certificates with the OpenSSL API, for subjects the openssl command refuses to make:
// empty values, values longer than the attribute's upper bound, values of types with no UTF-8 form.
class CertificateBuilder {
public:
    // Appends an entry, one per RDN, holding `bytes` as they are under the ASN.1 type `asn1Type`.
    CertificateBuilder& subjectEntry(int nid, int asn1Type, const std::string& bytes);

    // Self-signed with a fresh Ed25519 key; empty when OpenSSL refuses to encode it.
    std::vector<unsigned char> der() const;

private:
    struct Entry {
        int nid;
        int asn1Type;
        std::string bytes;
    };
    std::vector<Entry> entries;
};
