// One line that says what a LastError text most likely means and what to try, for the texts
// that puzzle people ("C_Initialize failed:OK(0x0000)" means no token is present). The texts
// themselves are shown unchanged elsewhere; this only adds to them.
#pragma once

#include <string>

namespace vellum::host {

class FailureHint {
public:
    struct Context {
        std::string modulePath;     // the file the fixed token module path loads
        bool moduleExists = false;  // whether anything is at that path
        std::string hash;           // the hash a sign step selected, or empty
    };

    // Empty when the text needs no explanation.
    static std::string forStatus(const std::string& lastError, const Context& context);
};

}  // namespace vellum::host
