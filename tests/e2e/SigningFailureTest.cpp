// Failures of Signature and SignData through the shipping plug-in: "E:1000" with the status text
// of the failing step, and from the token module's call log, no session open, no login left and
// the module finalised and unloaded after every path.
#include <openssl/objects.h>

#include <string>
#include <vector>

#include "CertificateBuilder.h"
#include "OpensslCommand.h"
#include "TokenScriptFixture.h"
#include "fixedpath/TokenModuleRedirect.h"

namespace vellum::e2e {
namespace {

using SigningFailureTest = TokenScriptTest;

TEST_F(SigningFailureTest, FailuresBeforeTheToken) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "0201"), nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "0201");

    // Nothing to sign: the module is not even loaded.
    for (const char* property : {"Signature", "SignData"}) {
        EXPECT_EQ(readText(property), "E:1000") << property;
        EXPECT_EQ(lastError(), "Params invalid") << property;
    }
    EXPECT_EQ(callLog().loads(), 0u);
    EXPECT_TRUE(callLog().lines().empty());

    // A failed initialize: unloaded again, finalised first only if C_Initialize succeeded.
    write("SignData", "data");
    struct FailedInitialize {
        const char* fault;
        size_t finalizes;
    };
    for (const FailedInitialize& f :
         {FailedInitialize{"C_Initialize=0x30", 0}, FailedInitialize{"C_GetSlotList#1=0x30", 1}}) {
        SCOPED_TRACE(f.fault);
        env().set("VELLUM_P11FWD_FAIL", f.fault);
        clearLog();
        EXPECT_EQ(readText("Signature"), "E:1000");
        EXPECT_EQ(lastError(), "initialize failed:");
        EXPECT_EQ(callLog().count("C_Finalize"), f.finalizes);
        EXPECT_EQ(callLog().count("C_OpenSession"), 0u);
        EXPECT_TRUE(closedDown());
    }
    env().unset("VELLUM_P11FWD_FAIL");

    // No module at the fixed path.
    ASSERT_TRUE(fixedpath::TokenModuleRedirect::pointAtNothing());
    clearLog();
    EXPECT_EQ(readText("SignData"), "E:1000");
    EXPECT_EQ(lastError(), "loadPKCS11Library failed:");
    EXPECT_TRUE(callLog().lines().empty());

    // Each read starts afresh: with the module back, signing works again.
    std::string why;
    ASSERT_TRUE(fixedpath::TokenModuleRedirect::pointAt(VELLUM_P11FWD_PATH, why)) << why;
    EXPECT_EQ(readText("Signature").size(), 272u);
    EXPECT_EQ(lastError(), "OK");
    EXPECT_TRUE(closedDown());
}

TEST_F(SigningFailureTest, FailuresOnTheToken) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "0201"), nullptr);
    ASSERT_NE(addSigner(token(), "/CN=Keyless", "0202", 1024, false), nullptr);
    ASSERT_TRUE(startPlugin());
    write("SignData", "data");

    struct Case {
        const char* variable;  // forwarding module setting, or null
        const char* value;
        const char* cn;
        const char* status;
        size_t logouts;
    };
    const Case cases[] = {
        {"VELLUM_P11FWD_PIN", "999999", "0201", "C_Login failed:Pin incorrect(0x00A0)", 0},
        // The certificate's key is looked for and not found: logged out again.
        {nullptr, "", "0202", "C_FindObjects failed:OK(0x0000)", 1},
        {"VELLUM_P11FWD_FAIL", "C_SignInit=0x5", "0201", "C_SignInit failed:General error(0x0005)",
         1},
        {"VELLUM_P11FWD_FAIL", "C_SignUpdate=0x21", "0201",
         "C_SignUpdate failed:Data len range(0x0021)", 1},
        {"VELLUM_P11FWD_FAIL", "C_SignFinal#1=0x30", "0201",
         "C_SignFinal1 failed:Device error(0x0030)", 1},
        {"VELLUM_P11FWD_FAIL", "C_SignFinal#2=0x30", "0201",
         "C_SignFinal2 failed:Device error(0x0030)", 1},
        // The signature made is thrown away.
        {"VELLUM_P11FWD_FAIL", "C_Logout=0x101", "0201",
         "C_Logout failed:User not logged in(0x0101)", 1},
        // More than the 512 bytes a signature may have: nothing is written past the buffer.
        {"VELLUM_P11FWD_SIGNATURE_LENGTH", "600", "0201",
         "C_SignFinal1 failed:Buffer too small(0x0150)", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable ? c.variable : "no key") + "=" + c.value);
        if (c.variable) {
            env().set(c.variable, c.value);
        }
        write("CN", c.cn);
        for (const char* property : {"Signature", "SignData"}) {
            SCOPED_TRACE(property);
            clearLog();
            EXPECT_EQ(readText(property), "E:1000");
            EXPECT_EQ(lastError(), c.status);
            EXPECT_EQ(callLog().count("C_Logout"), c.logouts);
            EXPECT_TRUE(closedDown());
        }
        // Back to the fixture's settings: the token's PIN, nothing else.
        if (c.variable && std::string(c.variable) == "VELLUM_P11FWD_PIN") {
            env().set(c.variable, token().pin);
        } else if (c.variable) {
            env().unset(c.variable);
        }
    }
    // A refused signature length stops before the signature is fetched.
    env().set("VELLUM_P11FWD_SIGNATURE_LENGTH", "600");
    write("CN", "0201");
    clearLog();
    readText("Signature");
    EXPECT_EQ(callLog().count("C_SignFinal"), 1u);
    env().unset("VELLUM_P11FWD_SIGNATURE_LENGTH");
    // No key, no signing.
    write("CN", "0202");
    clearLog();
    readText("Signature");
    EXPECT_EQ(callLog().count("C_SignInit"), 0u);

    write("CN", "0201");
    EXPECT_EQ(readText("Signature").size(), 272u);
    EXPECT_EQ(lastError(), "OK");
}

