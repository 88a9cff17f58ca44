// The plug-in host itself, without a plug-in module: its accounting has to catch what the
// end-to-end tests rely on it to catch (leaked memory and objects, misuse of the host's
// interface, results left untouched), or those tests prove nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hostkit/StdoutCapture.h"
#include "pluginhost/ArgumentList.h"
#include "pluginhost/PluginHost.h"

namespace vellum::pluginhost {
namespace {

// A scriptable class of the test's own, which records what its hooks receive and answers as
// told.
struct FakeObject : NPObject {
    static int deallocations;
    static std::string lastArgument;
    static uint32_t lastArgumentCount;
    static NPVariant answer;  // copied into the result by getProperty/invoke
    static bool answerOk;

    static NPObject* allocate(NPP, NPClass*) { return new FakeObject(); }
    static void deallocate(NPObject* object) {
        ++deallocations;
        delete static_cast<FakeObject*>(object);
    }
    static bool getProperty(NPObject*, NPIdentifier, NPVariant* result) {
        *result = answer;
        return answerOk;
    }
    static bool invoke(NPObject*, NPIdentifier, const NPVariant* args, uint32_t count,
                       NPVariant* result) {
        lastArgumentCount = count;
        if (count > 0 && NPVARIANT_IS_STRING(args[0])) {
            const NPString& text = NPVARIANT_TO_STRING(args[0]);
            lastArgument.assign(text.UTF8Characters, text.UTF8Length);
        }
        *result = answer;
        return answerOk;
    }
};
int FakeObject::deallocations = 0;
std::string FakeObject::lastArgument;
uint32_t FakeObject::lastArgumentCount = 0;
NPVariant FakeObject::answer;
bool FakeObject::answerOk = true;

NPClass fakeClass{NP_CLASS_STRUCT_VERSION,
                  &FakeObject::allocate,
                  &FakeObject::deallocate,
                  nullptr,
                  nullptr,
                  &FakeObject::invoke,
                  nullptr,
                  nullptr,
                  &FakeObject::getProperty,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr};

class PluginHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeObject::deallocations = 0;
        FakeObject::lastArgument.clear();
        FakeObject::lastArgumentCount = 0;
        VOID_TO_NPVARIANT(FakeObject::answer);
        FakeObject::answerOk = true;
    }

    PluginHost host{"/nonexistent/libvellum.so"};
    NPNetscapeFuncs& table = host.hostFunctions();
};

TEST_F(PluginHostTest, HostTableIsCompleteAtApiVersion27) {
    EXPECT_EQ(table.version, 27);
    EXPECT_EQ(table.size, sizeof(NPNetscapeFuncs));
    // Every entry, from geturl to the last, is set.
    const char* first = reinterpret_cast<const char*>(&table.geturl);
    const char* end = reinterpret_cast<const char*>(&table) + sizeof table;
    for (const char* entry = first; entry < end; entry += sizeof(void*)) {
        void* pointer;
        std::memcpy(&pointer, entry, sizeof pointer);
        EXPECT_NE(pointer, nullptr) << "entry at offset " << (entry - first);
    }
    EXPECT_EQ(PluginHost::current(), &host);
}

TEST_F(PluginHostTest, MemoryIsCountedAndForeignFreesAreCaught) {
    void* block = table.memalloc(10);
    void* empty = table.memalloc(0);
    ASSERT_NE(block, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(host.bytesOutstanding(), 10u);
    EXPECT_EQ(host.blocksOutstanding(), 2u);
    EXPECT_FALSE(host.clean());
    EXPECT_EQ(host.report(), "10 bytes in 2 blocks still allocated");

    host.allocator().failNext(2);
    EXPECT_EQ(table.memalloc(1), nullptr);
    EXPECT_EQ(table.memalloc(1), nullptr);
    EXPECT_EQ(host.allocator().refusals(), 2u);

    table.memfree(block);
    table.memfree(empty);
    int notFromHost = 0;
    table.memfree(&notFromHost);
    table.memfree(block);  // twice
    EXPECT_EQ(host.blocksOutstanding(), 0u);
    ASSERT_EQ(host.record().problems().size(), 2u);
    EXPECT_FALSE(host.clean());
    host.record().clear();
    EXPECT_TRUE(host.clean());
}

TEST_F(PluginHostTest, IdentifiersAreInternedForTheHostsLife) {
    NPIdentifier cn = table.getstringidentifier("CN");
    EXPECT_EQ(table.getstringidentifier("CN"), cn);
    EXPECT_NE(table.getstringidentifier("cn"), cn);
    const NPUTF8* names[] = {"CN", "SignData", nullptr};
    NPIdentifier ids[3];
    table.getstringidentifiers(names, 3, ids);
    EXPECT_EQ(ids[0], cn);
    EXPECT_EQ(ids[1], table.getstringidentifier("SignData"));
    EXPECT_EQ(ids[2], nullptr);

    NPIdentifier seven = table.getintidentifier(7);
    EXPECT_EQ(table.getintidentifier(7), seven);
    EXPECT_TRUE(table.identifierisstring(cn));
    EXPECT_FALSE(table.identifierisstring(seven));
    EXPECT_EQ(table.intfromidentifier(seven), 7);
    int stranger = 0;
    EXPECT_FALSE(table.identifierisstring(&stranger));

    // The name is the caller's, from host memory.
    NPUTF8* name = table.utf8fromidentifier(cn);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "CN");
    EXPECT_EQ(host.blocksOutstanding(), 1u);
    table.memfree(name);
    EXPECT_EQ(table.utf8fromidentifier(seven), nullptr);
    EXPECT_TRUE(host.clean()) << host.report();
}

