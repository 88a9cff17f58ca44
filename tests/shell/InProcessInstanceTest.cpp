// The plug-in instance and its script object in process: the plug-in host with the module's
// libraries linked in. Here go the checks that need the inside: the instance's own state, a
// service that records what reaches it from script (conversions of texts and numbers, values
// of the wrong kind, missing arguments, results cut at a zero byte, a service that throws), and
// allocations inside the plug-in that fail. Everything a browser can see through the shipping
// module is tested end to end (tests/e2e).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "AllocationFaults.h"
#include "hostkit/LinkedPlugin.h"
#include "pluginhost/FaultPause.h"
#include "pluginhost/PluginHost.h"
#include "script/ScriptableObject.h"
#include "shell/nsPluginCreateData.h"
#include "shell/nsPluginInstance.h"

namespace {

using vellum::pluginhost::FaultPause;
using vellum::pluginhost::PluginHost;
using vellum::pluginhost::ScriptResult;
using vellum::pluginhost::ScriptValue;

ScriptValue str(const std::string& text) {
    return ScriptValue::string(text);
}
// A string value from a literal that may hold zero bytes.
template <size_t N>
ScriptValue bytes(const char (&text)[N]) {
    return ScriptValue::string(std::string(text, N - 1));
}

const ScriptResult kFailed{false, ScriptValue()};

class InProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(host.load(error)) << error;
        ASSERT_EQ(host.initialize(), NPERR_NO_ERROR);
        ASSERT_EQ(host.getEntryPoints(), NPERR_NO_ERROR);
        // A failed call must say void itself, not leave the host's initial value in place.
        host.setResultMarker(true);
    }

    void TearDown() override {
        host.stop();
        EXPECT_TRUE(host.clean()) << host.report();
    }

    nsPluginInstance* instance() {
        return static_cast<nsPluginInstance*>(
            static_cast<nsPluginInstanceBase*>(host.npp()->pdata));
    }

    PluginHost host{vellum::pluginhost::linkedPlugin()};
};

TEST_F(InProcessTest, InstanceStartsUninitialisedAndInitialisesOnItsFirstPlatformWindow) {
    ASSERT_EQ(host.newInstance(), NPERR_NO_ERROR);
    nsPluginInstance* created = instance();
    ASSERT_NE(created, nullptr);
    EXPECT_FALSE(created->isInitialized());
    EXPECT_NE(created->GetService(), nullptr);
    ASSERT_EQ(host.getScriptObject(), NPERR_NO_ERROR);
    ASSERT_NE(host.scriptObject(), nullptr);
    EXPECT_EQ(host.scriptObject()->_class, &sScriptableObject_NPClass);

    EXPECT_EQ(host.setWindow(false), NPERR_NO_ERROR);
    EXPECT_FALSE(created->isInitialized());
    EXPECT_EQ(host.setWindow(true), NPERR_NO_ERROR);
    EXPECT_TRUE(created->isInitialized());
    EXPECT_EQ(host.setWindow(false), NPERR_NO_ERROR);
    EXPECT_TRUE(created->isInitialized());
}

class RecordingService final : public ServiceBase {
public:
    static RecordingService* latest;

    RecordingService() { latest = this; }
    ~RecordingService() override { latest = nullptr; }

    std::vector<std::string> calls;
    std::string answer = "answer";
    bool throws = false;

    std::string getSignature() override { return note("getSignature"); }
    std::string getSignFile() override { return note("getSignFile"); }
    void setHashAlgorithm(std::string hashName) override { note("setHashAlgorithm:" + hashName); }
    std::string verifyPKCS7(char* pkcs7) override {
        return note(std::string("verifyPKCS7:") + pkcs7);
    }
    std::string verifySignature(char* data, char* signature, char* certificate) override {
        return note(std::string("verifySignature:") + data + "|" + signature + "|" + certificate);
    }
    std::string lastError() override { return note("lastError"); }

private:
    std::string note(const std::string& call) {
        calls.push_back(call);
        if (throws) {
            throw std::bad_alloc();
        }
        return answer;
    }
};

RecordingService* RecordingService::latest = nullptr;

std::unique_ptr<ServiceBase> makeRecordingService() {
    return std::make_unique<RecordingService>();
}

