// Captures what the process writes to standard output (file descriptor 1, and the C stdout
// stream flushed into it) between construction and finish(), in a temporary file.
#pragma once

#include <cstdio>
#include <string>

namespace vellum::pluginhost {

class StdoutCapture {
public:
    StdoutCapture();
    // Puts standard output back if finish() was not called.
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // False when standard output could not be redirected (nothing is captured then).
    bool active() const noexcept { return file_ != nullptr; }
    // Puts standard output back and returns what was written meanwhile.
    std::string finish();

private:
    void restore() noexcept;

    std::FILE* file_ = nullptr;
    int savedStdout_ = -1;
};

}  // namespace vellum::pluginhost
