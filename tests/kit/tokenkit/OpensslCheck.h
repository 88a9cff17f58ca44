// A second opinion from the openssl command line on what the signing service and the plug-in
// hand out: the one-line Base64 of a certificate file, whether a signature verifies with a
// certificate's public key, and the signature a private key makes. Runs the command without a
// shell (Subprocess).
#pragma once

#include <string>

namespace vellum::tokenkit {

class OpensslCheck {
public:
    // `openssl base64 -A` of the file. When the command fails, a description in parentheses
    // with spaces, which no Base64 text equals.
    static std::string base64(const std::string& path);

    // Whether `openssl dgst -<digest> -verify` accepts the signature, given in hexadecimal,
    // over `data` with the public key of the PEM certificate. Scratch files go into
    // `workDirectory`. On false, `why` (if given) says what failed: bad hexadecimal, the
    // command's output.
    static bool verifies(const std::string& certificatePem, const std::string& digest,
                         const std::string& data, const std::string& hexSignature,
                         const std::string& workDirectory, std::string* why = nullptr);

    // `openssl dgst -<digest> -sign` over `data` with the PEM private key, in upper-case
    // hexadecimal: PKCS#1 v1.5 is deterministic, so this is the signature a token holding the
    // key makes. Empty when the command fails, with its output in `why` (if given).
    static std::string signature(const std::string& privateKeyPem, const std::string& digest,
                                 const std::string& data, const std::string& workDirectory,
                                 std::string* why = nullptr);
};

}  // namespace vellum::tokenkit