using Calls = std::vector<std::string>;

// An instance made as NPP_New makes it, with the recording service in place of the token service.
class ScriptService : public InProcessTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(InProcessTest::SetUp());
        nsPluginCreateData data{host.npp(), nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr};
        host.npp()->pdata =
            static_cast<nsPluginInstanceBase*>(new nsPluginInstance(&data, &makeRecordingService));
        service = RecordingService::latest;
        ASSERT_NE(service, nullptr);
        ASSERT_EQ(host.getScriptObject(&object), NPERR_NO_ERROR);
        ASSERT_NE(object, nullptr);
    }

    void TearDown() override {
        host.releaseScriptObject();
        if (host.npp()->pdata != nullptr) {
            EXPECT_EQ(host.destroyInstance(), NPERR_NO_ERROR);
        }
        InProcessTest::TearDown();
    }

    NPIdentifier identifier(const char* name) { return host.identifiers().stringIdentifier(name); }

    // Values that never stand in for text.
    std::vector<ScriptValue> notText() {
        return {ScriptValue::int32(1),
                ScriptValue::number(1.5),
                ScriptValue::boolean(true),
                ScriptValue::makeNull(),
                ScriptValue(),
                ScriptValue::object(object)};
    }

    RecordingService* service = nullptr;
    NPObject* object = nullptr;
};

TEST_F(ScriptService, PropertyWritesReachTheServiceConverted) {
    EXPECT_TRUE(host.setProperty("CN", str("0a1b")));
    EXPECT_EQ(service->getCN(), "0A1B");
    EXPECT_TRUE(host.setProperty("CN", bytes("\0ff")));
    EXPECT_EQ(service->getCN(), "");
    EXPECT_TRUE(host.setProperty("IssuerCN", str("Issuer Ltd")));
    EXPECT_EQ(service->getIssuerCN(), "Issuer Ltd");
    EXPECT_TRUE(host.setProperty("SignFile", str("/tmp/file.txt")));
    EXPECT_EQ(service->ServiceBase::getSignFile(), "/tmp/file.txt");
    EXPECT_TRUE(host.setProperty("HashAlgorithm", bytes("sha1\0x")));
    EXPECT_EQ(service->calls, Calls{"setHashAlgorithm:sha1"});

    // A length of 0xFFFFFFFF plus one is zero in 32 bits; the text must still be read up to its
    // zero byte into a buffer of the right size.
    const char text[] = "abc";
    NPVariant value;
    STRINGN_TO_NPVARIANT(text, 0xFFFFFFFFu, value);
    EXPECT_TRUE(host.objects().setProperty(object, identifier("SignData"), &value));
    EXPECT_EQ(service->ServiceBase::getSignData(), "abc");
}

TEST_F(ScriptService, PropertyReadsCallTheServiceOnce) {
    EXPECT_TRUE(host.setProperty("SignData", str("data")));
    // Not overridden: the stored text.
    EXPECT_EQ(host.getProperty("SignData"), (ScriptResult{true, str("data")}));
    EXPECT_EQ(host.getProperty("Signature"), (ScriptResult{true, str("answer")}));
    EXPECT_EQ(host.getProperty("SignFile"), (ScriptResult{true, str("answer")}));
    EXPECT_EQ(service->calls, (Calls{"getSignature", "getSignFile"}));
}

TEST_F(ScriptService, ValuesOfOtherKindsAreNeverStoredAsText) {
    EXPECT_TRUE(host.setProperty("CN", str("11")));
    for (const ScriptValue& value : notText()) {
        for (const char* name : {"CN", "SignData", "IssuerCN", "SignFile", "HashAlgorithm"}) {
            EXPECT_FALSE(host.setProperty(name, value)) << name << " " << value.describe();
        }
    }
    EXPECT_FALSE(host.objects().setProperty(object, identifier("CN"), nullptr));
    EXPECT_EQ(service->getCN(), "11");
    EXPECT_EQ(service->ServiceBase::getSignData(), "");
    EXPECT_TRUE(service->calls.empty());
}

