// TokenTest with the shorthands of the token-operation suites: page-script calls that must
// answer a string, and what the forwarding module's call log must show after an operation.
#pragma once

#include <string>
#include <vector>

#include "PluginFixture.h"

namespace vellum::e2e {

class TokenScriptTest : public TokenTest {
protected:
    // The string a method call or property read answered; a test failure (and "") when the call
    // failed or answered another kind.
    std::string invokeText(const std::string& method);
    std::string readText(const std::string& property);
    std::string lastError() { return invokeText("LastError"); }
    // A property write, which must succeed.
    void write(const std::string& property, const std::string& value);

    // Certificates of 1024-bit keys on a token; null with the kit's reason as a test failure.
    const tokenkit::TokenCertificate* addSigner(tokenkit::Token& token, const std::string& subject,
                                                const std::string& serial, int bits = 1024,
                                                bool withPrivateKey = true);

    // The call log since it was last cleared ends with the module finalised and unloaded: at
    // least one load, as many unloads, every successful C_Initialize finalised, every opened
    // session closed, no session and no login left at C_Finalize, nothing after the last
    // unload.
    ::testing::AssertionResult closedDown();
    void clearLog() { callLog().clear(); }
    // Successful calls of that name in the log.
    size_t succeeded(const std::string& name);
    // The mechanism argument of the last C_SignInit, or "none".
    std::string lastSignMechanism();
    // The names of the calls in the log, in order.
    std::vector<std::string> callNames();

    // Whether the openssl command verifies the hexadecimal signature over the data with the
    // certificate's public key and the digest ("md5", "sha1", "sha256").
    ::testing::AssertionResult verifies(const tokenkit::TokenCertificate& cert,
                                        const std::string& digest, const std::string& data,
                                        const std::string& hex);
    // The signature the openssl command makes over the data with the certificate's private key,
    // in upper-case hexadecimal: the token's, byte for byte (PKCS#1 v1.5 is deterministic).
    std::string opensslSignature(const tokenkit::TokenCertificate& cert, const std::string& digest,
                                 const std::string& data);

    // "CN=<name>,<serial>;" entries of a certificate list, in order; a piece after the last ";"
    // is an entry of its own, so that a missing terminator shows.
    static std::vector<std::string> entriesOf(const std::string& list);
};

}  // namespace vellum::e2e
