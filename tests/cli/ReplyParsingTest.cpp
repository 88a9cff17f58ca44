// Reading the plug-in's answers: the certificate list, the two signature envelopes, and the
// conversions of command-line words and results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "vellum-host/CertificateList.h"
#include "vellum-host/JsonObject.h"
#include "vellum-host/PemText.h"
#include "vellum-host/ScriptArgument.h"
#include "vellum-host/SignatureEnvelope.h"

namespace {

using vellum::host::CertificateEntry;
using vellum::host::CertificateList;
using vellum::host::JsonObject;
using vellum::host::PemText;
using vellum::host::ScriptArgument;
using vellum::host::SignatureEnvelope;
using vellum::testhost::ScriptValue;

std::vector<CertificateEntry> parseList(const std::string& text, bool expectOk = true) {
    std::vector<CertificateEntry> entries;
    EXPECT_EQ(CertificateList::parse(text, entries), expectOk) << text;
    return entries;
}

TEST(CertificateListTest, ReadsEntriesInOrder) {
    auto entries = parseList("CN=Example Signer,01A2B3;CN=Example Org,7F00;");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "Example Signer");
    EXPECT_EQ(entries[0].serial, "01A2B3");
    EXPECT_EQ(entries[1].name, "Example Org");
    EXPECT_EQ(entries[1].serial, "7F00");
    EXPECT_TRUE(parseList("").empty());
}

TEST(CertificateListTest, NamesMayHoldSeparators) {
    auto entries = parseList("CN=Doe, John; Jr.,0A;CN=x,y,FF;CN=a;CN=b,01;");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "Doe, John; Jr.");
    EXPECT_EQ(entries[0].serial, "0A");
    EXPECT_EQ(entries[1].name, "x,y");
    EXPECT_EQ(entries[1].serial, "FF");
    EXPECT_EQ(entries[2].name, "a;CN=b");
    EXPECT_EQ(entries[2].serial, "01");
}

TEST(CertificateListTest, UnreadableCertificateIsAnEmptyEntry) {
    auto entries = parseList("CN=,;CN=Ünïcødé 名前,00;");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "");
    EXPECT_EQ(entries[0].serial, "");
    EXPECT_EQ(entries[1].name, "Ünïcødé 名前");
}

TEST(CertificateListTest, RefusesOtherTexts) {
    for (const char* text :
         {"E:1000", "CN=a,01", "CN=a,01;junk", "CN=a,0x1;", "CN=a,ab;", "cn=a,01;", "CN=a;"}) {
        EXPECT_TRUE(parseList(text, false).empty()) << text;
    }
}

TEST(SignatureEnvelopeTest, SignatureEnvelope) {
    SignatureEnvelope envelope;
    std::string problem;
    ASSERT_TRUE(envelope.parse("US65001:0000000600FF7A", problem)) << problem;
    EXPECT_FALSE(envelope.carriesData());
    EXPECT_EQ(envelope.hex(), "00FF7A");
    EXPECT_EQ(envelope.signature(), (std::vector<unsigned char>{0x00, 0xFF, 0x7A}));

    ASSERT_TRUE(envelope.parse("US65001:00000000", problem)) << problem;
    EXPECT_TRUE(envelope.signature().empty());
}

TEST(SignatureEnvelopeTest, DataEnvelopeWhoseDataBeginsWithDigits) {
    SignatureEnvelope envelope;
    std::string problem;
    ASSERT_TRUE(envelope.parse("UD65001:0000000512345000000040A0B", problem)) << problem;
    EXPECT_TRUE(envelope.carriesData());
    EXPECT_EQ(envelope.data(), "12345");
    EXPECT_EQ(envelope.signature(), (std::vector<unsigned char>{0x0A, 0x0B}));

    std::string data("a\0b", 3);
    ASSERT_TRUE(envelope.parse("UD65001:00000003" + data + "0000000201", problem)) << problem;
    EXPECT_EQ(envelope.data(), data);
}

