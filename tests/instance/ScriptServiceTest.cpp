// What reaches the service from script, observed through a service that records its calls:
// conversions of texts and numbers, values of the wrong kind, missing arguments, results cut at
// a zero byte, the host running out of memory, and a service that throws.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>

#include "PluginFixture.h"

namespace {

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

class ScriptService : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        nsPluginCreateData data{&record, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr};
        record.pdata =
            static_cast<nsPluginInstanceBase*>(new nsPluginInstance(&data, &makeRecordingService));
        service = RecordingService::latest;
        ASSERT_NE(service, nullptr);
        object = scriptObject();
        ASSERT_NE(object, nullptr);
    }

    void expectFailure(const Outcome& outcome) {
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.isVoid()) << "type " << outcome.type;
    }

    // Values that never stand in for text.
    std::vector<NPVariant> notText() {
        return {int32Value(1), doubleValue(1.5), boolValue(true),
                nullValue(),   voidValue(),      objectValue(object)};
    }

    RecordingService* service = nullptr;
    NPObject* object = nullptr;
};

TEST_F(ScriptService, PropertyWritesReachTheServiceConverted) {
    EXPECT_TRUE(setProperty(object, "CN", stringValue("0a1b")));
    EXPECT_EQ(service->getCN(), "0A1B");
    const std::string withZero("sha1\0x", 6);
    EXPECT_TRUE(setProperty(object, "HashAlgorithm", stringValue(withZero)));
    EXPECT_TRUE(setProperty(object, "SignFile", stringValue("")));
    EXPECT_EQ(service->calls, Calls{"setHashAlgorithm:sha1"});
}

TEST_F(ScriptService, PropertyReadsCallTheServiceOnce) {
    EXPECT_TRUE(setProperty(object, "SignData", stringValue("data")));
    Outcome read = getProperty(object, "SignData");  // not overridden: the stored text
    EXPECT_TRUE(read.ok);
    EXPECT_EQ(read.text, "data");
    read = getProperty(object, "Signature");
    EXPECT_EQ(read.text, "answer");
    read = getProperty(object, "SignFile");
    EXPECT_EQ(read.text, "answer");
    EXPECT_EQ(service->calls, (Calls{"getSignature", "getSignFile"}));
}

TEST_F(ScriptService, ValuesOfOtherKindsAreNeverStoredAsText) {
    EXPECT_TRUE(setProperty(object, "CN", stringValue("11")));
    for (const NPVariant& value : notText()) {
        for (const char* name : {"CN", "SignData", "IssuerCN", "SignFile", "HashAlgorithm"}) {
            EXPECT_FALSE(setProperty(object, name, value)) << name << " type " << value.type;
        }
    }
    EXPECT_FALSE(object->_class->setProperty(object, host.identifier("CN"), nullptr));
    EXPECT_EQ(service->getCN(), "11");
    EXPECT_EQ(service->ServiceBase::getSignData(), "");
    EXPECT_TRUE(service->calls.empty());
}

TEST_F(ScriptService, MethodTextsArriveCutAtTheirZeroByte) {
    const std::string pkcs7("MII\0rest", 8);
    EXPECT_EQ(invoke(object, "VerifyPKCS7", {stringValue(pkcs7)}).text, "answer");
    const Outcome verified = invoke(object, "VerifySignature",
                                    {stringValue("data"), stringValue("sig"), stringValue("")});
    EXPECT_TRUE(verified.ok);
    EXPECT_EQ(service->calls, (Calls{"verifyPKCS7:MII", "verifySignature:data|sig|"}));
}

TEST_F(ScriptService, WrongCountsAndKindsNeverReachTheService) {
    expectFailure(invoke(object, "VerifyPKCS7"));
    expectFailure(invoke(object, "VerifySignature", {stringValue("a"), stringValue("b")}));
    for (const NPVariant& value : notText()) {
        expectFailure(invoke(object, "VerifyPKCS7", {value}));
        expectFailure(
            invoke(object, "VerifySignature", {stringValue("a"), value, stringValue("c")}));
    }
    EXPECT_TRUE(service->calls.empty());
}

