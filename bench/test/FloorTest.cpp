// The floor must make exactly the calls the plug-in makes, in the same order, and give the
// same answers; otherwise the benchmark's ratio compares unlike things. These tests run the
// floor against real SoftHSM2 tokens, through the forwarding module with its call log, and
// against SoftHSM2 itself.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "DirectCertificateList.h"
#include "DirectSignature.h"
#include "tokenkit/CallLog.h"
#include "tokenkit/ScopedEnv.h"
#include "tokenkit/TokenKit.h"

namespace vellum::bench {
namespace {

using tokenkit::CallLog;
using tokenkit::CertificateSpec;
using tokenkit::TokenCertificate;

std::vector<unsigned char> bytesOfHex(const std::string& hex) {
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// RSA PKCS#1 v1.5 with SHA-256, checked against the certificate's public key.
bool verifies(const TokenCertificate& cert, const std::string& data,
              const std::vector<unsigned char>& signature) {
    const unsigned char* cursor = cert.der.data();
    std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &cursor, static_cast<long>(cert.der.size())), X509_free);
    if (!x509) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    EVP_PKEY* key = X509_get0_pubkey(x509.get());
    return key != nullptr &&
           EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::vector<std::string> callNames(const CallLog& log) {
    std::vector<std::string> names;
    for (const auto& call : log.calls()) {
        names.push_back(call.name);
    }
    return names;
}

class FloorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kit.ok()) << kit.error();
        token = kit.addToken("floor");
        ASSERT_NE(token, nullptr) << kit.error();
        env.set("VELLUM_P11FWD_PIN", token->pin);
        env.set("VELLUM_P11FWD_NO_TTY", "1");
        env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
        env.set("VELLUM_P11FWD_LOG", kit.directory() + "/calls.log");
        env.unset("VELLUM_P11FWD_FAIL");
        env.unset("VELLUM_P11FWD_TARGET");
    }

    const TokenCertificate* addCertificate(const std::string& subject, const std::string& serial) {
        CertificateSpec spec;
        spec.subject = subject;
        spec.serial = serial;
        spec.bits = 1024;
        const TokenCertificate* cert = kit.addCertificate(*token, spec);
        EXPECT_NE(cert, nullptr) << kit.error();
        return cert;
    }

    DirectSignature signer(const std::string& serial,
                           const std::string& module = VELLUM_P11FWD_PATH,
                           const std::string& pin = std::string()) {
        DirectSignature::Settings settings;
        settings.modulePath = module;
        settings.pin = pin;
        settings.serial = serial;
        return DirectSignature(settings);
    }

    CallLog log() { return CallLog(kit.directory() + "/calls.log"); }

    tokenkit::TokenKit kit;
    tokenkit::Token* token = nullptr;
    tokenkit::ScopedEnv env;
    const std::string data = "Grüße: 1 234,50 EUR";
};

