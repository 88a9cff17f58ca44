// The plug-in instance through the NPP_ gates: entry points, model negotiation, creation and
// destruction, windows, values and events.
#include <gtest/gtest.h>

#include <cstring>

#include "PluginFixture.h"
#include "script/ScriptableObject.h"

namespace {

using Lifecycle = PluginFixture;

// A record's `pdata` before NPP_New, to see that a refusal leaves it alone.
void* const kUntouched = reinterpret_cast<void*>(uintptr_t{0x5eed});

std::vector<NPNVariable> bothQueries() {
    return {NPNVsupportsCoreGraphicsBool, NPNVsupportsCocoaBool};
}

TEST(EntryPoints, FillTheTwelveFunctionsAndTheVersionOnly) {
    EXPECT_EQ(NP_GetEntryPoints(nullptr), NPERR_INVALID_FUNCTABLE_ERROR);

    NPPluginFuncs table;
    std::memset(&table, 0xA5, sizeof table);
    NPPluginFuncs marker;
    std::memset(&marker, 0xA5, sizeof marker);
    ASSERT_EQ(NP_GetEntryPoints(&table), NPERR_NO_ERROR);

    EXPECT_EQ(table.size, marker.size);
    EXPECT_EQ(table.version, 27);
    EXPECT_EQ(table.newp, &NPP_New);
    EXPECT_EQ(table.destroy, &NPP_Destroy);
    EXPECT_EQ(table.setwindow, &NPP_SetWindow);
    EXPECT_EQ(table.newstream, &NPP_NewStream);
    EXPECT_EQ(table.destroystream, &NPP_DestroyStream);
    EXPECT_EQ(table.asfile, &NPP_StreamAsFile);
    EXPECT_EQ(table.writeready, &NPP_WriteReady);
    EXPECT_EQ(table.write, &NPP_Write);
    EXPECT_EQ(table.print, &NPP_Print);
    EXPECT_EQ(table.event, &NPP_HandleEvent);
    EXPECT_EQ(table.urlnotify, &NPP_URLNotify);
    EXPECT_EQ(table.getvalue, &NPP_GetValue);
    EXPECT_EQ(table.setvalue, &NPP_SetValue);
    EXPECT_EQ(table.javaClass, marker.javaClass);
    // Everything after `setvalue` is the host's.
    const std::size_t tail = offsetof(NPPluginFuncs, gotfocus);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&table) + tail,
                          reinterpret_cast<const char*>(&marker) + tail, sizeof table - tail),
              0);
}

TEST_F(Lifecycle, NewSelectsCoreGraphicsAndCocoaThenStoresTheInstance) {
    NPError answer = NPERR_GENERIC_ERROR;
    const std::string printed = captureStdout([&] { answer = newInstance(); });

    EXPECT_EQ(answer, NPERR_NO_ERROR);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(host.queries, bothQueries());
    const std::vector<std::pair<NPPVariable, intptr_t>> selected = {
        {NPPVpluginDrawingModel, NPDrawingModelCoreGraphics},
        {NPPVpluginEventModel, NPEventModelCocoa}};
    EXPECT_EQ(host.selections, selected);
    ASSERT_NE(record.pdata, nullptr);
    EXPECT_FALSE(instance()->isInitialized());
    ASSERT_NE(instance()->GetService(), nullptr);
    EXPECT_EQ(instance()->GetService()->lastError(), "OK");
    // The object exists at once and carries only the instance's reference.
    ASSERT_EQ(host.objectsAlive(), 1U);
    NPObject* object = scriptObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->_class, &sScriptableObject_NPClass);
    EXPECT_EQ(object->referenceCount, 2U);
}

