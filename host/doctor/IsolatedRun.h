// Work that may take the process down (a token module's calls) run in a forked child, so that
// the caller survives the module dying. The child sends what it learns back as messages over a
// pipe; the caller gets them, in order, with how the child ended. Plain POSIX (fork, pipe,
// waitpid), for Linux and macOS alike. The caller must have a single thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vellum::host {

class IsolatedRun {
public:
    using Send = std::function<void(const std::string& message)>;

    std::vector<std::string> messages;  // what the child sent before it ended
    bool completed = false;             // the work returned and the child exited normally
    // Otherwise how it ended: "signal 11, Segmentation fault", "exit status 70", or why no
    // child could be started.
    std::string death;
    bool started = false;  // a child ran at all

    // Runs `work` in a child that ends with _exit, so nothing of the caller's (buffers, atexit
    // handlers, destructors) runs twice. Standard output and error are flushed first.
    static IsolatedRun run(const std::function<void(const Send& send)>& work);
};

}  // namespace vellum::host
