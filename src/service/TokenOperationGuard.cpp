#include "service/TokenOperationGuard.h"

namespace {

// The guard of the operation in flight, or null. Only the host's thread gets here.
TokenOperationGuard* operationInFlight = nullptr;

}  // namespace

TokenOperationGuard::TokenOperationGuard(PKCS11Impl& service, StatusText& statusText) noexcept
    : service_(service), statusText_(statusText) {
    TokenOperationGuard* owner = operationInFlight;
    if (owner == nullptr) {
        operationInFlight = this;
        claimed_ = true;
        return;
    }
    // Neither swapping nor a fixed text needs an allocation; a text already showing the refusal
    // is not worth keeping.
    if (&owner->statusText_ == &statusText && !statusText.equals(kInProgressText)) {
        owner->keptStatusText_.swap(statusText);
        owner->statusTextKept_ = true;
    }
    statusText.setFixed(kInProgressText);
}

PKCS11Impl* TokenOperationGuard::serviceInFlight() noexcept {
    return operationInFlight != nullptr ? &operationInFlight->service_ : nullptr;
}

TokenOperationGuard::~TokenOperationGuard() {
    if (!claimed_) {
        return;
    }
    operationInFlight = nullptr;
    if (statusTextKept_ && statusText_.equals(kInProgressText)) {
        statusText_.swap(keptStatusText_);
    }
}
