// The host's side of the PIN module's signing request (pin/SigningRequest.h): what the plug-in is
// about to sign, offered to the PIN module in this process through the exported C function
// vellum_host_signing_request, and only while the plug-in's signing read runs. The text and hash
// are the ones this host wrote into the plug-in's SignData and HashAlgorithm (noteWritten); the
// sites are those the host's caller named (a page's origin and its top-level page, as the
// browser recorded them for the extension, or "vellum-host").
#pragma once

#include <optional>
#include <string>

#include "pin/SigningRequest.h"

namespace vellum::host {

class SigningHandOver {
public:
    // A property the host wrote successfully: `text` is its value when it was a string, null
    // otherwise. SignData and HashAlgorithm are remembered; other names are ignored.
    void noteWritten(const std::string& name, const std::string* text);

    // Whether reading the plug-in's property `name` signs.
    static bool signs(const std::string& name) { return name == "Signature" || name == "SignData"; }

    // Offers the request from construction to destruction: around the plug-in's signing read.
    class Offer {
    public:
        Offer(const SigningHandOver& handOver, std::string site, std::string topSite);
        ~Offer();
        Offer(const Offer&) = delete;
        Offer& operator=(const Offer&) = delete;

    private:
        std::string site_;
        std::string topSite_;
        vellum_signing_request request_{};
    };

private:
    // Unknown (a value that was not a string): the PIN module is handed an empty text, which
    // matches nothing the plug-in signs, so that no signature is made.
    std::optional<std::string> text_ = std::string();
    std::string hash_;
};

}  // namespace vellum::host
