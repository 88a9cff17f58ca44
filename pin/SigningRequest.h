// What a host is signing, handed to the PIN module in the same process: the program that hosts
// the plug-in defines and exports the C function kSymbol; the PIN module finds it with
// dlsym(RTLD_DEFAULT) and asks it, at the login of a signature, what the plug-in is about to
// sign. The host sets the request just before the plug-in's signing call and clears it after,
// so the function answers null at any other time. Nothing of this crosses a process boundary:
// a page reaches it only as the host's own requests do.
#pragma once

#include <stddef.h>

extern "C" {

struct vellum_signing_request {
    const unsigned char* text;  // the bytes the page asked to sign
    size_t textLength;
    const char* hash;     // the hash algorithm's name as the page wrote it ("sha256")
    const char* site;     // who asks: the calling frame's origin, or "vellum-host"
    const char* topSite;  // the page the person is on; null or empty when it is `site` itself
};

// The request under way, or null when the host is signing nothing.
typedef const struct vellum_signing_request* (*vellum_signing_request_function)(void);
}

namespace vellum::pin {

struct SigningRequest {
    static constexpr const char* kSymbol = "vellum_host_signing_request";
};

}  // namespace vellum::pin
