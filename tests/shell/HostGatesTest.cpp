#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "hostkit/RecordingHost.h"
#include "shell/NPNFuncs.h"

namespace {

using vellum::pluginhost::RecordingHost;

using Calls = std::vector<std::string>;

// Distinct argument values, so a gate that drops or swaps arguments is seen.
NPP_t instanceRecord;
const NPP npp = &instanceRecord;
char url[] = "https://example.test/";
char target[] = "_blank";
char body[] = "a=1";
char mimeType[] = "text/plain";
NPStream stream;
NPStream* streamOut;
NPByteRange range;
NPRect rect;
int regionTarget;
NPObject object;
NPVariant args[2];
NPVariant result;
int notifyTarget;
void* const notifyData = &notifyTarget;

class HostGatesTest : public ::testing::Test {
protected:
    void initialize(uint16_t version) {
        NPNetscapeFuncs host = RecordingHost::table(version);
        ASSERT_EQ(NP_Initialize(&host), NPERR_NO_ERROR);
        RecordingHost::calls().clear();
    }
    void SetUp() override { initialize(0x001B); }
    void TearDown() override { NPNFuncs = {}; }

    static Calls calls() { return RecordingHost::calls(); }
    template <typename... Args>
    static Calls one(const char* entry, Args... args) {
        return {RecordingHost::call(entry, args...)};
    }
};

TEST_F(HostGatesTest, URLAndStreamGatesForwardTheirArguments) {
    EXPECT_EQ(NPN_GetURL(npp, url, target), RecordingHost::kError);
    EXPECT_EQ(calls(), one("geturl", npp, url, target));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_GetURLNotify(npp, url, target, notifyData), RecordingHost::kError);
    EXPECT_EQ(calls(), one("geturlnotify", npp, url, target, notifyData));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_PostURL(npp, url, target, 3, body, 1), RecordingHost::kError);
    EXPECT_EQ(calls(), one("posturl", npp, url, target, 3u, body, 1));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_PostURLNotify(npp, url, target, 3, body, 0, notifyData), RecordingHost::kError);
    EXPECT_EQ(calls(), one("posturlnotify", npp, url, target, 3u, body, 0, notifyData));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_RequestRead(&stream, &range), RecordingHost::kError);
    EXPECT_EQ(calls(), one("requestread", &stream, &range));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_NewStream(npp, mimeType, target, &streamOut), RecordingHost::kError);
    EXPECT_EQ(calls(), one("newstream", npp, mimeType, target, &streamOut));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_Write(npp, &stream, 3, body), RecordingHost::kWritten);
    EXPECT_EQ(calls(), one("write", npp, &stream, 3, body));

    RecordingHost::calls().clear();
    EXPECT_EQ(NPN_DestroyStream(npp, &stream, NPRES_USER_BREAK), RecordingHost::kError);
    EXPECT_EQ(calls(), one("destroystream", npp, &stream, NPRES_USER_BREAK));
}

TEST_F(HostGatesTest, MemoryAndStatusGatesForwardTheirArguments) {
    NPN_Status(npp, body);
    EXPECT_EQ(NPN_UserAgent(npp), RecordingHost::kUserAgent);
    EXPECT_EQ(NPN_MemAlloc(48), RecordingHost::kMemory);
    NPN_MemFree(body);
    EXPECT_EQ(NPN_MemFlush(1024), RecordingHost::kFlushed);
    NPN_ReloadPlugins(1);
    EXPECT_EQ(
        calls(),
        (Calls{RecordingHost::call("status", npp, body), RecordingHost::call("uagent", npp),
               RecordingHost::call("memalloc", 48u),
               RecordingHost::call("memfree", static_cast<void*>(body)),
               RecordingHost::call("memflush", 1024u), RecordingHost::call("reloadplugins", 1)}));
}

