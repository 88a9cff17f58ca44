#include "TerminalPinPrompt.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellum::p11fwd {
namespace {

void writeAll(int fd, const char* text) {
    size_t length = std::strlen(text);
    while (length > 0) {
        ssize_t n = ::write(fd, text, length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

}  // namespace

bool TerminalPinPrompt::ask(std::string& pin) {
    int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    termios saved{};
    bool haveSaved = ::tcgetattr(fd, &saved) == 0;
    if (haveSaved) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    writeAll(fd, "Token PIN: ");
    std::string typed;
    bool ok = false;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // end of input without a newline: treat as cancelled
        }
        if (c == '\n' || c == '\r') {
            ok = true;
            break;
        }
        typed.push_back(c);
    }
    if (haveSaved) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    } else {
        writeAll(fd, "\n");
    }
    ::close(fd);
    if (ok) {
        pin.swap(typed);
    }
    return ok;
}

}  // namespace vellum::p11fwd
