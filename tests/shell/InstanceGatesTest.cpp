// The NPP_ gates against an instance that records what reaches it: arguments pass unchanged,
// SetWindow runs init first exactly when the document's steps say, and an instance that throws
// never unwinds into the host.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "npapi/npfunctions.h"
#include "shell/nsPluginInstanceBase.h"

namespace {

class RecordingInstance final : public nsPluginInstanceBase {
public:
    std::vector<std::string> calls;
    bool initialized = false;
    bool initSucceeds = true;
    bool throws = false;

    bool init(NPWindow*) override {
        note("init");
        initialized = initSucceeds;
        return initSucceeds;
    }
    void shut() override { note("shut"); }
    bool isInitialized() override { return initialized; }
    NPError SetWindow(NPP, NPWindow* window) override {
        note("SetWindow");
        lastWindow = window;
        return 77;
    }
    NPError NewStream(NPMIMEType type, NPStream* stream, NPBool seekable,
                      uint16_t* stype) override {
        note("NewStream");
        seen = {type, stream, stype};
        lastBool = seekable;
        return 71;
    }
    NPError DestroyStream(NPStream* stream, NPReason reason) override {
        note("DestroyStream");
        seen = {stream};
        lastNumber = reason;
        return 72;
    }
    void StreamAsFile(NPStream* stream, const char* fname) override {
        note("StreamAsFile");
        seen = {stream, fname};
    }
    int32_t WriteReady(NPStream* stream) override {
        note("WriteReady");
        seen = {stream};
        return 73;
    }
    int32_t Write(NPStream* stream, int32_t offset, int32_t len, void* buffer) override {
        note("Write");
        seen = {stream, buffer};
        lastNumber = offset;
        return len * 2;
    }
    void Print(NPPrint* printInfo) override {
        note("Print");
        seen = {printInfo};
    }
    int16_t HandleEvent(NPP instance, void* event) override {
        note("HandleEvent");
        seen = {instance, event};
        return 74;
    }
    void URLNotify(const char* url, NPReason reason, void* notifyData) override {
        note("URLNotify");
        seen = {url, notifyData};
        lastNumber = reason;
    }
    NPError GetValue(NPPVariable variable, void* value) override {
        note("GetValue");
        seen = {value};
        lastNumber = variable;
        return 75;
    }
    NPError SetValue(NPNVariable variable, void* value) override {
        note("SetValue");
        seen = {value};
        lastNumber = variable;
        return 76;
    }

    std::vector<const void*> seen;
    NPWindow* lastWindow = nullptr;
    int lastNumber = 0;
    NPBool lastBool = 0;

private:
    void note(const char* call) {
        calls.emplace_back(call);
        if (throws) {
            throw std::runtime_error(call);
        }
    }
};

class InstanceGates : public ::testing::Test {
protected:
    void SetUp() override { record.pdata = static_cast<nsPluginInstanceBase*>(&instance); }

    RecordingInstance instance;
    NPP_t record = {};
    NPStream stream = {};
    int token = 0;  // an address to pass around
};

using Calls = std::vector<std::string>;

TEST_F(InstanceGates, SetWindowInitialisesThenSetsWhenAWindowArrives) {
    NPWindow window = {};
    EXPECT_EQ(NPP_SetWindow(&record, &window), 77);
    EXPECT_EQ(instance.calls, Calls{"SetWindow"});
    EXPECT_EQ(instance.lastWindow, &window);

    instance.calls.clear();
    window.window = &token;
    EXPECT_EQ(NPP_SetWindow(&record, &window), 77);
    EXPECT_EQ(instance.calls, (Calls{"init", "SetWindow"}));

    instance.calls.clear();
    EXPECT_EQ(NPP_SetWindow(&record, &window), 77);
    EXPECT_EQ(instance.calls, Calls{"SetWindow"});
}

TEST_F(InstanceGates, EveryGatePassesItsArgumentsThrough) {
    uint16_t streamType = 0;
    char mime[] = "text/plain";
    EXPECT_EQ(NPP_NewStream(&record, mime, &stream, 1, &streamType), 71);
    EXPECT_EQ(instance.seen, (std::vector<const void*>{mime, &stream, &streamType}));
    EXPECT_EQ(instance.lastBool, 1);

    EXPECT_EQ(NPP_DestroyStream(&record, &stream, NPRES_NETWORK_ERR), 72);
    EXPECT_EQ(instance.lastNumber, NPRES_NETWORK_ERR);

    const char* file = "/tmp/file";
    NPP_StreamAsFile(&record, &stream, file);
    EXPECT_EQ(instance.seen, (std::vector<const void*>{&stream, file}));

    EXPECT_EQ(NPP_WriteReady(&record, &stream), 73);
    EXPECT_EQ(NPP_Write(&record, &stream, 9, 21, &token), 42);
    EXPECT_EQ(instance.seen, (std::vector<const void*>{&stream, &token}));
    EXPECT_EQ(instance.lastNumber, 9);

    NPPrint print = {};
    NPP_Print(&record, &print);
    EXPECT_EQ(instance.seen, std::vector<const void*>{&print});

    EXPECT_EQ(NPP_HandleEvent(&record, &token), 74);
    EXPECT_EQ(instance.seen, (std::vector<const void*>{&record, &token}));

    const char* url = "https://example.invalid/";
    NPP_URLNotify(&record, url, NPRES_USER_BREAK, &token);
    EXPECT_EQ(instance.seen, (std::vector<const void*>{url, &token}));
    EXPECT_EQ(instance.lastNumber, NPRES_USER_BREAK);

    EXPECT_EQ(NPP_GetValue(&record, NPPVpluginWindowBool, &token), 75);
    EXPECT_EQ(instance.lastNumber, NPPVpluginWindowBool);
    EXPECT_EQ(NPP_SetValue(&record, NPNVprivateModeBool, &token), 76);
    EXPECT_EQ(instance.lastNumber, NPNVprivateModeBool);
    EXPECT_EQ(instance.seen, std::vector<const void*>{&token});
}

TEST_F(InstanceGates, AThrowingInstanceIsAnsweredWithFailure) {
    instance.throws = true;
    NPWindow window = {};
    window.window = &token;
    uint16_t streamType = 0;
    EXPECT_EQ(NPP_SetWindow(&record, &window), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPP_NewStream(&record, nullptr, &stream, 0, &streamType), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPP_DestroyStream(&record, &stream, NPRES_DONE), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPP_WriteReady(&record, &stream), 0x0FFFFFFF);
    EXPECT_EQ(NPP_Write(&record, &stream, 0, 12, &token), 12);
    EXPECT_EQ(NPP_HandleEvent(&record, &token), 0);
    EXPECT_EQ(NPP_GetValue(&record, NPPVpluginWindowBool, &token), NPERR_GENERIC_ERROR);
    EXPECT_EQ(NPP_SetValue(&record, NPNVprivateModeBool, &token), NPERR_GENERIC_ERROR);
    NPP_StreamAsFile(&record, &stream, "f");
    NPP_Print(&record, nullptr);
    NPP_URLNotify(&record, "u", NPRES_DONE, nullptr);
    EXPECT_EQ(NPP_Destroy(&record, nullptr), NPERR_GENERIC_ERROR);  // shut threw: kept
    EXPECT_EQ(record.pdata, static_cast<nsPluginInstanceBase*>(&instance));
    EXPECT_EQ(instance.calls.size(), 12U);
}

}  // namespace
