#include "cli/PemText.h"

namespace vellum::host {

std::string PemText::fromBase64(const std::string& base64) {
    constexpr size_t kLineLength = 64;
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    for (size_t at = 0; at < base64.size(); at += kLineLength) {
        pem.append(base64, at, kLineLength);
        pem += '\n';
    }
    pem += "-----END CERTIFICATE-----\n";
    return pem;
}

}  // namespace vellum::host
