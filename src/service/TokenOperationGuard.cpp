#include "service/TokenOperationGuard.h"

namespace {

// The guard of the operation in flight, or null. Only the host's thread gets here.
TokenOperationGuard* operationInFlight = nullptr;

}  // namespace

TokenOperationGuard::TokenOperationGuard(std::string& statusText) noexcept
    : statusText_(statusText) {
    TokenOperationGuard* owner = operationInFlight;
    if (owner == nullptr) {
        operationInFlight = this;
        claimed_ = true;
        return;
    }
    // Swapping needs no allocation; a text already showing the refusal is not worth keeping.
    if (&owner->statusText_ == &statusText && statusText != kInProgressText) {
        owner->keptStatusText_.swap(statusText);
        owner->statusTextKept_ = true;
    }
    try {
        statusText = kInProgressText;
    } catch (...) {
        // Out of memory: the text stays as it was, the owner's given back to it.
        if (&owner->statusText_ == &statusText && owner->statusTextKept_) {
            owner->keptStatusText_.swap(statusText);
            owner->statusTextKept_ = false;
        }
    }
}

TokenOperationGuard::~TokenOperationGuard() {
    if (!claimed_) {
        return;
    }
    operationInFlight = nullptr;
    if (statusTextKept_ && statusText_ == kInProgressText) {
        statusText_.swap(keptStatusText_);
    }
}
