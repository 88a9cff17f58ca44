// Tests of PKCS11Impl on real SoftHSM2 tokens behind the forwarding module, whose call log shows
// what the service did to the module.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tokenkit/CallLog.h"
#include "tokenkit/ScopedEnv.h"
#include "tokenkit/TokenKit.h"

namespace service_test {

namespace tokenkit = vellum::tokenkit;

class TokenFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kit.ok()) << kit.error();
        logPath = kit.directory() + "/calls.log";
        env.unsetWithPrefix("VELLUM_P11FWD_");
        env.set("VELLUM_P11FWD_LOG", logPath);
        env.set("VELLUM_P11FWD_PIN", tokenkit::TokenKit::kDefaultPin);
        env.set("VELLUM_P11FWD_NO_TTY", "1");
        // SoftHSM2's spare empty slot would otherwise be the last slot of every list.
        env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
    }

    tokenkit::Token* addToken(const std::string& label) {
        tokenkit::Token* token = kit.addToken(label);
        EXPECT_NE(token, nullptr) << kit.error();
        return token;
    }

    const tokenkit::TokenCertificate* addCertificate(tokenkit::Token& token,
                                                     const std::string& subject,
                                                     const std::string& serial, int bits = 1024) {
        tokenkit::CertificateSpec spec;
        spec.subject = subject;
        spec.serial = serial;
        spec.bits = bits;
        const tokenkit::TokenCertificate* cert = kit.addCertificate(token, spec);
        EXPECT_NE(cert, nullptr) << kit.error();
        return cert;
    }

    tokenkit::CallLog log() const { return tokenkit::CallLog(logPath); }

    // Every load unloaded, every C_Initialize finalised, no session or login left at C_Finalize.
    void expectBalanced() const {
        std::string why;
        EXPECT_TRUE(log().balanced(&why)) << why;
        EXPECT_GE(log().loads(), 1u);
    }

    // Position of the first log line at or after `from` that starts with `prefix`, or -1.
    long lineOf(const std::string& prefix, long from = 0) const {
        std::vector<std::string> lines = log().lines();
        for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
            if (lines[i].compare(0, prefix.size(), prefix) == 0) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

    tokenkit::TokenKit kit;
    tokenkit::ScopedEnv env;
    std::string logPath;
};

}  // namespace service_test
