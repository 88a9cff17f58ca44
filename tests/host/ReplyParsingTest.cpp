// Reading the plug-in's answers: the certificate list, the two signature envelopes, and the
// conversions of command-line words and results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/AnswerFrames.h"
#include "bridge/RequestParser.h"
#include "cli/CertificateList.h"
#include "cli/PemText.h"
#include "cli/SignatureEnvelope.h"
#include "common/JsonText.h"
#include "common/ScriptArgument.h"
#include "doctor/DoctorFindings.h"

namespace {

using vellum::host::CertificateEntry;
using vellum::host::CertificateList;
using vellum::host::DoctorFindings;
using vellum::host::Json;
using vellum::host::JsonText;
using vellum::host::PemText;
using vellum::host::RequestParser;
using vellum::host::ScriptArgument;
using vellum::host::SignatureEnvelope;
using vellum::pluginhost::ScriptValue;

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

// Texts from the token are bytes: whatever they hold, the line is valid JSON that reads back
// with each stray byte as the code point of its value.
TEST(ScriptArgumentTest, JsonValuesByTheirScriptKind) {
    using vellum::host::Json;
    const std::pair<Json, ScriptValue> cases[] = {
        {Json("0102"), ScriptValue::string("0102")},
        {Json(std::string("a\0b", 3)), ScriptValue::string(std::string("a\0b", 3))},
        {Json(7), ScriptValue::int32(7)},
        {Json(-2147483648LL), ScriptValue::int32(INT32_MIN)},
        {Json(1.0), ScriptValue::int32(1)},  // script has one number type
        {Json(2147483648LL), ScriptValue::number(2147483648.0)},
        {Json(18446744073709551615ULL), ScriptValue::number(18446744073709551615.0)},
        {Json(1.5), ScriptValue::number(1.5)},
        {Json(-0.0), ScriptValue::number(-0.0)},
        {Json(true), ScriptValue::boolean(true)},
        {Json(nullptr), ScriptValue::makeNull()},
    };
    for (const auto& [json, expected] : cases) {
        ScriptValue value;
        ASSERT_TRUE(ScriptArgument::fromJson(json, value)) << json.dump();
        EXPECT_EQ(value, expected) << json.dump();
    }
    ScriptValue value;
    EXPECT_FALSE(ScriptArgument::fromJson(Json::array(), value));
    EXPECT_FALSE(ScriptArgument::fromJson(Json::object(), value));

    // The doubles JSON has no text for, in their tagged form, read and written back the same.
    for (const char* tag : {"NaN", "Infinity", "-Infinity", "-0"}) {
        const Json tagged = {{"number", tag}};
        ASSERT_TRUE(ScriptArgument::fromJson(tagged, value)) << tag;
        EXPECT_EQ(value.kind(), ScriptValue::Kind::Double) << tag;
        EXPECT_EQ(ScriptArgument::jsonOfDouble(value.doubleValue()), tagged) << value.describe();
    }
    EXPECT_EQ(ScriptArgument::jsonOfDouble(-1.5), Json(-1.5));
    EXPECT_EQ(ScriptArgument::jsonOfDouble(0.0), Json(0.0));
    for (const Json& other : {Json{{"number", "nan"}}, Json{{"number", 1}},
                              Json{{"number", "NaN"}, {"also", 1}}, Json{{"value", "NaN"}}}) {
        EXPECT_FALSE(ScriptArgument::fromJson(other, value)) << other.dump();
    }
}

TEST(AnswerFramesTest, LargeAnswersGoInPartsThatFitAndJoin) {
    using vellum::host::AnswerFrames;
    using vellum::host::Json;
    // Quotes and backslashes take two bytes in a part, a control byte six, and "é" and "€"
    // must not be cut: 2.5 MB of them in an answer.
    std::string text;
    while (text.size() < 2500000) {
        text += "\"\\\x01\xC3\xA9\xE2\x82\xAC plain ";
    }
    const Json answer = {{"id", "req-7"}, {"result", text}};
    const std::vector<std::string> frames = AnswerFrames::of(answer);
    ASSERT_GT(frames.size(), 3u);
    std::string joined;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_LE(frames[i].size(), 1048576u) << i;
        const Json part = Json::parse(frames[i]);
        EXPECT_EQ(part["id"], "req-7");
        EXPECT_EQ(part["part"], i + 1);
        EXPECT_EQ(part["parts"], frames.size());
        joined += part["data"].get<std::string>();
    }
    EXPECT_EQ(Json::parse(joined), answer);

