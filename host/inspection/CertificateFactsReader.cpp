#include "inspection/CertificateFactsReader.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <climits>
#include <cstdio>
#include <ctime>
#include <memory>

#include "x509/X509Helper.h"

namespace vellum::host {
namespace {

// The plug-in's text buffer; one byte more here so that a name filling it still ends.
constexpr int kTextBuffer = 512;

struct X509Free {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
};

void readNotAfter(const std::vector<unsigned char>& der, CertificateFacts& facts) {
    const unsigned char* in = der.data();
    std::unique_ptr<X509, X509Free> certificate(
        d2i_X509(nullptr, &in, static_cast<long>(der.size())));
    const ASN1_TIME* notAfter = certificate ? X509_get0_notAfter(certificate.get()) : nullptr;
    std::tm when{};
    if (notAfter == nullptr || ASN1_TIME_to_tm(notAfter, &when) != 1) {
        return;
    }
    char text[96];  // room for any int the format could meet
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", when.tm_year + 1900,
                  when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    facts.notAfter = text;
    facts.notAfterTime = static_cast<int64_t>(timegm(&when));
}

}  // namespace

CertificateFacts CertificateFactsReader::read(const std::vector<unsigned char>& der) {
    CertificateFacts facts;
    if (der.empty() || der.size() > static_cast<size_t>(INT_MAX)) {
        return facts;
    }
    std::vector<unsigned char> bytes = der;  // X509Helper takes a mutable pointer
    X509Helper helper;
    if (!helper.loadDERCert(bytes.data(), static_cast<int>(bytes.size()))) {
        return facts;
    }
    char text[kTextBuffer + 1] = {};
    if (helper.GetSubjectName(text, kTextBuffer)) {
        facts.name = text;
    }
    char serial[kTextBuffer + 1] = {};
    if (helper.GetSerialNumber(serial, kTextBuffer)) {
        facts.serial = serial;
    }
    readNotAfter(der, facts);
    return facts;
}

}  // namespace vellum::host
