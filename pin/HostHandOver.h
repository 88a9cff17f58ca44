// The PIN module's side of SigningRequest.h: whether the process that loaded the module hands
// over what it signs, and a copy of the request under way. A module loaded by a program without
// the function keeps to the PIN dialog alone.
#pragma once

#include <string>

#include "SigningRequest.h"

namespace vellum::pin {

class HostHandOver {
public:
    struct Request {
        std::string text;
        std::string hash;
        std::string site;
        std::string topSite;  // empty: the asking site is the page itself
    };

    // Looks the function up in the process (the executable and its global libraries).
    static HostHandOver find();

    bool present() const { return function_ != nullptr; }
    // A copy of the request under way; false when none is (or the process hands none over).
    bool current(Request& request) const;

private:
    vellum_signing_request_function function_ = nullptr;
};

}  // namespace vellum::pin
