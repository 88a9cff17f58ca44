// Certificate listing and the Base64 certificate of a chosen serial number.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TokenFixture.h"
#include "service/MallocPtr.h"
#include "service/PKCS11Impl.h"
#include "tokenkit/OpensslCheck.h"

namespace service_test {
namespace {

// The ";"-terminated entries of a certificate list, sorted; a piece after the last ";" is kept
// as an entry of its own so that a missing terminator shows.
std::vector<std::string> sortedEntries(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        end = end == std::string::npos ? list.size() : end + 1;
        entries.push_back(list.substr(start, end - start));
        start = end;
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// DER of a self-signed certificate with a common name and a serial given as octets; made with
// OpenSSL's API as the openssl command refuses a CN over 64 characters.
std::vector<unsigned char> certificateWith(const std::string& commonName,
                                           const std::vector<unsigned char>& serial) {
    std::vector<unsigned char> der;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    BIGNUM* number = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    X509_NAME* name = X509_get_subject_name(cert);
    if (key && cert && number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) &&
        X509_NAME_add_entry_by_txt(name, "CN", V_ASN1_UTF8STRING,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) &&
        X509_set_issuer_name(cert, name) && X509_gmtime_adj(X509_getm_notBefore(cert), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600) && X509_set_pubkey(cert, key) &&
        X509_sign(cert, key, EVP_sha256()) > 0) {
        int length = i2d_X509(cert, nullptr);
        der.resize(static_cast<size_t>(length));
        unsigned char* out = der.data();
        i2d_X509(cert, &out);
    }
    BN_free(number);
    X509_free(cert);
    EVP_PKEY_free(key);
    return der;
}

class CertificateDiscoveryTest : public TokenFixture {
protected:
    // The slot C_GetMechanismInfo was last asked about: the last slot of the last listing.
    unsigned long lastQueriedSlot() const {
        std::vector<tokenkit::LoggedCall> queries = log().calls("C_GetMechanismInfo");
        return queries.empty() ? 0 : std::stoul(queries.back().arg("slot"));
    }

