#include "system/SigningHandOver.h"

namespace {

// The request on offer, or null. Only the thread that runs the plug-in sets it.
const vellum_signing_request* offered = nullptr;

}  // namespace

// Exported from the program (linker option --export-dynamic-symbol) for the PIN module.
extern "C" __attribute__((visibility("default"))) const vellum_signing_request*
vellum_host_signing_request() {
    return offered;
}

namespace vellum::host {

void SigningHandOver::noteWritten(const std::string& name, const std::string* text) {
    if (name == "SignData") {
        text_ = text != nullptr ? std::optional<std::string>(*text) : std::nullopt;
    } else if (name == "HashAlgorithm") {
        // A value that is not a string selects the plug-in's fallback, as an unknown name does.
        hash_ = text != nullptr ? *text : std::string();
    }
}

SigningHandOver::Offer::Offer(const SigningHandOver& handOver, std::string site,
                              std::string topSite)
    : site_(std::move(site)), topSite_(std::move(topSite)) {
    static const std::string kNothing;
    const std::string& text = handOver.text_ ? *handOver.text_ : kNothing;
    request_.text = reinterpret_cast<const unsigned char*>(text.data());
    request_.textLength = text.size();
    request_.hash = handOver.hash_.c_str();
    request_.site = site_.c_str();
    request_.topSite = topSite_.c_str();
    offered = &request_;
}

SigningHandOver::Offer::~Offer() {
    offered = nullptr;
}

}  // namespace vellum::host
