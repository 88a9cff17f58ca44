// The NPN_ gates: exported functions named after the host calls, each forwarding to its entry
// of NPNFuncs. The stream and notification calls first check that the host's minor API version
// offers them.
#include "PluginIdentity.h"
#include "npapi/npfunctions.h"
#include "shell/NPNFuncs.h"

namespace {

template <typename T>
struct NonDeduced {
    using type = T;
};

// Minor version of the host's API: the low byte of the copied version.
int hostMinorVersion() noexcept {
    return NPNFuncs.version & 0xFF;
}

// Calls a host entry. An entry that the host did not supply (or a table too short to hold it)
// answers `missing` instead of jumping to address zero.
template <typename R, typename... P, typename... A>
R callHost(R (*entry)(P...), typename NonDeduced<R>::type missing, A... args) {
    return entry != nullptr ? entry(args...) : missing;
}

template <typename... P, typename... A>
void callHost(void (*entry)(P...), A... args) {
    if (entry != nullptr) {
        entry(args...);
    }
}

}  // namespace

NP_EXPORT(NPError) NPN_GetURL(NPP instance, const char* url, const char* target) {
    return callHost(NPNFuncs.geturl, NPERR_GENERIC_ERROR, instance, url, target);
}

NP_EXPORT(NPError)
NPN_GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData) {
    if (hostMinorVersion() < NPVERS_HAS_NOTIFICATION) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    return callHost(NPNFuncs.geturlnotify, NPERR_GENERIC_ERROR, instance, url, target, notifyData);
}

NP_EXPORT(NPError)
NPN_PostURL(NPP instance, const char* url, const char* target, uint32_t len, const char* buf,
            NPBool file) {
    return callHost(NPNFuncs.posturl, NPERR_GENERIC_ERROR, instance, url, target, len, buf, file);
}

NP_EXPORT(NPError)
NPN_PostURLNotify(NPP instance, const char* url, const char* target, uint32_t len, const char* buf,
                  NPBool file, void* notifyData) {
    if (hostMinorVersion() < NPVERS_HAS_NOTIFICATION) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    return callHost(NPNFuncs.posturlnotify, NPERR_GENERIC_ERROR, instance, url, target, len, buf,
                    file, notifyData);
}

NP_EXPORT(NPError) NPN_RequestRead(NPStream* stream, NPByteRange* rangeList) {
    return callHost(NPNFuncs.requestread, NPERR_GENERIC_ERROR, stream, rangeList);
}

NP_EXPORT(NPError)
NPN_NewStream(NPP instance, NPMIMEType type, const char* target, NPStream** stream) {
    if (hostMinorVersion() < NPVERS_HAS_STREAMOUTPUT) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    return callHost(NPNFuncs.newstream, NPERR_GENERIC_ERROR, instance, type, target, stream);
}

NP_EXPORT(int32_t) NPN_Write(NPP instance, NPStream* stream, int32_t len, void* buffer) {
    if (hostMinorVersion() < NPVERS_HAS_STREAMOUTPUT) {
        return -1;
    }
    return callHost(NPNFuncs.write, -1, instance, stream, len, buffer);
}

NP_EXPORT(NPError) NPN_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    if (hostMinorVersion() < NPVERS_HAS_STREAMOUTPUT) {
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    return callHost(NPNFuncs.destroystream, NPERR_GENERIC_ERROR, instance, stream, reason);
}

NP_EXPORT(void) NPN_Status(NPP instance, const char* message) {
    callHost(NPNFuncs.status, instance, message);
}

NP_EXPORT(const char*) NPN_UserAgent(NPP instance) {
    return callHost(NPNFuncs.uagent, nullptr, instance);
}

NP_EXPORT(void*) NPN_MemAlloc(uint32_t size) {
    return callHost(NPNFuncs.memalloc, nullptr, size);
}

NP_EXPORT(void) NPN_MemFree(void* ptr) {
    callHost(NPNFuncs.memfree, ptr);
}

NP_EXPORT(uint32_t) NPN_MemFlush(uint32_t size) {
    return callHost(NPNFuncs.memflush, 0, size);
}

NP_EXPORT(void) NPN_ReloadPlugins(NPBool reloadPages) {
    callHost(NPNFuncs.reloadplugins, reloadPages);
}

NP_EXPORT(NPError) NPN_GetValue(NPP instance, NPNVariable variable, void* value) {
    return callHost(NPNFuncs.getvalue, NPERR_GENERIC_ERROR, instance, variable, value);
}

NP_EXPORT(NPError) NPN_SetValue(NPP instance, NPPVariable variable, void* value) {
    return callHost(NPNFuncs.setvalue, NPERR_GENERIC_ERROR, instance, variable, value);
}

NP_EXPORT(void) NPN_InvalidateRect(NPP instance, NPRect* invalidRect) {
    callHost(NPNFuncs.invalidaterect, instance, invalidRect);
}

NP_EXPORT(void) NPN_InvalidateRegion(NPP instance, NPRegion invalidRegion) {
    callHost(NPNFuncs.invalidateregion, instance, invalidRegion);
}

NP_EXPORT(void) NPN_ForceRedraw(NPP instance) {
    callHost(NPNFuncs.forceredraw, instance);
}

NP_EXPORT(NPIdentifier) NPN_GetStringIdentifier(const NPUTF8* name) {
    return callHost(NPNFuncs.getstringidentifier, nullptr, name);
}

NP_EXPORT(NPUTF8*) NPN_UTF8FromIdentifier(NPIdentifier identifier) {
    return callHost(NPNFuncs.utf8fromidentifier, nullptr, identifier);
}

NP_EXPORT(NPObject*) NPN_RetainObject(NPObject* npobj) {
    return callHost(NPNFuncs.retainobject, nullptr, npobj);
}

NP_EXPORT(void) NPN_ReleaseObject(NPObject* npobj) {
    callHost(NPNFuncs.releaseobject, npobj);
}

NP_EXPORT(bool)
NPN_Invoke(NPP npp, NPObject* npobj, NPIdentifier methodName, const NPVariant* args,
           uint32_t argCount, NPVariant* result) {
    return callHost(NPNFuncs.invoke, false, npp, npobj, methodName, args, argCount, result);
}

NP_EXPORT(bool)
NPN_InvokeDefault(NPP npp, NPObject* npobj, const NPVariant* args, uint32_t argCount,
                  NPVariant* result) {
    return callHost(NPNFuncs.invokeDefault, false, npp, npobj, args, argCount, result);
}

NP_EXPORT(bool)
NPN_GetProperty(NPP npp, NPObject* npobj, NPIdentifier propertyName, NPVariant* result) {
    return callHost(NPNFuncs.getproperty, false, npp, npobj, propertyName, result);
}

NP_EXPORT(void) NPN_ReleaseVariantValue(NPVariant* variant) {
    callHost(NPNFuncs.releasevariantvalue, variant);
}

NP_EXPORT(void)
NPN_Version(int* plugin_major, int* plugin_minor, int* netscape_major, int* netscape_minor) {
    const auto store = [](int* out, int value) {
        if (out != nullptr) {
            *out = value;
        }
    };
    store(plugin_major, kPluginAPIMajorVersion);
    store(plugin_minor, kPluginAPIMinorVersion);
    store(netscape_major, NPNFuncs.version >> 8);
    store(netscape_minor, NPNFuncs.version & 0xFF);
}