// A token module that answers CKR_OK with bytes that are no signature of the data: the check
// against the certificate refuses them, with the same token calls as a good signing and the
// closing steps of any failure after login.
TEST_F(SigningFailureTest, BadSignaturesAreRefused) {
    const auto* cert = addSigner(token(), "/CN=Signer", "0203");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    const std::string data = "data";
    write("CN", "0203");
    write("SignData", data);
    clearLog();
    ASSERT_EQ(readText("Signature").size(), 272u);
    const std::vector<std::string> goodCalls = callNames();

    for (const char* mode : {"flip", "empty"}) {
        env().set("VELLUM_P11FWD_BAD_SIGNATURE", mode);
        for (const char* hash : {"md5", "sha1", "sha256"}) {
            write("HashAlgorithm", hash);
            for (const char* property : {"Signature", "SignData"}) {
                SCOPED_TRACE(std::string(mode) + ", " + hash + ", " + property);
                clearLog();
                EXPECT_EQ(readText(property), "E:1000");
                EXPECT_EQ(lastError(), "Signature check failed:Signature invalid(0x00C0)");
                EXPECT_EQ(callNames(), goodCalls);
                EXPECT_EQ(succeeded("C_Logout"), 1u);
                EXPECT_TRUE(closedDown());

                const std::vector<tokenkit::LoggedCall> finals = callLog().calls("C_SignFinal");
                ASSERT_EQ(finals.size(), 2u);
                EXPECT_EQ(finals[1].arg("bent"), mode);
                const std::string handedOut = finals[1].arg("handedOut");
                EXPECT_FALSE(verifies(*cert, hash, data, handedOut));
                if (std::string(mode) == "empty") {
                    // A sound signature by the right key, only not of this data.
                    EXPECT_TRUE(verifies(*cert, hash, "", handedOut));
                }
            }
        }
    }
}

// The certificate's key decides the check, whatever the token signs with the private key of its
// CKA_ID. Here that key is an RSA key, certified twice more: once as id-RSASSA-PSS, which is
// still RSA and checked as such, and once (in name only) by an EC certificate, under which no
// signature of an RSA mechanism can be valid.
TEST_F(SigningFailureTest, TheCertificatesKeyDecidesTheCheck) {
    const auto* signer = addSigner(token(), "/CN=Signer", "0204");
    ASSERT_NE(signer, nullptr);
    tokenkit::CertificateSpec pss = spec("", "");
    pss.id = signer->id;
    pss.label = "pss";
    pss.rawValue = CertificateBuilder()
                       .subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "PSS")
                       .subjectKey(signer->keyPath, NID_rsassaPss)
                       .serial(0x0205)
                       .der();
    ASSERT_FALSE(pss.rawValue.empty());
    tokenkit::CertificateSpec ec = spec("", "");
    ec.id = signer->id;
    ec.label = "ec";
    ec.rawValue = OpensslCommand().certificate("/CN=EC", "0x0206");
    ASSERT_NE(addCertificate(pss), nullptr);
    ASSERT_NE(addCertificate(ec), nullptr);
    ASSERT_TRUE(startPlugin());
    const std::string data = "data";
    write("SignData", data);

    for (const char* hash : {"md5", "sha1", "sha256"}) {
        SCOPED_TRACE(hash);
        write("HashAlgorithm", hash);
        write("CN", "0205");
        clearLog();
        EXPECT_EQ(readText("Signature"),
                  "US65001:00000256" + opensslSignature(*signer, hash, data));
        EXPECT_EQ(lastError(), "OK");
        EXPECT_TRUE(closedDown());

        env().set("VELLUM_P11FWD_BAD_SIGNATURE", "flip");
        clearLog();
        EXPECT_EQ(readText("Signature"), "E:1000");
        EXPECT_EQ(lastError(), "Signature check failed:Signature invalid(0x00C0)");
        EXPECT_EQ(succeeded("C_Logout"), 1u);
        EXPECT_TRUE(closedDown());
        env().unset("VELLUM_P11FWD_BAD_SIGNATURE");

        // The token signs, soundly by its key; the EC certificate cannot vouch for it.
        write("CN", "0206");
        clearLog();
        EXPECT_EQ(readText("SignData"), "E:1000");
        EXPECT_EQ(lastError(), "Signature check failed:Signature invalid(0x00C0)");
        EXPECT_EQ(succeeded("C_SignFinal"), 2u);
        EXPECT_EQ(succeeded("C_Logout"), 1u);
        EXPECT_TRUE(closedDown());
    }
}

}  // namespace
}  // namespace vellum::e2e
