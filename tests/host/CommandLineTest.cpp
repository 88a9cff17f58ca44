// The command line: how words become steps, and which runs are refused before anything loads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "install/BridgeManifest.h"
#include "install/WriteAccess.h"

namespace {

using vellum::host::CommandLine;
using vellum::host::StepKind;

struct Parsed {
    bool ok;
    std::string error;
    CommandLine commandLine;
};

// As typed at a terminal, whatever this test's standard input is.
Parsed parse(const std::vector<std::string>& words) {
    Parsed parsed;
    parsed.ok = parsed.commandLine.parse(words, true, parsed.error);
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
    EXPECT_FALSE(p.commandLine.noPinDialog);
    EXPECT_TRUE(
        parse({"--token-module", "t.so", "--no-pin-dialog", "info"}).commandLine.noPinDialog);
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

TEST(CommandLineTest, BrowsersStartTheNativeHostWithTheirOwnArguments) {
    // Chromium passes the caller's origin (and on some systems a window handle), Firefox the
    // manifest's path and the add-on id; an explicit native-messaging takes anything after it.
    for (const std::vector<std::string>& words : std::vector<std::vector<std::string>>{
             {"chrome-extension://mjebmgbgliocagopgcnlkfnbbcoejmda/", "--parent-window=0"},
             {"/home/u/.mozilla/native-messaging-hosts/vellum.bridge.json",
              "bridge@vellum.example"},
             {"--token-module", "t.so", "native-messaging", "x", "--frob"}}) {
        Parsed p = parse(words);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.commandLine.mode, CommandLine::Mode::NativeMessaging) << words[0];
        EXPECT_EQ(p.commandLine.browserArguments.size(), 2u) << words[0];
    }
    EXPECT_FALSE(parse({"/tmp/other.json"}).ok);
    // A desktop portal may pass nothing at all; a person at a terminal who types nothing gets
    // the usage error.
    CommandLine fromPortal;
    std::string error;
    ASSERT_TRUE(fromPortal.parse({}, false, error)) << error;
    EXPECT_EQ(fromPortal.mode, CommandLine::Mode::NativeMessaging);
    CommandLine typed;
    EXPECT_FALSE(typed.parse({}, true, error));
    EXPECT_EQ(error, "no command given");
    // Options alone are no start a browser makes.
    EXPECT_FALSE(CommandLine().parse({"--json"}, false, error));
}

TEST(CommandLineTest, BridgeOptions) {
    using vellum::host::BridgeOptions;
    using vellum::host::Browser;
    Parsed p = parse({"bridge", "install", "--system", "--browser", "edge", "--browser", "firefox",
                      "--token-module", "m.so", "--json"});
    ASSERT_TRUE(p.ok) << p.error;
    const BridgeOptions& bridge = p.commandLine.bridge;
    EXPECT_EQ(bridge.action, BridgeOptions::Action::Install);
    EXPECT_EQ(bridge.scope, vellum::host::ManifestScope::System);
    EXPECT_EQ(bridge.browsers, (std::vector<Browser>{Browser::Edge, Browser::Firefox}));
    EXPECT_EQ(bridge.tokenModule, "m.so");
    EXPECT_TRUE(bridge.json);

    p = parse({"bridge", "status", "--browser", "chrome", "--browser", "all"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.commandLine.bridge.browsers.empty());
    EXPECT_FALSE(p.commandLine.bridge.scope.has_value());
    // The module goes with install, and after it: a global one would be ambiguous.
    EXPECT_FALSE(parse({"--token-module", "m.so", "bridge", "install"}).ok);
    EXPECT_FALSE(parse({"bridge"}).ok);
}

TEST(CommandLineTest, ManifestFoldersOfEachPlatform) {
    using vellum::host::BridgeManifest;
    using vellum::host::Browser;
    using vellum::host::ManifestScope;
    using vellum::host::Platform;
    const std::string home = "/home/u";
    struct Case {
        Platform platform;
        Browser browser;
        ManifestScope scope;
        const char* folder;
    };
    const Case cases[] = {
        {Platform::MacOS, Browser::Chrome, ManifestScope::User,
         "/home/u/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Chromium, ManifestScope::User,
         "/home/u/Library/Application Support/Chromium/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Edge, ManifestScope::User,
         "/home/u/Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Firefox, ManifestScope::User,
         "/home/u/Library/Application Support/Mozilla/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Chrome, ManifestScope::System,
         "/Library/Google/Chrome/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Chromium, ManifestScope::System,
         "/Library/Application Support/Chromium/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Edge, ManifestScope::System,
         "/Library/Microsoft/Edge/NativeMessagingHosts"},
        {Platform::MacOS, Browser::Firefox, ManifestScope::System,
         "/Library/Application Support/Mozilla/NativeMessagingHosts"},
        {Platform::Linux, Browser::Chromium, ManifestScope::User,
         "/home/u/.config/chromium/NativeMessagingHosts"},
        {Platform::Linux, Browser::Firefox, ManifestScope::User,
         "/home/u/.mozilla/native-messaging-hosts"},
        {Platform::Linux, Browser::Chromium, ManifestScope::System,
         "/etc/chromium/native-messaging-hosts"},
        {Platform::Linux, Browser::Firefox, ManifestScope::System,
         "/usr/lib/mozilla/native-messaging-hosts"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BridgeManifest::folder(c.platform, c.browser, c.scope, home, "").string(),
                  c.folder);
    }
    // XDG_CONFIG_HOME moves the Linux Chromium-family folders only, and only when absolute.
    EXPECT_EQ(
        BridgeManifest::folder(Platform::Linux, Browser::Edge, ManifestScope::User, home, "/x")
            .string(),
        "/x/microsoft-edge/NativeMessagingHosts");
    EXPECT_EQ(
        BridgeManifest::folder(Platform::Linux, Browser::Edge, ManifestScope::User, home, "rel")
            .string(),
        "/home/u/.config/microsoft-edge/NativeMessagingHosts");
    EXPECT_EQ(
        BridgeManifest::folder(Platform::MacOS, Browser::Firefox, ManifestScope::User, home, "/x")
            .string(),
        "/home/u/Library/Application Support/Mozilla/NativeMessagingHosts");
}

TEST(WriteAccessTest, NamesTheFirstEntryOthersCanWrite) {
    using vellum::host::WriteAccess;
    namespace fs = std::filesystem;
    // In the build folder: the temporary folder is itself one others may write (sticky).
    std::string made = (fs::current_path() / "write-access-XXXXXX").string();
    ASSERT_NE(::mkdtemp(made.data()), nullptr);
    const fs::path root = made;
    const fs::path folder = root / "lib";
    const fs::path file = folder / "module.so";
    fs::create_directory(folder);
    std::ofstream(file) << "x";
    ::chmod(root.c_str(), 0755);
    ::chmod(folder.c_str(), 0755);
    ::chmod(file.c_str(), 0644);
    const auto trusted = WriteAccess::trusted(false);
    EXPECT_EQ(WriteAccess::untrusted(file, trusted), "");
    EXPECT_EQ(WriteAccess::untrusted(folder / "missing" / "file", trusted), "");

    ::chmod(file.c_str(), 0666);
    EXPECT_EQ(WriteAccess::untrusted(file, trusted),
              file.string() + " (mode 0666, writable by everyone)");
    ::chmod(file.c_str(), 0644);
    ::chmod(folder.c_str(), 0777);
    EXPECT_EQ(WriteAccess::untrusted(file, trusted),
              folder.string() + " (mode 0777, writable by everyone)");
    // Missing files are judged by the folders above them.
    EXPECT_EQ(WriteAccess::untrusted(folder / "missing", trusted),
              folder.string() + " (mode 0777, writable by everyone)");
    // With the sticky bit, others cannot remove or rename what is not theirs.
    ::chmod(folder.c_str(), 01777);
    EXPECT_EQ(WriteAccess::untrusted(file, trusted), "");

    // A path opened again later refuses the sticky folder too: once the file is gone, its name
    // is anyone's. The first such folder on the way is named: this one, unless the build folder
    // itself lies in one (a tree under /tmp).
    const std::string above =
        WriteAccess::untrusted(root, trusted, WriteAccess::SharedFolders::Refused);
    EXPECT_EQ(WriteAccess::untrusted(file, trusted, WriteAccess::SharedFolders::Refused),
              above.empty() ? folder.string() + " (mode 1777, writable by everyone)" : above);

    // A link in a safe folder to a file in an unsafe one: the real path is judged too, through
    // a chain of links (relative ones and ".." included), each link where it leads.
    ::chmod(folder.c_str(), 0777);
    const fs::path safe = root / "safe";
    fs::create_directory(safe);
    ::chmod(safe.c_str(), 0755);
    fs::create_symlink(file, safe / "link.so");
    fs::create_symlink("link.so", safe / "second.so");
    fs::create_symlink("../safe/second.so", safe / "third.so");
    for (const char* name : {"link.so", "second.so", "third.so"}) {
        EXPECT_EQ(WriteAccess::untrusted(safe / name, trusted),
                  folder.string() + " (mode 0777, writable by everyone)")
            << name;
    }
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(WriteAccess::untrusted(safe / "third.so", trusted), "");
    // A loop of links ends with a reason instead of running forever.
    fs::create_symlink("loop-b", safe / "loop-a");
    fs::create_symlink("loop-a", safe / "loop-b");
    EXPECT_EQ(WriteAccess::untrusted(safe / "loop-a", trusted),
              (safe / "loop-a").string() + " (too many symbolic links)");
    // A link owned by another account is refused wherever it leads: its owner may point it
    // elsewhere at any time (making a link another account owns needs root).
    if (::geteuid() == 0) {
        ASSERT_EQ(::lchown((safe / "second.so").c_str(), 4242, 4242), 0);
        EXPECT_EQ(WriteAccess::untrusted(safe / "third.so", trusted),
                  (safe / "second.so").string() + " (a symbolic link owned by uid 4242)");
        EXPECT_EQ(WriteAccess::untrusted(safe / "link.so", trusted), "");
    }

    // Root's folders are judged for root alone.
    const auto rootOnly = WriteAccess::trusted(true);
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(WriteAccess::untrusted(file, rootOnly),
              ::geteuid() == 0
                  ? ""
                  : root.string() + " (owned by uid " + std::to_string(::geteuid()) + ")");
    fs::remove_all(root);
}

}  // namespace