TEST(SignatureEnvelopeTest, RefusesMalformedEnvelopes) {
    const std::vector<std::string> malformed = {
        "E:1000",
        "",
        "US65002:0000000200",
        "US65001:0000000400",   // count larger than the digits
        "US65001:00000002000",  // count smaller
        "US65001:00000003000",  // odd count
        "US65001:000000020a",   // lower case
        "US65001:00000002G0",
        "US65001:0000002",  // short count
        "UD65001:00000004abc00000000",
        "UD65001:00000003abc0000000",
        "UD65001:00000003abc000000020",
    };
    for (const auto& text : malformed) {
        SignatureEnvelope envelope;
        std::string problem;
        EXPECT_FALSE(envelope.parse(text, problem)) << text;
        EXPECT_FALSE(problem.empty()) << text;
        EXPECT_TRUE(envelope.signature().empty()) << text;
    }
}

TEST(ScriptArgumentTest, DecimalIntegersBecomeInt32) {
    EXPECT_EQ(ScriptArgument::fromWord("0"), ScriptValue::int32(0));
    EXPECT_EQ(ScriptArgument::fromWord("42"), ScriptValue::int32(42));
    EXPECT_EQ(ScriptArgument::fromWord("-7"), ScriptValue::int32(-7));
    EXPECT_EQ(ScriptArgument::fromWord("2147483647"), ScriptValue::int32(2147483647));
    EXPECT_EQ(ScriptArgument::fromWord("-2147483648"), ScriptValue::int32(INT32_MIN));
}

TEST(ScriptArgumentTest, EverythingElseIsText) {
    for (const char* word : {"", "-", "-0", "0102", "00", "+1", "1.5", "1e3", "0x10", "12a", " 1",
                             "2147483648", "-2147483649", "99999999999999999999"}) {
        EXPECT_EQ(ScriptArgument::fromWord(word), ScriptValue::string(word)) << word;
    }
    EXPECT_EQ(ScriptArgument::fromWord("str:12"), ScriptValue::string("12"));
    EXPECT_EQ(ScriptArgument::fromWord("str:"), ScriptValue::string(""));
    EXPECT_EQ(ScriptArgument::fromWord("str:str:x"), ScriptValue::string("str:x"));
}

TEST(JsonObjectTest, EscapesWhatJsonCannotHoldRaw) {
    EXPECT_EQ(JsonObject::quote("a\"b\\c\n\t\x01\x7F"), R"("a\"b\\c\n\t\u0001\u007F")");
    EXPECT_EQ(JsonObject::quote(std::string("a\0b", 3)), R"("a\u0000b")");
    // Valid UTF-8 passes; stray, overlong and surrogate bytes become \u00XX each.
    EXPECT_EQ(JsonObject::quote("名前 é"), "\"名前 é\"");
    EXPECT_EQ(JsonObject::quote("\xFF"), R"("\u00FF")");
    EXPECT_EQ(JsonObject::quote("\xC0\xAF"), R"("\u00C0\u00AF")");
    EXPECT_EQ(JsonObject::quote("\xED\xA0\x80"), R"("\u00ED\u00A0\u0080")");
    EXPECT_EQ(JsonObject::quote("\xE2\x82"), R"("\u00E2\u0082")");
}

TEST(JsonObjectTest, MembersKeepTheirOrder) {
    JsonObject inner;
    inner.addString("serial", "01");
    JsonObject object;
    object.addString("step", "list")
        .addBool("ok", true)
        .addInteger("n", -3)
        .addNull("none")
        .addNumber("nan", std::nan(""))
        .addStrings("words", {"a", "b"})
        .addObjects("items", {inner, inner})
        .addMembers(JsonObject().addBool("last", false));
    EXPECT_EQ(object.text(),
              R"({"step":"list","ok":true,"n":-3,"none":null,"nan":null,"words":["a","b"],)"
              R"("items":[{"serial":"01"},{"serial":"01"}],"last":false})");
    EXPECT_EQ(JsonObject().addMembers(JsonObject()).text(), "{}");
}

TEST(PemTextTest, CutsIntoLinesOf64) {
    std::string base64(130, 'A');
    EXPECT_EQ(PemText::fromBase64(base64), "-----BEGIN CERTIFICATE-----\n" + std::string(64, 'A') +
                                               "\n" + std::string(64, 'A') + "\nAA\n" +
                                               "-----END CERTIFICATE-----\n");
}

}  // namespace