    PKCS11Impl service{VELLUM_P11FWD_PATH};
};

TEST_F(CertificateDiscoveryTest, ListsCertificatesOfTheTokenInModuleOrder) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=Example Signer/O=Example Org", "01A2B3"), nullptr);
    ASSERT_NE(addCertificate(*token, "/C=DE/O=Example Org", "7F00"), nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=\xE4\xB8\xAD\xE6\x96\x87 Name", "8F3A"), nullptr);

    // SoftHSM2 returns the objects in no fixed order, so any order of the three entries is taken.
    const std::vector<std::string> expected = {"CN=Example Org,7F00;", "CN=Example Signer,01A2B3;",
                                               "CN=\xE4\xB8\xAD\xE6\x96\x87 Name,8F3A;"};
    EXPECT_EQ(sortedEntries(service.getCertList()), expected);
    EXPECT_EQ(service.lastError(), "OK");
    expectBalanced();
    tokenkit::CallLog calls = log();
    EXPECT_EQ(calls.calls("C_GetMechanismInfo").at(0).arg("type"), "0x1");
    EXPECT_EQ(calls.calls("C_OpenSession").at(0).arg("flags"), "0x6");
    EXPECT_EQ(calls.count("C_CloseSession"), 1u);
    // Each certificate's value is read in two steps, length then bytes.
    EXPECT_EQ(calls.count("C_GetAttributeValue"), 6u);

    // A second listing runs the whole frame again.
    log().clear();
    EXPECT_EQ(sortedEntries(service.getCertList()), expected);
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, OnlyTheLastSlotIsListed) {
    tokenkit::Token* first = addToken("first");
    tokenkit::Token* second = addToken("second");
    ASSERT_TRUE(first && second);
    ASSERT_NE(addCertificate(*first, "/CN=First Signer", "0A"), nullptr);
    ASSERT_NE(addCertificate(*second, "/CN=Second Signer", "0B"), nullptr);

    std::string list = service.getCertList();
    unsigned long last = lastQueriedSlot();
    ASSERT_TRUE(last == first->slotId || last == second->slotId);
    EXPECT_EQ(list, last == second->slotId ? "CN=Second Signer,0B;" : "CN=First Signer,0A;");
    EXPECT_EQ(log().count("C_OpenSession"), 2u);
    expectBalanced();

    // Whatever the first slot held, a failing mechanism query on the last one decides.
    log().clear();
    env.set("VELLUM_P11FWD_FAIL", "C_GetMechanismInfo#2=0x70");
    EXPECT_EQ(service.getCertList(), "E:1000");
    EXPECT_EQ(service.lastError(), "Mechanism invalid(0x0070)");
    expectBalanced();

    // A failure on the first slot only is forgotten when the last one answers.
    log().clear();
    env.set("VELLUM_P11FWD_FAIL", "C_GetMechanismInfo#1=0x70");
    EXPECT_EQ(service.getCertList(), list);
    EXPECT_EQ(service.lastError(), "OK");

    // The last slot without CKF_VERIFY contributes nothing.
    env.unset("VELLUM_P11FWD_FAIL");
    env.set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", "1:0x2000");
    EXPECT_EQ(service.getCertList(), "");
    EXPECT_EQ(service.lastError(), "OK");
}

TEST_F(CertificateDiscoveryTest, TokenWithoutSignAndVerifyOrWithoutCertificates) {
    tokenkit::Token* token = addToken("empty");
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(service.getCertList(), "");
    EXPECT_EQ(service.lastError(), "C_FindObjects failed:OK(0x0000)");
    expectBalanced();

    ASSERT_NE(addCertificate(*token, "/CN=Signer", "01"), nullptr);
    for (const char* flag : {"*:0x2000", "*:0x800"}) {
        env.set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", flag);
        log().clear();
        EXPECT_EQ(service.getCertList(), "") << flag;
        EXPECT_EQ(service.lastError(), "OK");
        EXPECT_EQ(log().count("C_OpenSession"), 0u);
        service.setCN("01");
        EXPECT_EQ(service.signCert(), "E:1000");
        EXPECT_EQ(service.lastError(), "CN not matched");
        expectBalanced();
    }
}

TEST_F(CertificateDiscoveryTest, AtMost64CertificatesPerSlot) {
    tokenkit::Token* token = addToken("many");
    ASSERT_NE(token, nullptr);
    tokenkit::CertificateSpec spec;
    spec.bits = 1024;
    spec.shareKey = true;
    for (int i = 1; i <= 65; ++i) {
        char serial[8];
        std::snprintf(serial, sizeof(serial), "%04X", i);
        spec.serial = serial;
        spec.subject = "/CN=Signer " + std::to_string(i);
        ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();
    }
    std::vector<std::string> entries = sortedEntries(service.getCertList());
    EXPECT_EQ(entries.size(), 64u);
    EXPECT_EQ(std::unique(entries.begin(), entries.end()), entries.end());
    std::vector<std::string> all;
    for (const tokenkit::TokenCertificate& cert : token->certificates) {
        all.push_back("CN=" + cert.subject.substr(4) + "," + cert.serial + ";");
    }
    for (const std::string& entry : entries) {
        EXPECT_NE(std::find(all.begin(), all.end(), entry), all.end()) << entry;
    }
    EXPECT_EQ(log().count("C_FindObjects"), 1u);
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, SignCertGivesTheDerInBase64OnOneLine) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    const tokenkit::TokenCertificate* small = addCertificate(*token, "/CN=Small", "0a0b0c", 1024);
    // A long certificate (4096-bit key): over 1000 Base64 characters, still without line breaks.
    const tokenkit::TokenCertificate* large =
        addCertificate(*token, "/CN=Large/O=" + std::string(60, 'o'), "7fabcdef", 4096);
    ASSERT_TRUE(small && large);

    service.setCN("0a0b0c");
    std::string text = service.signCert();
    EXPECT_EQ(text, tokenkit::OpensslCheck::base64(small->derPath));
    EXPECT_EQ(service.lastError(), "OK");
    expectBalanced();

    log().clear();
    service.setCN("7FabCDef");
    text = service.signCert();
    EXPECT_GT(text.size(), 1000u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text, tokenkit::OpensslCheck::base64(large->derPath));
    // The matching certificate's session is closed once, after its encoding.
    EXPECT_EQ(log().count("C_OpenSession"), log().count("C_CloseSession"));
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, SerialMustMatchExactly) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=Signer", "01A2B3"), nullptr);
    for (const char* cn : {"0001A2B3", "01:A2:B3", "01 A2 B3", "01A2B", "01A2B30", ""}) {
        log().clear();
        service.setCN(cn);
        EXPECT_EQ(service.signCert(), "E:1000") << cn;
        EXPECT_EQ(service.lastError(), "CN not matched") << cn;
        expectBalanced();
    }
}