TEST_F(PluginHostTest, ObjectsHaveRealReferenceCounts) {
    NPObject* object = table.createobject(host.npp(), &fakeClass);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->_class, &fakeClass);
    EXPECT_EQ(object->referenceCount, 1u);
    EXPECT_EQ(table.retainobject(object), object);
    EXPECT_EQ(host.objects().referenceCount(object), 2u);
    table.releaseobject(object);
    EXPECT_EQ(FakeObject::deallocations, 0);
    EXPECT_EQ(host.report(), "1 object alive");
    table.releaseobject(object);
    EXPECT_EQ(FakeObject::deallocations, 1);
    EXPECT_EQ(host.objectsAlive(), 0u);

    // The freed object is not touched again: the misuse is recorded instead.
    table.releaseobject(object);
    table.retainobject(object);
    NPVariant result;
    EXPECT_FALSE(table.getproperty(host.npp(), object, table.getstringidentifier("x"), &result));
    EXPECT_EQ(FakeObject::deallocations, 1);
    EXPECT_EQ(host.record().problems().size(), 3u);
    host.record().clear();

    host.objects().failNextCreate(1);
    EXPECT_EQ(table.createobject(host.npp(), &fakeClass), nullptr);
    NPObject* plain = host.createHostObject();
    ASSERT_NE(plain, nullptr);
    table.releaseobject(plain);
    EXPECT_TRUE(host.clean()) << host.report();
}

TEST_F(PluginHostTest, ScriptCallsHandOverExactBytesAndTakeBackHostStrings) {
    NPObject* object = table.createobject(host.npp(), &fakeClass);
    ASSERT_NE(object, nullptr);

    auto* text = static_cast<NPUTF8*>(table.memalloc(2));
    std::memcpy(text, "OK", 2);
    STRINGN_TO_NPVARIANT(text, 2, FakeObject::answer);
    ScriptResult result =
        host.invoke(object, "m", {ScriptValue::string(std::string("a\0b", 3)), ScriptValue()});
    EXPECT_EQ(result, (ScriptResult{true, ScriptValue::string("OK")}));
    EXPECT_EQ(FakeObject::lastArgument, std::string("a\0b", 3));
    EXPECT_EQ(FakeObject::lastArgumentCount, 2u);
    // The result string went back to the host's allocator.
    EXPECT_EQ(host.blocksOutstanding(), 0u);

    // A string the host never allocated is misuse.
    static const char literal[] = "static";
    STRINGZ_TO_NPVARIANT(literal, FakeObject::answer);
    EXPECT_TRUE(host.getProperty(object, "p").ok);
    EXPECT_EQ(host.record().problems().size(), 1u);
    host.record().clear();

    // With the marker on, a failed call that says nothing shows it.
    host.setResultMarker(true);
    FakeObject::answerOk = false;
    INT32_TO_NPVARIANT(PluginHost::kResultMarker, FakeObject::answer);
    EXPECT_EQ(host.getProperty(object, "p"),
              (ScriptResult{false, ScriptValue::int32(PluginHost::kResultMarker)}));

    table.releaseobject(object);
    EXPECT_TRUE(host.clean()) << host.report();
}

