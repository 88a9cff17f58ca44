// The text getCertList returns: one "CN=<name>,<serial>;" entry per certificate, the serial in
// upper-case hexadecimal. A name may itself hold ',' or ';', so an entry ends only at a ';'
// that follows ",<hex digits>" and is followed by the next "CN=" or the end.
#pragma once

#include <string>
#include <vector>

namespace vellum::host {

struct CertificateEntry {
    std::string name;
    std::string serial;
};

class CertificateList {
public:
    // False, with `entries` cleared, when the text is not a sequence of such entries.
    static bool parse(const std::string& text, std::vector<CertificateEntry>& entries);
};

}  // namespace vellum::host