TEST_F(HostGatesTest, ValueAndDrawingGatesForwardTheirArguments) {
    NPBool answer = 0;
    EXPECT_EQ(NPN_GetValue(npp, NPNVsupportsCoreGraphicsBool, &answer), RecordingHost::kError);
    void* model = reinterpret_cast<void*>(1);
    EXPECT_EQ(NPN_SetValue(npp, NPPVpluginDrawingModel, model), RecordingHost::kError);
    NPN_InvalidateRect(npp, &rect);
    NPN_InvalidateRegion(npp, &regionTarget);
    NPN_ForceRedraw(npp);
    EXPECT_EQ(calls(),
              (Calls{RecordingHost::call("getvalue", npp, NPNVsupportsCoreGraphicsBool, &answer),
                     RecordingHost::call("setvalue", npp, NPPVpluginDrawingModel, model),
                     RecordingHost::call("invalidaterect", npp, &rect),
                     RecordingHost::call("invalidateregion", npp, &regionTarget),
                     RecordingHost::call("forceredraw", npp)}));
}

TEST_F(HostGatesTest, ScriptGatesForwardTheirArguments) {
    EXPECT_EQ(NPN_GetStringIdentifier("CN"), RecordingHost::kIdentifier);
    const NPIdentifier id = RecordingHost::kIdentifier;
    EXPECT_EQ(NPN_UTF8FromIdentifier(id), RecordingHost::kUTF8);
    EXPECT_EQ(NPN_RetainObject(&object), &object);
    NPN_ReleaseObject(&object);
    EXPECT_TRUE(NPN_Invoke(npp, &object, id, args, 2, &result));
    EXPECT_TRUE(NPN_InvokeDefault(npp, &object, args, 1, &result));
    EXPECT_TRUE(NPN_GetProperty(npp, &object, id, &result));
    NPN_ReleaseVariantValue(&result);
    const Calls& recorded = calls();
    ASSERT_EQ(recorded.size(), 8u);
    EXPECT_EQ(recorded[0].rfind("getstringidentifier(", 0), 0u);
    EXPECT_EQ(std::vector<std::string>(recorded.begin() + 1, recorded.end()),
              (Calls{RecordingHost::call("utf8fromidentifier", id),
                     RecordingHost::call("retainobject", &object),
                     RecordingHost::call("releaseobject", &object),
                     RecordingHost::call("invoke", npp, &object, id, args, 2u, &result),
                     RecordingHost::call("invokeDefault", npp, &object, args, 1u, &result),
                     RecordingHost::call("getproperty", npp, &object, id, &result),
                     RecordingHost::call("releasevariantvalue", &result)}));
}

struct GuardCase {
    const char* entry;
    int threshold;  // lowest host minor version that offers the call
    int refusal;    // the gate's answer below it
    int (*call)();  // calls the gate, returns its answer
    int forwarded;  // the recording host's answer
};

void PrintTo(const GuardCase& c, std::ostream* out) {
    *out << c.entry;
}

int getURLNotify() {
    return NPN_GetURLNotify(npp, url, target, notifyData);
}
int postURLNotify() {
    return NPN_PostURLNotify(npp, url, target, 3, body, 0, notifyData);
}
int newStream() {
    return NPN_NewStream(npp, mimeType, target, &streamOut);
}
int writeStream() {
    return NPN_Write(npp, &stream, 3, body);
}
int destroyStream() {
    return NPN_DestroyStream(npp, &stream, NPRES_DONE);
}

class VersionGuardTest : public HostGatesTest, public ::testing::WithParamInterface<GuardCase> {};

