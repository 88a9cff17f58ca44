#include "shell/nsPluginInstance.h"

#include <cstring>
#include <new>

#include "script/ScriptableObject.h"
#include "service/PKCS11Impl.h"
#include "shell/NPNFuncs.h"

namespace {

std::unique_ptr<ServiceBase> makeTokenService() {
    return std::make_unique<PKCS11Impl>();
}

// Cocoa event types the instance reports as handled: draw-rect (1), mouse-down (2),
// mouse-moved (4) and focus-changed (11).
constexpr uint32_t kHandledEventTypes = 0x816;
constexpr int32_t kLastMaskedEventType = 11;

}  // namespace

nsPluginInstanceBase* NS_NewPluginInstance(nsPluginCreateData* aCreateDataStruct) noexcept {
    if (aCreateDataStruct == nullptr) {
        return nullptr;
    }
    try {
        return new nsPluginInstance(aCreateDataStruct);
    } catch (...) {
        // Only allocation can fail here; the host hears NPERR_OUT_OF_MEMORY_ERROR.
        return nullptr;
    }
}

void NS_DestroyPluginInstance(nsPluginInstanceBase* aPlugin) noexcept {
    // nsPluginInstance is the one implementation there is.
    delete static_cast<nsPluginInstance*>(aPlugin);
}

nsPluginInstance::nsPluginInstance(nsPluginCreateData* data)
    : nsPluginInstance(data, &makeTokenService) {}

nsPluginInstance::nsPluginInstance(nsPluginCreateData* data, ServiceFactory makeService)
    : npp(data->instance),
      initialized(false),
      npWindow(nullptr),
      scriptableObject(nullptr),
      service(nullptr) {
    createScriptableObject();
    try {
        service = makeService();
    } catch (...) {
        // The destructor does not run for a half-built instance: give the reference back here.
        if (scriptableObject != nullptr && NPNFuncs.releaseobject != nullptr) {
            NPNFuncs.releaseobject(scriptableObject);
        }
        throw;
    }
}

nsPluginInstance::~nsPluginInstance() {
    if (scriptableObject != nullptr) {
        // The host may keep the object alive after this instance and its record are gone; from
        // now on it answers every call with a failure instead of reaching for either.
        ScriptableObject::DetachFromInstance(scriptableObject);
        if (NPNFuncs.releaseobject != nullptr) {
            NPNFuncs.releaseobject(scriptableObject);
        }
        scriptableObject = nullptr;
    }
}

bool nsPluginInstance::init(NPWindow*) {
    initialized = true;
    return true;
}

void nsPluginInstance::shut() {
    initialized = false;
}

bool nsPluginInstance::isInitialized() {
    return initialized;
}

NPError nsPluginInstance::SetWindow(NPP, NPWindow* pNPWindow) {
    npWindow = pNPWindow;
    return NPERR_NO_ERROR;
}

int16_t nsPluginInstance::HandleEvent(NPP, void* event) {
    if (event == nullptr) {
        return kNPEventNotHandled;
    }
    // The type is the event's first 32-bit field; read as a plain integer, since hosts may send
    // values outside the enumeration.
    int32_t type = 0;
    std::memcpy(&type, event, sizeof type);
    if (type < 0 || type > kLastMaskedEventType) {
        return kNPEventNotHandled;
    }
    return ((kHandledEventTypes >> type) & 1U) != 0 ? kNPEventHandled : kNPEventNotHandled;
}

NPError nsPluginInstance::GetValue(NPPVariable variable, void* value) {
    if (variable != NPPVpluginScriptableNPObject) {
        return NPERR_GENERIC_ERROR;
    }
    if (value == nullptr) {
        // Nowhere to hand the reference to, so none is taken.
        return NPERR_INVALID_PARAM;
    }
    *static_cast<NPObject**>(value) = GetScriptableObject();
    return NPERR_NO_ERROR;
}

NPObject* nsPluginInstance::GetScriptableObject() {
    if (scriptableObject == nullptr) {
        createScriptableObject();
    }
    if (scriptableObject == nullptr || NPNFuncs.retainobject == nullptr) {
        return nullptr;
    }
    NPNFuncs.retainobject(scriptableObject);
    return scriptableObject;
}

void nsPluginInstance::createScriptableObject() noexcept {
    if (NPNFuncs.createobject != nullptr) {
        scriptableObject = NPNFuncs.createobject(npp, &sScriptableObject_NPClass);
    }
}
