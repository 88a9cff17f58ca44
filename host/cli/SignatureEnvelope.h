// The two texts the plug-in wraps a signature in:
//   Signature: "US65001:" <8-digit count N> <N upper-case hex digits>
//   SignData:  "UD65001:" <8-digit length D> <D bytes of data> <8-digit count N> <N hex digits>
// The counts are zero-padded to at least 8 digits; a data length above 99999999 takes more.
#pragma once

#include <string>
#include <vector>

namespace vellum::host {

class SignatureEnvelope {
public:
    // False, with a reason in `problem`, when the text is not a well-formed envelope.
    bool parse(const std::string& text, std::string& problem);

    bool carriesData() const noexcept { return carriesData_; }
    const std::string& data() const noexcept { return data_; }
    const std::string& hex() const noexcept { return hex_; }
    const std::vector<unsigned char>& signature() const noexcept { return signature_; }

private:
    bool parseSignature(const std::string& text, size_t at, std::string& problem);

    bool carriesData_ = false;
    std::string data_;
    std::string hex_;
    std::vector<unsigned char> signature_;
};

}  // namespace vellum::host