    // Up to the threshold an answer is its own single frame.
    const Json small = {{"id", 1}, {"result", std::string(AnswerFrames::kSplitAbove - 30, 'x')}};
    const std::vector<std::string> one = AnswerFrames::of(small);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(Json::parse(one[0]), small);
}

TEST(RequestParserTest, RefusesNumbersNoDoubleHoldsAndDeepNesting) {
    Json value;
    std::string problem;
    using Outcome = RequestParser::Outcome;
    const std::string limit(RequestParser::kMaxDepth, '[');
    const std::string close(RequestParser::kMaxDepth, ']');
    EXPECT_EQ(RequestParser::parse(limit + "1" + close, value, problem), Outcome::Parsed);
    EXPECT_EQ(value.dump(), limit + "1" + close);
    EXPECT_EQ(RequestParser::parse(R"({"id": 1.5e308, "v": [-0, "\u00e9"]})", value, problem),
              Outcome::Parsed);
    EXPECT_EQ(value["id"].get<double>(), 1.5e308);
    EXPECT_TRUE(std::signbit(value["v"][0].get<double>()));
    EXPECT_EQ(value["v"][1], "\u00e9");
    // Texts decoded whole: escapes, a surrogate pair, UTF-8 as it is; the smallest double.
    EXPECT_EQ(RequestParser::parse(R"(["a\"\\\/\b\f\n\r\t\u0000\ud83d\ude00é", 5e-324, 0e-999])",
                                   value, problem),
              Outcome::Parsed)
        << problem;
    EXPECT_EQ(value[0], std::string("a\"\\/\b\f\n\r\t") + '\0' + "\U0001F600\u00e9");
    EXPECT_EQ(value[1].get<double>(), 5e-324);
    EXPECT_EQ(value[2].get<double>(), 0.0);
    // An integer int64 holds stays one (an id is echoed as it came); one past it is a double.
    EXPECT_EQ(RequestParser::parse("[-9223372036854775808, 9223372036854775808]", value, problem),
              Outcome::Parsed);
    EXPECT_EQ(value.dump(), "[-9223372036854775808,9.223372036854776e+18]");
    // The array and its items: kMaxValues values in all.
    std::string items = "1";
    for (size_t i = 2; i < RequestParser::kMaxValues; ++i) {
        items += ",1";
    }
    EXPECT_EQ(RequestParser::parse("[" + items + "]", value, problem), Outcome::Parsed) << problem;

    const std::pair<std::string, std::string> refused[] = {
        {"[" + limit + "1" + close + "]", "the request is nested deeper than 8 levels"},
        {"{\"a\": " + limit + close + "}", "the request is nested deeper than 8 levels"},
        {std::string(1000000, '['), "the request is nested deeper than 8 levels"},
        {R"({"id": 1e400})", "a number no double can hold ends at byte 12"},
        {"[-1E+999]", "a number no double can hold ends at byte 8"},
        // Too small to be anything but 0, which the text is not.
        {R"({"id": 1e-400})", "a number no double can hold ends at byte 13"},
        {"[-0.0000001e-330]", "a number no double can hold ends at byte 16"},
        // Which one would count?
        {R"({"id": 1, "op": "get", "id": 2})", "the member 'id' appears twice in an object"},
        {R"([{"a": {"b": 1, "b": 1}}])", "the member 'b' appears twice in an object"},
        {"[" + items + ",1]", "the request holds more than 64 values"},
    };
    for (const auto& [frame, message] : refused) {
        value = Json::array();
        EXPECT_EQ(RequestParser::parse(frame, value, problem), Outcome::Unreadable)
            << frame.substr(0, 40);
        EXPECT_EQ(problem, message);
        EXPECT_TRUE(value.is_null());
    }
    for (const std::string frame :
         {"", "{", "[1,]", "\"\xff\"", "{} {}", "[01]", "[1.]", "[-]", "\"\\ud800\"",
          "\"\\udc00\\ud800\"", "\"\t\"", "\"\\x\"", "[tru]", "{\"a\" 1}", "\"\xed\xa0\x80\""}) {
        EXPECT_EQ(RequestParser::parse(frame, value, problem), Outcome::NotJson) << frame;
        EXPECT_NE(problem.find("the frame is not UTF-8 JSON (at byte "), std::string::npos);
    }
}

