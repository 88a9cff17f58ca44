#include "shell/PluginModule.h"

#include "PluginIdentity.h"

const char* NPP_GetMIMEDescription() {
    return kPluginMIMEDescription;
}

NPError NS_PluginInitialize() {
    return NPERR_NO_ERROR;
}

void NS_PluginShutdown() {}

NPError NS_PluginGetValue(NPPVariable variable, void* value) {
    if (value == nullptr) {
        return NPERR_INVALID_PARAM;
    }
    switch (variable) {
        case NPPVpluginNameString:
        // The description is the name, as in the MIME description and the per-instance answer.
        case NPPVpluginDescriptionString:
            *static_cast<const char**>(value) = kPluginName;
            return NPERR_NO_ERROR;
        case NPPVpluginNeedsXEmbed:
            return NPERR_NO_ERROR;
        default:
            return NPERR_INVALID_PARAM;
    }
}