TEST_F(Lifecycle, NewWithoutARecordIsRefusedBeforeAskingTheHost) {
    EXPECT_EQ(plugin.newp(nullptr, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_TRUE(host.queries.empty());
}

TEST_F(Lifecycle, HostWithoutCoreGraphicsGetsNothingSelectedAndNoInstance) {
    for (FakeHost::Answer answer : {FakeHost::Answer::No, FakeHost::Answer::Error}) {
        host.queries.clear();
        host.coreGraphics = answer;
        record.pdata = kUntouched;
        NPError result = NPERR_NO_ERROR;
        const std::string printed = captureStdout([&] { result = newInstance(); });

        EXPECT_EQ(result, NPERR_INCOMPATIBLE_VERSION_ERROR);
        EXPECT_EQ(printed, "no supportsCoreGraphics\n");
        EXPECT_EQ(host.queries, std::vector<NPNVariable>{NPNVsupportsCoreGraphicsBool});
        EXPECT_TRUE(host.selections.empty());
        EXPECT_EQ(record.pdata, kUntouched);
        EXPECT_EQ(host.objectsAlive(), 0U);
    }
    record.pdata = nullptr;
}

TEST_F(Lifecycle, HostWithoutCocoaEventsKeepsOnlyTheDrawingModel) {
    for (FakeHost::Answer answer : {FakeHost::Answer::No, FakeHost::Answer::Error}) {
        host.queries.clear();
        host.selections.clear();
        host.cocoaEvents = answer;
        record.pdata = kUntouched;
        NPError result = NPERR_NO_ERROR;
        const std::string printed = captureStdout([&] { result = newInstance(); });

        EXPECT_EQ(result, NPERR_INCOMPATIBLE_VERSION_ERROR);
        EXPECT_EQ(printed, "no supportsCocoa\n");
        EXPECT_EQ(host.queries, bothQueries());
        const std::vector<std::pair<NPPVariable, intptr_t>> selected = {
            {NPPVpluginDrawingModel, NPDrawingModelCoreGraphics}};
        EXPECT_EQ(host.selections, selected);
        EXPECT_EQ(record.pdata, kUntouched);
        EXPECT_EQ(host.objectsAlive(), 0U);
    }
    record.pdata = nullptr;
}

TEST_F(Lifecycle, DestroyFreesTheInstanceAndForgetsIt) {
    EXPECT_EQ(plugin.destroy(nullptr, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(destroyInstance(), NPERR_NO_ERROR);  // nothing in pdata

    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    NPSavedData* saved = reinterpret_cast<NPSavedData*>(uintptr_t{0x5a7ed});
    EXPECT_EQ(plugin.destroy(&record, &saved), NPERR_NO_ERROR);
    EXPECT_EQ(record.pdata, nullptr);
    EXPECT_EQ(saved, reinterpret_cast<NPSavedData*>(uintptr_t{0x5a7ed}));
    EXPECT_EQ(host.objectsAlive(), 0U);
}

TEST_F(Lifecycle, EachInstanceHasItsOwnServiceAndObject) {
    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    NPP_t second = {};
    ASSERT_EQ(plugin.newp(nullptr, &second, NP_EMBED, 0, nullptr, nullptr, nullptr),
              NPERR_NO_ERROR);
    auto* other = static_cast<nsPluginInstance*>(static_cast<nsPluginInstanceBase*>(second.pdata));
    EXPECT_NE(other, instance());
    EXPECT_NE(other->GetService(), instance()->GetService());
    EXPECT_EQ(host.objectsAlive(), 2U);
    // Every construction interns the 7 property names, then the 19 method names.
    ASSERT_EQ(host.internedLists.size(), 4U);
    for (std::size_t i = 0; i < 4; i += 2) {
        EXPECT_EQ(host.internedLists[i].size(), 7U);
        EXPECT_EQ(host.internedLists[i].front(), "CN");
        EXPECT_EQ(host.internedLists[i + 1].size(), 19U);
        EXPECT_EQ(host.internedLists[i + 1].back(), "getProviderCertList");
    }
    EXPECT_EQ(plugin.destroy(&second, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(host.objectsAlive(), 1U);
}

TEST_F(Lifecycle, SetWindowInitialisesOnTheFirstPlatformWindow) {
    NPWindow window = {};
    EXPECT_EQ(plugin.setwindow(nullptr, &window), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.setwindow(&record, &window), NPERR_GENERIC_ERROR);  // no instance

    // A null NPWindow is refused before pdata is looked at.
    record.pdata = kUntouched;
    EXPECT_EQ(plugin.setwindow(&record, nullptr), NPERR_GENERIC_ERROR);
    record.pdata = nullptr;

    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(plugin.setwindow(&record, &window), NPERR_NO_ERROR);
    EXPECT_FALSE(instance()->isInitialized());

    NP_CGContext context = {};
    window.window = &context;
    EXPECT_EQ(plugin.setwindow(&record, &window), NPERR_NO_ERROR);
    EXPECT_TRUE(instance()->isInitialized());

    window.window = nullptr;
    EXPECT_EQ(plugin.setwindow(&record, &window), NPERR_NO_ERROR);
    EXPECT_TRUE(instance()->isInitialized());
}

TEST_F(Lifecycle, GetValueStoresTheNameYetAnswersGenericError) {
    EXPECT_EQ(plugin.getvalue(nullptr, NPPVpluginNameString, nullptr),
              NPERR_INVALID_INSTANCE_ERROR);
    const char* text = nullptr;
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginNameString, &text), NPERR_GENERIC_ERROR);
    EXPECT_EQ(text, nullptr);  // no instance: nothing stored

    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    for (NPPVariable variable : {NPPVpluginNameString, NPPVpluginDescriptionString}) {
        text = nullptr;
        EXPECT_EQ(plugin.getvalue(&record, variable, &text), NPERR_GENERIC_ERROR);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "vellum Plug-in for DEMO");
    }
    void* untouched = kUntouched;
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginWindowBool, &untouched), NPERR_GENERIC_ERROR);
    EXPECT_EQ(untouched, kUntouched);
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginNameString, nullptr), NPERR_GENERIC_ERROR);
}

