// One login for the whole token, whichever process made it, as a smart card keeps one: with
// VELLUM_P11FWD_SHARED_LOGIN set, a successful C_Login holds an exclusive flock on the file it
// names until the login ends, and a C_Login while another process's login holds it is refused.
// Two hosts that interleave their operations on one token then fail as they would on a card,
// every time their logins overlap, instead of only when the real module happens to trip.
#pragma once

#include <string>

namespace vellum::p11fwd {

class SharedLogin {
public:
    SharedLogin() = default;
    ~SharedLogin() { release(); }
    SharedLogin(const SharedLogin&) = delete;
    SharedLogin& operator=(const SharedLogin&) = delete;

    // Takes the login's file at `path` (created when missing); false when another holds it or
    // it cannot be opened. Taking it again while held is a no-op.
    bool take(const std::string& path);
    void release();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace vellum::p11fwd
