// The SoftHSM2 tokens of one benchmark run, provisioned once at the start with TokenKit in
// temporary directories (removed at the end): one token each with 1, 16 and 64 RSA-2048
// certificates. The first certificate of the 1-certificate token has its private key and is
// the one every signature benchmark signs with; the others share one key and store only the
// certificate, since listing reads certificates alone.
//
// Each token lives in a kit of its own, so that a token operation sees exactly one token;
// use() points SOFTHSM2_CONF at the kit of a token before its benchmark runs.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "tokenkit/TokenKit.h"

namespace vellum::bench {

class BenchTokens {
public:
    // Certificate counts of the listing tokens.
    static constexpr size_t kCounts[] = {1, 16, 64};

    BenchTokens() = default;
    ~BenchTokens();
    BenchTokens(const BenchTokens&) = delete;
    BenchTokens& operator=(const BenchTokens&) = delete;

    bool provision(std::string& error);

    // Makes the token with `certificates` certificates the one SoftHSM2 finds.
    void use(size_t certificates) const;

    // The signing certificate (on the 1-certificate token) and its token's PIN.
    const tokenkit::TokenCertificate& signer() const { return *signer_; }
    const std::string& pin() const { return pin_; }
    const std::string& signerTokenLabel() const { return signerLabel_; }
    // A file in the kit's directory holding `data`, for command-line tools.
    std::string writeDataFile(const std::string& data, std::string& error) const;
    std::string directory() const;

private:
    std::map<size_t, std::unique_ptr<tokenkit::TokenKit>> kits_;
    const tokenkit::TokenCertificate* signer_ = nullptr;
    std::string pin_;
    std::string signerLabel_;
    std::string savedConf_;
    bool hadConf_ = false;
};

}  // namespace vellum::bench
