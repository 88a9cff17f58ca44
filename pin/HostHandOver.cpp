#include "HostHandOver.h"

#include <dlfcn.h>

namespace vellum::pin {

HostHandOver HostHandOver::find() {
    HostHandOver handOver;
    handOver.function_ = reinterpret_cast<vellum_signing_request_function>(
        dlsym(RTLD_DEFAULT, SigningRequest::kSymbol));
    return handOver;
}

bool HostHandOver::current(Request& request) const {
    const vellum_signing_request* handed = function_ != nullptr ? function_() : nullptr;
    if (handed == nullptr || (handed->text == nullptr && handed->textLength != 0)) {
        return false;
    }
    const auto text = [](const char* value) { return value != nullptr ? value : ""; };
    request.text.assign(reinterpret_cast<const char*>(handed->text), handed->textLength);
    request.hash = text(handed->hash);
    request.site = text(handed->site);
    request.topSite = text(handed->topSite);
    if (request.topSite == request.site) {
        request.topSite.clear();
    }
    return true;
}

}  // namespace vellum::pin