TEST(JsonTextTest, AnyBytesMakeValidJson) {
    const auto readBack = [](const std::string& bytes) {
        std::string line = JsonText::line(Json{{"v", bytes}});
        return Json::parse(line)["v"].get<std::string>();
    };
    EXPECT_EQ(readBack("a\"b\\c\n\t\x01\x7F"), "a\"b\\c\n\t\x01\x7F");
    EXPECT_EQ(readBack(std::string("a\0b", 3)), std::string("a\0b", 3));
    // Valid UTF-8 passes; stray, overlong and surrogate bytes become U+0080..U+00FF each.
    EXPECT_EQ(readBack("名前 é"), "名前 é");
    EXPECT_EQ(readBack("\xFF"), "\u00FF");
    EXPECT_EQ(readBack("\xC0\xAF"), "\u00C0\u00AF");
    EXPECT_EQ(readBack("\xED\xA0\x80"), "\u00ED\u00A0\u0080");
    EXPECT_EQ(readBack("\xE2\x82"), "\u00E2\u0082");
    EXPECT_EQ(JsonText::line(Json{{"k\xFF", Json::array({"\x80"})}}), "{\"k\u00FF\":[\"\u0080\"]}");
}

TEST(JsonTextTest, MembersKeepTheirOrderOnOneLine) {
    Json object = Json::object();
    object["step"] = "list";
    object["ok"] = true;
    object["nan"] = std::nan("");
    object["items"] = Json::array({Json{{"serial", "01"}}});
    object["a"] = nullptr;
    EXPECT_EQ(JsonText::line(object),
              R"({"step":"list","ok":true,"nan":null,"items":[{"serial":"01"}],"a":null})");
}

constexpr auto kLinux = vellum::host::Platform::Linux;