TEST_F(PluginHostTest, ReleaseVariantValueFreesStringsAndObjects) {
    NPVariant variant;
    auto* text = static_cast<NPUTF8*>(table.memalloc(3));
    std::memcpy(text, "abc", 3);
    STRINGN_TO_NPVARIANT(text, 3, variant);
    table.releasevariantvalue(&variant);
    EXPECT_TRUE(NPVARIANT_IS_VOID(variant));

    NPObject* object = table.createobject(host.npp(), &fakeClass);
    OBJECT_TO_NPVARIANT(object, variant);
    table.releasevariantvalue(&variant);
    EXPECT_EQ(FakeObject::deallocations, 1);
    table.releasevariantvalue(nullptr);
    EXPECT_TRUE(host.clean()) << host.report();
}

TEST_F(PluginHostTest, ModelQuestionsAreAnsweredAsSetAndRecorded) {
    NPBool answer = 7;
    EXPECT_EQ(table.getvalue(host.npp(), NPNVsupportsCoreGraphicsBool, &answer), NPERR_NO_ERROR);
    EXPECT_EQ(answer, 1);
    host.values().setCocoaAnswer(HostAnswer::No);
    EXPECT_EQ(table.getvalue(host.npp(), NPNVsupportsCocoaBool, &answer), NPERR_NO_ERROR);
    EXPECT_EQ(answer, 0);
    host.values().setCoreGraphicsAnswer(HostAnswer::Error);
    answer = 7;
    EXPECT_EQ(table.getvalue(host.npp(), NPNVsupportsCoreGraphicsBool, &answer),
              NPERR_GENERIC_ERROR);
    EXPECT_EQ(answer, 7);
    EXPECT_EQ(table.getvalue(host.npp(), NPNVsupportsCocoaBool, nullptr), NPERR_INVALID_PARAM);
    EXPECT_EQ(table.getvalue(host.npp(), NPNVWindowNPObject, &answer), NPERR_GENERIC_ERROR);
    EXPECT_EQ(host.values().queries().size(), 5u);

    EXPECT_EQ(table.setvalue(host.npp(), NPPVpluginEventModel, reinterpret_cast<void*>(1)),
              NPERR_NO_ERROR);
    ASSERT_EQ(host.values().setValueCalls().size(), 1u);
    EXPECT_EQ(host.values().setValueCalls()[0].variable, NPPVpluginEventModel);
    EXPECT_EQ(host.values().setValueCalls()[0].value, 1u);

    // Everything else is recorded and refused.
    EXPECT_EQ(table.geturl(host.npp(), "http://example.org/", nullptr), NPERR_GENERIC_ERROR);
    table.setexception(nullptr, "thrown");
    ASSERT_EQ(host.record().otherCalls().size(), 1u);
    EXPECT_EQ(host.record().otherCalls()[0], "NPN_GetURL");
    ASSERT_EQ(host.record().exceptions().size(), 1u);
    EXPECT_EQ(host.record().exceptions()[0], "thrown");
}

TEST_F(PluginHostTest, CallbacksActOnTheNewestHost) {
    {
        PluginHost inner("/nonexistent/libvellum.so");
        EXPECT_EQ(PluginHost::current(), &inner);
        void* block = table.memalloc(4);
        EXPECT_EQ(inner.blocksOutstanding(), 1u);
        EXPECT_EQ(host.blocksOutstanding(), 0u);
        table.memfree(block);
    }
    EXPECT_EQ(PluginHost::current(), &host);
}

TEST_F(PluginHostTest, StartSaysWhyAModuleDoesNotLoad) {
    std::string error;
    EXPECT_FALSE(host.start(error));
    EXPECT_NE(error.find("/nonexistent/libvellum.so"), std::string::npos) << error;
    EXPECT_FALSE(host.isLoaded());
}

TEST(StdoutCaptureTest, CapturesWhatIsWrittenMeanwhile) {
    StdoutCapture capture;
    ASSERT_TRUE(capture.active());
    std::puts("no supportsCocoa");
    EXPECT_EQ(capture.finish(), "no supportsCocoa\n");
}

TEST(PluginHostWithoutHost, EntriesAnswerFailure) {
    ASSERT_EQ(PluginHost::current(), nullptr);
    NPNetscapeFuncs table = hostFunctionTable();
    EXPECT_EQ(table.memalloc(8), nullptr);
    EXPECT_EQ(table.getstringidentifier("CN"), nullptr);
    int dummy = 0;
    table.memfree(&dummy);  // nothing to free it with, and nothing happens
}

}  // namespace
}  // namespace vellum::pluginhost
