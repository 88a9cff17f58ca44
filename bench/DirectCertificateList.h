// The floor of the plug-in's getCertList: the same PKCS#11 calls in the same order, written
// directly against the module with nothing else. One call of list() is one whole token
// operation: load, initialise, then on each signing slot a session, one search for up to 64
// certificate objects, the value of each read (length, then bytes) and parsed for its display
// name and serial number; close, finalise, unload. The text is that of the last slot, entries
// "CN=<name>,<serial>;" as the plug-in writes them.
#pragma once

#include <string>
#include <utility>

namespace vellum::bench {

class DirectCertificateList {
public:
    explicit DirectCertificateList(std::string modulePath) : modulePath_(std::move(modulePath)) {}

    bool list(std::string& text, std::string& error) const;

private:
    std::string modulePath_;
};

}  // namespace vellum::bench
