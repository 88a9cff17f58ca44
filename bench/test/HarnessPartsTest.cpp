// The parts of the run that the benchmarks rely on without measuring: the tokens it provisions,
// and the pkcs11-tool command it times.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "BenchTokens.h"
#include "DirectCertificateList.h"
#include "DirectSignature.h"
#include "Pkcs11ToolSignature.h"
#include "tokenkit/ScopedEnv.h"

namespace vellum::bench {
namespace {

size_t entriesOf(const std::string& list) {
    size_t entries = 0;
    for (char c : list) {
        entries += c == ';' ? 1 : 0;
    }
    return entries;
}

class HarnessPartsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tokens_ = new BenchTokens();
        std::string error;
        provisioned_ = tokens_->provision(error);
        provisionError_ = error;
    }
    static void TearDownTestSuite() {
        delete tokens_;
        tokens_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(provisioned_) << provisionError_;
        env.set("VELLUM_P11FWD_PIN", tokens_->pin());
        env.set("VELLUM_P11FWD_NO_TTY", "1");
        env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
        env.unset("VELLUM_P11FWD_LOG");
        env.unset("VELLUM_P11FWD_FAIL");
    }

    std::string floorSignatureHex() {
        DirectSignature::Settings settings;
        settings.modulePath = VELLUM_P11FWD_PATH;
        settings.serial = tokens_->signer().serial;
        std::string envelope;
        std::string error;
        EXPECT_TRUE(DirectSignature(settings).sign(data, envelope, error)) << error;
        return envelope.size() > 16 ? envelope.substr(16) : std::string();
    }

    Pkcs11ToolSignature::Settings toolSettings(const std::string& module) {
        std::string error;
        Pkcs11ToolSignature::Settings settings;
        settings.modulePath = module;
        settings.pin = tokens_->pin();
        settings.keyId = tokens_->signer().id;
        settings.dataPath = tokens_->writeDataFile(data, error);
        EXPECT_FALSE(settings.dataPath.empty()) << error;
        settings.signaturePath = tokens_->directory() + "/test-signature.bin";
        return settings;
    }

    static BenchTokens* tokens_;
    static bool provisioned_;
    static std::string provisionError_;
    tokenkit::ScopedEnv env;
    const std::string data = "paired data";
};

BenchTokens* HarnessPartsTest::tokens_ = nullptr;
bool HarnessPartsTest::provisioned_ = false;
std::string HarnessPartsTest::provisionError_;

TEST_F(HarnessPartsTest, EachTokenHoldsItsCountOfCertificates) {
    for (size_t count : BenchTokens::kCounts) {
        tokens_->use(count);
        std::string list;
        std::string error;
        ASSERT_TRUE(DirectCertificateList(VELLUM_P11FWD_PATH).list(list, error)) << error;
        EXPECT_EQ(entriesOf(list), count) << list;
    }
    EXPECT_TRUE(tokens_->signer().hasPrivateKey);
    EXPECT_EQ(tokens_->signerTokenLabel(), "bench1");
}

TEST_F(HarnessPartsTest, DataFileHoldsTheDataExactly) {
    std::string error;
    const std::string path = tokens_->writeDataFile(data, error);
    ASSERT_FALSE(path.empty()) << error;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              data);
}

TEST_F(HarnessPartsTest, Pkcs11ToolMakesTheFloorsSignature) {
    tokens_->use(1);
    const std::string expected = floorSignatureHex();
    ASSERT_EQ(expected.size(), 512u);

    std::string hex;
    std::string error;
#ifndef VELLUM_BENCH_SANITIZED
    Pkcs11ToolSignature viaForwarding(toolSettings(VELLUM_P11FWD_PATH));
    ASSERT_TRUE(viaForwarding.sign(error)) << error;
    ASSERT_TRUE(viaForwarding.lastSignatureHex(hex, error)) << error;
    EXPECT_EQ(hex, expected);
#endif

    // SoftHSM2 itself also lists its empty slot; the token label picks the right one.
    Pkcs11ToolSignature::Settings direct = toolSettings(VELLUM_SOFTHSM2_PATH);
    direct.tokenLabel = tokens_->signerTokenLabel();
    Pkcs11ToolSignature viaSoftHsm(direct);
    ASSERT_TRUE(viaSoftHsm.sign(error)) << error;
    ASSERT_TRUE(viaSoftHsm.lastSignatureHex(hex, error)) << error;
    EXPECT_EQ(hex, expected);
}

TEST_F(HarnessPartsTest, Pkcs11ToolFailureCarriesItsOutput) {
    tokens_->use(1);
    Pkcs11ToolSignature::Settings settings = toolSettings(VELLUM_SOFTHSM2_PATH);
    settings.tokenLabel = tokens_->signerTokenLabel();
    settings.pin = "0000";
    std::string error;
    EXPECT_FALSE(Pkcs11ToolSignature(settings).sign(error));
    EXPECT_NE(error.find("pkcs11-tool"), std::string::npos) << error;
    EXPECT_NE(error.find("exit"), std::string::npos) << error;
}

}  // namespace
}  // namespace vellum::bench