TEST_P(VersionGuardTest, ForwardsOnlyFromItsMinorVersion) {
    const GuardCase& c = GetParam();
    for (int minor : {7, 8, 9}) {
        SCOPED_TRACE(minor);
        initialize(static_cast<uint16_t>(minor));
        const bool offered = minor >= c.threshold;
        EXPECT_EQ(c.call(), offered ? c.forwarded : c.refusal);
        ASSERT_EQ(calls().size(), offered ? 1u : 0u);
        if (offered) {
            EXPECT_EQ(calls()[0].rfind(std::string(c.entry) + "(", 0), 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gates, VersionGuardTest,
    ::testing::Values(GuardCase{"geturlnotify", 9, NPERR_INCOMPATIBLE_VERSION_ERROR, getURLNotify,
                                RecordingHost::kError},
                      GuardCase{"posturlnotify", 9, NPERR_INCOMPATIBLE_VERSION_ERROR, postURLNotify,
                                RecordingHost::kError},
                      GuardCase{"newstream", 8, NPERR_INCOMPATIBLE_VERSION_ERROR, newStream,
                                RecordingHost::kError},
                      GuardCase{"write", 8, -1, writeStream, RecordingHost::kWritten},
                      GuardCase{"destroystream", 8, NPERR_INCOMPATIBLE_VERSION_ERROR, destroyStream,
                                RecordingHost::kError}),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return std::string(info.param.entry); });

TEST_F(HostGatesTest, UnguardedGatesForwardAtAnyMinorVersion) {
    initialize(0x0000);
    EXPECT_EQ(NPN_GetURL(npp, url, target), RecordingHost::kError);
    EXPECT_EQ(NPN_PostURL(npp, url, target, 3, body, 0), RecordingHost::kError);
    EXPECT_EQ(calls().size(), 2u);
}

TEST_F(HostGatesTest, GatesWhoseEntryTheHostLeftNullAnswerAFailure) {
    NPNetscapeFuncs empty = {};
    empty.size = sizeof empty;
    empty.version = 0x001B;
    ASSERT_EQ(NP_Initialize(&empty), NPERR_NO_ERROR);

    EXPECT_EQ(NPN_GetURL(npp, url, target), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_GetURLNotify(npp, url, target, notifyData), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_PostURL(npp, url, target, 3, body, 0), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_PostURLNotify(npp, url, target, 3, body, 0, notifyData), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_RequestRead(&stream, &range), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_NewStream(npp, mimeType, target, &streamOut), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_Write(npp, &stream, 3, body), -1);
    EXPECT_EQ(NPN_DestroyStream(npp, &stream, NPRES_DONE), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_UserAgent(npp), nullptr);
    EXPECT_EQ(NPN_MemAlloc(16), nullptr);
    EXPECT_EQ(NPN_MemFlush(16), 0u);
    EXPECT_EQ(NPN_GetValue(npp, NPNVsupportsCocoaBool, &result), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_SetValue(npp, NPPVpluginEventModel, nullptr), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPN_GetStringIdentifier("CN"), nullptr);
    EXPECT_EQ(NPN_UTF8FromIdentifier(&regionTarget), nullptr);
    EXPECT_EQ(NPN_RetainObject(&object), nullptr);
    EXPECT_FALSE(NPN_Invoke(npp, &object, &regionTarget, args, 2, &result));
    EXPECT_FALSE(NPN_InvokeDefault(npp, &object, args, 2, &result));
    EXPECT_FALSE(NPN_GetProperty(npp, &object, &regionTarget, &result));
    // Calls without an answer simply do nothing.
    NPN_Status(npp, body);
    NPN_MemFree(body);
    NPN_ReloadPlugins(0);
    NPN_InvalidateRect(npp, &rect);
    NPN_InvalidateRegion(npp, &regionTarget);
    NPN_ForceRedraw(npp);
    NPN_ReleaseObject(&object);
    NPN_ReleaseVariantValue(&result);
    EXPECT_TRUE(calls().empty());
}

TEST_F(HostGatesTest, VersionReportsPluginAndHostVersions) {
    for (uint16_t host : {0x001B, 0x00FF, 0x0009}) {
        initialize(host);
        int values[4] = {-1, -1, -1, -1};
        NPN_Version(&values[0], &values[1], &values[2], &values[3]);
        EXPECT_EQ(values[0], 0);
        EXPECT_EQ(values[1], 27);
        EXPECT_EQ(values[2], 0);
        EXPECT_EQ(values[3], host);
    }
    int minor = -1;
    NPN_Version(nullptr, &minor, nullptr, nullptr);
    EXPECT_EQ(minor, 27);
    EXPECT_TRUE(calls().empty());
}

}  // namespace
