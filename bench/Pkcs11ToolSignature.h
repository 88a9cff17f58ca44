// The same signature made the way a user would otherwise make it: a new pkcs11-tool process
// for each signature, logging in with the PIN on its command line.
//
//     pkcs11-tool --module M --login --pin P --sign --mechanism SHA256-RSA-PKCS --id ID
//                 -i DATA -o SIGNATURE
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vellum::bench {

class Pkcs11ToolSignature {
public:
    struct Settings {
        std::string modulePath;
        std::string pin;
        std::string keyId;  // CKA_ID in hexadecimal
        std::string dataPath;
        std::string signaturePath;
        // When not empty, "--token-label L" picks the token: SoftHSM2 itself also lists its
        // empty slot, which the forwarding module hides.
        std::string tokenLabel;
    };

    explicit Pkcs11ToolSignature(Settings settings);

    // Runs the tool once; false with its output in `error` when it fails.
    bool sign(std::string& error) const;
    // The signature the last run wrote, as upper-case hexadecimal.
    bool lastSignatureHex(std::string& hex, std::string& error) const;

private:
    Settings settings_;
    std::vector<std::string> argv_;
};

}  // namespace vellum::bench
