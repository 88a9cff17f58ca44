#include "x509/X509Helper.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CertificateBuilder.h"
#include "OpensslCommand.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kFill = '\x5A';
constexpr int kGuard = 64;

// A caller buffer of `size` bytes followed by a guard region, all pre-filled with kFill.
struct GuardedBuffer {
    explicit GuardedBuffer(int size)
        : size(size), bytes(static_cast<size_t>(size + kGuard), kFill) {}
    char* data() { return bytes.data(); }
    std::string text() const { return std::string(bytes.data()); }
    bool untouchedFrom(int offset) const {
        return std::all_of(bytes.begin() + offset, bytes.end(), [](char c) { return c == kFill; });
    }
    int size;
    std::vector<char> bytes;
};

// The first `size` bytes a correct name copy leaves: the name, then zeros up to 512.
std::string paddedName(const std::string& name, int size = 512) {
    std::string out = name.substr(0, 511);
    out.resize(static_cast<size_t>(std::min(size, 512)), '\0');
    return out;
}

std::string written(const GuardedBuffer& buf, int count) {
    return std::string(buf.bytes.data(), static_cast<size_t>(count));
}

int firstSubjectEntryType(Bytes der) {
    const unsigned char* cursor = der.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    if (cert == nullptr) {
        return -1;
    }
    const int type = ASN1_STRING_type(
        X509_NAME_ENTRY_get_data(X509_NAME_get_entry(X509_get_subject_name(cert), 0)));
    X509_free(cert);
    return type;
}

// Loads the certificate and reads the subject name into a full 512-byte buffer.
void expectSubject(Bytes der, const std::string& expected) {
    ASSERT_FALSE(der.empty());
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));
    GuardedBuffer buf(512);
    ASSERT_TRUE(helper.GetSubjectName(buf.data(), buf.size));
    EXPECT_EQ(written(buf, 512), paddedName(expected));
    EXPECT_TRUE(buf.untouchedFrom(512));
}

class X509HelperTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { openssl = new OpensslCommand(); }
    static void TearDownTestSuite() {
        delete openssl;
        openssl = nullptr;
    }

    static OpensslCommand* openssl;
};

OpensslCommand* X509HelperTest::openssl = nullptr;

TEST_F(X509HelperTest, DisplayNameIsFirstNonEmptyCnElseLastO) {
    struct Case {
        const char* subject;
        const char* expected;
        const char* args;
    };
    const Case cases[] = {
        {"/CN=Alice/O=Example Org", "Alice", ""},
        {"/O=Example Org", "Example Org", ""},
        {"/C=DE/L=Berlin", "", ""},
        {"/O=First Org/CN=Named/O=Later Org", "Named", ""},
        {"/CN=First/CN=Second", "First", ""},
        {"/C=US+CN=Multi/O=Org", "Multi", "-multivalue-rdn"},
        // The shorter second O must not keep the tail of the first.
        {"/O=Longer Organisation/O=Short", "Short", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.subject);
        expectSubject(openssl->certificate(c.subject, "1", c.args), c.expected);
    }
}

TEST_F(X509HelperTest, NameCopyIsExactlyMinOfSizeAnd512) {
    Bytes der = openssl->certificate("/CN=First");
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));

    GuardedBuffer wide(600);
    ASSERT_TRUE(helper.GetSubjectName(wide.data(), wide.size));
    EXPECT_EQ(written(wide, 512), paddedName("First"));
    EXPECT_TRUE(wide.untouchedFrom(512));

    GuardedBuffer narrow(3);  // cut short, with no terminator, as the copy rule says
    ASSERT_TRUE(helper.GetSubjectName(narrow.data(), narrow.size));
    EXPECT_EQ(written(narrow, 3), "Fir");
    EXPECT_TRUE(narrow.untouchedFrom(3));

    for (int size : {0, -1}) {
        GuardedBuffer none(0);
        EXPECT_TRUE(helper.GetSubjectName(none.data(), size));
        EXPECT_TRUE(helper.GetIssuerName(none.data(), size));
        EXPECT_TRUE(none.untouchedFrom(0));
    }
}

