#include "shell/nsPluginInstanceBase.h"

NPError nsPluginInstanceBase::NewStream(NPMIMEType, NPStream*, NPBool, uint16_t*) {
    return NPERR_NO_ERROR;
}

NPError nsPluginInstanceBase::DestroyStream(NPStream*, NPReason) {
    return NPERR_NO_ERROR;
}

void nsPluginInstanceBase::StreamAsFile(NPStream*, const char*) {}

int32_t nsPluginInstanceBase::WriteReady(NPStream*) {
    return kWriteReadyAnything;
}

int32_t nsPluginInstanceBase::Write(NPStream*, int32_t, int32_t len, void*) {
    return len;
}

void nsPluginInstanceBase::Print(NPPrint*) {}

void nsPluginInstanceBase::URLNotify(const char*, NPReason, void*) {}

NPError nsPluginInstanceBase::SetValue(NPNVariable, void*) {
    return NPERR_NO_ERROR;
}
