// Appends one line per event to the file named by VELLUM_P11FWD_LOG. The file is opened for
// each line (O_APPEND), so a test may truncate or remove it between operations.
#pragma once

#include <string>

namespace vellum::p11fwd {

class FwdLog {
public:
    // Writes `line` and a newline to the log file, if VELLUM_P11FWD_LOG names one.
    static void write(const std::string& line);
    // "0x" followed by upper-case hexadecimal digits.
    static std::string hex(unsigned long value);
    // Writes the line of one PKCS#11 call ("C_Login rv=0x0 userType=1 ...") and returns rv.
    static unsigned long call(const char* function, unsigned long rv, const std::string& args,
                              bool injected);
};

}  // namespace vellum::p11fwd
