// Asks for the token PIN on the controlling terminal without echo, as a PIN-pad token's own
// dialogue would.
#pragma once

#include <string>

namespace vellum::p11fwd {

class TerminalPinPrompt {
public:
    // False when there is no terminal (/dev/tty does not open) or reading fails.
    static bool ask(std::string& pin);
};

}  // namespace vellum::p11fwd
