// The two texts the plug-in shows for a certificate, read with OpenSSL directly: the display
// name (first non-empty CN, else the last O) and the serial number as upper-case hexadecimal of
// its magnitude octets.
#pragma once

#include <string>
#include <vector>

namespace vellum::bench {

class CertificateText {
public:
    // Parses the DER bytes; false when they are not a certificate. `name` may be null when only
    // the serial is wanted.
    static bool read(const std::vector<unsigned char>& der, std::string* name, std::string& serial);
};

}  // namespace vellum::bench
