// Fixtures for end-to-end tests: the shipping plug-in module, loaded in the plug-in host, with
// the token module path under the test's control.
//
// The plug-in loads its token module from one fixed path. The test program, as vellum-host
// does, exports its own dlopen (fixedpath/TokenModuleRedirect), so that each test can have that
// path load a module of its choice, or nothing, without touching the machine. Every fixture
// fails its test with the reason when the plug-in would not bind to that dlopen; nothing passes
// silently.
//
//   NoTokenModuleTest   the fixed path loads nothing: every token operation fails to load.
//   TokenTest           the fixed path points at the forwarding module over a fresh SoftHSM2
//                       token (TokenKit): PIN supplied by the forwarding module, SoftHSM2's
//                       empty slot hidden, no terminal prompt, calls logged to the test's
//                       directory.
//
// Neither starts the plug-in by itself, so a test can also drive the steps one by one:
//
//     TEST_F(TokenTest, ListsTheCertificate) {
//         const auto* cert = addCertificate(spec("/CN=Example Signer", "01A2B3"));
//         ASSERT_NE(cert, nullptr);
//         ASSERT_TRUE(startPlugin());
//         EXPECT_EQ(host().invoke("getCertList").value.stringValue(), "CN=Example Signer,01A2B3;");
//     }
//
// At tear-down every fixture stops the host (releasing the script object, NPP_Destroy,
// NP_Shutdown, unloading) and expects it clean: no host memory outstanding, no object alive,
// no misuse of the host recorded. TokenTest also expects a balanced call log (every module
// load unloaded, every C_Initialize finalised, no session or login left at C_Finalize); a test
// that makes the token module fail on purpose may turn that off.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pluginhost/PluginHost.h"
#include "tokenkit/CallLog.h"
#include "tokenkit/ScopedEnv.h"
#include "tokenkit/TokenKit.h"

namespace vellum::e2e {

// The plug-in module under test: the build's, or the file named by VELLUM_E2E_PLUGIN (to run
// the same tests on another build or an installed copy of the module).
const char* pluginModulePath();

// Whether the plug-in's loads of the fixed path reach this program's redirect; `why` says
// what is missing.
bool fixedModulePathReady(std::string& why);

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    pluginhost::PluginHost& host() { return *host_; }
    // The steps of PluginHost::start(), as an assertion.
    ::testing::AssertionResult startPlugin();
    // Its first steps only: load, NP_Initialize, NP_GetEntryPoints; no instance yet.
    ::testing::AssertionResult loadPlugin();

    // A string value from a literal that may hold zero bytes: text("ab\0cd").
    template <size_t N>
    static pluginhost::ScriptValue text(const char (&bytes)[N]) {
        return pluginhost::ScriptValue::string(std::string(bytes, N - 1));
    }
    static pluginhost::ScriptValue text(const std::string& bytes) {
        return pluginhost::ScriptValue::string(bytes);
    }

private:
    std::unique_ptr<pluginhost::PluginHost> host_;
};

class NoTokenModuleTest : public PluginTest {
protected:
    void SetUp() override;
};

class TokenTest : public PluginTest {
protected:
    void SetUp() override;
    void TearDown() override;

    tokenkit::TokenKit& kit() { return *kit_; }
    tokenkit::Token& token() { return *token_; }
    tokenkit::ScopedEnv& env() { return env_; }
    tokenkit::CallLog& callLog() { return *callLog_; }

    // A certificate spec with 1024-bit keys (the fastest to make).
    static tokenkit::CertificateSpec spec(const std::string& subject, const std::string& serial);
    // Adds a certificate to the token; null, with the kit's reason as a test failure, if that
    // fails.
    const tokenkit::TokenCertificate* addCertificate(const tokenkit::CertificateSpec& spec);

    // Checked at tear-down; off for tests that make the token module fail on purpose.
    bool expectBalancedCallLog_ = true;

private:
    std::unique_ptr<tokenkit::TokenKit> kit_;
    tokenkit::Token* token_ = nullptr;
    tokenkit::ScopedEnv env_;
    std::unique_ptr<tokenkit::CallLog> callLog_;
};

}  // namespace vellum::e2e
