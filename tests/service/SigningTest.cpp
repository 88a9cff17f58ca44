// Signing on the token and the two signature envelopes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "TokenFixture.h"
#include "service/MallocPtr.h"
#include "service/PKCS11Impl.h"
#include "tokenkit/OpensslCheck.h"

namespace service_test {
namespace {

bool isUpperHex(const std::string& text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class SigningTest : public TokenFixture {
protected:
    void SetUp() override {
        TokenFixture::SetUp();
        token = addToken("signer");
        ASSERT_NE(token, nullptr);
    }

    const tokenkit::TokenCertificate* addSigner(const std::string& serial, int bits = 1024,
                                                bool withPrivateKey = true) {
        tokenkit::CertificateSpec spec;
        spec.subject = "/CN=Signer " + serial;
        spec.serial = serial;
        spec.bits = bits;
        spec.withPrivateKey = withPrivateKey;
        const tokenkit::TokenCertificate* cert = kit.addCertificate(*token, spec);
        EXPECT_NE(cert, nullptr) << kit.error();
        return cert;
    }

    // Whether the openssl command verifies the signature over the data with the certificate.
    bool opensslVerifies(const tokenkit::TokenCertificate& cert, const std::string& digest,
                         const std::string& data, const std::string& hexSignature) {
        return tokenkit::OpensslCheck::verifies(cert.pemPath, digest, data, hexSignature,
                                                kit.directory());
    }

    // The mechanism of the last C_SignInit, as the call log shows it.
    std::string lastSignMechanism() const {
        std::vector<tokenkit::LoggedCall> inits = log().calls("C_SignInit");
        return inits.empty() ? "none" : inits.back().arg("mechanism");
    }

    // Sessions all closed, no login left, module finalised and unloaded.
    void expectClosedDown() const {
        expectBalanced();
        EXPECT_EQ(log().count("C_OpenSession"), log().count("C_CloseSession"));
        EXPECT_EQ(log().count("C_Login") > 0 && log().calls("C_Login").back().rv == 0,
                  log().count("C_Logout") > 0);
    }

    tokenkit::Token* token = nullptr;
    PKCS11Impl service{VELLUM_P11FWD_PATH};
};

TEST_F(SigningTest, SignaturesVerifyWithTheCertificate) {
    struct Case {
        const char* hash;
        const char* digest;  // the openssl dgst option
        const char* mechanism;
        int bits;
    };
    const Case cases[] = {
        {"md5", "md5", "0x5", 1024},        {"sha1", "sha1", "0x6", 1024},
        {"sha256", "sha256", "0x40", 1024}, {"md5", "md5", "0x5", 2048},
        {"sha1", "sha1", "0x6", 2048},      {"sha256", "sha256", "0x40", 2048},
        {"sha256", "sha256", "0x40", 4096},
    };
    const std::string data = "The text to sign, signed on the token.";
    service.setSignData(data);
    for (const Case& c : cases) {
        const std::string serial = "5" + std::to_string(c.bits) + "0";
        const tokenkit::TokenCertificate* cert = nullptr;
        for (const tokenkit::TokenCertificate& existing : token->certificates) {
            if (existing.serial == serial) {
                cert = &existing;
            }
        }
        if (!cert) {
            cert = addSigner(serial, c.bits);
        }
        ASSERT_NE(cert, nullptr);
        service.setCN(serial);
        service.setHashAlgorithm(c.hash);
        log().clear();
        const std::string envelope = service.getSignature();
        ASSERT_EQ(envelope.substr(0, 8), "US65001:") << envelope;
        const size_t hexLength = static_cast<size_t>(c.bits / 4);
        char count[16];
        std::snprintf(count, sizeof(count), "%08zu", hexLength);
        EXPECT_EQ(envelope.substr(8, 8), count);
        const std::string hex = envelope.substr(16);
        EXPECT_EQ(hex.size(), hexLength);
        EXPECT_TRUE(isUpperHex(hex)) << hex;
        EXPECT_TRUE(opensslVerifies(*cert, c.digest, data, hex)) << c.hash << " " << c.bits;
        EXPECT_EQ(lastSignMechanism(), c.mechanism);
        EXPECT_EQ(service.lastError(), "OK");
        expectClosedDown();
    }
}

TEST_F(SigningTest, EnvelopesOfA1024BitSha1Signature) {
    const tokenkit::TokenCertificate* cert = addSigner("0102");
    ASSERT_NE(cert, nullptr);
    service.setCN("0102");
    service.setHashAlgorithm("sha1");
    // UTF-8 data: the data length counts bytes (12), not characters (8).
    const std::string data = "ab \xE4\xB8\xAD\xE6\x96\x87 cd";
    ASSERT_EQ(data.size(), 12u);
    service.setSignData(data);

    const std::string signature = service.getSignature();
    EXPECT_EQ(signature.size(), 272u);
    EXPECT_EQ(signature.substr(0, 16), "US65001:00000256");
    EXPECT_TRUE(isUpperHex(signature.substr(16)));

    const std::string envelope = service.getSignData();
    ASSERT_EQ(envelope.size(), 8 + 8 + data.size() + 8 + 256);
    EXPECT_EQ(envelope.substr(0, 16), "UD65001:00000012");
    EXPECT_EQ(envelope.substr(16, data.size()), data);
    EXPECT_EQ(envelope.substr(16 + data.size(), 8), "00000256");
    const std::string hex = envelope.substr(24 + data.size());
    EXPECT_TRUE(opensslVerifies(*cert, "sha1", data, hex));
    EXPECT_FALSE(opensslVerifies(*cert, "sha1", data + ".", hex));
    EXPECT_FALSE(opensslVerifies(*cert, "sha256", data, hex));
    // RSA PKCS #1 v1.5 signatures are deterministic: both reads signed the same bytes.
    EXPECT_EQ(hex, signature.substr(16));
    EXPECT_EQ(service.getSignData(), envelope);
    // The data text stays as it was set.
    EXPECT_EQ(service.ServiceBase::getSignData(), data);
}

TEST_F(SigningTest, DataWithANulByteIsSignedAndCarriedWhole) {
    const tokenkit::TokenCertificate* cert = addSigner("0103");
    ASSERT_NE(cert, nullptr);
    service.setCN("0103");
    const std::string data("before\0after", 12);
    service.setSignData(data);
    const std::string envelope = service.getSignData();
    ASSERT_EQ(envelope.substr(0, 16), "UD65001:00000012");
    EXPECT_EQ(envelope.substr(16, 12), data);
    EXPECT_EQ(envelope.substr(28, 8), "00000256");
    EXPECT_TRUE(opensslVerifies(*cert, "sha1", data, envelope.substr(36)));
}

TEST_F(SigningTest, HashNamesSelectTheMechanism) {
    ASSERT_NE(addSigner("0104"), nullptr);
    service.setCN("0104");
    service.setSignData("data");
    struct Case {
        const char* name;
        const char* mechanism;
    };
    // Exact names only; anything else, after any earlier choice, is SHA-1 again.
    const Case cases[] = {{"sha256", "0x40"}, {"SHA256", "0x6"},  {"md5", "0x5"},
                          {"", "0x6"},        {"sha256", "0x40"}, {"sha-256", "0x6"},
                          {"md5", "0x5"},     {"md5 ", "0x6"},    {"sha256", "0x40"},
                          {"sha1", "0x6"},    {"sha256", "0x40"}, {"MD5", "0x6"}};
    for (const Case& c : cases) {
        service.setHashAlgorithm(c.name);
        EXPECT_EQ(service.lastError(), "OK");
        EXPECT_NE(service.getSignature(), "E:1000") << c.name;
        EXPECT_EQ(lastSignMechanism(), c.mechanism) << c.name;
    }
    // SM3 reaches the module unchanged; SoftHSM2 does not know it.
    service.setHashAlgorithm("sm3");
    log().clear();
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(lastSignMechanism(), "0x10003");
    EXPECT_EQ(service.lastError(), "C_SignInit failed:Mechanism invalid(0x0070)");
    expectClosedDown();
}

TEST_F(SigningTest, EverySigningRepeatsTheWholeSequence) {
    const tokenkit::TokenCertificate* cert = addSigner("0105");
    ASSERT_NE(cert, nullptr);
    service.setCN("0105");
    service.setSignData("again");
    const std::string first = service.getSignature();
    const std::string second = service.getSignature();
    EXPECT_TRUE(opensslVerifies(*cert, "sha1", "again", first.substr(16)));
    EXPECT_TRUE(opensslVerifies(*cert, "sha1", "again", second.substr(16)));
    tokenkit::CallLog calls = log();
    EXPECT_EQ(calls.loads(), 2u);
    EXPECT_EQ(calls.unloads(), 2u);
    for (const char* name : {"C_Initialize", "C_OpenSession", "C_Login", "C_SignInit",
                             "C_SignUpdate", "C_Logout", "C_CloseSession", "C_Finalize"}) {
        EXPECT_EQ(calls.count(name), 2u) << name;
    }
    // Two C_SignFinal per signing: the length, then the signature.
    EXPECT_EQ(calls.count("C_SignFinal"), 4u);
    // The PIN is never handled by the service: the module gets a null PIN.
    for (const tokenkit::LoggedCall& login : calls.calls("C_Login")) {
        EXPECT_EQ(login.arg("pin"), "null");
        EXPECT_EQ(login.arg("pinLength"), "0");
        EXPECT_EQ(login.arg("userType"), "1");
    }
    expectClosedDown();
}

TEST_F(SigningTest, FailuresBeforeTheToken) {
    ASSERT_NE(addSigner("0106"), nullptr);
    service.setCN("0106");
    // No data: nothing is loaded.
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(service.lastError(), "Params invalid");
    EXPECT_EQ(service.getSignData(), "E:1000");
    EXPECT_EQ(service.lastError(), "Params invalid");
    EXPECT_EQ(log().loads(), 0u);
    char* text = nullptr;
    unsigned long length = 7;
    EXPECT_EQ(service.sign(nullptr, 4, &text, length), -1);
    EXPECT_EQ(service.lastError(), "Params invalid");
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, 7u);

    PKCS11Impl absent("/nonexistent/libnothing.so");
    absent.setSignData("data");
    EXPECT_EQ(absent.getSignature(), "E:1000");
    EXPECT_EQ(absent.lastError(), "loadPKCS11Library failed:");

    // A failed initialize unloads the module without finalising it.
    service.setSignData("data");
    env.set("VELLUM_P11FWD_FAIL", "C_Initialize=0x30");
    EXPECT_EQ(service.getSignData(), "E:1000");
    EXPECT_EQ(service.lastError(), "initialize failed:");
    EXPECT_EQ(log().unloads(), 1u);
    EXPECT_EQ(log().count("C_Finalize"), 0u);

    PKCS11Impl noSymbol(VELLUM_P11NOSYM_PATH);
    noSymbol.setSignData("data");
    EXPECT_EQ(noSymbol.getSignature(), "E:1000");
    EXPECT_EQ(noSymbol.lastError(), "initialize failed:");
}

TEST_F(SigningTest, NoMatchingCertificate) {
    ASSERT_NE(addSigner("0107"), nullptr);
    service.setCN("0108");
    service.setSignData("data");
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(service.lastError(), "CN not matched");
    EXPECT_EQ(log().count("C_Login"), 0u);
    // The search closed its own session; no stale handle is closed again.
    EXPECT_EQ(log().count("C_CloseSession"), 1u);
    expectClosedDown();
}

TEST_F(SigningTest, WrongPin) {
    ASSERT_NE(addSigner("0109"), nullptr);
    service.setCN("0109");
    service.setSignData("data");
    env.set("VELLUM_P11FWD_PIN", "999999");
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_Login failed:Pin incorrect(0x00A0)");
    EXPECT_EQ(log().count("C_Logout"), 0u);
    expectClosedDown();
}

TEST_F(SigningTest, CertificateWithoutPrivateKey) {
    ASSERT_NE(addSigner("010A", 1024, false), nullptr);
    service.setCN("010A");
    service.setSignData("data");
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_FindObjects failed:OK(0x0000)");
    // Logged out, session closed, module finalised and unloaded.
    EXPECT_EQ(log().count("C_Logout"), 1u);
    EXPECT_EQ(log().count("C_SignInit"), 0u);
    expectClosedDown();
}

TEST_F(SigningTest, FailuresOnTheToken) {
    ASSERT_NE(addSigner("010B"), nullptr);
    service.setCN("010B");
    service.setSignData("data");
    struct Case {
        const char* fault;
        const char* status;
    };
    // Reading the certificate takes C_GetAttributeValue #1 and #2; the key's CKA_ID #3 and #4.
    const Case cases[] = {
        {"C_GetAttributeValue#3=0x12",
         "Find key C_GetAttributeValue failed:Attribute type invalid(0x0012)"},
        {"C_GetAttributeValue#4=0x150",
         "Find key C_GetAttributeValue failed:Buffer too small(0x0150)"},
        {"C_FindObjectsInit#2=0x5", "C_FindObjectsInit failed:General error(0x0005)"},
        {"C_FindObjectsFinal#2=0x5", "C_FindObjectsFinal failed:General error(0x0005)"},
        {"C_SignInit=0x5", "C_SignInit failed:General error(0x0005)"},
        {"C_SignUpdate=0x21", "C_SignUpdate failed:Data len range(0x0021)"},
        {"C_SignFinal#1=0x30", "C_SignFinal1 failed:Device error(0x0030)"},
        {"C_SignFinal#2=0x30", "C_SignFinal2 failed:Device error(0x0030)"},
        {"C_Logout=0x101", "C_Logout failed:User not logged in(0x0101)"},
    };
    for (const Case& c : cases) {
        env.set("VELLUM_P11FWD_FAIL", c.fault);
        log().clear();
        EXPECT_EQ(service.getSignature(), "E:1000") << c.fault;
        EXPECT_EQ(service.lastError(), c.status) << c.fault;
        // Every failure after the login logs out.
        EXPECT_GE(log().count("C_Logout"), 1u) << c.fault;
        expectBalanced();
        EXPECT_EQ(log().count("C_OpenSession"), log().count("C_CloseSession"));
    }
    env.unset("VELLUM_P11FWD_FAIL");
    EXPECT_NE(service.getSignData(), "E:1000");
    EXPECT_EQ(service.lastError(), "OK");
}

TEST_F(SigningTest, SignatureLongerThanTheBuffer) {
    ASSERT_NE(addSigner("010C"), nullptr);
    service.setCN("010C");
    service.setSignData("data");
    env.set("VELLUM_P11FWD_SIGNATURE_LENGTH", "600");
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_SignFinal1 failed:Buffer too small(0x0150)");
    EXPECT_EQ(log().count("C_SignFinal"), 1u);
    EXPECT_EQ(log().count("C_Logout"), 1u);
    expectClosedDown();

    // Exactly the buffer's size still fits; the module then signs with its true length.
    env.set("VELLUM_P11FWD_SIGNATURE_LENGTH", "512");
    EXPECT_NE(service.getSignature(), "E:1000");
}

// A module that claims to have written more of an attribute value than it had room for broke
// its contract: nothing past the value asked for is read, and every operation fails with the
// reading's status text, closed down as after any failure.
TEST_F(SigningTest, OverstatedAttributeLengthsFailTheOperation) {
    ASSERT_NE(addSigner("010D"), nullptr);
    service.setCN("010D");
    service.setSignData("data");
    env.set("VELLUM_P11FWD_OVERSTATE_VALUE_LENGTH", "64");
    for (std::string (PKCS11Impl::*operation)() :
         {&PKCS11Impl::getSignature, &PKCS11Impl::getCertList, &PKCS11Impl::signCert}) {
        EXPECT_EQ((service.*operation)(), "E:1000");
        EXPECT_EQ(service.lastError(),
                  "Load cert C_GetAttributeValue failed:General error(0x0005)");
        EXPECT_FALSE(log().calls("C_GetAttributeValue").back().arg("reported").empty());
        EXPECT_EQ(log().count("C_Login"), 0u);
        expectClosedDown();
        log().clear();
    }
}

}  // namespace
}  // namespace service_test
