#include "BenchTokens.h"

#include <cstdlib>
#include <fstream>

namespace vellum::bench {

using tokenkit::CertificateSpec;
using tokenkit::TokenKit;

BenchTokens::~BenchTokens() {
    // The kits restore SOFTHSM2_CONF in the reverse order of their making; use() may have
    // changed it in between, so put back what was there before the first.
    kits_.clear();
    if (hadConf_) {
        ::setenv("SOFTHSM2_CONF", savedConf_.c_str(), 1);
    } else {
        ::unsetenv("SOFTHSM2_CONF");
    }
}

bool BenchTokens::provision(std::string& error) {
    const char* conf = std::getenv("SOFTHSM2_CONF");
    hadConf_ = conf != nullptr;
    savedConf_ = hadConf_ ? conf : "";
    for (size_t count : kCounts) {
        auto kit = std::make_unique<TokenKit>();
        tokenkit::Token* token =
            kit->ok() ? kit->addToken("bench" + std::to_string(count)) : nullptr;
        if (token == nullptr) {
            error = kit->error();
            return false;
        }
        for (size_t i = 0; i < count; ++i) {
            CertificateSpec spec;
            spec.subject = "/CN=vellum Bench Signer " + std::to_string(i + 1) + "/O=vellum Bench";
            spec.bits = 2048;
            const bool signing = count == 1;
            spec.withPrivateKey = signing;
            spec.shareKey = !signing;
            const tokenkit::TokenCertificate* cert = kit->addCertificate(*token, spec);
            if (cert == nullptr) {
                error = kit->error();
                return false;
            }
            if (signing) {
                signer_ = cert;
                pin_ = token->pin;
                signerLabel_ = token->label;
            }
        }
        kits_[count] = std::move(kit);
    }
    return true;
}

void BenchTokens::use(size_t certificates) const {
    ::setenv("SOFTHSM2_CONF", kits_.at(certificates)->configPath().c_str(), 1);
}

std::string BenchTokens::directory() const {
    return kits_.at(1)->directory();
}

std::string BenchTokens::writeDataFile(const std::string& data, std::string& error) const {
    std::string path = directory() + "/data.txt";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    if (!out) {
        error = "cannot write " + path;
        return std::string();
    }
    return path;
}

}  // namespace vellum::bench