size_t countContaining(const std::vector<std::string>& sentences, const std::string& part) {
    size_t n = 0;
    for (const auto& sentence : sentences) {
        n += sentence.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

// The token states SoftHSM2 cannot be brought into: PIN counters and certificate expiry.
TEST(DoctorFindingsTest, PinStateAndExpiry) {
    constexpr int64_t kNow = 1'000'000'000;
    constexpr int64_t kDay = 24 * 60 * 60;
    vellum::host::ModuleFacts facts;
    facts.loaded = true;
    facts.functionList = facts.initialize = facts.slotList = "OK";
    vellum::host::SlotFacts slot;
    slot.label = "t";
    slot.rsaSign = slot.rsaVerify = true;
    slot.flags.protectedAuthenticationPath = true;
    slot.flags.tokenInitialized = true;
    for (int64_t daysLeft : {-1, 29, 31}) {
        vellum::host::CertificateFacts certificate;
        certificate.serial = "0" + std::to_string(daysLeft + 1);
        certificate.notAfter = "(date)";
        certificate.notAfterTime = kNow + daysLeft * kDay + 1;
        slot.certificates.push_back(certificate);
    }
    facts.slots = {slot};

    const auto count = countContaining;
    DoctorFindings findings = DoctorFindings::judge(facts, kNow, kLinux);
    EXPECT_TRUE(findings.problems.empty());
    EXPECT_EQ(count(findings.warnings, "certificate 00 (\"\") on slot 0 (\"t\") expired"), 1u);
    EXPECT_EQ(count(findings.warnings, "certificate 030 (\"\") on slot 0 (\"t\") expires"), 1u);
    EXPECT_EQ(count(findings.warnings, "certificate 032"), 0u);
    EXPECT_EQ(findings.warnings.size(), 2u);

    facts.slots[0].flags.userPinFinalTry = true;
    findings = DoctorFindings::judge(facts, kNow, kLinux);
    EXPECT_EQ(count(findings.warnings, "final try"), 1u);
    facts.slots[0].flags.userPinLocked = true;
    findings = DoctorFindings::judge(facts, kNow, kLinux);
    EXPECT_EQ(count(findings.problems, "is locked"), 1u);
    EXPECT_EQ(count(findings.warnings, "final try"), 0u);
}

// A module that does not load: on Linux the browser gets one through bridge install, and doctor's
// own --token-module only inspects; on macOS --token-module is refused, so only the fixed path
// is named.
TEST(DoctorFindingsTest, AdviceForAMissingModuleNamesTheBrowsersWayFirst) {
    vellum::host::ModuleFacts facts;
    facts.path = "/usr/local/lib/m.dylib";
    facts.error = "cannot open";
    const std::string bridgeInstall = "'vellum-host bridge install --token-module PATH'";
    const std::string doctorOption = "'vellum-host doctor --token-module PATH' only inspects";

    const DoctorFindings onLinux = DoctorFindings::judge(facts, 0, kLinux);
    ASSERT_EQ(onLinux.problems.size(), 1u);
    const std::string& advice = onLinux.problems[0];
    EXPECT_NE(advice.find("No token module loads from /usr/local/lib/m.dylib (cannot open)"),
              std::string::npos)
        << advice;
    ASSERT_NE(advice.find(bridgeInstall), std::string::npos) << advice;
    ASSERT_NE(advice.find(doctorOption), std::string::npos) << advice;
    EXPECT_LT(advice.find(bridgeInstall), advice.find(doctorOption)) << advice;

    const DoctorFindings mac = DoctorFindings::judge(facts, 0, vellum::host::Platform::MacOS);
    ASSERT_EQ(mac.problems.size(), 1u);
    EXPECT_EQ(countContaining(mac.problems, "--token-module"), 0u) << mac.problems[0];
    EXPECT_EQ(countContaining(mac.problems,
                              "install the token vendor's module at "
                              "/usr/local/lib/m.dylib"),
              1u)
        << mac.problems[0];
}

// A token whose flags say it was never initialised is named as such, not as one to reconnect;
// the flag alone does not count against a token that shows certificates.
TEST(DoctorFindingsTest, UninitialisedTokenIsNamedAsSuch) {
    vellum::host::ModuleFacts facts;
    facts.loaded = true;
    facts.functionList = facts.initialize = facts.slotList = "OK";
    vellum::host::SlotFacts spare;
    spare.slot = 3;
    spare.rsaSign = spare.rsaVerify = true;
    spare.session = "C_OpenSession failed:Token not recognized(0x00E1)";
    facts.slots = {spare};

    DoctorFindings findings = DoctorFindings::judge(facts, 0, kLinux);
    ASSERT_EQ(findings.problems.size(), 1u);
    EXPECT_EQ(countContaining(findings.problems,
                              "slot 3 (\"\") holds a token that was never "
                              "initialised (CKF_TOKEN_INITIALIZED is not set)"),
              1u)
        << findings.problems[0];
    EXPECT_EQ(countContaining(findings.problems, "reconnect"), 0u);
    // Advice a person can follow: nothing of the test kit's.
    EXPECT_EQ(countContaining(findings.problems, "VELLUM_"), 0u) << findings.problems[0];
    EXPECT_EQ(countContaining(findings.slotRoles, "never initialised"), 1u);

    // An initialised slot with a certificate before it: only the spare one is named.
    vellum::host::SlotFacts used;
    used.rsaSign = used.rsaVerify = true;
    used.flags.tokenInitialized = true;
    used.flags.protectedAuthenticationPath = true;
    used.certificates.resize(1);
    facts.slots = {used, spare};
    findings = DoctorFindings::judge(facts, 0, kLinux);
    EXPECT_EQ(countContaining(findings.problems, "never initialised"), 1u);
    EXPECT_EQ(countContaining({findings.slotRoles[0]}, "never initialised"), 0u);

    // The flag unset on a token that shows a certificate: trusted to work.
    facts.slots = {used};
    facts.slots[0].flags.tokenInitialized = false;
    findings = DoctorFindings::judge(facts, 0, kLinux);
    EXPECT_EQ(countContaining(findings.problems, "never initialised"), 0u);
    EXPECT_EQ(countContaining(findings.slotRoles, "never initialised"), 0u);
}

// A token in a reader is unplugged; a software token (no CKF_REMOVABLE_DEVICE) cannot be, so
// the advice for one that hides the certificates of another names what can be done instead.
TEST(DoctorFindingsTest, OnlyATokenInAReaderIsToldToBeUnplugged) {
    vellum::host::ModuleFacts facts;
    facts.loaded = true;
    facts.functionList = facts.initialize = facts.slotList = "OK";
    vellum::host::SlotFacts used;
    used.rsaSign = used.rsaVerify = true;
    used.flags.tokenInitialized = true;
    used.flags.protectedAuthenticationPath = true;
    used.certificates.resize(1);
    vellum::host::SlotFacts empty = used;
    empty.slot = 2;
    empty.certificates.clear();
    for (bool removable : {true, false}) {
        empty.removable = removable;
        facts.slots = {used, empty};
        const DoctorFindings findings = DoctorFindings::judge(facts, 0, kLinux);
        ASSERT_EQ(findings.problems.size(), 1u);
        ASSERT_EQ(findings.warnings.size(), 1u);
        for (const std::string& text : {findings.problems[0], findings.warnings[0]}) {
            EXPECT_EQ(text.find("unplug") != std::string::npos, removable) << text;
            EXPECT_EQ(text.find("delete") != std::string::npos, !removable) << text;
        }
    }
}

TEST(PemTextTest, CutsIntoLinesOf64) {
    std::string base64(130, 'A');
    EXPECT_EQ(PemText::fromBase64(base64), "-----BEGIN CERTIFICATE-----\n" + std::string(64, 'A') +
                                               "\n" + std::string(64, 'A') + "\nAA\n" +
                                               "-----END CERTIFICATE-----\n");
}

}  // namespace
