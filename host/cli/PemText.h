// A certificate's Base64 text (one line, as SignCert returns it) in PEM form: the standard
// armour lines around the text cut into lines of 64 characters.
#pragma once

#include <string>

namespace vellum::host {

class PemText {
public:
    static std::string fromBase64(const std::string& base64);
};

}  // namespace vellum::host
