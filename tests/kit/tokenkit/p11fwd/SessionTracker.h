// Keeps account of the sessions and logins an application holds through the forwarding
// module, so that C_Finalize can report what the application left behind.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <set>

namespace vellum::p11fwd {

class SessionTracker {
public:
    void opened(CK_SESSION_HANDLE session, CK_SLOT_ID slot);
    void closed(CK_SESSION_HANDLE session);
    void closedAll(CK_SLOT_ID slot);
    void loggedIn(CK_SESSION_HANDLE session);
    void loggedOut(CK_SESSION_HANDLE session);
    void reset();

    size_t openSessions() const { return slotOfSession_.size(); }
    bool loginActive() const { return !loggedInSlots_.empty(); }

private:
    // A login belongs to the token, not the session: it ends with the token's last session.
    void endLoginIfIdle(CK_SLOT_ID slot);

    std::map<CK_SESSION_HANDLE, CK_SLOT_ID> slotOfSession_;
    std::set<CK_SLOT_ID> loggedInSlots_;
};

}  // namespace vellum::p11fwd
