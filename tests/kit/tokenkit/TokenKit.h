// Makes SoftHSM2 tokens for tests and tools.
//
// A TokenKit owns a directory (a fresh temporary one unless told otherwise) holding its own
// softhsm2.conf, the token store, and the certificate and key files it made. It points
// SOFTHSM2_CONF at that configuration for the life of the object (the system's configuration
// is never used) and restores the previous value, and removes the directory, when destroyed
// unless told to keep it.
//
// Tokens are made with softhsm2-util; keys and certificates with the openssl command line;
// they are written to the token with pkcs11-tool, each certificate with the same CKA_ID as its
// private key. RSA keys are slow to make, so they are kept in a cache directory and reused
// across kits and test runs.
//
//     vellum::tokenkit::TokenKit kit;
//     vellum::tokenkit::Token* token = kit.addToken("signer");
//     vellum::tokenkit::CertificateSpec spec;
//     spec.subject = "/CN=Example Signer/O=Example Org";
//     spec.serial = "01A2B3";
//     const vellum::tokenkit::TokenCertificate* cert = kit.addCertificate(*token, spec);
//     if (cert == nullptr) { ... kit.error() ... }
//
// Not thread-safe; calls setenv.
#pragma once

#include <deque>
#include <map>
#include <string>

#include "tokenkit/KeyCache.h"
#include "tokenkit/Token.h"
#include "tokenkit/TokenCertificate.h"

namespace vellum::tokenkit {

class TokenKit {
public:
    struct Options {
        // Directory to work in; created if missing, and reused (its tokens kept) if it already
        // holds a kit. Empty: a new temporary directory.
        std::string directory;
        // Key cache; empty: the build tree's cache (VELLUM_TOKENKIT_CACHE_DIR).
        std::string cacheDirectory;
        // Leave the directory behind when the kit is destroyed.
        bool keep = false;
    };

    static constexpr const char* kDefaultPin = "1234";
    static constexpr const char* kDefaultSoPin = "12345678";

    TokenKit();
    explicit TokenKit(const Options& options);
    ~TokenKit();
    TokenKit(const TokenKit&) = delete;
    TokenKit& operator=(const TokenKit&) = delete;

    // False when the directory or configuration could not be made; error() says why.
    bool ok() const { return ok_; }
    // The reason of the last failure.
    const std::string& error() const { return error_; }

    const std::string& directory() const { return directory_; }
    // The softhsm2.conf that SOFTHSM2_CONF points at.
    const std::string& configPath() const { return configPath_; }
    void setKeep(bool keep) { keep_ = keep; }

    // Initialises a new token in the first free slot. Null on failure (see error()).
    Token* addToken(const std::string& label, const std::string& pin = kDefaultPin,
                    const std::string& soPin = kDefaultSoPin);
    // Makes a certificate (and its key, unless spec says otherwise) and writes it to the
    // token. Null on failure (see error()). The result stays valid as long as the kit.
    const TokenCertificate* addCertificate(Token& token, const CertificateSpec& spec = {});

    // The token of this kit with that label, or null.
    Token* findToken(const std::string& label);
    const std::deque<Token>& tokens() const { return tokens_; }

private:
    bool prepareDirectory(const std::string& requested);
    bool writeRawCertificate(Token& token, const CertificateSpec& spec, TokenCertificate& cert);
    bool writeCertificate(Token& token, const CertificateSpec& spec, TokenCertificate& cert);
    bool fail(const std::string& message);

    bool ok_ = false;
    bool keep_ = false;
    bool createdDirectory_ = false;
    std::string error_;
    std::string directory_;
    std::string configPath_;
    std::string opensslConfigPath_;
    KeyCache keys_;
    std::map<int, size_t> nextKey_;  // next unshared cache key per key size
    std::deque<Token> tokens_;
    bool hadSoftHsmConf_ = false;
    std::string savedSoftHsmConf_;
};

}  // namespace vellum::tokenkit
