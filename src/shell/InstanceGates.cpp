// NP_GetEntryPoints and the NPP_ gates it hands to the host. Each gate finds the instance in the
// host record's `pdata` and calls one of its operations; nothing thrown gets past a gate.
#include <cstdint>
#include <cstdio>

#include "PluginIdentity.h"
#include "npapi/npfunctions.h"
#include "shell/nsPluginCreateData.h"
#include "shell/nsPluginInstanceBase.h"

namespace {

nsPluginInstanceBase* instanceOf(NPP instance) noexcept {
    return static_cast<nsPluginInstanceBase*>(instance->pdata);
}

// Runs `call` on the record's instance. A null record answers `noRecord`, a record without an
// instance `noInstance`, and an exception `failed`: the host is C and must not be unwound.
template <typename R, typename Call>
R withInstance(NPP instance, R noRecord, R noInstance, R failed, Call call) noexcept {
    if (instance == nullptr) {
        return noRecord;
    }
    nsPluginInstanceBase* plugin = instanceOf(instance);
    if (plugin == nullptr) {
        return noInstance;
    }
    try {
        return call(*plugin);
    } catch (...) {
        return failed;
    }
}

template <typename Call>
void withInstance(NPP instance, Call call) noexcept {
    if (instance == nullptr || instanceOf(instance) == nullptr) {
        return;
    }
    try {
        call(*instanceOf(instance));
    } catch (...) {
    }
}

// The value of a drawing or event model, passed in NPN_SetValue's pointer argument: the host
// reads the pointer itself as the number.
void* modelValue(int model) noexcept {
    const auto number = static_cast<intptr_t>(model);
    return reinterpret_cast<void*>(number);  // NOLINT(performance-no-int-to-ptr)
}

// True if the host answers `variable` without error and with true.
bool hostSupports(NPP instance, NPNVariable variable) noexcept {
    NPBool supported = false;
    return NPN_GetValue(instance, variable, &supported) == NPERR_NO_ERROR && supported;
}

// The one thing the module ever logs: why it refused to run in this host.
void reportMissing(const char* line) noexcept {
    std::puts(line);
    std::fflush(stdout);
}

// Selects CoreGraphics drawing and Cocoa events, the only models the plug-in works with.
NPError negotiateModels(NPP instance) noexcept {
    if (!hostSupports(instance, NPNVsupportsCoreGraphicsBool)) {
        reportMissing("no supportsCoreGraphics");
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    NPN_SetValue(instance, NPPVpluginDrawingModel, modelValue(NPDrawingModelCoreGraphics));
    if (!hostSupports(instance, NPNVsupportsCocoaBool)) {
        reportMissing("no supportsCocoa");
        return NPERR_INCOMPATIBLE_VERSION_ERROR;
    }
    NPN_SetValue(instance, NPPVpluginEventModel, modelValue(NPEventModelCocoa));
    return NPERR_NO_ERROR;
}

// Forgets the record's instance, then destroys it. Forgetting comes first: the teardown may run
// the token module's C_Finalize, whose dialog loop can deliver NPP_Destroy for this record again,
// and that call must find no instance rather than the half-destroyed one.
void destroyInstance(NPP instance) noexcept {
    nsPluginInstanceBase* plugin = instanceOf(instance);
    instance->pdata = nullptr;
    NS_DestroyPluginInstance(plugin);
}

}  // namespace

NP_EXPORT(NPError) NP_GetEntryPoints(NPPluginFuncs* pFuncs) {
    if (pFuncs == nullptr) {
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    // `size`, `javaClass` and everything after `setvalue` stay as the host set them.
    pFuncs->version = kPluginAPIMinorVersion;
    pFuncs->newp = NPP_New;
    pFuncs->destroy = NPP_Destroy;
    pFuncs->setwindow = NPP_SetWindow;
    pFuncs->newstream = NPP_NewStream;
    pFuncs->destroystream = NPP_DestroyStream;
    pFuncs->asfile = NPP_StreamAsFile;
    pFuncs->writeready = NPP_WriteReady;
    pFuncs->write = NPP_Write;
    pFuncs->print = NPP_Print;
    pFuncs->event = NPP_HandleEvent;
    pFuncs->urlnotify = NPP_URLNotify;
    pFuncs->getvalue = NPP_GetValue;
    pFuncs->setvalue = NPP_SetValue;
    return NPERR_NO_ERROR;
}

NP_EXPORT(NPError)
NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[],
        char* argv[], NPSavedData* saved) {
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    const NPError negotiated = negotiateModels(instance);
    if (negotiated != NPERR_NO_ERROR) {
        return negotiated;
    }
    nsPluginCreateData data{instance, pluginType, mode, argc, argn, argv, saved};
    nsPluginInstanceBase* plugin = NS_NewPluginInstance(&data);
    if (plugin == nullptr) {
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
    instance->pdata = plugin;
    return NPERR_NO_ERROR;
}

NP_EXPORT(NPError) NPP_Destroy(NPP instance, NPSavedData** /*save: nothing is saved*/) {
    return withInstance(instance, NPError{NPERR_INVALID_INSTANCE_ERROR}, NPError{NPERR_NO_ERROR},
                        NPError{NPERR_GENERIC_ERROR}, [&](nsPluginInstanceBase& plugin) {
                            plugin.shut();
                            destroyInstance(instance);
                            return NPError{NPERR_NO_ERROR};
                        });
}

NP_EXPORT(NPError) NPP_SetWindow(NPP instance, NPWindow* window) {
    if (instance == nullptr) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    if (window == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    return withInstance(instance, NPError{NPERR_INVALID_INSTANCE_ERROR},
                        NPError{NPERR_GENERIC_ERROR}, NPError{NPERR_GENERIC_ERROR},
                        [&](nsPluginInstanceBase& plugin) {
                            const bool hasPlatformWindow = window->window != nullptr;
                            if (!plugin.isInitialized() && hasPlatformWindow) {
                                if (!plugin.init(window)) {
                                    destroyInstance(instance);
                                    return NPError{NPERR_MODULE_LOAD_FAILED_ERROR};
                                }
                            }
                            // Every combination of window and state ends in SetWindow; init above
                            // has run first on the first call that brings a platform window.
                            if (plugin.isInitialized() || !hasPlatformWindow) {
                                return plugin.SetWindow(instance, window);
                            }
                            return NPError{NPERR_NO_ERROR};
                        });
}

NP_EXPORT(NPError)
NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype) {
    return withInstance(instance, NPError{NPERR_INVALID_INSTANCE_ERROR},
                        NPError{NPERR_GENERIC_ERROR}, NPError{NPERR_GENERIC_ERROR},
                        [&](nsPluginInstanceBase& plugin) {
                            return plugin.NewStream(type, stream, seekable, stype);
                        });
}

NP_EXPORT(NPError) NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    return withInstance(
        instance, NPError{NPERR_INVALID_INSTANCE_ERROR}, NPError{NPERR_GENERIC_ERROR},
        NPError{NPERR_GENERIC_ERROR},
        [&](nsPluginInstanceBase& plugin) { return plugin.DestroyStream(stream, reason); });
}

NP_EXPORT(void) NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname) {
    withInstance(instance,
                 [&](nsPluginInstanceBase& plugin) { plugin.StreamAsFile(stream, fname); });
}

