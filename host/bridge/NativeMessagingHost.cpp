#include "bridge/NativeMessagingHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "bridge/AnswerFrames.h"
#include "bridge/BridgeSession.h"
#include "bridge/FrameChannel.h"
#include "pluginhost/PluginHost.h"

namespace vellum::host {
namespace {

// Descriptor `fd` moved above the standard ones (close-on-exec) and `fd` itself pointed at
// `replacement`; -1 when that fails.
int takeOver(int fd, int replacement) {
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        return -1;
    }
    if (::dup2(replacement, fd) < 0) {
        ::close(moved);
        return -1;
    }
    return moved;
}

// Closes a descriptor when the run ends.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace

int NativeMessagingHost::run(void (*complain)(const std::string& line)) {
    // A browser that closes the port closes the pipe: a write must fail, not kill the process
    // before the plug-in is shut down.
    std::signal(SIGPIPE, SIG_IGN);
    Descriptor nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Descriptor out(takeOver(STDOUT_FILENO, STDERR_FILENO));
    Descriptor in(nothing.get() < 0 ? -1 : takeOver(STDIN_FILENO, nothing.get()));
    if (out.get() < 0 || in.get() < 0) {
        complain(std::string("cannot set up the frame channel: ") + std::strerror(errno));
        return 1;
    }
    FrameChannel channel(in.get(), out.get());

    pluginhost::PluginHost host(pluginPath_);
    std::string setupError = setupError_;
    std::string error;
    if (setupError.empty() && !host.start(error)) {
        setupError = "cannot start the plug-in " + pluginPath_ + ": " + error;
    }
    if (!setupError.empty()) {
        complain(setupError);
    }
    BridgeSession session(host, setupError, tokenLock_, announceOrigin_);

    int status = 0;
    std::string frame;
    std::string problem;
    while (true) {
        FrameChannel::Read read = channel.read(frame, problem);
        if (read == FrameChannel::Read::End) {
            break;
        }
        if (read != FrameChannel::Read::Frame) {
            complain(problem);
            status = 1;
            break;
        }
        const Json answer = session.answer(std::move(frame));
        frame.clear();
        bool written = true;
        for (const std::string& body : AnswerFrames::of(answer)) {
            if (!channel.write(body, problem)) {
                written = false;
                break;
            }
        }
        if (!written) {
            complain(problem);
            status = 1;
            break;
        }
    }

    host.stop();
    if (!host.clean()) {
        complain("warning: the plug-in did not leave the host clean: " + host.report());
    }
    return status;
}

}  // namespace vellum::host
