// The NPAPI plug-in host of vellum-host, the tests and the fuzzer: loads a plug-in module, plays
// the browser's part in its life (NP_Initialize, NP_GetEntryPoints, NPP_New, NPP_SetWindow,
// NPP_GetValue for the script object, and back down), lets a caller read and write the script
// object's properties and call its methods by name, and accounts for everything the module
// takes from it: memory from NPN_MemAlloc, objects from NPN_CreateObject.
//
//     vellum::pluginhost::PluginHost host(modulePath);
//     std::string error;
//     if (!host.start(error)) { ... }
//     ScriptResult version = host.invoke("getVersion");   // {true, string "1.0.0.49"}
//     host.setProperty("CN", ScriptValue::string("01a2b3"));
//     host.stop();
//     if (!host.clean()) { puts(host.report().c_str()); }
//
// In-process mode: constructed with the entry points of a module linked into the program
// (LinkedPlugin.h), the host "loads" those instead of a file, so a test or fuzzer can reach the
// module's internals and replace its allocation functions; everything else is the same.
//
// Every step of start() and stop() can also be called on its own, in any order a test wants to
// probe (for example keeping the script object after NPP_Destroy).
//
// Limitation: the host's function table is made of plain C functions, and NPAPI's host calls
// carry no pointer back to the host, so they all act on PluginHost::current(), the most recently
// constructed host still alive. Only that host can serve a module; hosts are not thread-safe.
//
// The host owns its references: the one it receives with the script object from each
// NPP_GetValue, and those of objects returned in results; releaseScriptObject() gives them all
// back. ScriptValues holding objects do not own them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "npapi/npfunctions.h"
#include "pluginhost/HostAllocator.h"
#include "pluginhost/HostFunctionTable.h"
#include "pluginhost/HostRecord.h"
#include "pluginhost/HostValues.h"
#include "pluginhost/IdentifierTable.h"
#include "pluginhost/ObjectTable.h"
#include "pluginhost/PluginLibrary.h"
#include "pluginhost/ScriptResult.h"
#include "pluginhost/ScriptValue.h"

namespace vellum::pluginhost {

class PluginHost {
public:
    static constexpr const char* kMimeType = "application/x-vnd-vellum-demo";
    // What a result variant holds before a call when the result marker is on.
    static constexpr int32_t kResultMarker = 0x7E57;

    explicit PluginHost(std::string modulePath);
    // In-process mode: the module is the one whose entry points are given.
    explicit PluginHost(const PluginEntryPoints& linked);
    // Runs whatever steps of stop() are still due.
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // The host that the function table's entries act on (see the limitation above).
    static PluginHost* current() noexcept;

    // --- settings ---------------------------------------------------------------------------

    // With the marker on, a result variant holds int32 kResultMarker before each call, so a
    // call that leaves its result untouched shows instead of passing for void. Off at first:
    // a browser hands over a void result.
    void setResultMarker(bool on) noexcept { resultMarker_ = on; }

    // --- the host's parts -------------------------------------------------------------------

    HostAllocator& allocator() noexcept { return allocator_; }
    IdentifierTable& identifiers() noexcept { return identifiers_; }
    ObjectTable& objects() noexcept { return objects_; }
    HostValues& values() noexcept { return values_; }
    HostRecord& record() noexcept { return record_; }
    const HostAllocator& allocator() const noexcept { return allocator_; }
    const ObjectTable& objects() const noexcept { return objects_; }
    const HostRecord& record() const noexcept { return record_; }
    PluginLibrary& library() noexcept { return library_; }

    // The table that initialize() hands to NP_Initialize; a test may change it before.
    NPNetscapeFuncs& hostFunctions() noexcept { return hostFunctions_; }
    // The plug-in's table as NP_GetEntryPoints filled it.
    const NPPluginFuncs& pluginFunctions() const noexcept { return pluginFunctions_; }
    // The host instance record of the one instance; pdata is the module's.
    NPP npp() noexcept { return &instance_; }
    // The window description setWindow() passes.
    NPWindow& window() noexcept { return window_; }

    // --- the browser's steps ----------------------------------------------------------------

    bool load(std::string& error);
    NPError initialize();
    // Hands the module a table with `size` set and every entry null.
    NPError getEntryPoints();
    // NPP_New with the MIME type, mode NP_EMBED and no attributes.
    NPError newInstance();
    // NPP_SetWindow with the window description, its platform window set or null.
    NPError setWindow(bool withPlatformWindow = true);
    // NPP_GetValue(NPPVpluginScriptableNPObject). The host keeps the reference it receives.
    NPError getScriptObject(NPObject** object = nullptr);
    // load, initialize, getEntryPoints, newInstance, setWindow, getScriptObject; false with
    // the step and its result in `error` when one fails.
    bool start(std::string& error);

