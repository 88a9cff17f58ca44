#include "tokenkit/Subprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace vellum::tokenkit {
namespace {

// Closes the file descriptors it holds when it goes.
class PipeEnds {
public:
    PipeEnds() {
        if (::pipe(fds_) != 0) {
            fds_[0] = fds_[1] = -1;
            return;
        }
        ::fcntl(fds_[0], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds_[1], F_SETFD, FD_CLOEXEC);
    }
    ~PipeEnds() {
        closeRead();
        closeWrite();
    }
    PipeEnds(const PipeEnds&) = delete;
    PipeEnds& operator=(const PipeEnds&) = delete;

    bool ok() const { return fds_[0] >= 0; }
    int read() const { return fds_[0]; }
    int write() const { return fds_[1]; }
    void closeRead() { closeEnd(0); }
    void closeWrite() { closeEnd(1); }

private:
    void closeEnd(int which) {
        if (fds_[which] >= 0) {
            ::close(fds_[which]);
            fds_[which] = -1;
        }
    }
    int fds_[2];
};

}  // namespace

namespace {

unsigned long runCount = 0;

}  // namespace

unsigned long Subprocess::runs() {
    return runCount;
}

ProcessResult Subprocess::run(const std::vector<std::string>& argv) {
    ++runCount;
    ProcessResult result;
    if (argv.empty()) {
        result.output = "no program given";
        return result;
    }
    PipeEnds output;
    if (!output.ok()) {
        result.output = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output.write(), 1);
    posix_spawn_file_actions_adddup2(&actions, output.write(), 2);
    pid_t pid = 0;
    int spawnError = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    output.closeWrite();
    if (spawnError != 0) {
        result.output = argv[0] + ": " + std::strerror(spawnError);
        return result;
    }
    result.started = true;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(output.read(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return result;
        }
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

std::string Subprocess::describe(const std::vector<std::string>& argv,
                                 const ProcessResult& result) {
    std::string text;
    for (const std::string& arg : argv) {
        text += (text.empty() ? "" : " ") + arg;
    }
    text += result.started ? " failed (exit " + std::to_string(result.exitCode) + ")"
                           : " did not start";
    if (!result.output.empty()) {
        text += ": " + result.output;
    }
    return text;
}

}  // namespace vellum::tokenkit