TEST_F(FloorTest, SignatureMakesThePluginsCallsInItsOrder) {
    const TokenCertificate* cert = addCertificate("/CN=Floor Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    std::string envelope;
    std::string error;
    ASSERT_TRUE(signer(cert->serial).sign(data, envelope, error)) << error;

    const std::vector<std::string> expected = {"C_GetFunctionList",
                                               "C_Initialize",
                                               "C_GetSlotList",
                                               "C_GetSlotList",
                                               "C_GetSlotList",
                                               "C_GetMechanismInfo",
                                               "C_OpenSession",
                                               "C_FindObjectsInit",
                                               "C_FindObjects",
                                               "C_FindObjectsFinal",
                                               "C_GetAttributeValue",
                                               "C_GetAttributeValue",
                                               "C_Login",
                                               "C_GetAttributeValue",
                                               "C_GetAttributeValue",
                                               "C_FindObjectsInit",
                                               "C_FindObjects",
                                               "C_FindObjectsFinal",
                                               "C_SignInit",
                                               "C_SignUpdate",
                                               "C_SignFinal",
                                               "C_SignFinal",
                                               "C_Logout",
                                               "C_CloseSession",
                                               "C_Finalize"};
    CallLog calls = log();
    EXPECT_EQ(callNames(calls), expected);
    std::string problem;
    EXPECT_TRUE(calls.balanced(&problem)) << problem;
    EXPECT_EQ(calls.loads(), 1u);
    EXPECT_EQ(calls.unloads(), 1u);
    // The null PIN, left to the module, as the plug-in logs in.
    auto logins = calls.calls("C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].arg("pin"), "null");
    EXPECT_EQ(logins[0].arg("pinSupplied"), "yes");
    auto signInits = calls.calls("C_SignInit");
    ASSERT_EQ(signInits.size(), 1u);
    EXPECT_EQ(signInits[0].arg("mechanism"), "0x40");
}

TEST_F(FloorTest, SignatureEnvelopeVerifiesAndPicksTheCertificateBySerial) {
    const TokenCertificate* first = addCertificate("/CN=First", "0A0B0C");
    const TokenCertificate* second = addCertificate("/CN=Second", "7F00");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // Each certificate has a key of its own, so a wrong pick fails the verification.
    for (const TokenCertificate* cert : {first, second}) {
        std::string envelope;
        std::string error;
        ASSERT_TRUE(signer(cert->serial).sign(data, envelope, error)) << error;
        // 1024-bit key: 128 bytes, 256 hexadecimal characters behind the 16-character head.
        ASSERT_EQ(envelope.size(), 16u + 256u) << envelope;
        EXPECT_EQ(envelope.substr(0, 16), "US65001:00000256");
        EXPECT_EQ(envelope.find_first_not_of("0123456789ABCDEF", 16), std::string::npos);
        EXPECT_TRUE(verifies(*cert, data, bytesOfHex(envelope.substr(16)))) << cert->serial;
    }
    std::string problem;
    EXPECT_TRUE(log().balanced(&problem)) << problem;
}

TEST_F(FloorTest, SoftHsmDirectlyWithThePinGivesTheSameSignature) {
    const TokenCertificate* cert = addCertificate("/CN=Floor Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    std::string viaForwarding;
    std::string direct;
    std::string error;
    ASSERT_TRUE(signer(cert->serial).sign(data, viaForwarding, error)) << error;
    ASSERT_TRUE(signer(cert->serial, VELLUM_SOFTHSM2_PATH, token->pin).sign(data, direct, error))
        << error;
    EXPECT_EQ(direct, viaForwarding);
}

TEST_F(FloorTest, SignatureFailuresSayWhy) {
    const TokenCertificate* cert = addCertificate("/CN=Floor Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    std::string envelope = "untouched";
    std::string error;
    EXPECT_FALSE(signer("01A2B4").sign(data, envelope, error));
    EXPECT_EQ(error, "no certificate with the serial number 01A2B4");

    EXPECT_FALSE(signer(cert->serial, VELLUM_SOFTHSM2_PATH, "0000").sign(data, envelope, error));
    EXPECT_EQ(error, "C_Login failed: 0xA0");

    env.set("VELLUM_P11FWD_FAIL", "C_SignFinal#2=0x30");
    EXPECT_FALSE(signer(cert->serial).sign(data, envelope, error));
    EXPECT_EQ(error, "C_SignFinal failed: 0x30");
    EXPECT_EQ(envelope, "untouched");
    // Failures still log out, close the session, finalise and unload.
    std::string problem;
    EXPECT_TRUE(log().balanced(&problem)) << problem;

    EXPECT_FALSE(signer(cert->serial, "/nonexistent/module.so").sign(data, envelope, error));
    EXPECT_EQ(error.rfind("dlopen /nonexistent/module.so: ", 0), 0u) << error;
}

TEST_F(FloorTest, CertificateListHasThePluginsEntries) {
    const TokenCertificate* named = addCertificate("/CN=Example Signer/O=Example Org", "01A2B3");
    const TokenCertificate* orgOnly = addCertificate("/O=Only Org", "0080");
    ASSERT_NE(named, nullptr);
    ASSERT_NE(orgOnly, nullptr);
    std::string text;
    std::string error;
    ASSERT_TRUE(DirectCertificateList(VELLUM_P11FWD_PATH).list(text, error)) << error;
    // Serials are the magnitude octets: 0x0080 is "80". The token's object order is its own.
    const std::string a = "CN=Example Signer,01A2B3;";
    const std::string b = "CN=Only Org,80;";
    EXPECT_TRUE(text == a + b || text == b + a) << text;

    CallLog calls = log();
    std::string problem;
    EXPECT_TRUE(calls.balanced(&problem)) << problem;
    EXPECT_EQ(calls.count("C_GetSlotList"), 3u);
    EXPECT_EQ(calls.count("C_GetAttributeValue"), 4u);
    EXPECT_EQ(calls.count("C_Login"), 0u);
}

TEST_F(FloorTest, CertificateListOfAnEmptyTokenIsEmpty) {
    std::string text = "untouched";
    std::string error;
    EXPECT_TRUE(DirectCertificateList(VELLUM_P11FWD_PATH).list(text, error)) << error;
    EXPECT_EQ(text, "");
}

}  // namespace
}  // namespace vellum::bench