TEST_F(ScriptService, MethodTextsArriveCutAtTheirZeroByte) {
    EXPECT_EQ(host.invoke("VerifyPKCS7", {bytes("MII\0rest")}),
              (ScriptResult{true, str("answer")}));
    EXPECT_TRUE(host.invoke("VerifySignature", {str("data"), str("sig"), str("")}).ok);
    EXPECT_EQ(service->calls, (Calls{"verifyPKCS7:MII", "verifySignature:data|sig|"}));
}

TEST_F(ScriptService, WrongCountsAndKindsNeverReachTheService) {
    EXPECT_EQ(host.invoke("VerifyPKCS7"), kFailed);
    EXPECT_EQ(host.invoke("VerifySignature", {str("a"), str("b")}), kFailed);
    for (const ScriptValue& value : notText()) {
        EXPECT_EQ(host.invoke("VerifyPKCS7", {value}), kFailed);
        EXPECT_EQ(host.invoke("VerifySignature", {str("a"), value, str("c")}), kFailed);
    }
    EXPECT_TRUE(service->calls.empty());
}

TEST_F(ScriptService, MissingOrNonTextArgumentsFailTheCall) {
    for (const char* name : {"SetUKeyVendor", "ImportCertData", "getProviderCertList"}) {
        EXPECT_EQ(host.invoke(name), kFailed) << name;
        EXPECT_EQ(host.invoke(name, {ScriptValue::int32(7)}), kFailed) << name;
    }
    for (const char* name :
         {"saGetTokenSN", "saGetTokenMOVAId", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN"}) {
        EXPECT_EQ(host.invoke(name), kFailed) << name;
        EXPECT_EQ(host.invoke(name, {str("1")}), kFailed) << name;
        EXPECT_EQ(host.invoke(name, {ScriptValue::boolean(true)}), kFailed) << name;
    }
    // Null argument array with a count: the arguments are missing.
    NPVariant result;
    INT32_TO_NPVARIANT(3, result);
    EXPECT_FALSE(host.objects().invoke(object, identifier("VerifyPKCS7"), nullptr, 1, &result));
    EXPECT_TRUE(NPVARIANT_IS_VOID(result));
}

TEST_F(ScriptService, IndexesMayArriveAsIntegralDoubles) {
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInf = std::numeric_limits<double>::infinity();
    for (double accepted : {0.0, 2.0, -3.0, 70000.0, 2147483647.0, -2147483648.0}) {
        EXPECT_EQ(host.invoke("GetUKeyCertCount", {ScriptValue::number(accepted)}),
                  (ScriptResult{true, ScriptValue::int32(1)}))
            << accepted;
    }
    for (double refused : {0.5, -1.25, 2147483648.0, -2147483649.0, 1e300, kNaN, kInf, -kInf}) {
        EXPECT_EQ(host.invoke("saGetTokenSN", {ScriptValue::number(refused)}), kFailed) << refused;
    }
}

TEST_F(ScriptService, CertificateRequestChecksTheArgumentsItUses) {
    const auto args = [&](ScriptValue third, ScriptValue fourth, ScriptValue fifth) {
        return std::vector<ScriptValue>{str("CN=x"), str("RSA"), third, fourth, fifth, str("ext")};
    };
    EXPECT_EQ(
        host.invoke("CreateX509ReqData", args(ScriptValue::object(object), ScriptValue::int32(1),
                                              ScriptValue::number(2.0))),
        (ScriptResult{true, str("createX509ReqData:not supported")}));
    EXPECT_EQ(
        host.invoke("CreateX509ReqData", args(ScriptValue(), str("1"), ScriptValue::int32(2))),
        kFailed);
    EXPECT_EQ(host.invoke("CreateX509ReqData",
                          args(ScriptValue(), ScriptValue::int32(1), ScriptValue::number(0.1))),
              kFailed);
    std::vector<ScriptValue> five =
        args(ScriptValue(), ScriptValue::int32(1), ScriptValue::int32(2));
    five.pop_back();
    EXPECT_EQ(host.invoke("CreateX509ReqData", five), kFailed);
}

TEST_F(ScriptService, ResultsAreCutAtTheirZeroByte) {
    service->answer = std::string("ab\0cd", 5);
    EXPECT_EQ(host.invoke("LastError"), (ScriptResult{true, str("ab")}));
    EXPECT_TRUE(host.lastStringTerminated());

    service->answer.clear();
    EXPECT_EQ(host.invoke("LastError"), (ScriptResult{true, str("")}));
    EXPECT_TRUE(host.lastStringTerminated());
}

TEST_F(ScriptService, AThrowingServiceGivesVoidAndFailure) {
    service->throws = true;
    EXPECT_EQ(host.invoke("LastError"), kFailed);
    EXPECT_EQ(host.invoke("VerifyPKCS7", {str("x")}), kFailed);
    EXPECT_EQ(host.getProperty("Signature"), kFailed);
    EXPECT_FALSE(host.setProperty("HashAlgorithm", str("md5")));
    EXPECT_EQ(service->calls.size(), 4U);
}

// Running out of memory inside the plug-in: every allocation of NPP_New in turn, and the
// conversions of a script call. The host hears an error code or a failure, never an exception,
// and nothing is left behind. The host's own work is held off from the faults.
class OutOfMemory : public InProcessTest {
protected:
    void SetUp() override {
        if (!AllocationFaults::available()) {
            GTEST_SKIP() << "operator new is not the test's own here (valgrind?): no faults";
        }
        FaultPause::setHook(&AllocationFaults::pauseHook);
        InProcessTest::SetUp();
    }

    void TearDown() override {
        AllocationFaults::disarm();
        InProcessTest::TearDown();
        FaultPause::setHook(nullptr);
    }
};

TEST_F(OutOfMemory, EachAllocationOfNewInstanceFailingInTurn) {
    int refused = 0;
    int withoutObject = 0;
    for (std::size_t nth = 1;; ++nth) {
        ASSERT_LT(nth, 1000U) << "NPP_New never completed without a fault";
        void* const untouched = &refused;
        host.npp()->pdata = untouched;
        AllocationFaults::failNth(nth);
        const NPError answer = host.newInstance();
        AllocationFaults::disarm();
        const bool fired = AllocationFaults::fired();

        if (answer == NPERR_OUT_OF_MEMORY_ERROR) {
            ++refused;
            EXPECT_TRUE(fired);
            EXPECT_EQ(host.npp()->pdata, untouched) << "allocation " << nth;
            EXPECT_EQ(host.objectsAlive(), 0U) << "allocation " << nth;
            EXPECT_EQ(host.blocksOutstanding(), 0U) << "allocation " << nth;
            continue;
        }
        ASSERT_EQ(answer, NPERR_NO_ERROR) << "allocation " << nth;
        ASSERT_NE(host.npp()->pdata, untouched);
        if (host.objectsAlive() == 0) {
            ++withoutObject;  // the allocate hook ran out: the instance asks again later
        }
        EXPECT_EQ(host.destroyInstance(), NPERR_NO_ERROR);
        EXPECT_EQ(host.objectsAlive(), 0U);
        if (!fired) {
            break;
        }
    }
    host.npp()->pdata = nullptr;
    EXPECT_GE(refused, 2) << "the instance and its service both allocate";
    EXPECT_GE(withoutObject, 1);
}

TEST_F(OutOfMemory, ScriptCallsThatCannotCopyTheirTextFail) {
    ASSERT_EQ(host.newInstance(), NPERR_NO_ERROR);
    ASSERT_EQ(host.getScriptObject(), NPERR_NO_ERROR);
    // Longer than any short-string buffer, so copying it allocates. Everything the test itself
    // needs is made before the fault is armed; the host's own work is held off.
    const std::string text(64, 'a');
    const std::vector<ScriptValue> arguments{str(text)};

    AllocationFaults::failNth(1);
    EXPECT_EQ(host.invoke("ImportCertData", arguments), kFailed);
    EXPECT_TRUE(AllocationFaults::fired());

    AllocationFaults::failNth(1);
    EXPECT_FALSE(host.setProperty("SignData", arguments[0]));
    EXPECT_TRUE(AllocationFaults::fired());
    AllocationFaults::disarm();
    EXPECT_EQ(instance()->GetService()->ServiceBase::getSignData(), "");

    EXPECT_TRUE(host.setProperty("SignData", str(text)));
    EXPECT_EQ(instance()->GetService()->ServiceBase::getSignData(), text);
}

}  // namespace