TEST_F(CertificateDiscoveryTest, UnparsableCertificateObject) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    tokenkit::CertificateSpec spec;
    spec.rawValue = {'n', 'o', 't', ' ', 'D', 'E', 'R'};
    ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();
    EXPECT_EQ(service.getCertList(), "CN=,;");
    // Its serial reads as the empty text, which an empty CN matches.
    service.setCN("");
    EXPECT_EQ(service.signCert(), "bm90IERFUg==");
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, NameAndSerialThatDoNotFitTheTextBuffer) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    // A 600-byte name is cut to 511 bytes; a 256-octet serial needs 512 digits and a NUL, more
    // than the buffer holds, so it reads as the empty text.
    std::vector<unsigned char> serial(256, 0x5A);
    tokenkit::CertificateSpec spec;
    spec.rawValue = certificateWith(std::string(600, 'n'), serial);
    ASSERT_FALSE(spec.rawValue.empty());
    ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();
    EXPECT_EQ(service.getCertList(), "CN=" + std::string(511, 'n') + ",;");

    // A 255-octet serial fits with its NUL and is listed and found.
    serial.resize(255);
    spec.rawValue = certificateWith("Fits", serial);
    ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();
    std::string digitsText;
    for (size_t i = 0; i < 255; ++i) {
        digitsText += "5A";
    }
    EXPECT_EQ(sortedEntries(service.getCertList()),
              (std::vector<std::string>{"CN=Fits," + digitsText + ";",
                                        "CN=" + std::string(511, 'n') + ",;"}));
    service.setCN(digitsText);
    EXPECT_NE(service.signCert(), "E:1000");
    EXPECT_EQ(service.lastError(), "OK");
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, FailuresOfTheSearch) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=Signer", "01A2B3"), nullptr);
    service.setCN("01A2B3");

    struct Case {
        const char* fault;
        const char* list;  // what getCertList answers
        const char* listStatus;
        const char* signCertStatus;
    };
    // A slot that fails inside contributes nothing to the list; a failed slot query fails it.
    // The initialize probe is C_GetSlotList#1; the operations' own queries are #2 and #3.
    const Case cases[] = {
        {"C_FindObjectsInit=0x5", "", "C_FindObjectsInit failed:General error(0x0005)",
         "CN not matched"},
        {"C_FindObjects=0x30", "", "C_FindObjects failed:Device error(0x0030)", "CN not matched"},
        {"C_FindObjectsFinal=0x30", "", "C_FindObjectsFinal failed:Device error(0x0030)",
         "CN not matched"},
        {"C_GetAttributeValue#1=0x12", "",
         "Load cert C_GetAttributeValue failed:Attribute type invalid(0x0012)", "CN not matched"},
        {"C_GetAttributeValue#2=0x11", "",
         "Load cert C_GetAttributeValue failed:Attribute sensitive(0x0011)", "CN not matched"},
        {"C_OpenSession=0xB1", "", "OK", "CN not matched"},
        {"C_GetSlotList#2=0x30", "E:1000", "C_GetSlotList failed:Device error(0x0030)",
         "C_GetSlotList1 failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x30", "E:1000", "C_GetSlotList failed:Device error(0x0030)",
         "C_GetSlotList2 failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x150", "E:1000", "C_GetSlotList failed:Buffer too small(0x0150)",
         "C_GetSlotList2 failed:Buffer too small(0x0150)"},
        // Accepted, but the count stays 0: the token went away after the probe.
        {"C_GetSlotList#2=0x150", "E:1000", "Not found UKey", "Not found UKey"},
    };
    for (const Case& c : cases) {
        env.set("VELLUM_P11FWD_FAIL", c.fault);
        log().clear();
        EXPECT_EQ(service.getCertList(), c.list) << c.fault;
        EXPECT_EQ(service.lastError(), c.listStatus) << c.fault;
        expectBalanced();
        log().clear();
        EXPECT_EQ(service.signCert(), "E:1000") << c.fault;
        EXPECT_EQ(service.lastError(), c.signCertStatus) << c.fault;
        expectBalanced();
    }
    // No C_FindObjectsFinal after a failed C_FindObjectsInit.
    env.set("VELLUM_P11FWD_FAIL", "C_FindObjectsInit=0x5");
    log().clear();
    service.getCertList();
    EXPECT_EQ(log().count("C_FindObjectsFinal"), 0u);
}