    // Gives back every reference the host holds (script object and result objects).
    void releaseScriptObject() noexcept;
    // NPP_Destroy; the saved-data argument is the host's own pointer (null on the way in).
    NPError destroyInstance();
    NPError shutdown();
    void unload() noexcept;
    // releaseScriptObject, destroyInstance, shutdown, unload: those still due.
    void stop() noexcept;

    // The module file given, or empty in in-process mode.
    const std::string& modulePath() const noexcept { return modulePath_; }
    bool isLoaded() const noexcept { return library_.isOpen(); }
    bool isInitialized() const noexcept { return initialized_; }
    bool hasInstance() const noexcept { return instanceLive_; }
    // What NPP_Destroy left in its saved-data argument.
    NPSavedData* savedData() const noexcept { return savedData_; }

    // The object of the last successful getScriptObject(), or null.
    NPObject* scriptObject() const noexcept { return scriptObject_; }
    // References the host holds on it.
    size_t scriptObjectReferences() const noexcept { return scriptReferences_; }

    // --- other plug-in calls ----------------------------------------------------------------

    // NPP_GetValue for any variable, the out-value the caller's.
    NPError getValue(NPPVariable variable, void* value);
    // NPP_HandleEvent with a Cocoa event of that type (any 32-bit value), all else zero.
    int16_t handleEvent(int32_t type);

    // --- script access (to the script object, or to any object) ---------------------------

    bool hasProperty(const std::string& name);
    bool hasMethod(const std::string& name);
    ScriptResult getProperty(const std::string& name);
    bool setProperty(const std::string& name, const ScriptValue& value);
    ScriptResult invoke(const std::string& method, const std::vector<ScriptValue>& args = {});
    ScriptResult invokeDefault(const std::vector<ScriptValue>& args = {});

    bool hasProperty(NPObject* object, const std::string& name);
    bool hasMethod(NPObject* object, const std::string& name);
    ScriptResult getProperty(NPObject* object, const std::string& name);
    bool setProperty(NPObject* object, const std::string& name, const ScriptValue& value);
    ScriptResult invoke(NPObject* object, const std::string& method,
                        const std::vector<ScriptValue>& args = {});
    ScriptResult invokeDefault(NPObject* object, const std::vector<ScriptValue>& args = {});

    // Whether the string of the last string result ended in a zero byte inside the host block
    // that held it (the module allocates one byte more than the length and fills it with 0).
    bool lastStringTerminated() const noexcept { return lastStringTerminated_; }

    // A plain object of the host's own (hookless) class with one reference, which the caller
    // gives back with objects().release(); for passing objects as arguments.
    NPObject* createHostObject() noexcept;

    // Frees what a variant holds the host's way (string bytes to the allocator, an object
    // reference to the object table); misuse is recorded as a problem, `who` naming the call.
    void releaseVariant(NPVariant& variant, const char* who) noexcept;

    // --- the end report ---------------------------------------------------------------------

    size_t bytesOutstanding() const noexcept { return allocator_.bytesOutstanding(); }
    size_t blocksOutstanding() const noexcept { return allocator_.blocksOutstanding(); }
    size_t objectsAlive() const noexcept { return objects_.alive(); }
    // No memory outstanding, no object alive, no problem recorded.
    bool clean() const noexcept;
    // "clean", or what is left: "24 bytes in 2 blocks still allocated; 1 object alive; ..."
    std::string report() const;

private:
    NPVariant freshResult() const noexcept;
    // Copies the result, then gives back what it holds (see PluginHost.cpp).
    ScriptResult takeResult(bool ok, NPVariant& result, const char* call);
    NPIdentifier identifier(const std::string& name);

    PluginHost* previous_;
    std::string modulePath_;
    PluginEntryPoints linked_;
    bool inProcess_ = false;
    std::string mimeType_ = kMimeType;

    HostRecord record_;
    HostAllocator allocator_;
    IdentifierTable identifiers_;
    ObjectTable objects_{record_};
    HostValues values_;
    PluginLibrary library_;

    NPNetscapeFuncs hostFunctions_;
    NPPluginFuncs pluginFunctions_{};
    NPP_t instance_{};
    NP_CGContext platformWindow_{};
    NPWindow window_{};
    NPSavedData* savedData_ = nullptr;

    bool initialized_ = false;
    bool instanceLive_ = false;
    bool resultMarker_ = false;
    bool lastStringTerminated_ = false;

    NPObject* scriptObject_ = nullptr;
    size_t scriptReferences_ = 0;
    std::vector<NPObject*> resultObjects_;
};

}  // namespace vellum::pluginhost
