#include "SessionTracker.h"

#include <iterator>

namespace vellum::p11fwd {

void SessionTracker::opened(CK_SESSION_HANDLE session, CK_SLOT_ID slot) {
    slotOfSession_[session] = slot;
}

void SessionTracker::closed(CK_SESSION_HANDLE session) {
    auto it = slotOfSession_.find(session);
    if (it == slotOfSession_.end()) {
        return;
    }
    CK_SLOT_ID slot = it->second;
    slotOfSession_.erase(it);
    endLoginIfIdle(slot);
}

void SessionTracker::closedAll(CK_SLOT_ID slot) {
    for (auto it = slotOfSession_.begin(); it != slotOfSession_.end();) {
        it = it->second == slot ? slotOfSession_.erase(it) : std::next(it);
    }
    loggedInSlots_.erase(slot);
}

void SessionTracker::loggedIn(CK_SESSION_HANDLE session) {
    auto it = slotOfSession_.find(session);
    if (it != slotOfSession_.end()) {
        loggedInSlots_.insert(it->second);
    }
}

void SessionTracker::loggedOut(CK_SESSION_HANDLE session) {
    auto it = slotOfSession_.find(session);
    if (it != slotOfSession_.end()) {
        loggedInSlots_.erase(it->second);
    }
}

void SessionTracker::reset() {
    slotOfSession_.clear();
    loggedInSlots_.clear();
}

void SessionTracker::endLoginIfIdle(CK_SLOT_ID slot) {
    for (const auto& entry : slotOfSession_) {
        if (entry.second == slot) {
            return;
        }
    }
    loggedInSlots_.erase(slot);
}

}  // namespace vellum::p11fwd
