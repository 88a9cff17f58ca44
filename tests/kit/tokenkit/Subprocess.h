// Runs a program with arguments (no shell), standard input from /dev/null, and collects its
// standard output and error together.
#pragma once

#include <string>
#include <vector>

namespace vellum::tokenkit {

struct ProcessResult {
    bool started = false;
    int exitCode = -1;   // -1 when it did not start or did not exit normally
    std::string output;  // standard output and error, interleaved

    bool succeeded() const { return started && exitCode == 0; }
};

class Subprocess {
public:
    static ProcessResult run(const std::vector<std::string>& argv);
    // How many programs run() has been asked to start in this process: what provisioning costs,
    // counted where timing it would depend on the machine's load.
    static unsigned long runs();
    // "pkcs11-tool ... failed (exit 1): <output>", for error messages.
    static std::string describe(const std::vector<std::string>& argv, const ProcessResult& result);
};

}  // namespace vellum::tokenkit
