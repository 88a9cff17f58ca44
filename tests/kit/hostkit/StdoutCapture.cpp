#include "hostkit/StdoutCapture.h"

#include <unistd.h>

namespace vellum::pluginhost {

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    if (file_ == nullptr) {
        return;
    }
    savedStdout_ = ::dup(STDOUT_FILENO);
    if (savedStdout_ < 0 || ::dup2(::fileno(file_), STDOUT_FILENO) < 0) {
        if (savedStdout_ >= 0) {
            ::close(savedStdout_);
            savedStdout_ = -1;
        }
        std::fclose(file_);
        file_ = nullptr;
    }
}

StdoutCapture::~StdoutCapture() {
    restore();
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void StdoutCapture::restore() noexcept {
    if (savedStdout_ < 0) {
        return;
    }
    std::fflush(stdout);
    ::dup2(savedStdout_, STDOUT_FILENO);
    ::close(savedStdout_);
    savedStdout_ = -1;
}

std::string StdoutCapture::finish() {
    restore();
    std::string text;
    if (file_ == nullptr) {
        return text;
    }
    std::rewind(file_);
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file_)) > 0) {
        text.append(buffer, got);
    }
    std::fclose(file_);
    file_ = nullptr;
    return text;
}

}  // namespace vellum::pluginhost
