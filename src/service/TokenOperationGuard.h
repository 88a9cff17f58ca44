#pragma once

#include "service/StatusText.h"

class PKCS11Impl;

// Marks the one token operation that may be in flight in the process, from the load of the
// module to the end of its closing sequence.
//
// A token module that asks for its PIN in a dialog of its own runs a modal event loop inside
// C_Login, and a browser may deliver script calls from that loop: to this instance or to another
// one on the page. A token operation started there would share the module (the loader counts
// references), replace the certificate context under the outer operation and finalise and unload
// the module beneath it. So it is refused at once, with kInProgressText as its status text.
//
// Everything runs on the host's thread: this answers a nested call, it never waits for one.
class TokenOperationGuard {
public:
    static constexpr const char* kInProgressText = "Token operation in progress";

    // Claims the process's token operation for the service, whose status text is given. When an
    // operation is already in flight nothing is claimed and that text becomes kInProgressText;
    // if the operation in flight is this service's own, its text is kept aside and given back
    // when it ends, unless it has set a newer one by then.
    TokenOperationGuard(PKCS11Impl& service, StatusText& statusText) noexcept;
    ~TokenOperationGuard();

    TokenOperationGuard(const TokenOperationGuard&) = delete;
    TokenOperationGuard& operator=(const TokenOperationGuard&) = delete;

    // False for a refused operation, which must return without touching the module.
    bool claimed() const noexcept { return claimed_; }

    // The service whose token operation is in flight, or null.
    static PKCS11Impl* serviceInFlight() noexcept;

private:
    PKCS11Impl& service_;
    StatusText& statusText_;
    bool claimed_ = false;
    // The owner's status text while a refused nested call on the same service shows its own.
    StatusText keptStatusText_;
    bool statusTextKept_ = false;
};