TEST_F(ScriptService, MissingOrNonTextArgumentsFailTheCall) {
    for (const char* name : {"SetUKeyVendor", "ImportCertData", "getProviderCertList"}) {
        expectFailure(invoke(object, name));
        expectFailure(invoke(object, name, {int32Value(7)}));
    }
    for (const char* name :
         {"saGetTokenSN", "saGetTokenMOVAId", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN"}) {
        expectFailure(invoke(object, name));
        expectFailure(invoke(object, name, {stringValue("1")}));
        expectFailure(invoke(object, name, {boolValue(true)}));
    }
    // Null argument array with a count: the arguments are missing.
    NPVariant result = int32Value(3);
    EXPECT_FALSE(
        object->_class->invoke(object, host.identifier("VerifyPKCS7"), nullptr, 1, &result));
    EXPECT_TRUE(NPVARIANT_IS_VOID(result));
}

TEST_F(ScriptService, IndexesMayArriveAsIntegralDoubles) {
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInf = std::numeric_limits<double>::infinity();
    for (double accepted : {0.0, 2.0, -3.0, 70000.0, 2147483647.0, -2147483648.0}) {
        const Outcome outcome = invoke(object, "GetUKeyCertCount", {doubleValue(accepted)});
        EXPECT_TRUE(outcome.ok) << accepted;
        EXPECT_EQ(outcome.number, 1);
    }
    for (double refused : {0.5, -1.25, 2147483648.0, -2147483649.0, 1e300, kNaN, kInf, -kInf}) {
        expectFailure(invoke(object, "saGetTokenSN", {doubleValue(refused)}));
    }
}

TEST_F(ScriptService, CertificateRequestChecksTheArgumentsItUses) {
    const auto args = [&](NPVariant third, NPVariant fourth, NPVariant fifth) {
        return std::vector<NPVariant>{stringValue("CN=x"), stringValue("RSA"), third, fourth, fifth,
                                      stringValue("ext")};
    };
    EXPECT_EQ(invoke(object, "CreateX509ReqData",
                     args(objectValue(object), int32Value(1), doubleValue(2.0)))
                  .text,
              "createX509ReqData:not supported");
    expectFailure(
        invoke(object, "CreateX509ReqData", args(voidValue(), stringValue("1"), int32Value(2))));
    expectFailure(
        invoke(object, "CreateX509ReqData", args(voidValue(), int32Value(1), doubleValue(0.1))));
    std::vector<NPVariant> five = args(voidValue(), int32Value(1), int32Value(2));
    five.pop_back();
    expectFailure(invoke(object, "CreateX509ReqData", five));
}

TEST_F(ScriptService, ResultsAreCutAtTheirZeroByte) {
    service->answer = std::string("ab\0cd", 5);
    Outcome outcome = invoke(object, "LastError");
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.text, "ab");
    EXPECT_TRUE(outcome.textTerminated);

    service->answer.clear();
    outcome = invoke(object, "LastError");
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.type, NPVariantType_String);
    EXPECT_EQ(outcome.text, "");
    EXPECT_TRUE(outcome.textTerminated);
}

TEST_F(ScriptService, NoMemoryFromTheHostGivesVoidAndFailure) {
    host.failMemAlloc = 1;
    expectFailure(invoke(object, "LastError"));
    host.failMemAlloc = 1;
    expectFailure(getProperty(object, "Signature"));
    host.failMemAlloc = 1;
    expectFailure(invokeDefault(object));
    EXPECT_EQ(invoke(object, "LastError").text, "answer");
}

TEST_F(ScriptService, AThrowingServiceGivesVoidAndFailure) {
    service->throws = true;
    expectFailure(invoke(object, "LastError"));
    expectFailure(invoke(object, "VerifyPKCS7", {stringValue("x")}));
    expectFailure(getProperty(object, "Signature"));
    EXPECT_FALSE(setProperty(object, "HashAlgorithm", stringValue("md5")));
    EXPECT_EQ(service->calls.size(), 4U);
}

}  // namespace
