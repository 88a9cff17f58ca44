#include "FwdLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace vellum::p11fwd {

void FwdLog::write(const std::string& line) {
    const char* path = std::getenv("VELLUM_P11FWD_LOG");
    if (path == nullptr || *path == '\0') {
        return;
    }
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    // One write per line keeps lines whole when two processes share a log.
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

std::string FwdLog::hex(unsigned long value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

unsigned long FwdLog::call(const char* function, unsigned long rv, const std::string& args,
                           bool injected) {
    std::string line = std::string(function) + " rv=" + hex(rv);
    if (!args.empty()) {
        line += " " + args;
    }
    if (injected) {
        line += " injected=yes";
    }
    write(line);
    return rv;
}

}  // namespace vellum::p11fwd