TEST_F(X509HelperTest, NonUtf8StringTypesArriveAsUtf8) {
    // Under the "default" mask the command picks the narrowest type: BMPString for characters
    // beyond Latin-1, T61String for Latin-1 ones.
    const std::string config = openssl->writeFile(
        "default-mask.cnf", "[req]\ndistinguished_name=dn\nstring_mask=default\n[dn]\n");
    const std::string args = "-utf8 -config " + config;

    Bytes bmp = openssl->certificate("/CN=\xCE\xA9mega Zo\xC3\xAB", "1", args);
    ASSERT_EQ(firstSubjectEntryType(bmp), V_ASN1_BMPSTRING);
    expectSubject(bmp, "\xCE\xA9mega Zo\xC3\xAB");

    Bytes t61 = openssl->certificate("/O=Zo\xC3\xAB", "1", args);
    ASSERT_EQ(firstSubjectEntryType(t61), V_ASN1_T61STRING);
    expectSubject(t61, "Zo\xC3\xAB");
}

TEST_F(X509HelperTest, IssuerNameFollowsTheSameRule) {
    struct Case {
        const char* issuer;
        const char* expected;
    };
    const Case cases[] = {{"/O=Issuer Org/CN=Issuing CA", "Issuing CA"},
                          {"/C=DE/O=Only Org", "Only Org"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.issuer);
        ASSERT_TRUE(openssl->run("req -x509 -key key.pem -days 1 -out ca.pem -subj " +
                                 OpensslCommand::quote(c.issuer)));
        Bytes der = openssl->certificate("/CN=Leaf", "7", "-CA ca.pem -CAkey key.pem");
        X509Helper helper;
        ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));
        GuardedBuffer issuer(512), subject(512);
        ASSERT_TRUE(helper.GetIssuerName(issuer.data(), issuer.size));
        ASSERT_TRUE(helper.GetSubjectName(subject.data(), subject.size));
        EXPECT_EQ(written(issuer, 512), paddedName(c.expected));
        EXPECT_EQ(subject.text(), "Leaf");
    }
}

// The openssl command drops empty values and enforces upper bounds, so these are built directly.
TEST(X509HelperBuilt, EmptyAndUnconvertibleValuesAreSkipped) {
    struct Case {
        CertificateBuilder cert;
        const char* expected;
    };
    Case cases[] = {
        {CertificateBuilder()
             .subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "")
             .subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "Second"),
         "Second"},
        // A BIT STRING value parses but has no UTF-8 form.
        {CertificateBuilder()
             .subjectEntry(NID_commonName, V_ASN1_BIT_STRING, "raw")
             .subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "Real"),
         "Real"},
        {CertificateBuilder()
             .subjectEntry(NID_organizationName, V_ASN1_UTF8STRING, "Kept Org")
             .subjectEntry(NID_organizationName, V_ASN1_BIT_STRING, "raw"),
         "Kept Org"},
        {CertificateBuilder()
             .subjectEntry(NID_commonName, V_ASN1_BIT_STRING, "raw")
             .subjectEntry(NID_organizationName, V_ASN1_UTF8STRING, "Fallback Org"),
         "Fallback Org"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.expected);
        expectSubject(c.cert.der(), c.expected);
    }
}

TEST(X509HelperBuilt, LongValuesKeep511BytesAndATerminator) {
    std::string euros;
    for (int i = 0; i < 200; ++i) {
        euros += "\xE2\x82\xAC";  // 3 bytes each: 511 falls inside a character
    }
    const std::string values[] = {euros, std::string(511, 'a'), std::string(512, 'b'),
                                  std::string(5000, 'c')};
    for (int nid : {NID_commonName, NID_organizationName}) {
        for (const std::string& value : values) {
            SCOPED_TRACE(std::to_string(nid) + ": " + std::to_string(value.size()) + " bytes");
            Bytes der = CertificateBuilder().subjectEntry(nid, V_ASN1_UTF8STRING, value).der();
            ASSERT_FALSE(der.empty());
            X509Helper helper;
            ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));
            GuardedBuffer buf(600);
            ASSERT_TRUE(helper.GetSubjectName(buf.data(), buf.size));
            EXPECT_EQ(written(buf, 512), value.substr(0, 511) + std::string(1, '\0'));
            EXPECT_TRUE(buf.untouchedFrom(512));
        }
    }
}

