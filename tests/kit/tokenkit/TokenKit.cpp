#include "tokenkit/TokenKit.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include "tokenkit/Subprocess.h"

#ifndef VELLUM_TOKENKIT_CACHE_DIR
#define VELLUM_TOKENKIT_CACHE_DIR "/tmp/vellum-tokenkit-cache"
#endif
#ifndef VELLUM_SOFTHSM2_PATH
#define VELLUM_SOFTHSM2_PATH "/usr/lib/softhsm/libsofthsm2.so"
#endif
#ifndef VELLUM_TOKENKIT_RAWCERT_PATH
#define VELLUM_TOKENKIT_RAWCERT_PATH "vellum-tokenkit-rawcert"
#endif

namespace vellum::tokenkit {

namespace fs = std::filesystem;

namespace {

bool isHex(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
    }
    return true;
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The serial as OpenSSL decodes it: value octets without leading zero octets.
std::string serialText(const std::string& hex) {
    std::string digits = upper(hex);
    size_t first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? std::string("0") : digits.substr(first);
    if (digits.size() % 2 != 0) {
        digits.insert(digits.begin(), '0');
    }
    return digits;
}

std::string randomSerial() {
    std::random_device random;
    std::uniform_int_distribution<int> byte(0, 255);
    static const char* const kDigits = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        // A first octet of 0x10..0x7F keeps the number positive and the text 16 digits long.
        int value = i == 0 ? 0x10 + byte(random) % 0x70 : byte(random);
        text.push_back(kDigits[value >> 4]);
        text.push_back(kDigits[value & 0xF]);
    }
    return text;
}

std::string fileSafe(const std::string& text) {
    std::string safe;
    for (char c : text) {
        safe.push_back(std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_');
    }
    return safe;
}

std::string pemFromDer(const std::vector<unsigned char>& der) {
    static const char* const kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    for (size_t i = 0; i < der.size(); i += 3) {
        unsigned long group = static_cast<unsigned long>(der[i]) << 16;
        size_t left = der.size() - i;
        if (left > 1) {
            group |= static_cast<unsigned long>(der[i + 1]) << 8;
        }
        if (left > 2) {
            group |= der[i + 2];
        }
        base64.push_back(kAlphabet[(group >> 18) & 0x3F]);
        base64.push_back(kAlphabet[(group >> 12) & 0x3F]);
        base64.push_back(left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=');
        base64.push_back(left > 2 ? kAlphabet[group & 0x3F] : '=');
    }
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    for (size_t i = 0; i < base64.size(); i += 64) {
        pem += base64.substr(i, 64) + "\n";
    }
    return pem + "-----END CERTIFICATE-----\n";
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool readFile(const std::string& path, std::vector<unsigned char>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Certificates of the tests: end-entity signing certificates, names taken as UTF-8.
const char* const kOpensslConfig =
    "[req]\n"
    "distinguished_name = subject\n"
    "string_mask = utf8only\n"
    "utf8 = yes\n"
    "[subject]\n"
    "[signer]\n"
    "basicConstraints = critical,CA:FALSE\n"
    "keyUsage = critical,digitalSignature,nonRepudiation\n"
    "subjectKeyIdentifier = hash\n";

}  // namespace

TokenKit::TokenKit() : TokenKit(Options()) {}

TokenKit::TokenKit(const Options& options)
    : keep_(options.keep),
      keys_(options.cacheDirectory.empty() ? std::string(VELLUM_TOKENKIT_CACHE_DIR)
                                           : options.cacheDirectory) {
    const char* previous = std::getenv("SOFTHSM2_CONF");
    hadSoftHsmConf_ = previous != nullptr;
    savedSoftHsmConf_ = previous != nullptr ? previous : "";
    ok_ = prepareDirectory(options.directory);
    if (ok_) {
        ::setenv("SOFTHSM2_CONF", configPath_.c_str(), 1);
    }
}

TokenKit::~TokenKit() {
    if (ok_) {
        if (hadSoftHsmConf_) {
            ::setenv("SOFTHSM2_CONF", savedSoftHsmConf_.c_str(), 1);
        } else {
            ::unsetenv("SOFTHSM2_CONF");
        }
    }
    // Only a directory this kit made is removed; a caller's directory is never emptied.
    if (!keep_ && createdDirectory_ && !directory_.empty()) {
        std::error_code ec;
        fs::remove_all(directory_, ec);
    }
}

bool TokenKit::prepareDirectory(const std::string& requested) {
    std::error_code ec;
    if (requested.empty()) {
        fs::path base = fs::temp_directory_path(ec);
        if (ec) {
            base = "/tmp";
        }
        std::string pattern = (base / "vellum-tokenkit-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return fail("cannot make a temporary directory under " + base.string());
        }
        directory_ = pattern;
        createdDirectory_ = true;
    } else {
        createdDirectory_ = !fs::exists(requested, ec);
        fs::create_directories(requested, ec);
        if (ec) {
            return fail("cannot create " + requested + ": " + ec.message());
        }
        directory_ = fs::absolute(requested, ec).lexically_normal().string();
        while (directory_.size() > 1 && directory_.back() == '/') {
            directory_.pop_back();
        }
    }
    for (const char* sub : {"tokens", "certs", "keys"}) {
        fs::create_directories(fs::path(directory_) / sub, ec);
        if (ec) {
            return fail("cannot create " + directory_ + "/" + sub + ": " + ec.message());
        }
    }
    configPath_ = directory_ + "/softhsm2.conf";
    opensslConfigPath_ = directory_ + "/openssl.cnf";
    std::string config = "directories.tokendir = " + directory_ +
                         "/tokens/\n"
                         "objectstore.backend = file\n"
                         "log.level = ERROR\n"
                         "slots.removable = false\n"
                         "slots.mechanisms = ALL\n"
                         "library.reset_on_fork = false\n";
    if (!writeFile(configPath_, config) || !writeFile(opensslConfigPath_, kOpensslConfig)) {
        return fail("cannot write the configuration files in " + directory_);
    }
    return true;
}

Token* TokenKit::addToken(const std::string& label, const std::string& pin,
                          const std::string& soPin) {
    if (!ok_) {
        fail("the kit is not ready: " + error_);
        return nullptr;
    }
    if (label.empty() || label.size() > 32) {
        fail("a token label has 1 to 32 bytes: \"" + label + "\"");
        return nullptr;
    }
    if (findToken(label) != nullptr) {
        fail("this kit already has a token labelled " + label);
        return nullptr;
    }
    std::vector<std::string> argv = {
        "softhsm2-util", "--init-token", "--free", "--label", label, "--pin", pin,
        "--so-pin",      soPin};
    ProcessResult result = Subprocess::run(argv);
    static const std::string kSlotText = "reassigned to slot ";
    size_t at = result.output.find(kSlotText);
    if (!result.succeeded() || at == std::string::npos) {
        fail(Subprocess::describe(argv, result));
        return nullptr;
    }
    Token token;
    token.label = label;
    token.pin = pin;
    token.soPin = soPin;
    token.slotId = std::strtoul(result.output.c_str() + at + kSlotText.size(), nullptr, 10);
    tokens_.push_back(token);
    return &tokens_.back();
}

Token* TokenKit::findToken(const std::string& label) {
    for (Token& token : tokens_) {
        if (token.label == label) {
            return &token;
        }
    }
    return nullptr;
}

const TokenCertificate* TokenKit::addCertificate(Token& token, const CertificateSpec& spec) {
    if (findToken(token.label) != &token) {
        fail("the token " + token.label + " is not one of this kit's");
        return nullptr;
    }
    TokenCertificate cert;
    cert.id = upper(spec.id);
    if (cert.id.empty()) {
        // The next one-byte id (two digits beyond 255 certificates) that no certificate uses.
        for (size_t n = token.certificates.size() + 1;; ++n) {
            char text[16];
            std::snprintf(text, sizeof text, n < 256 ? "%02zX" : "%04zX", n);
            bool used = false;
            for (const TokenCertificate& other : token.certificates) {
                used = used || other.id == text;
            }
            if (!used) {
                cert.id = text;
                break;
            }
        }
    }
    if (!isHex(cert.id) || cert.id.size() % 2 != 0) {
        fail("CKA_ID must be an even number of hexadecimal digits: " + cert.id);
        return nullptr;
    }
    cert.label = spec.label.empty() ? "cert-" + cert.id : spec.label;
    std::string base = directory_ + "/certs/" + fileSafe(token.label) + "-" + cert.id;
    cert.derPath = base + ".der";
    bool written = spec.rawValue.empty() ? writeCertificate(token, spec, cert)
                                         : writeRawCertificate(token, spec, cert);
    if (!written) {
        return nullptr;
    }
    token.certificates.push_back(cert);
    return &token.certificates.back();
}

bool TokenKit::writeRawCertificate(Token& token, const CertificateSpec& spec,
                                   TokenCertificate& cert) {
    cert.der = spec.rawValue;
    if (!writeFile(cert.derPath, std::string(cert.der.begin(), cert.der.end()))) {
        return fail("cannot write " + cert.derPath);
    }
    std::vector<std::string> argv = {VELLUM_TOKENKIT_RAWCERT_PATH,
                                     "--module",
                                     VELLUM_SOFTHSM2_PATH,
                                     "--token-label",
                                     token.label,
                                     "--pin",
                                     token.pin,
                                     "--id",
                                     cert.id,
                                     "--label",
                                     cert.label,
                                     cert.derPath};
    ProcessResult result = Subprocess::run(argv);
    if (!result.succeeded()) {
        return fail(Subprocess::describe(argv, result));
    }
    return true;
}

bool TokenKit::writeCertificate(Token& token, const CertificateSpec& spec, TokenCertificate& cert) {
    std::string serial = spec.serial.empty() ? randomSerial() : spec.serial;
    if (!isHex(serial)) {
        return fail("the serial number must be hexadecimal: " + serial);
    }
    std::string cachedKey;
    std::string error;
    bool haveKey = spec.shareKey ? keys_.sharedKey(spec.bits, cachedKey, error)
                                 : keys_.key(spec.bits, nextKey_[spec.bits]++, cachedKey, error);
    if (!haveKey) {
        return fail(error);
    }
    cert.serial = serialText(serial);
    cert.subject = spec.subject;
    cert.pemPath = directory_ + "/certs/" + fileSafe(token.label) + "-" + cert.id + ".pem";
    std::vector<std::string> request = {
        "openssl",     "req",         "-new",        "-x509",     "-config", opensslConfigPath_,
        "-extensions", "signer",      "-key",        cachedKey,   "-subj",   spec.subject,
        "-utf8",       "-set_serial", "0x" + serial, "-days",     "3650",    "-sha256",
        "-outform",    "DER",         "-out",        cert.derPath};
    ProcessResult made = Subprocess::run(request);
    if (!made.succeeded()) {
        return fail(Subprocess::describe(request, made));
    }
    if (!readFile(cert.derPath, cert.der) || cert.der.empty() ||
        !writeFile(cert.pemPath, pemFromDer(cert.der))) {
        return fail("cannot read " + cert.derPath + " or write " + cert.pemPath);
    }
    auto store = [&](const std::string& file, const char* type) {
        // By slot, not by label: pkcs11-tool takes the first token whose label merely starts
        // with the one given, so "signer" could land on "signer-two".
        std::vector<std::string> argv = {"pkcs11-tool",
                                         "--module",
                                         VELLUM_SOFTHSM2_PATH,
                                         "--slot",
                                         std::to_string(token.slotId),
                                         "--login",
                                         "--pin",
                                         token.pin,
                                         "--write-object",
                                         file,
                                         "--type",
                                         type,
                                         "--id",
                                         cert.id,
                                         "--label",
                                         cert.label};
        if (std::string(type) == "privkey") {
            argv.push_back("--usage-sign");
        }
        ProcessResult stored = Subprocess::run(argv);
        return stored.succeeded() || fail(Subprocess::describe(argv, stored));
    };
    if (!store(cert.derPath, "cert")) {
        return false;
    }
    if (!spec.withPrivateKey) {
        return true;
    }
    cert.keyPath = directory_ + "/keys/" + fileSafe(token.label) + "-" + cert.id + ".pem";
    std::error_code ec;
    fs::copy_file(cachedKey, cert.keyPath, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        return fail("cannot copy " + cachedKey + " to " + cert.keyPath + ": " + ec.message());
    }
    if (!store(cert.keyPath, "privkey")) {
        return false;
    }
    cert.hasPrivateKey = true;
    return true;
}

bool TokenKit::fail(const std::string& message) {
    error_ = message;
    return false;
}

}  // namespace vellum::tokenkit
