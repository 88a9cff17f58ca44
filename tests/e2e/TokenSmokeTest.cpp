// The plug-in with a real token behind the forwarding module: the certificate list, the cut
// that a zero byte makes in texts on their way from script to the token, and the file the
// unmodified plug-in loads at its real fixed path.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "PluginFixture.h"
#include "fixedpath/TokenModuleRedirect.h"
#include "tokenkit/FixedPathMount.h"

namespace vellum::e2e {
namespace {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

using TokenSmokeTest = TokenTest;

// What a child run reports through its status besides 0 (done) and 1 (failed).
constexpr int kNoMountNamespace = 3;

// In a child just forked (one thread): the redirect cleared, the forwarding module put at the
// real fixed path in a private mount namespace, and the plug-in's certificate list. The reason
// of a failure goes to `report`.
int listAtTheRealFixedPath(pluginhost::PluginHost& host, int report) {
    auto say = [report](const std::string& text) {
        (void)!::write(report, text.data(), text.size());
    };
    std::string why;
    if (!fixedpath::TokenModuleRedirect::clear()) {
        say("no memory to clear the redirect");
        return 1;
    }
    if (!tokenkit::FixedPathMount::enter(why)) {
        say(why);
        return kNoMountNamespace;
    }
    if (!tokenkit::FixedPathMount::pointAt(VELLUM_P11FWD_PATH, why)) {
        say(why);
        return 1;
    }
    if (!host.start(why)) {
        say("starting the plug-in: " + why);
        return 1;
    }
    const ScriptResult list = host.invoke("getCertList");
    host.stop();
    if (!list.ok || !list.value.isString() ||
        list.value.stringValue() != "CN=Example Signer,01A2B3;") {
        say("getCertList answered otherwise");
        return 1;
    }
    return 0;
}

TEST_F(TokenSmokeTest, GetCertListListsBothCertificatesOfTheToken) {
    ASSERT_NE(addCertificate(spec("/CN=Example Signer/O=Example Org", "01A2B3")), nullptr);
    ASSERT_NE(addCertificate(spec("/O=Example Org", "7F00")), nullptr);
    ASSERT_TRUE(startPlugin());

    ScriptResult list = host().invoke("getCertList");
    ASSERT_TRUE(list.ok);
    ASSERT_TRUE(list.value.isString()) << list;
    // In the order the token returns its objects.
    const std::string first = "CN=Example Signer,01A2B3;";
    const std::string second = "CN=Example Org,7F00;";
    EXPECT_TRUE(list.value.stringValue() == first + second ||
                list.value.stringValue() == second + first)
        << list;
    EXPECT_EQ(host().invoke("LastError").value, ScriptValue::string("OK"));

    // One whole token operation: loaded, initialised, finalised, unloaded.
    EXPECT_EQ(callLog().loads(), 1u);
    EXPECT_EQ(callLog().count("C_Initialize"), 1u);
    EXPECT_EQ(callLog().count("C_Finalize"), 1u);
}

TEST_F(TokenSmokeTest, ZeroByteCutsTextsOnTheirWayToTheToken) {
    ASSERT_NE(addCertificate(spec("/CN=Example Signer", "01A2B3")), nullptr);
    ASSERT_TRUE(startPlugin());

    // The serial matches only once cut at the zero byte (and upper-cased).
    ASSERT_TRUE(host().setProperty("CN", text("01a2b3\0FF")));
    ASSERT_TRUE(host().setProperty("SignData", text("ab\0cd")));
    ScriptResult envelope = host().getProperty("SignData");
    ASSERT_TRUE(envelope.ok);
    const std::string& value = envelope.value.stringValue();
    // 1024-bit key: 128 signature bytes, 256 hexadecimal characters.
    const std::string head = "UD65001:00000002ab00000256";
    ASSERT_EQ(value.size(), head.size() + 256) << envelope;
    EXPECT_EQ(value.substr(0, head.size()), head);
    EXPECT_EQ(value.find_first_not_of("0123456789ABCDEF", head.size()), std::string::npos);
    EXPECT_EQ(host().invoke("LastError").value, ScriptValue::string("OK"));
}

// Every other test points the fixed path through the test program's dlopen; this one shows that
// without it the plug-in, unmodified, loads whatever file sits at the real path. The machine is
// left alone: the file is put there in a private mount namespace of a child process.
TEST_F(TokenSmokeTest, WithoutTheRedirectThePluginLoadsTheFileAtTheRealFixedPath) {
    ASSERT_NE(addCertificate(spec("/CN=Example Signer", "01A2B3")), nullptr);
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(report[0]);
        ::_exit(listAtTheRealFixedPath(host(), report[1]));
    }
    ::close(report[1]);
    std::string reason;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(report[0], buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        reason.append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
    ::close(report[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended with status " << status;
    if (WEXITSTATUS(status) == kNoMountNamespace) {
        GTEST_SKIP() << "no private mount namespace here (it takes root or user namespaces): "
                     << reason;
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << reason;
    EXPECT_EQ(callLog().loads(), 1u) << "the module at the fixed path was not loaded once";
}

}  // namespace
}  // namespace vellum::e2e
