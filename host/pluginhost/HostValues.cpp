#include "pluginhost/HostValues.h"

#include <algorithm>
#include <new>

namespace vellum::pluginhost {

NPError HostValues::getValue(NPP /*npp*/, NPNVariable variable, void* value) noexcept {
    try {
        queries_.push_back(variable);
    } catch (const std::bad_alloc&) {
    }
    if (value == nullptr) {
        return NPERR_INVALID_PARAM;
    }
    HostAnswer answer;
    if (variable == NPNVsupportsCoreGraphicsBool) {
        answer = coreGraphics_;
    } else if (variable == NPNVsupportsCocoaBool) {
        answer = cocoa_;
    } else {
        return NPERR_GENERIC_ERROR;
    }
    if (answer == HostAnswer::Error) {
        return NPERR_GENERIC_ERROR;
    }
    // Exactly one NPBool, as a browser writes it.
    *static_cast<NPBool*>(value) = answer == HostAnswer::Yes ? 1 : 0;
    return NPERR_NO_ERROR;
}

NPError HostValues::setValue(NPP npp, NPPVariable variable, void* value) noexcept {
    try {
        setValueCalls_.push_back(SetValueCall{npp, variable, reinterpret_cast<uintptr_t>(value)});
    } catch (const std::bad_alloc&) {
    }
    return NPERR_NO_ERROR;
}

bool HostValues::wasQueried(NPNVariable variable) const noexcept {
    return std::find(queries_.begin(), queries_.end(), variable) != queries_.end();
}

void HostValues::clear() noexcept {
    queries_.clear();
    setValueCalls_.clear();
}

}  // namespace vellum::pluginhost
