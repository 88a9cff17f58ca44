// The command line: how words become steps, and which runs are refused before anything loads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vellum-host/CommandLine.h"

namespace {

using vellum::host::CommandLine;
using vellum::host::StepKind;

struct Parsed {
    bool ok;
    std::string error;
    CommandLine commandLine;
};

Parsed parse(const std::vector<std::string>& words) {
    Parsed parsed;
    parsed.ok = parsed.commandLine.parse(words, parsed.error);
    return parsed;
}

TEST(CommandLineTest, GlobalOptionsComeBeforeTheFirstStep) {
    Parsed p = parse({"--plugin", "p.so", "--token-module", "t.so", "--json", "info"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.commandLine.pluginPath, "p.so");
    EXPECT_EQ(p.commandLine.tokenModulePath, "t.so");
    EXPECT_TRUE(p.commandLine.json);
    EXPECT_FALSE(p.commandLine.keepGoing);
    EXPECT_TRUE(parse({"--keep-going", "info"}).commandLine.keepGoing);
    ASSERT_EQ(p.commandLine.steps.size(), 1u);
    EXPECT_EQ(p.commandLine.steps[0].kind, StepKind::Info);

    // After a step has begun, --json is a stray word of that step.
    EXPECT_FALSE(parse({"info", "--json"}).ok);
}

TEST(CommandLineTest, StepsSeparatedByDoubleDashRunInOrder) {
    Parsed p = parse({"set", "CN", "01A2", "--", "set", "SignData", "abc", "--", "get", "Signature",
                      "--", "call", "VerifySignature", "a", "b", "c"});
    ASSERT_TRUE(p.ok) << p.error;
    const auto& steps = p.commandLine.steps;
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[0].kind, StepKind::Set);
    EXPECT_EQ(steps[0].name, "CN");
    EXPECT_EQ(steps[0].arguments, std::vector<std::string>{"01A2"});
    EXPECT_EQ(steps[1].arguments, std::vector<std::string>{"abc"});
    EXPECT_EQ(steps[2].kind, StepKind::Get);
    EXPECT_EQ(steps[2].name, "Signature");
    EXPECT_EQ(steps[3].kind, StepKind::Call);
    EXPECT_EQ(steps[3].arguments, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(CommandLineTest, OptionValuesMayLookLikeOptionsOrTheSeparator) {
    Parsed p =
        parse({"sign", "01", "--hash", "sha1", "--data", "--", "--", "set", "SignData", "--pem"});
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.commandLine.steps.size(), 2u);
    EXPECT_EQ(*p.commandLine.steps[0].data, "--");
    EXPECT_EQ(p.commandLine.steps[1].arguments, std::vector<std::string>{"--pem"});
}

TEST(CommandLineTest, SignTakesItsOptionsInAnyOrder) {
    Parsed p = parse({"sign", "0a1b", "--raw", "out.bin", "--envelope", "data", "--file", "in",
                      "--hash", "sm3"});
    ASSERT_TRUE(p.ok) << p.error;
    const auto& step = p.commandLine.steps.at(0);
    EXPECT_EQ(step.serial, "0a1b");
    EXPECT_EQ(step.hash, "sm3");
    EXPECT_EQ(*step.file, "in");
    EXPECT_FALSE(step.data.has_value());
    EXPECT_TRUE(step.dataEnvelope);
    EXPECT_EQ(*step.rawOutput, "out.bin");

    Parsed plain = parse({"sign", "01", "--hash", "md5", "--data", "x"});
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_FALSE(plain.commandLine.steps.at(0).dataEnvelope);
    EXPECT_FALSE(plain.commandLine.steps.at(0).rawOutput.has_value());
}

TEST(CommandLineTest, CertTakesOnlyPem) {
    Parsed p = parse({"cert", "01", "--pem"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.commandLine.steps.at(0).pem);
    EXPECT_FALSE(parse({"cert", "01", "--der"}).ok);
}

TEST(CommandLineTest, DoctorTakesTheRunsOptionsAfterIt) {
    Parsed p = parse({"doctor", "--token-module", "t.so", "--json"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.commandLine.steps.at(0).kind, StepKind::Doctor);
    EXPECT_EQ(p.commandLine.tokenModulePath, "t.so");
    EXPECT_TRUE(p.commandLine.json);
    EXPECT_FALSE(parse({"--token-module", "a.so", "doctor", "--token-module", "b.so"}).ok);
}

TEST(CommandLineTest, RefusesMalformedRuns) {
    const std::vector<std::vector<std::string>> refused = {
        {},
        {"--json"},
        {"frobnicate"},
        {"--verbose", "info"},
        {"--plugin"},
        {"--plugin", "", "info"},
        {"info", "extra"},
        {"list", "--"},
        {"--", "info"},
        {"info", "--", "--", "list"},
        {"cert"},
        {"cert", "--", "info"},
        {"get"},
        {"get", "A", "B"},
        {"set", "CN"},
        {"set", "CN", "a", "b"},
        {"call"},
        {"sign", "01", "--data", "x"},                                   // no hash
        {"sign", "01", "--hash", "sha512", "--data", "x"},               // unknown hash
        {"sign", "01", "--hash", "SHA1", "--data", "x"},                 // names are exact
        {"sign", "01", "--hash", "sha1"},                                // nothing to sign
        {"sign", "01", "--hash", "sha1", "--data", "x", "--file", "f"},  // both
        {"sign", "01", "--hash", "sha1", "--data", "x", "--data", "y"},  // twice
        {"sign", "01", "--hash", "sha1", "--data", "x", "--envelope", "pkcs7"},
        {"sign", "01", "--hash", "sha1", "--data", "x", "--raw", ""},
        {"sign", "01", "--hash", "sha1", "--data"},  // value missing
        {"sign", "--hash", "sha1", "--data", "x"},   // no serial
        {"doctor", "--pem"},
        {"doctor", "--token-module"},
    };
    for (const auto& words : refused) {
        std::string joined;
        for (const auto& w : words) {
            joined += "[" + w + "] ";
        }
        Parsed p = parse(words);
        EXPECT_FALSE(p.ok) << joined;
        EXPECT_FALSE(p.error.empty()) << joined;
    }
}

TEST(CommandLineTest, SerialLookingLikeAnOptionIsStillTheSerial) {
    // "--hash" right after sign is taken as the serial, and then the hash is missing.
    Parsed p = parse({"sign", "--hash", "sha1", "--data", "x"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("unexpected 'sha1'"), std::string::npos) << p.error;
}

TEST(CommandLineTest, HelpNeedsNoStep) {
    Parsed p = parse({"--help"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.commandLine.help);
    EXPECT_TRUE(p.commandLine.steps.empty());
}

}  // namespace
