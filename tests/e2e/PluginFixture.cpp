#include "PluginFixture.h"

#include <cstdlib>

#include "fixedpath/TokenModuleRedirect.h"

namespace vellum::e2e {

using fixedpath::TokenModuleRedirect;

const char* pluginModulePath() {
    const char* chosen = std::getenv("VELLUM_E2E_PLUGIN");
    return chosen != nullptr && *chosen != '\0' ? chosen : VELLUM_PLUGIN_PATH;
}

bool fixedModulePathReady(std::string& why) {
    if (!TokenModuleRedirect::inForce()) {
        why = "cannot control the plug-in's token module path " +
              std::string(TokenModuleRedirect::kFixedPath) +
              ": the test program's dlopen is not exported (link option "
              "--export-dynamic-symbol=dlopen)";
        return false;
    }
    return true;
}

// --- PluginTest -----------------------------------------------------------------------------

void PluginTest::SetUp() {
    std::string why;
    ASSERT_TRUE(fixedModulePathReady(why)) << why;
    host_ = std::make_unique<pluginhost::PluginHost>(pluginModulePath());
    // A failed call must say void itself, not leave the host's initial value in place.
    host_->setResultMarker(true);
}

void PluginTest::TearDown() {
    if (!host_) {
        return;
    }
    host_->stop();
    EXPECT_TRUE(host_->clean()) << "host after tear-down: " << host_->report();
    host_.reset();
}

::testing::AssertionResult PluginTest::startPlugin() {
    std::string error;
    if (!host_->start(error)) {
        return ::testing::AssertionFailure() << "starting the plug-in: " << error;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult PluginTest::loadPlugin() {
    std::string error;
    if (!host_->load(error)) {
        return ::testing::AssertionFailure() << error;
    }
    NPError result = host_->initialize();
    if (result != NPERR_NO_ERROR) {
        return ::testing::AssertionFailure() << "NP_Initialize returned " << result;
    }
    result = host_->getEntryPoints();
    if (result != NPERR_NO_ERROR) {
        return ::testing::AssertionFailure() << "NP_GetEntryPoints returned " << result;
    }
    return ::testing::AssertionSuccess();
}

// --- NoTokenModuleTest ----------------------------------------------------------------------

void NoTokenModuleTest::SetUp() {
    ASSERT_NO_FATAL_FAILURE(PluginTest::SetUp());
    ASSERT_TRUE(TokenModuleRedirect::pointAtNothing());
}

// --- TokenTest ------------------------------------------------------------------------------

void TokenTest::SetUp() {
    ASSERT_NO_FATAL_FAILURE(PluginTest::SetUp());
    std::string why;
    ASSERT_TRUE(TokenModuleRedirect::pointAt(VELLUM_P11FWD_PATH, why)) << why;

    kit_ = std::make_unique<tokenkit::TokenKit>();
    ASSERT_TRUE(kit_->ok()) << kit_->error();
    token_ = kit_->addToken("vellum-e2e");
    ASSERT_NE(token_, nullptr) << kit_->error();

    const std::string logPath = kit_->directory() + "/calls.log";
    // Nothing from the caller's environment changes how the forwarding module behaves.
    env_.unsetWithPrefix("VELLUM_P11FWD_");
    env_.set("VELLUM_P11FWD_PIN", token_->pin);
    env_.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
    env_.set("VELLUM_P11FWD_NO_TTY", "1");
    env_.set("VELLUM_P11FWD_LOG", logPath);
    callLog_ = std::make_unique<tokenkit::CallLog>(logPath);
}

void TokenTest::TearDown() {
    PluginTest::TearDown();
    if (callLog_ && expectBalancedCallLog_) {
        std::string problem;
        EXPECT_TRUE(callLog_->balanced(&problem)) << "token module call log: " << problem;
    }
    callLog_.reset();
    kit_.reset();
}

tokenkit::CertificateSpec TokenTest::spec(const std::string& subject, const std::string& serial) {
    tokenkit::CertificateSpec spec;
    spec.subject = subject;
    spec.serial = serial;
    spec.bits = 1024;
    return spec;
}

const tokenkit::TokenCertificate* TokenTest::addCertificate(const tokenkit::CertificateSpec& spec) {
    const tokenkit::TokenCertificate* cert = kit_->addCertificate(*token_, spec);
    EXPECT_NE(cert, nullptr) << "adding " << spec.subject << ": " << kit_->error();
    return cert;
}

}  // namespace vellum::e2e