TEST_F(X509HelperTest, SerialIsUpperCaseHexOfTheMagnitude) {
    struct Case {
        const char* serial;
        const char* expected;
    };
    const Case cases[] = {{"1", "01"},  {"0x8F3A", "8F3A"},     {"0", "00"},
                          {"-5", "05"}, {"0xabcdef", "ABCDEF"}, {"0x0100", "0100"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serial);
        Bytes der = openssl->certificate("/CN=Serial", c.serial);
        X509Helper helper;
        ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));
        GuardedBuffer buf(512);  // not zero-filled: the NUL must be written
        ASSERT_TRUE(helper.GetSerialNumber(buf.data(), buf.size));
        const size_t length = std::string(c.expected).size();
        EXPECT_EQ(written(buf, static_cast<int>(length + 1)), std::string(c.expected) + '\0');
        EXPECT_TRUE(buf.untouchedFrom(static_cast<int>(length + 1)));
    }
}

TEST_F(X509HelperTest, TwentyOctetSerialNeedsRoomForItsTerminator) {
    // High first octet: the DER carries a leading zero octet, which is not part of the digits.
    Bytes der = openssl->certificate("/CN=Serial", "0xFF0102030405060708090A0B0C0D0E0F10111213");
    const unsigned char encoded[] = {0x02, 0x15, 0x00, 0xFF, 0x01};
    ASSERT_NE(std::search(der.begin(), der.end(), std::begin(encoded), std::end(encoded)),
              der.end());
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(der.data(), static_cast<int>(der.size())));

    GuardedBuffer fits(41);
    ASSERT_TRUE(helper.GetSerialNumber(fits.data(), fits.size));
    EXPECT_EQ(written(fits, 41), std::string("FF0102030405060708090A0B0C0D0E0F10111213") + '\0');
    EXPECT_TRUE(fits.untouchedFrom(41));

    for (int size : {40, 39, 0, -1}) {
        SCOPED_TRACE(size);
        GuardedBuffer small(std::max(size, 0));
        EXPECT_FALSE(helper.GetSerialNumber(small.data(), size));
        EXPECT_TRUE(small.untouchedFrom(0));
    }
}

TEST_F(X509HelperTest, FailedLoadLeavesNothingLoaded) {
    Bytes good = openssl->certificate("/CN=Loaded", "0x42");
    Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'};
    Bytes truncated(good.begin(), good.end() - 1);
    struct Case {
        const char* what;
        unsigned char* der;
        int len;
    };
    const Case cases[] = {
        {"garbage", garbage.data(), static_cast<int>(garbage.size())},
        {"truncated", truncated.data(), static_cast<int>(truncated.size())},
        {"length short by one", good.data(), static_cast<int>(good.size()) - 1},
        {"zero length", good.data(), 0},
        {"negative length", good.data(), -5},
        {"null", nullptr, 100},
    };
    auto expectEmpty = [](X509Helper& helper) {
        GuardedBuffer subject(512), issuer(512), serial(512);
        EXPECT_FALSE(helper.GetSubjectName(subject.data(), subject.size));
        EXPECT_FALSE(helper.GetIssuerName(issuer.data(), issuer.size));
        EXPECT_FALSE(helper.GetSerialNumber(serial.data(), serial.size));
        EXPECT_TRUE(subject.untouchedFrom(0) && issuer.untouchedFrom(0) && serial.untouchedFrom(0));
    };

    X509Helper fresh;
    expectEmpty(fresh);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        X509Helper helper;
        ASSERT_TRUE(helper.loadDERCert(good.data(), static_cast<int>(good.size())));
        EXPECT_FALSE(helper.loadDERCert(c.der, c.len));
        expectEmpty(helper);
    }
}

TEST_F(X509HelperTest, ReloadReplacesTheCertificate) {
    Bytes first = openssl->certificate("/CN=First", "1");
    Bytes second = openssl->certificate("/CN=Second", "2");
    X509Helper helper;
    ASSERT_TRUE(helper.loadDERCert(first.data(), static_cast<int>(first.size())));
    ASSERT_TRUE(helper.loadDERCert(second.data(), static_cast<int>(second.size())));
    GuardedBuffer name(512), serial(512);
    ASSERT_TRUE(helper.GetSubjectName(name.data(), name.size));
    ASSERT_TRUE(helper.GetSerialNumber(serial.data(), serial.size));
    EXPECT_EQ(name.text(), "Second");
    EXPECT_EQ(serial.text(), "02");
}

}  // namespace
