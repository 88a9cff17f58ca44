// The host's side of NPN_GetValue and NPN_SetValue: what it answers when the module asks
// whether the CoreGraphics drawing model (NPNVsupportsCoreGraphicsBool) and the Cocoa event
// model (NPNVsupportsCocoaBool) are offered, and a record of every question and every value
// the module set, in order.
#pragma once

#include <cstdint>
#include <vector>

#include "npapi/npapi.h"

namespace vellum::pluginhost {

// How the host answers a yes/no question of NPN_GetValue.
enum class HostAnswer {
    Yes,    // NPERR_NO_ERROR, true stored
    No,     // NPERR_NO_ERROR, false stored
    Error,  // NPERR_GENERIC_ERROR, nothing stored
};

struct SetValueCall {
    NPP npp;
    NPPVariable variable;
    uintptr_t value;  // the pointer argument as a number: the models travel in it
};

class HostValues {
public:
    void setCoreGraphicsAnswer(HostAnswer answer) noexcept { coreGraphics_ = answer; }
    void setCocoaAnswer(HostAnswer answer) noexcept { cocoa_ = answer; }

    // Answers the two model questions as set (both Yes at first); every other variable is not
    // offered (NPERR_GENERIC_ERROR, nothing stored). A null out-pointer is NPERR_INVALID_PARAM.
    NPError getValue(NPP npp, NPNVariable variable, void* value) noexcept;
    // Records the call and answers NPERR_NO_ERROR.
    NPError setValue(NPP npp, NPPVariable variable, void* value) noexcept;

    // The variables the module asked about, in order.
    const std::vector<NPNVariable>& queries() const noexcept { return queries_; }
    bool wasQueried(NPNVariable variable) const noexcept;
    const std::vector<SetValueCall>& setValueCalls() const noexcept { return setValueCalls_; }

    void clear() noexcept;

private:
    HostAnswer coreGraphics_ = HostAnswer::Yes;
    HostAnswer cocoa_ = HostAnswer::Yes;
    std::vector<NPNVariable> queries_;
    std::vector<SetValueCall> setValueCalls_;
};

}  // namespace vellum::pluginhost
