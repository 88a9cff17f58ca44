// Reads a certificate's DER bytes as doctor shows them: serial and name exactly as the plug-in
// reads them (X509Helper, 512-byte buffers), and the end of validity.
#pragma once

#include <string>
#include <vector>

#include "inspection/TokenFacts.h"

namespace vellum::host {

class CertificateFactsReader {
public:
    static CertificateFacts read(const std::vector<unsigned char>& der);
};

}  // namespace vellum::host
