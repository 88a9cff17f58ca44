#include "pluginhost/HostFunctionTable.h"

#include <cstring>
#include <new>
#include <string>

#include "pluginhost/FaultPause.h"
#include "pluginhost/PluginHost.h"

namespace vellum::pluginhost {
namespace {

PluginHost* host() noexcept {
    return PluginHost::current();
}

void noteOther(const char* function) noexcept {
    FaultPause pause;
    if (PluginHost* current = host()) {
        current->record().addOtherCall(function);
    }
}

// Every entry that keeps the host's books holds off the test's fault injection (FaultPause.h);
// the object hooks it calls are the module's and are not held off.

// --- memory -----------------------------------------------------------------------------

void* memAlloc(uint32_t size) {
    FaultPause pause;
    PluginHost* current = host();
    return current == nullptr ? nullptr : current->allocator().allocate(size);
}

void memFree(void* block) {
    FaultPause pause;
    PluginHost* current = host();
    if (current != nullptr && !current->allocator().release(block)) {
        current->record().addProblem("NPN_MemFree of memory the host did not allocate");
    }
}

uint32_t memFlush(uint32_t /*size*/) {
    noteOther("NPN_MemFlush");
    return 0;
}

// --- values -----------------------------------------------------------------------------

NPError getValue(NPP npp, NPNVariable variable, void* value) {
    FaultPause pause;
    PluginHost* current = host();
    return current == nullptr ? NPERR_GENERIC_ERROR
                              : current->values().getValue(npp, variable, value);
}

NPError setValue(NPP npp, NPPVariable variable, void* value) {
    FaultPause pause;
    PluginHost* current = host();
    return current == nullptr ? NPERR_GENERIC_ERROR
                              : current->values().setValue(npp, variable, value);
}

// --- identifiers ------------------------------------------------------------------------

NPIdentifier getStringIdentifier(const NPUTF8* name) {
    FaultPause pause;
    PluginHost* current = host();
    if (current == nullptr) {
        return nullptr;
    }
    try {
        return current->identifiers().stringIdentifier(name);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void getStringIdentifiers(const NPUTF8** names, int32_t nameCount, NPIdentifier* identifiers) {
    FaultPause pause;
    if (names == nullptr || identifiers == nullptr) {
        return;
    }
    for (int32_t i = 0; i < nameCount; ++i) {
        identifiers[i] = getStringIdentifier(names[i]);
    }
    if (PluginHost* current = host()) {
        current->record().addIdentifierRequest(names, nameCount);
    }
}

NPIdentifier getIntIdentifier(int32_t value) {
    FaultPause pause;
    PluginHost* current = host();
    if (current == nullptr) {
        return nullptr;
    }
    try {
        return current->identifiers().intIdentifier(value);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

bool identifierIsString(NPIdentifier identifier) {
    PluginHost* current = host();
    return current != nullptr && current->identifiers().isString(identifier);
}

// The caller owns the text and gives it back with NPN_MemFree.
NPUTF8* utf8FromIdentifier(NPIdentifier identifier) {
    FaultPause pause;
    PluginHost* current = host();
    if (current == nullptr) {
        return nullptr;
    }
    const std::string* name = current->identifiers().name(identifier);
    if (name == nullptr || name->size() >= UINT32_MAX) {
        return nullptr;
    }
    auto* text = static_cast<NPUTF8*>(
        current->allocator().allocate(static_cast<uint32_t>(name->size() + 1)));
    if (text != nullptr) {
        std::memcpy(text, name->c_str(), name->size() + 1);
    }
    return text;
}

int32_t intFromIdentifier(NPIdentifier identifier) {
    PluginHost* current = host();
    int32_t value = 0;
    if (current != nullptr) {
        current->identifiers().intValue(identifier, value);
    }
    return value;
}

// --- objects ----------------------------------------------------------------------------

NPObject* createObject(NPP npp, NPClass* aClass) {
    PluginHost* current = host();
    return current == nullptr ? nullptr : current->objects().create(npp, aClass);
}

NPObject* retainObject(NPObject* object) {
    PluginHost* current = host();
    return current == nullptr ? object : current->objects().retain(object);
}

void releaseObject(NPObject* object) {
    if (PluginHost* current = host()) {
        current->objects().release(object);
    }
}

bool invoke(NPP /*npp*/, NPObject* object, NPIdentifier name, const NPVariant* args,
            uint32_t argCount, NPVariant* result) {
    PluginHost* current = host();
    return current != nullptr && current->objects().invoke(object, name, args, argCount, result);
}

bool invokeDefault(NPP /*npp*/, NPObject* object, const NPVariant* args, uint32_t argCount,
                   NPVariant* result) {
    PluginHost* current = host();
    return current != nullptr && current->objects().invokeDefault(object, args, argCount, result);
}

bool evaluate(NPP /*npp*/, NPObject* /*object*/, NPString* /*script*/, NPVariant* /*result*/) {
    noteOther("NPN_Evaluate");
    return false;
}

bool getProperty(NPP /*npp*/, NPObject* object, NPIdentifier name, NPVariant* result) {
    PluginHost* current = host();
    return current != nullptr && current->objects().getProperty(object, name, result);
}

bool setProperty(NPP /*npp*/, NPObject* object, NPIdentifier name, const NPVariant* value) {
    PluginHost* current = host();
    return current != nullptr && current->objects().setProperty(object, name, value);
}

bool removeProperty(NPP /*npp*/, NPObject* object, NPIdentifier name) {
    PluginHost* current = host();
    return current != nullptr && current->objects().removeProperty(object, name);
}

bool hasProperty(NPP /*npp*/, NPObject* object, NPIdentifier name) {
    PluginHost* current = host();
    return current != nullptr && current->objects().hasProperty(object, name);
}

bool hasMethod(NPP /*npp*/, NPObject* object, NPIdentifier name) {
    PluginHost* current = host();
    return current != nullptr && current->objects().hasMethod(object, name);
}

bool enumerate(NPP /*npp*/, NPObject* object, NPIdentifier** identifiers, uint32_t* count) {
    PluginHost* current = host();
    return current != nullptr && current->objects().enumerate(object, identifiers, count);
}

bool construct(NPP /*npp*/, NPObject* object, const NPVariant* args, uint32_t argCount,
               NPVariant* result) {
    PluginHost* current = host();
    return current != nullptr && current->objects().construct(object, args, argCount, result);
}

void releaseVariantValue(NPVariant* variant) {
    FaultPause pause;
    if (variant == nullptr) {
        return;
    }
    PluginHost* current = host();
    if (current != nullptr) {
        current->releaseVariant(*variant, "NPN_ReleaseVariantValue");
    }
    VOID_TO_NPVARIANT(*variant);
}

void setException(NPObject* /*object*/, const NPUTF8* message) {
    FaultPause pause;
    if (PluginHost* current = host()) {
        current->record().addException(message);
    }
}

// --- everything else: recorded, harmless -----------------------------------------------

NPError getURL(NPP, const char*, const char*) {
    noteOther("NPN_GetURL");
    return NPERR_GENERIC_ERROR;
}

NPError postURL(NPP, const char*, const char*, uint32_t, const char*, NPBool) {
    noteOther("NPN_PostURL");
    return NPERR_GENERIC_ERROR;
}

NPError requestRead(NPStream*, NPByteRange*) {
    noteOther("NPN_RequestRead");
    return NPERR_GENERIC_ERROR;
}

NPError newStream(NPP, NPMIMEType, const char*, NPStream**) {
    noteOther("NPN_NewStream");
    return NPERR_GENERIC_ERROR;
}

int32_t write(NPP, NPStream*, int32_t, void*) {
    noteOther("NPN_Write");
    return -1;
}

NPError destroyStream(NPP, NPStream*, NPReason) {
    noteOther("NPN_DestroyStream");
    return NPERR_GENERIC_ERROR;
}

void status(NPP, const char*) {
    noteOther("NPN_Status");
}

const char* userAgent(NPP) {
    noteOther("NPN_UserAgent");
    return "vellum-pluginhost/1.0";
}

void reloadPlugins(NPBool) {
    noteOther("NPN_ReloadPlugins");
}

void* getJavaEnv() {
    noteOther("NPN_GetJavaEnv");
    return nullptr;
}

void* getJavaPeer(NPP) {
    noteOther("NPN_GetJavaPeer");
    return nullptr;
}

NPError getURLNotify(NPP, const char*, const char*, void*) {
    noteOther("NPN_GetURLNotify");
    return NPERR_GENERIC_ERROR;
}

NPError postURLNotify(NPP, const char*, const char*, uint32_t, const char*, NPBool, void*) {
    noteOther("NPN_PostURLNotify");
    return NPERR_GENERIC_ERROR;
}

void invalidateRect(NPP, NPRect*) {
    noteOther("NPN_InvalidateRect");
}
void invalidateRegion(NPP, NPRegion) {
    noteOther("NPN_InvalidateRegion");
}
void forceRedraw(NPP) {
    noteOther("NPN_ForceRedraw");
}
void pushPopupsEnabledState(NPP, NPBool) {
    noteOther("NPN_PushPopupsEnabledState");
}
void popPopupsEnabledState(NPP) {
    noteOther("NPN_PopPopupsEnabledState");
}

// The host runs nothing of its own; the call is recorded and the function never runs.
void pluginThreadAsyncCall(NPP, void (*)(void*), void*) {
    noteOther("NPN_PluginThreadAsyncCall");
}

NPError getValueForURL(NPP, NPNURLVariable, const char*, char**, uint32_t*) {
    noteOther("NPN_GetValueForURL");
    return NPERR_GENERIC_ERROR;
}

NPError setValueForURL(NPP, NPNURLVariable, const char*, const char*, uint32_t) {
    noteOther("NPN_SetValueForURL");
    return NPERR_GENERIC_ERROR;
}

NPError getAuthenticationInfo(NPP, const char*, const char*, int32_t, const char*, const char*,
                              char**, uint32_t*, char**, uint32_t*) {
    noteOther("NPN_GetAuthenticationInfo");
    return NPERR_GENERIC_ERROR;
}

uint32_t scheduleTimer(NPP, uint32_t, NPBool, void (*)(NPP, uint32_t)) {
    noteOther("NPN_ScheduleTimer");
    return 0;
}

void unscheduleTimer(NPP, uint32_t) {
    noteOther("NPN_UnscheduleTimer");
}

NPError popUpContextMenu(NPP, NPMenu*) {
    noteOther("NPN_PopUpContextMenu");
    return NPERR_GENERIC_ERROR;
}

NPBool convertPoint(NPP, double, double, NPCoordinateSpace, double*, double*, NPCoordinateSpace) {
    noteOther("NPN_ConvertPoint");
    return 0;
}

NPBool handleEvent(NPP, void*, NPBool) {
    noteOther("NPN_HandleEvent");
    return 0;
}

NPBool unfocusInstance(NPP, NPFocusDirection) {
    noteOther("NPN_UnfocusInstance");
    return 0;
}

void urlRedirectResponse(NPP, void*, NPBool) {
    noteOther("NPN_URLRedirectResponse");
}

NPError initAsyncSurface(NPP, NPSize*, NPImageFormat, void*, NPAsyncSurface*) {
    noteOther("NPN_InitAsyncSurface");
    return NPERR_GENERIC_ERROR;
}

NPError finalizeAsyncSurface(NPP, NPAsyncSurface*) {
    noteOther("NPN_FinalizeAsyncSurface");
    return NPERR_GENERIC_ERROR;
}

void setCurrentAsyncSurface(NPP, NPAsyncSurface*, NPRect*) {
    noteOther("NPN_SetCurrentAsyncSurface");
}

}  // namespace

NPNetscapeFuncs hostFunctionTable() noexcept {
    NPNetscapeFuncs table{};
    table.size = sizeof(NPNetscapeFuncs);
    table.version = kHostApiVersion;
    table.geturl = &getURL;
    table.posturl = &postURL;
    table.requestread = &requestRead;
    table.newstream = &newStream;
    table.write = &write;
    table.destroystream = &destroyStream;
    table.status = &status;
    table.uagent = &userAgent;
    table.memalloc = &memAlloc;
    table.memfree = &memFree;
    table.memflush = &memFlush;
    table.reloadplugins = &reloadPlugins;
    table.getJavaEnv = &getJavaEnv;
    table.getJavaPeer = &getJavaPeer;
    table.geturlnotify = &getURLNotify;
    table.posturlnotify = &postURLNotify;
    table.getvalue = &getValue;
    table.setvalue = &setValue;
    table.invalidaterect = &invalidateRect;
    table.invalidateregion = &invalidateRegion;
    table.forceredraw = &forceRedraw;
    table.getstringidentifier = &getStringIdentifier;
    table.getstringidentifiers = &getStringIdentifiers;
    table.getintidentifier = &getIntIdentifier;
    table.identifierisstring = &identifierIsString;
    table.utf8fromidentifier = &utf8FromIdentifier;
    table.intfromidentifier = &intFromIdentifier;
    table.createobject = &createObject;
    table.retainobject = &retainObject;
    table.releaseobject = &releaseObject;
    table.invoke = &invoke;
    table.invokeDefault = &invokeDefault;
    table.evaluate = &evaluate;
    table.getproperty = &getProperty;
    table.setproperty = &setProperty;
    table.removeproperty = &removeProperty;
    table.hasproperty = &hasProperty;
    table.hasmethod = &hasMethod;
    table.releasevariantvalue = &releaseVariantValue;
    table.setexception = &setException;
    table.pushpopupsenabledstate = &pushPopupsEnabledState;
    table.poppopupsenabledstate = &popPopupsEnabledState;
    table.enumerate = &enumerate;
    table.pluginthreadasynccall = &pluginThreadAsyncCall;
    table.construct = &construct;
    table.getvalueforurl = &getValueForURL;
    table.setvalueforurl = &setValueForURL;
    table.getauthenticationinfo = &getAuthenticationInfo;
    table.scheduletimer = &scheduleTimer;
    table.unscheduletimer = &unscheduleTimer;
    table.popupcontextmenu = &popUpContextMenu;
    table.convertpoint = &convertPoint;
    table.handleevent = &handleEvent;
    table.unfocusinstance = &unfocusInstance;
    table.urlredirectresponse = &urlRedirectResponse;
    table.initasyncsurface = &initAsyncSurface;
    table.finalizeasyncsurface = &finalizeAsyncSurface;
    table.setcurrentasyncsurface = &setCurrentAsyncSurface;
    return table;
}

}  // namespace vellum::pluginhost
