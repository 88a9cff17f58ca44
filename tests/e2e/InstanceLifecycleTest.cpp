// The plug-in instance through the shipping module: entry points, the drawing and event model
// negotiation of NPP_New, the NPP_ gates, and the life of the script object around NPP_Destroy.
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "PluginFixture.h"
#include "hostkit/ExtraInstance.h"
#include "hostkit/StdoutCapture.h"

namespace vellum::e2e {
namespace {

using pluginhost::HostAnswer;
using pluginhost::ScriptValue;
using pluginhost::StdoutCapture;

constexpr const char* kPluginName = "vellum Plug-in for DEMO";

using InstanceLifecycleTest = NoTokenModuleTest;

TEST_F(InstanceLifecycleTest, EntryPointsFillOnlyThePluginTable) {
    std::string error;
    ASSERT_TRUE(host().load(error)) << error;
    EXPECT_EQ(host().library().getEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

    // Whatever the host put outside the plug-in's entries stays as it was.
    NPPluginFuncs table;
    std::memset(&table, 0xA5, sizeof table);
    ASSERT_EQ(host().library().getEntryPoints(&table), NPERR_NO_ERROR);
    EXPECT_EQ(table.version, 27);
    EXPECT_EQ(table.size, 0xA5A5);
    NPPluginFuncs marker;
    std::memset(&marker, 0xA5, sizeof marker);
    EXPECT_EQ(table.javaClass, marker.javaClass);
    EXPECT_EQ(0, std::memcmp(&table.gotfocus, &marker.gotfocus,
                             sizeof(NPPluginFuncs) - offsetof(NPPluginFuncs, gotfocus)));

    // Each entry is the module's exported function of the same name.
    const std::pair<void*, const char*> entries[] = {
        {reinterpret_cast<void*>(table.newp), "NPP_New"},
        {reinterpret_cast<void*>(table.destroy), "NPP_Destroy"},
        {reinterpret_cast<void*>(table.setwindow), "NPP_SetWindow"},
        {reinterpret_cast<void*>(table.newstream), "NPP_NewStream"},
        {reinterpret_cast<void*>(table.destroystream), "NPP_DestroyStream"},
        {reinterpret_cast<void*>(table.asfile), "NPP_StreamAsFile"},
        {reinterpret_cast<void*>(table.writeready), "NPP_WriteReady"},
        {reinterpret_cast<void*>(table.write), "NPP_Write"},
        {reinterpret_cast<void*>(table.print), "NPP_Print"},
        {reinterpret_cast<void*>(table.event), "NPP_HandleEvent"},
        {reinterpret_cast<void*>(table.urlnotify), "NPP_URLNotify"},
        {reinterpret_cast<void*>(table.getvalue), "NPP_GetValue"},
        {reinterpret_cast<void*>(table.setvalue), "NPP_SetValue"},
    };
    for (const auto& [entry, name] : entries) {
        void* exported = host().library().symbol(name);
        ASSERT_NE(exported, nullptr) << name;
        EXPECT_EQ(entry, exported) << name;
    }
}

TEST_F(InstanceLifecycleTest, NewInstanceSelectsCoreGraphicsAndCocoaQuietly) {
    ASSERT_TRUE(loadPlugin());
    StdoutCapture capture;
    ASSERT_EQ(host().newInstance(), NPERR_NO_ERROR);

    EXPECT_EQ(capture.finish(), "");
    EXPECT_NE(host().npp()->pdata, nullptr);
    const std::vector<NPNVariable> asked{NPNVsupportsCoreGraphicsBool, NPNVsupportsCocoaBool};
    EXPECT_EQ(host().values().queries(), asked);
    const auto& selected = host().values().setValueCalls();
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0].npp, host().npp());
    EXPECT_EQ(selected[0].variable, NPPVpluginDrawingModel);
    EXPECT_EQ(selected[0].value, uintptr_t{NPDrawingModelCoreGraphics});
    EXPECT_EQ(selected[1].variable, NPPVpluginEventModel);
    EXPECT_EQ(selected[1].value, uintptr_t{NPEventModelCocoa});
    // The instance made its script object at once.
    EXPECT_EQ(host().objectsAlive(), 1u);
}

TEST_F(InstanceLifecycleTest, NewInstanceRefusesAHostWithoutCoreGraphics) {
    ASSERT_TRUE(loadPlugin());
    int pdataMarker = 0;
    for (HostAnswer answer : {HostAnswer::No, HostAnswer::Error}) {
        SCOPED_TRACE(answer == HostAnswer::No ? "host says no" : "host answers an error");
        host().values().clear();
        host().values().setCoreGraphicsAnswer(answer);
        host().npp()->pdata = &pdataMarker;

        StdoutCapture capture;
        EXPECT_EQ(host().newInstance(), NPERR_INCOMPATIBLE_VERSION_ERROR);
        EXPECT_EQ(capture.finish(), "no supportsCoreGraphics\n");
        // Cocoa is never asked about and nothing is selected.
        const std::vector<NPNVariable> asked{NPNVsupportsCoreGraphicsBool};
        EXPECT_EQ(host().values().queries(), asked);
        EXPECT_TRUE(host().values().setValueCalls().empty());
        EXPECT_EQ(host().npp()->pdata, &pdataMarker);
        EXPECT_EQ(host().objectsAlive(), 0u);
    }
    host().npp()->pdata = nullptr;
}

TEST_F(InstanceLifecycleTest, NewInstanceRefusesAHostWithoutCocoaEvents) {
    ASSERT_TRUE(loadPlugin());
    int pdataMarker = 0;
    for (HostAnswer answer : {HostAnswer::No, HostAnswer::Error}) {
        SCOPED_TRACE(answer == HostAnswer::No ? "host says no" : "host answers an error");
        host().values().clear();
        host().values().setCocoaAnswer(answer);
        host().npp()->pdata = &pdataMarker;

        StdoutCapture capture;
        EXPECT_EQ(host().newInstance(), NPERR_INCOMPATIBLE_VERSION_ERROR);
        EXPECT_EQ(capture.finish(), "no supportsCocoa\n");
        const std::vector<NPNVariable> asked{NPNVsupportsCoreGraphicsBool, NPNVsupportsCocoaBool};
        EXPECT_EQ(host().values().queries(), asked);
        // The drawing model was already selected; the event model is not.
        const auto& selected = host().values().setValueCalls();
        ASSERT_EQ(selected.size(), 1u);
        EXPECT_EQ(selected[0].variable, NPPVpluginDrawingModel);
        EXPECT_EQ(selected[0].value, uintptr_t{NPDrawingModelCoreGraphics});
        EXPECT_EQ(host().npp()->pdata, &pdataMarker);
        EXPECT_EQ(host().objectsAlive(), 0u);
    }
    host().npp()->pdata = nullptr;
}

TEST_F(InstanceLifecycleTest, GatesAnswerForAMissingRecordOrInstance) {
    ASSERT_TRUE(loadPlugin());
    const NPPluginFuncs& plugin = host().pluginFunctions();
    char mime[] = "application/x-vnd-vellum-demo";
    EXPECT_EQ(plugin.newp(mime, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_TRUE(host().values().queries().empty()) << "refused before asking the host";
    EXPECT_EQ(plugin.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.setwindow(nullptr, &host().window()), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.getvalue(nullptr, NPPVpluginNameString, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.writeready(nullptr, nullptr), 0x0FFFFFFF);
    EXPECT_EQ(plugin.write(nullptr, nullptr, 0, 77, nullptr), 77);
    NPStream stream{};
    uint16_t streamType = 0;
    EXPECT_EQ(plugin.newstream(nullptr, mime, &stream, 0, &streamType),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.destroystream(nullptr, &stream, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.setvalue(nullptr, NPNVprivateModeBool, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    // A null record is not looked into, nor is the event.
    EXPECT_EQ(plugin.event(nullptr, nullptr), 0);
    plugin.asfile(nullptr, &stream, "file");
    plugin.print(nullptr, nullptr);
    plugin.urlnotify(nullptr, "url", NPRES_DONE, nullptr);

    // A record that never got an instance.
    NPP_t empty{};
    EXPECT_EQ(plugin.setwindow(&empty, &host().window()), NPERR_GENERIC_ERROR);
    const char* name = nullptr;
    EXPECT_EQ(plugin.getvalue(&empty, NPPVpluginNameString, &name), NPERR_GENERIC_ERROR);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(plugin.newstream(&empty, mime, &stream, 0, &streamType), NPERR_GENERIC_ERROR);
    EXPECT_EQ(plugin.destroystream(&empty, &stream, NPRES_DONE), NPERR_GENERIC_ERROR);
    EXPECT_EQ(plugin.setvalue(&empty, NPNVprivateModeBool, nullptr), NPERR_GENERIC_ERROR);
    NPCocoaEvent event{};
    event.type = NPCocoaEventDrawRect;
    EXPECT_EQ(plugin.event(&empty, &event), 0);
    EXPECT_EQ(plugin.destroy(&empty, nullptr), NPERR_NO_ERROR);

    // A null window is refused before the record's instance is looked at.
    int notAnInstance = 0;
    empty.pdata = &notAnInstance;
    EXPECT_EQ(plugin.setwindow(&empty, nullptr), NPERR_GENERIC_ERROR);
}

TEST_F(InstanceLifecycleTest, SetWindowAcceptsEveryWindowOfALiveInstance) {
    ASSERT_TRUE(loadPlugin());
    ASSERT_EQ(host().newInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(host().pluginFunctions().setwindow(host().npp(), nullptr), NPERR_GENERIC_ERROR);
    // Not yet initialised, no platform window; then the first platform window initialises it;
    // then both again on the initialised instance.
    EXPECT_EQ(host().setWindow(false), NPERR_NO_ERROR);
    EXPECT_EQ(host().setWindow(true), NPERR_NO_ERROR);
    EXPECT_EQ(host().setWindow(true), NPERR_NO_ERROR);
    EXPECT_EQ(host().setWindow(false), NPERR_NO_ERROR);
}

TEST_F(InstanceLifecycleTest, GetValueStoresTheNameYetAnswersGenericError) {
    ASSERT_TRUE(startPlugin());
    for (NPPVariable variable : {NPPVpluginNameString, NPPVpluginDescriptionString}) {
        SCOPED_TRACE(variable);
        const char* name = nullptr;
        EXPECT_EQ(host().getValue(variable, &name), NPERR_GENERIC_ERROR);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(name, kPluginName);
    }
    const char marker[] = "untouched";
    const char* value = marker;
    EXPECT_EQ(host().getValue(NPPVpluginWindowBool, &value), NPERR_GENERIC_ERROR);
    EXPECT_EQ(value, marker);
    EXPECT_EQ(host().getValue(NPPVpluginNameString, nullptr), NPERR_GENERIC_ERROR);
}

TEST_F(InstanceLifecycleTest, EachScriptObjectRequestAddsOneReferenceToTheSameObject) {
    ASSERT_TRUE(startPlugin());
    NPObject* first = host().scriptObject();
    ASSERT_NE(first, nullptr);
    // The instance's own reference and the host's.
    EXPECT_EQ(host().objects().referenceCount(first), 2u);

    NPObject* again = nullptr;
    ASSERT_EQ(host().getScriptObject(&again), NPERR_NO_ERROR);
    EXPECT_EQ(again, first);
    EXPECT_EQ(host().objects().referenceCount(first), 3u);
    ASSERT_EQ(host().getScriptObject(&again), NPERR_NO_ERROR);
    EXPECT_EQ(again, first);
    EXPECT_EQ(host().objects().referenceCount(first), 4u);
    EXPECT_EQ(host().objectsAlive(), 1u);
    // Without an out-pointer no reference is taken.
    EXPECT_EQ(host().getValue(NPPVpluginScriptableNPObject, nullptr), NPERR_INVALID_PARAM);
    EXPECT_EQ(host().objects().referenceCount(first), 4u);
}

TEST_F(InstanceLifecycleTest, EachInstanceHasItsOwnServiceAndScriptObject) {
    ASSERT_TRUE(startPlugin());
    pluginhost::ExtraInstance second(host());
    ASSERT_EQ(second.start(), NPERR_NO_ERROR);
    EXPECT_NE(second.npp()->pdata, host().npp()->pdata);
    EXPECT_EQ(host().objectsAlive(), 2u);
    NPObject* other = second.scriptObject();
    EXPECT_NE(other, host().scriptObject());

    // A failed operation on the first leaves the second's status text alone: two services.
    EXPECT_EQ(host().invoke("getCertList").value, ScriptValue::string("E:1000"));
    EXPECT_EQ(host().invoke("LastError").value, ScriptValue::string("Load pkcs11 lib fail"));
    EXPECT_EQ(host().invoke(other, "LastError").value, ScriptValue::string("OK"));

    // Every construction interns the 7 property names, then the 19 method names.
    const auto& requests = host().record().identifierRequests();
    ASSERT_EQ(requests.size(), 4u);
    for (size_t i = 0; i < requests.size(); i += 2) {
        ASSERT_EQ(requests[i].size(), 7u);
        EXPECT_EQ(requests[i].front(), "CN");
        ASSERT_EQ(requests[i + 1].size(), 19u);
        EXPECT_EQ(requests[i + 1].back(), "getProviderCertList");
    }

    EXPECT_EQ(second.destroy(), NPERR_NO_ERROR);
    EXPECT_EQ(host().objectsAlive(), 1u);
}

TEST_F(InstanceLifecycleTest, ScriptObjectIsMadeLaterWhenTheHostFailedToMakeIt) {
    ASSERT_TRUE(loadPlugin());
    // The instance's attempt and the first retry fail; the second retry succeeds.
    host().objects().failNextCreate(2);
    ASSERT_EQ(host().newInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(host().objectsAlive(), 0u);

    int marker = 0;
    NPObject* object = reinterpret_cast<NPObject*>(&marker);
    EXPECT_EQ(host().getScriptObject(&object), NPERR_NO_ERROR);
    EXPECT_EQ(object, nullptr);

    ASSERT_EQ(host().getScriptObject(&object), NPERR_NO_ERROR);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(host().objects().referenceCount(object), 2u);
    EXPECT_EQ(host().invoke("getVersion").value, ScriptValue::string("1.0.0.49"));
}

TEST_F(InstanceLifecycleTest, HandleEventAnswersDrawMouseDownMovedAndFocusOnly) {
    ASSERT_TRUE(startPlugin());
    for (int32_t type : {1, 2, 4, 11}) {
        EXPECT_EQ(host().handleEvent(type), 1) << "event type " << type;
    }
    for (int32_t type :
         {0, 3, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 31, 32, 0x816, -1,
          std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()}) {
        EXPECT_EQ(host().handleEvent(type), 0) << "event type " << type;
    }
    EXPECT_EQ(host().pluginFunctions().event(host().npp(), nullptr), 0);
}

TEST_F(InstanceLifecycleTest, StreamGatesKeepTheirDefaultsOnALiveInstance) {
    ASSERT_TRUE(startPlugin());
    const NPPluginFuncs& plugin = host().pluginFunctions();
    char mime[] = "text/plain";
    NPStream stream{};
    uint16_t streamType = 0xBEEF;
    EXPECT_EQ(plugin.newstream(host().npp(), mime, &stream, 1, &streamType), NPERR_NO_ERROR);
    EXPECT_EQ(streamType, 0xBEEF);
    EXPECT_EQ(plugin.writeready(host().npp(), &stream), 0x0FFFFFFF);
    char bytes[5] = {};
    EXPECT_EQ(plugin.write(host().npp(), &stream, 0, 5, bytes), 5);
    EXPECT_EQ(plugin.write(host().npp(), &stream, 0, -5, bytes), -5);
    EXPECT_EQ(plugin.destroystream(host().npp(), &stream, NPRES_USER_BREAK), NPERR_NO_ERROR);
    EXPECT_EQ(plugin.setvalue(host().npp(), NPNVprivateModeBool, nullptr), NPERR_NO_ERROR);
    NPPrint print{};
    plugin.print(host().npp(), &print);
    EXPECT_EQ(print.mode, 0);
    plugin.asfile(host().npp(), &stream, "file");
    plugin.urlnotify(host().npp(), "url", NPRES_DONE, nullptr);
    EXPECT_TRUE(host().record().otherCalls().empty());
}

TEST_F(InstanceLifecycleTest, DestroyGivesBackEverythingOnceTheHostReleasesLast) {
    ASSERT_TRUE(startPlugin());
    NPObject* object = host().scriptObject();
    EXPECT_EQ(host().invoke("getProviderName").value, ScriptValue::string("zuvo"));

    host().releaseScriptObject();
    // Only the instance's reference is left.
    EXPECT_EQ(host().objects().referenceCount(object), 1u);

    // NPP_Destroy leaves the saved-data argument as the host set it.
    int marker = 0;
    NPSavedData* saved = reinterpret_cast<NPSavedData*>(&marker);
    EXPECT_EQ(host().pluginFunctions().destroy(host().npp(), &saved), NPERR_NO_ERROR);
    EXPECT_EQ(saved, reinterpret_cast<NPSavedData*>(&marker));
    EXPECT_EQ(host().npp()->pdata, nullptr);
    EXPECT_EQ(host().objectsAlive(), 0u);
    EXPECT_EQ(host().bytesOutstanding(), 0u);
    EXPECT_EQ(host().blocksOutstanding(), 0u);
    EXPECT_TRUE(host().record().problems().empty());
}

TEST_F(InstanceLifecycleTest, ScriptObjectKeptAfterDestroyFailsItsCallsSafely) {
    ASSERT_TRUE(startPlugin());
    NPObject* object = host().scriptObject();
    EXPECT_EQ(host().destroyInstance(), NPERR_NO_ERROR);
    // The instance is gone; the record no longer points at it.
    EXPECT_EQ(host().npp()->pdata, nullptr);
    ASSERT_TRUE(host().objects().isAlive(object));
    EXPECT_EQ(host().objects().referenceCount(object), 1u);

    const ScriptValue voidValue;
    for (const char* method : {"getVersion", "LastError", "getCertList", "SignCert"}) {
        pluginhost::ScriptResult result = host().invoke(method);
        EXPECT_FALSE(result.ok) << method;
        EXPECT_EQ(result.value, voidValue) << method;
    }
    pluginhost::ScriptResult signature = host().getProperty("Signature");
    EXPECT_FALSE(signature.ok);
    EXPECT_EQ(signature.value, voidValue);
    EXPECT_FALSE(host().setProperty("CN", ScriptValue::string("01A2B3")));
    EXPECT_TRUE(host().hasProperty("CN"));

    // The host's reference is the last; giving it back frees the object.
    host().releaseScriptObject();
    EXPECT_EQ(host().objectsAlive(), 0u);
    EXPECT_EQ(host().bytesOutstanding(), 0u);
}

TEST_F(InstanceLifecycleTest, ShutdownAndUnloadAfterDestroyLeaveNothingBehind) {
    ASSERT_TRUE(startPlugin());
    EXPECT_EQ(host().invokeDefault().value.stringValue().size(), 25u);
    host().releaseScriptObject();
    EXPECT_EQ(host().destroyInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(host().shutdown(), NPERR_NO_ERROR);
    host().unload();
    EXPECT_FALSE(host().isLoaded());
    EXPECT_TRUE(host().clean()) << host().report();
    EXPECT_TRUE(host().record().otherCalls().empty());
}

}  // namespace
}  // namespace vellum::e2e
