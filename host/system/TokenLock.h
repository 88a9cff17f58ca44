// One token operation at a time across all of one user's vellum-host processes on one token
// module. A browser starts a host per page, and two pages signing at once would otherwise
// interleave their logins and sessions on the same token (the plug-in keeps its operations apart
// only within its own process). The lock is an advisory flock on a file per module in the user's
// runtime folder: a second host waits for the first, however long its operation takes (a PIN
// dialog may take minutes), and the kernel releases it when a holder dies.
//
// Folder: $XDG_RUNTIME_DIR/vellum/ when XDG_RUNTIME_DIR is an absolute path to a folder this user
// owns and no one else may enter (what a login session provides); otherwise vellum/ in the
// user's cache folder ($XDG_CACHE_HOME, else ~/.cache), when no one else can change it or the
// folder above it. Never a shared folder such as /tmp: another user could make the name first
// and so switch the lock off. Where neither can be used (no other user can bring that about),
// operations run without the lock and lockProblem() says why.
#pragma once

#include <sys/types.h>

#include <string>

namespace vellum::host {

class TokenLock {
public:
    // Opens (creating) the lock file of the module at `module` (resolved through links, so that
    // every name of one file shares a lock). The folder is found by this user's id.
    explicit TokenLock(const std::string& module);
    ~TokenLock();
    TokenLock(const TokenLock&) = delete;
    TokenLock& operator=(const TokenLock&) = delete;

    // Held from construction to destruction; waits for another holder.
    class Hold {
    public:
        explicit Hold(TokenLock* lock);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        int fd_ = -1;
    };

    bool usable() const noexcept { return fd_ >= 0; }
    const std::string& path() const noexcept { return path_; }
    // Why there is no lock, or empty.
    const std::string& lockProblem() const noexcept { return problem_; }
    // The process id of the holder as it wrote it into the file: 0 when no one holds the lock
    // (or there is none), -1 when held by one that has not written it yet.
    pid_t holder() const;

private:
    int fd_ = -1;
    std::string path_;
    std::string problem_;
};

}  // namespace vellum::host
