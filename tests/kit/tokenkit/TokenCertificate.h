// What a test asks for when it adds a certificate to a token, and what it gets back.
#pragma once

#include <string>
#include <vector>

namespace vellum::tokenkit {

struct CertificateSpec {
    // Subject as an openssl -subj string: "/CN=Example Signer/O=Example Org", "/O=Only Org";
    // values may be UTF-8.
    std::string subject = "/CN=vellum Test Signer";
    // Serial number in hexadecimal ("01A2B3"); empty picks a random positive 8-byte serial.
    std::string serial;
    // RSA key size: 1024, 2048 or 4096.
    int bits = 2048;
    // False stores the certificate alone, with no private key of its CKA_ID on the token.
    bool withPrivateKey = true;
    // True allows this certificate to use the same key as other certificates that allow it
    // (many certificates without generating many keys). Otherwise every certificate of a kit
    // has a key of its own.
    bool shareKey = false;
    // CKA_ID in hexadecimal; empty takes the token's next free one-byte id ("01", "02", ...).
    std::string id;
    // Object label of the certificate and its key; empty gives "cert-<id>".
    std::string label;
    // When not empty, these bytes are stored as the certificate object's CKA_VALUE as they are
    // (they need not parse); no key and no PEM file are made, and subject, serial and bits
    // are ignored.
    std::vector<unsigned char> rawValue;
};

struct TokenCertificate {
    std::string label;
    std::string id;  // CKA_ID in upper-case hexadecimal, shared with the private key
    // Serial number as upper-case hexadecimal of its value octets, two digits per octet and
    // without a leading zero octet ("01A2B3", "8F3A"); empty for a raw value.
    std::string serial;
    std::string subject;
    std::string derPath;
    std::string pemPath;  // empty for a raw value
    std::string keyPath;  // PEM private key; empty without a private key
    std::vector<unsigned char> der;
    bool hasPrivateKey = false;
};

}  // namespace vellum::tokenkit