TEST_F(CertificateDiscoveryTest, FailuresOfTheFrame) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=Signer", "01A2B3"), nullptr);

    PKCS11Impl absent("/nonexistent/libnothing.so");
    EXPECT_EQ(absent.signCert(), "E:1000");
    EXPECT_EQ(absent.lastError(), "Load pkcs11 lib fail");
    EXPECT_EQ(absent.getCertList(), "E:1000");
    EXPECT_EQ(absent.lastError(), "Load pkcs11 lib fail");

    PKCS11Impl noSymbol(VELLUM_P11NOSYM_PATH);
    EXPECT_EQ(noSymbol.getCertList(), "E:1000");
    EXPECT_EQ(noSymbol.lastError(), "C_GetFunctionList load failed");

    // getCertList unloads after a failed initialize without finalising.
    env.set("VELLUM_P11FWD_FAIL", "C_Initialize=0x6");
    EXPECT_EQ(service.getCertList(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_Initialize failed:Function failed(0x0006)");
    EXPECT_EQ(log().count("C_Finalize"), 0u);
    EXPECT_EQ(log().unloads(), 1u);
}

TEST_F(CertificateDiscoveryTest, ServiceDestroyedAfterFailedProbeUnderSignCert) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    ASSERT_NE(addCertificate(*token, "/CN=Signer", "01A2B3"), nullptr);
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x30");
    {
        PKCS11Impl failing(VELLUM_P11FWD_PATH);
        failing.setCN("01A2B3");
        EXPECT_EQ(failing.signCert(), "E:1000");
        EXPECT_EQ(failing.lastError(), "C_GetSlotList failed:Device error(0x0030)");
        // Left loaded and initialised until the object goes.
        EXPECT_EQ(log().unloads(), 0u);
        EXPECT_EQ(log().count("C_Finalize"), 0u);
    }
    long finalize = lineOf("C_Finalize");
    ASSERT_GE(finalize, 0);
    EXPECT_GT(lineOf("@unload", finalize), finalize);
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, SignCertAfterFailedProbeReusesTheLoadedModule) {
    tokenkit::Token* token = addToken("signer");
    ASSERT_NE(token, nullptr);
    const tokenkit::TokenCertificate* cert = addCertificate(*token, "/CN=Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    service.setCN("01a2b3");
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x30");
    EXPECT_EQ(service.signCert(), "E:1000");
    env.unset("VELLUM_P11FWD_FAIL");
    EXPECT_EQ(service.signCert(), tokenkit::OpensslCheck::base64(cert->derPath));
    EXPECT_EQ(service.lastError(), "OK");
    EXPECT_EQ(log().calls("C_Initialize").at(1).rv, 0x191u);
    expectBalanced();
}

TEST_F(CertificateDiscoveryTest, NoTokenPresent) {
    EXPECT_EQ(service.signCert(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_Initialize failed:OK(0x0000)");
    EXPECT_EQ(service.getCertList(), "E:1000");
    EXPECT_EQ(service.lastError(), "C_Initialize failed:OK(0x0000)");
    EXPECT_EQ(log().unloads(), 2u);
    expectBalanced();
}

TEST(Base64Test, EncodesOnOneLineWithPadding) {
    struct Case {
        std::string bytes;
        const char* text;
    };
    const Case cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {std::string("\x00\xFF\xFE", 3), "AP/+"},
        {std::string(100, 'a'), "YWFh"},
    };
    for (const Case& c : cases) {
        MallocPtr<char> text(PKCS11Impl::base64(
            reinterpret_cast<signed char*>(const_cast<char*>(c.bytes.data())), c.bytes.size()));
        ASSERT_NE(text, nullptr);
        if (c.bytes.size() == 100) {
            // 100 bytes: 136 characters in one line, ending in one pad character.
            EXPECT_EQ(std::string(text.get()).size(), 136u);
            EXPECT_EQ(std::string(text.get()).find('\n'), std::string::npos);
            EXPECT_EQ(std::string(text.get()).substr(0, 4), c.text);
            EXPECT_EQ(std::string(text.get()).back(), '=');
        } else {
            EXPECT_STREQ(text.get(), c.text);
        }
    }
}

}  // namespace
}  // namespace service_test