NP_EXPORT(int32_t) NPP_WriteReady(NPP instance, NPStream* stream) {
    return withInstance(instance, kWriteReadyAnything, kWriteReadyAnything, kWriteReadyAnything,
                        [&](nsPluginInstanceBase& plugin) { return plugin.WriteReady(stream); });
}

NP_EXPORT(int32_t)
NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    return withInstance(instance, len, len, len, [&](nsPluginInstanceBase& plugin) {
        return plugin.Write(stream, offset, len, buffer);
    });
}

NP_EXPORT(void) NPP_Print(NPP instance, NPPrint* platformPrint) {
    withInstance(instance, [&](nsPluginInstanceBase& plugin) { plugin.Print(platformPrint); });
}

NP_EXPORT(int16_t) NPP_HandleEvent(NPP instance, void* event) {
    return withInstance(instance, int16_t{kNPEventNotHandled}, int16_t{kNPEventNotHandled},
                        int16_t{kNPEventNotHandled}, [&](nsPluginInstanceBase& plugin) {
                            return plugin.HandleEvent(instance, event);
                        });
}

NP_EXPORT(void) NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData) {
    withInstance(instance,
                 [&](nsPluginInstanceBase& plugin) { plugin.URLNotify(url, reason, notifyData); });
}

NP_EXPORT(NPError) NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    return withInstance(instance, NPError{NPERR_INVALID_INSTANCE_ERROR},
                        NPError{NPERR_GENERIC_ERROR}, NPError{NPERR_GENERIC_ERROR},
                        [&](nsPluginInstanceBase& plugin) {
                            // The name is stored for both texts, yet the instance's answer
                            // (an error for these variables) is what the host receives.
                            const bool nameText = variable == NPPVpluginNameString ||
                                                  variable == NPPVpluginDescriptionString;
                            if (nameText && value != nullptr) {
                                *static_cast<const char**>(value) = kPluginName;
                            }
                            return plugin.GetValue(variable, value);
                        });
}

NP_EXPORT(NPError) NPP_SetValue(NPP instance, NPNVariable variable, void* value) {
    return withInstance(
        instance, NPError{NPERR_INVALID_INSTANCE_ERROR}, NPError{NPERR_GENERIC_ERROR},
        NPError{NPERR_GENERIC_ERROR},
        [&](nsPluginInstanceBase& plugin) { return plugin.SetValue(variable, value); });
}
