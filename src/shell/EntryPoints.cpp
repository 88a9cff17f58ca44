// The module entry points NP_Initialize, NP_GetValue and NP_Shutdown (NP_GetEntryPoints lives
// with the plug-in instance).
#include "npapi/npfunctions.h"
#include "shell/NPNFuncs.h"
#include "shell/PluginModule.h"

NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* bFuncs) {
    if (bFuncs == nullptr) {
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    // Only major version 0 is known; a refused host leaves the previous copy in place.
    if (bFuncs->version > 0x00FF) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    NPNFuncs = copyHostFunctions(*bFuncs);
    return NS_PluginInitialize();
}

NP_EXPORT(NPError) NP_GetValue(void* /*future*/, NPPVariable aVariable, void* aValue) {
    return NS_PluginGetValue(aVariable, aValue);
}

NP_EXPORT(NPError) NP_Shutdown() {
    // NPNFuncs keeps the host's entries: a browser may deliver NP_Shutdown from a token module's
    // dialog loop, and the script call under that loop still hands its result back through them.
    NS_PluginShutdown();
    return NPERR_NO_ERROR;
}
