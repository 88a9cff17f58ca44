#include "doctor/IsolatedRun.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

namespace vellum::host {
namespace {

// The child's exit status when the work threw: nothing may unwind past the fork.
constexpr int kWorkThrew = 70;

bool writeAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Each message is its length (8 bytes, host order: both ends are one program) and its bytes.
std::vector<std::string> readMessages(int fd) {
    std::string stream;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        stream.append(buffer, static_cast<size_t>(got));
    }
    std::vector<std::string> messages;
    size_t at = 0;
    uint64_t length = 0;
    while (stream.size() - at >= sizeof length) {
        std::memcpy(&length, stream.data() + at, sizeof length);
        if (stream.size() - at - sizeof length < length) {
            break;  // cut short by the child's death
        }
        messages.push_back(stream.substr(at + sizeof length, length));
        at += sizeof length + length;
    }
    return messages;
}

std::string deathText(int status) {
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        const char* name = ::strsignal(signal);
        return "signal " + std::to_string(signal) + ", " + (name ? name : "unknown");
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

}  // namespace

IsolatedRun IsolatedRun::run(const std::function<void(const Send& send)>& work) {
    IsolatedRun outcome;
    int fds[2];
    if (::pipe(fds) != 0) {
        outcome.death = std::string("cannot make a pipe: ") + std::strerror(errno);
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        outcome.death = std::string("cannot start a process: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return outcome;
    }
    if (child == 0) {
        ::close(fds[0]);
        int status = 0;
        try {
            work([fd = fds[1]](const std::string& message) {
                const uint64_t length = message.size();
                if (!writeAll(fd, &length, sizeof length) ||
                    !writeAll(fd, message.data(), message.size())) {
                    ::_exit(kWorkThrew);
                }
            });
        } catch (...) {
            status = kWorkThrew;
        }
        ::_exit(status);
    }
    ::close(fds[1]);
    outcome.started = true;
    outcome.messages = readMessages(fds[0]);
    ::close(fds[0]);
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child) {
        outcome.death = std::string("cannot wait for its process: ") + std::strerror(errno);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        outcome.completed = true;
    } else {
        outcome.death = deathText(status);
    }
    return outcome;
}

}  // namespace vellum::host