TEST_F(Lifecycle, EveryScriptableObjectRequestHandsOutOneMoreReference) {
    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    NPObject* first = scriptObject();
    NPObject* second = scriptObject();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->referenceCount, 3U);
    // Without an out-pointer no reference is taken.
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginScriptableNPObject, nullptr), NPERR_INVALID_PARAM);
    EXPECT_EQ(first->referenceCount, 3U);
}

TEST_F(Lifecycle, AnObjectTheHostCouldNotCreateIsAskedForAgain) {
    host.failCreateObject = 2;  // at NPP_New and at the first request
    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(host.objectsAlive(), 0U);

    NPObject* object = static_cast<NPObject*>(kUntouched);
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginScriptableNPObject, &object), NPERR_NO_ERROR);
    EXPECT_EQ(object, nullptr);

    object = scriptObject();
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->referenceCount, 2U);  // the instance's and the host's
    EXPECT_TRUE(hasMethod(object, "getCertList"));
}

TEST_F(Lifecycle, AnObjectKeptAfterDestroyFailsWithoutReachingTheInstance) {
    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    NPObject* object = scriptObject();
    ASSERT_NE(object, nullptr);
    ASSERT_EQ(destroyInstance(), NPERR_NO_ERROR);
    ASSERT_TRUE(host.isAlive(object));
    EXPECT_EQ(object->referenceCount, 1U);

    const Outcome read = getProperty(object, "Signature");
    EXPECT_FALSE(read.ok);
    EXPECT_TRUE(read.isVoid());
    EXPECT_FALSE(setProperty(object, "CN", stringValue("01")));
    const Outcome call = invoke(object, "LastError");
    EXPECT_FALSE(call.ok);
    EXPECT_TRUE(call.isVoid());
    EXPECT_TRUE(hasProperty(object, "CN"));
    // TearDown gives back the last reference and finds nothing alive.
}

TEST_F(Lifecycle, HandleEventAnswersDrawMouseDownMouseMovedAndFocus) {
    NPCocoaEvent event = {};
    const auto handle = [&](int32_t type) {
        std::memcpy(&event.type, &type, sizeof type);
        return plugin.event(&record, &event);
    };
    // No record, no instance: not handled, and the event is not read.
    EXPECT_EQ(plugin.event(nullptr, reinterpret_cast<void*>(uintptr_t{1})), 0);
    EXPECT_EQ(handle(NPCocoaEventDrawRect), 0);

    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    for (int32_t type : {1, 2, 4, 11}) {
        EXPECT_EQ(handle(type), 1) << "type " << type;
    }
    for (int32_t type : {0, 3, 5, 6, 7, 8, 9, 10, 12, 13, 14, 15, 31, 32, 0x816, -1, INT32_MIN}) {
        EXPECT_EQ(handle(type), 0) << "type " << type;
    }
    EXPECT_EQ(plugin.event(&record, nullptr), 0);
}

TEST_F(Lifecycle, StreamsAndPrintingGetTheBaseAnswers) {
    NPStream stream = {};
    uint16_t streamType = 0xBEEF;
    char buffer[8] = {};
    EXPECT_EQ(plugin.writeready(nullptr, &stream), 0x0FFFFFFF);
    EXPECT_EQ(plugin.write(nullptr, &stream, 0, 1234, buffer), 1234);
    EXPECT_EQ(plugin.newstream(nullptr, nullptr, &stream, 0, &streamType),
              NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.newstream(&record, nullptr, &stream, 0, &streamType), NPERR_GENERIC_ERROR);
    EXPECT_EQ(plugin.destroystream(nullptr, &stream, NPRES_DONE), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.destroystream(&record, &stream, NPRES_DONE), NPERR_GENERIC_ERROR);
    EXPECT_EQ(plugin.setvalue(nullptr, NPNVprivateModeBool, nullptr), NPERR_INVALID_INSTANCE_ERROR);
    EXPECT_EQ(plugin.setvalue(&record, NPNVprivateModeBool, nullptr), NPERR_GENERIC_ERROR);
    plugin.asfile(nullptr, &stream, "file");
    plugin.print(nullptr, nullptr);
    plugin.urlnotify(nullptr, "url", NPRES_DONE, nullptr);

    ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
    EXPECT_EQ(plugin.writeready(&record, &stream), 0x0FFFFFFF);
    EXPECT_EQ(plugin.write(&record, &stream, 0, -5, buffer), -5);
    EXPECT_EQ(plugin.newstream(&record, nullptr, &stream, 1, &streamType), NPERR_NO_ERROR);
    EXPECT_EQ(streamType, 0xBEEF);
    EXPECT_EQ(plugin.destroystream(&record, &stream, NPRES_USER_BREAK), NPERR_NO_ERROR);
    EXPECT_EQ(plugin.setvalue(&record, NPNVprivateModeBool, nullptr), NPERR_NO_ERROR);
    NPPrint print = {};
    plugin.asfile(&record, &stream, "file");
    plugin.print(&record, &print);
    plugin.urlnotify(&record, "url", NPRES_DONE, nullptr);
    EXPECT_EQ(print.mode, 0);
}

}  // namespace
