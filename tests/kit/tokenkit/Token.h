// One SoftHSM2 token made by a TokenKit.
#pragma once

#include <deque>
#include <string>

#include "tokenkit/TokenCertificate.h"

namespace vellum::tokenkit {

struct Token {
    std::string label;
    std::string pin;
    std::string soPin;
    unsigned long slotId = 0;  // SoftHSM2's slot id for the token
    // In the order they were added; a deque so that pointers to entries stay valid.
    std::deque<TokenCertificate> certificates;
};

}  // namespace vellum::tokenkit
