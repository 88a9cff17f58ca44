#include "Pkcs11ToolSignature.h"

#include <fstream>
#include <iterator>

#include "tokenkit/Subprocess.h"

namespace vellum::bench {

using tokenkit::ProcessResult;
using tokenkit::Subprocess;

Pkcs11ToolSignature::Pkcs11ToolSignature(Settings settings)
    : settings_(std::move(settings)),
      argv_{"pkcs11-tool",
            "--module",
            settings_.modulePath,
            "--login",
            "--pin",
            settings_.pin,
            "--sign",
            "--mechanism",
            "SHA256-RSA-PKCS",
            "--id",
            settings_.keyId,
            "-i",
            settings_.dataPath,
            "-o",
            settings_.signaturePath} {
    if (!settings_.tokenLabel.empty()) {
        argv_.insert(argv_.begin() + 3, {"--token-label", settings_.tokenLabel});
    }
}

bool Pkcs11ToolSignature::sign(std::string& error) const {
    ProcessResult result = Subprocess::run(argv_);
    if (!result.succeeded()) {
        error = Subprocess::describe(argv_, result);
        return false;
    }
    return true;
}

bool Pkcs11ToolSignature::lastSignatureHex(std::string& hex, std::string& error) const {
    std::ifstream in(settings_.signaturePath, std::ios::binary);
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        error = "cannot read " + settings_.signaturePath;
        return false;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    hex.clear();
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0xF]);
    }
    if (hex.empty()) {
        error = settings_.signaturePath + " is empty";
        return false;
    }
    return true;
}

}  // namespace vellum::bench
