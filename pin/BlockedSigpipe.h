// Keeps SIGPIPE from ending the process while this thread talks to a child over pipes: a child
// that goes away mid-conversation makes a write fail with EPIPE instead. The signal is blocked
// for the scope only; one raised meanwhile is taken off the thread before the old mask returns,
// so the application's own disposition of SIGPIPE is left as it was.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace vellum::pin {

class BlockedSigpipe {
public:
    BlockedSigpipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        alreadyPending_ = sigismember(&pending, SIGPIPE) == 1;
        blocked_ = pthread_sigmask(SIG_BLOCK, &pipe, &saved_) == 0;
    }

    ~BlockedSigpipe() {
        if (!blocked_) {
            return;
        }
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        if (!alreadyPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
            const timespec now{0, 0};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

    BlockedSigpipe(const BlockedSigpipe&) = delete;
    BlockedSigpipe& operator=(const BlockedSigpipe&) = delete;

private:
    sigset_t saved_{};
    bool blocked_ = false;
    bool alreadyPending_ = false;
};

}  // namespace vellum::pin
