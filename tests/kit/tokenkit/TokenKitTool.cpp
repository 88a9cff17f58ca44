// vellum-tokenkit: makes a SoftHSM2 token with a signing certificate for people and the demo.
//
//   vellum-tokenkit provision DIR [--label L] [--pin P] [--so-pin S] [--bits N]
//                                 [--subject SUBJ] [--serial HEX] [--cache DIR] [--keep]
//
// DIR is kept (--keep is accepted for clarity). When DIR already holds a token made by this
// tool with the same label, PIN, subject and serial (when one is given), that token is reused
// and described again; one made with other settings is left alone and the call fails. Prints
// key=value lines, among them SOFTHSM2_CONF, serial and certificate.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <strings.h>

#include "tokenkit/TokenKit.h"

namespace {

namespace fs = std::filesystem;
using vellum::tokenkit::CertificateSpec;
using vellum::tokenkit::TokenKit;

const char* const kManifest = "token.txt";

int usage() {
    std::fprintf(stderr,
                 "usage: vellum-tokenkit provision DIR [--label L] [--pin P] [--so-pin S]\n"
                 "           [--bits 1024|2048|4096] [--subject SUBJ] [--serial HEX]\n"
                 "           [--cache DIR] [--keep]\n");
    return 2;
}

bool holdsTokens(const fs::path& directory) {
    std::error_code ec;
    fs::directory_iterator it(directory / "tokens", ec);
    return !ec && it != fs::directory_iterator();
}

// The settings a manifest records, key by key.
std::map<std::string, std::string> readManifest(const fs::path& manifest) {
    std::map<std::string, std::string> values;
    std::ifstream in(manifest);
    std::string line;
    while (std::getline(in, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

// The first requested setting that the token described by the manifest does not have, or "".
std::string firstMismatch(const std::map<std::string, std::string>& made,
                          std::map<std::string, std::string>& options) {
    const std::pair<const char*, const char*> compared[] = {
        {"--label", "label"}, {"--pin", "pin"}, {"--subject", "subject"}, {"--serial", "serial"}};
    for (const auto& [option, key] : compared) {
        const std::string& wanted = options[option];
        const bool isSerial = std::string(key) == "serial";
        if (isSerial && wanted.empty()) {
            continue;  // any serial will do
        }
        const auto found = made.find(key);
        const std::string have = found == made.end() ? "" : found->second;
        // Serials are hexadecimal: either case names the same one.
        const bool same = isSerial ? strcasecmp(have.c_str(), wanted.c_str()) == 0 : have == wanted;
        if (!same) {
            return std::string(key) + " '" + have + "', not '" + wanted + "'";
        }
    }
    return "";
}

int provision(const std::string& directory, std::map<std::string, std::string>& options) {
    fs::path manifest = fs::path(directory) / kManifest;
    std::error_code ec;
    if (fs::exists(manifest, ec) && holdsTokens(directory)) {
        // Handing out a token other than the one asked for would pass for success.
        const std::map<std::string, std::string> made = readManifest(manifest);
        const std::string mismatch = firstMismatch(made, options);
        if (!mismatch.empty()) {
            std::fprintf(stderr,
                         "%s holds a token made with other settings (%s); remove it or name "
                         "another folder\n",
                         directory.c_str(), mismatch.c_str());
            return 1;
        }
        std::ifstream in(manifest);
        std::printf(
            "%s", std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
                      .c_str());
        std::printf("reused=yes\n");
        return 0;
    }
    if (holdsTokens(directory)) {
        std::fprintf(stderr, "%s holds tokens this tool did not make; not touching them\n",
                     directory.c_str());
        return 1;
    }
    TokenKit::Options kitOptions;
    kitOptions.directory = directory;
    kitOptions.cacheDirectory = options["--cache"];
    kitOptions.keep = true;
    TokenKit kit(kitOptions);
    if (!kit.ok()) {
        std::fprintf(stderr, "%s\n", kit.error().c_str());
        return 1;
    }
    auto* token = kit.addToken(options["--label"], options["--pin"], options["--so-pin"]);
    CertificateSpec spec;
    spec.subject = options["--subject"];
    spec.serial = options["--serial"];
    spec.bits = std::atoi(options["--bits"].c_str());
    const auto* cert = token != nullptr ? kit.addCertificate(*token, spec) : nullptr;
    if (cert == nullptr) {
        std::fprintf(stderr, "%s\n", kit.error().c_str());
        return 1;
    }
    std::string text = "SOFTHSM2_CONF=" + kit.configPath() + "\nlabel=" + token->label +
                       "\npin=" + token->pin + "\nslot=" + std::to_string(token->slotId) +
                       "\nserial=" + cert->serial + "\nsubject=" + cert->subject +
                       "\nid=" + cert->id + "\ncertificate=" + cert->pemPath +
                       "\nder=" + cert->derPath + "\nkey=" + cert->keyPath + "\n";
    std::ofstream out(manifest, std::ios::trunc);
    out << text;
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", manifest.c_str());
        return 1;
    }
    std::printf("%sreused=no\n", text.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) != "provision") {
        return usage();
    }
    std::map<std::string, std::string> options = {
        {"--label", "demo"},
        {"--pin", TokenKit::kDefaultPin},
        {"--so-pin", TokenKit::kDefaultSoPin},
        {"--bits", "2048"},
        {"--subject", "/CN=vellum Demo Signer"},
        {"--serial", ""},
        {"--cache", ""},
    };
    for (int i = 3; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--keep") {
            continue;
        }
        if (options.count(arg) == 0 || i + 1 >= argc) {
            return usage();
        }
        options[arg] = argv[++i];
    }
    return provision(argv[2], options);
}
