// The script interface of a real instance, whose service is the token service with no token
// module installed: names, property rules, argument counts and every fixed answer.
#include <gtest/gtest.h>

#include <unistd.h>

#include "PluginFixture.h"
#include "service/PKCS11Impl.h"

namespace {

const std::vector<std::string> kProperties = {"CN",       "SignData",      "IssuerCN", "Signature",
                                              "SignFile", "HashAlgorithm", "JSCB"};
const std::vector<std::string> kMethods = {
    "PKCS7Data",         "VerifyPKCS7",    "VerifySignature",    "LastError",
    "SignCert",          "getCertList",    "getProviderName",    "getVersion",
    "saGetTokenCount",   "saGetTokenSN",   "saGetTokenMOVAId",   "SetUKeyVendor",
    "GetUKeyCount",      "GetUKeySN",      "GetUKeyCertCount",   "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList"};

class ScriptApi : public PluginFixture {
protected:
    void SetUp() override {
        PluginFixture::SetUp();
        // Every token operation here must fail at loading the module.
        ASSERT_NE(access(PKCS11Impl::kModulePath, F_OK), 0)
            << PKCS11Impl::kModulePath << " exists; these tests expect no token module";
        ASSERT_EQ(newInstance(), NPERR_NO_ERROR);
        object = scriptObject();
        ASSERT_NE(object, nullptr);
    }

    ServiceBase& service() { return *instance()->GetService(); }

    void expectText(const Outcome& outcome, const std::string& text) {
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.type, NPVariantType_String);
        EXPECT_EQ(outcome.text, text);
        EXPECT_TRUE(outcome.textTerminated);
    }

    void expectNumber(const Outcome& outcome, int32_t number) {
        EXPECT_TRUE(outcome.ok);
        EXPECT_EQ(outcome.type, NPVariantType_Int32);
        EXPECT_EQ(outcome.number, number);
    }

    void expectFailure(const Outcome& outcome) {
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.isVoid()) << "type " << outcome.type;
    }

    NPObject* object = nullptr;
};

TEST_F(ScriptApi, KnowsExactlyItsSevenPropertiesAndNineteenMethods) {
    for (const std::string& name : kProperties) {
        EXPECT_TRUE(hasProperty(object, name)) << name;
        EXPECT_FALSE(hasMethod(object, name)) << name;
    }
    for (const std::string& name : kMethods) {
        EXPECT_TRUE(hasMethod(object, name)) << name;
        EXPECT_FALSE(hasProperty(object, name)) << name;
    }
    for (const char* name : {"cn", "signature", "getcertlist", "Invoke", ""}) {
        EXPECT_FALSE(hasProperty(object, name)) << name;
        EXPECT_FALSE(hasMethod(object, name)) << name;
    }
    expectFailure(invoke(object, "getcertlist"));
    expectFailure(invoke(object, "CN"));
    expectFailure(getProperty(object, "LastError"));
    EXPECT_FALSE(setProperty(object, "nothing", stringValue("x")));
}

TEST_F(ScriptApi, WriteOnlyPropertiesStoreButCannotBeRead) {
    EXPECT_TRUE(setProperty(object, "CN", stringValue("abc")));
    EXPECT_TRUE(setProperty(object, "IssuerCN", stringValue("Issuer Ltd")));
    EXPECT_TRUE(setProperty(object, "HashAlgorithm", stringValue("sha256")));
    for (const char* name : {"CN", "IssuerCN", "HashAlgorithm"}) {
        expectFailure(getProperty(object, name));
    }
    EXPECT_EQ(service().getCN(), "ABC");
    EXPECT_EQ(service().getIssuerCN(), "Issuer Ltd");
}

TEST_F(ScriptApi, JscbIsPresentButHasNoValue) {
    EXPECT_TRUE(hasProperty(object, "JSCB"));
    expectFailure(getProperty(object, "JSCB"));
    EXPECT_FALSE(setProperty(object, "JSCB", stringValue("callback")));
}

TEST_F(ScriptApi, SignatureCannotBeWritten) {
    const Outcome before = getProperty(object, "Signature");
    EXPECT_TRUE(before.ok);
    EXPECT_FALSE(setProperty(object, "Signature", stringValue("forged")));
    const Outcome after = getProperty(object, "Signature");
    EXPECT_TRUE(after.ok);
    EXPECT_EQ(after.text, before.text);
    EXPECT_NE(after.text, "forged");
}

TEST_F(ScriptApi, ReadablePropertiesAskTheService) {
    EXPECT_TRUE(setProperty(object, "SignData", stringValue("to be signed")));
    EXPECT_TRUE(setProperty(object, "SignFile", stringValue("/tmp/file.txt")));
    EXPECT_EQ(service().ServiceBase::getSignData(), "to be signed");
    EXPECT_EQ(service().ServiceBase::getSignFile(), "/tmp/file.txt");
    // The token service does not offer the file name back.
    expectText(getProperty(object, "SignFile"), "getSignFile:not supported");
}

TEST_F(ScriptApi, AZeroByteCutsTextOnTheWayIn) {
    const std::string withZero("ab\0cd", 5);
    const std::string leadingZero("\0ff", 3);
    EXPECT_TRUE(setProperty(object, "SignData", stringValue(withZero)));
    EXPECT_EQ(service().ServiceBase::getSignData(), "ab");
    EXPECT_TRUE(setProperty(object, "CN", stringValue(leadingZero)));
    EXPECT_EQ(service().getCN(), "");
}

TEST_F(ScriptApi, TheHostsLengthIsNeverWidenedIntoAWrap) {
    // A length of 0xFFFFFFFF plus one is zero in 32 bits; the text must still be read up to its
    // zero byte into a buffer of the right size.
    const char bytes[] = "abc";
    NPVariant value;
    STRINGN_TO_NPVARIANT(bytes, 0xFFFFFFFFu, value);
    EXPECT_TRUE(setProperty(object, "SignData", value));
    EXPECT_EQ(service().ServiceBase::getSignData(), "abc");
}

TEST_F(ScriptApi, TokenOperationsWithoutAModuleFailWithTheirStatusText) {
    expectText(invoke(object, "LastError"), "OK");
    expectText(invoke(object, "getCertList"), "E:1000");
    expectText(invoke(object, "LastError"), "Load pkcs11 lib fail");
    expectText(invoke(object, "SignCert"), "E:1000");
    expectText(invoke(object, "LastError"), "Load pkcs11 lib fail");
}

TEST_F(ScriptApi, ReadingSignaturesWithoutAModuleGivesE1000) {
    EXPECT_TRUE(setProperty(object, "CN", stringValue("01")));
    EXPECT_TRUE(setProperty(object, "SignData", stringValue("data")));
    for (const char* name : {"Signature", "SignData"}) {
        expectText(getProperty(object, name), "E:1000");
        expectText(invoke(object, "LastError"), "loadPKCS11Library failed:");
    }
}

TEST_F(ScriptApi, FixedAnswersOfTheTokenService) {
    const std::string any = "anything";
    expectText(invoke(object, "PKCS7Data"), "pkcs7Data:not supported");
    expectText(invoke(object, "VerifyPKCS7", {stringValue(any)}), "verifyPKCS7:not supported");
    expectText(
        invoke(object, "VerifySignature", {stringValue(any), stringValue(any), stringValue(any)}),
        "verifySignature:not supported");
    expectText(invoke(object, "getProviderName"), "zuvo");
    expectText(invoke(object, "getVersion"), "1.0.0.49");
    expectNumber(invoke(object, "saGetTokenCount"), 1);
    expectText(invoke(object, "saGetTokenSN", {int32Value(0)}), "getTokenSN:not supported");
    expectText(invoke(object, "saGetTokenMOVAId", {int32Value(3)}), "getTokenMOVAId:not supported");
    const Outcome vendor = invoke(object, "SetUKeyVendor", {stringValue("vendor")});
    EXPECT_TRUE(vendor.ok);
    EXPECT_TRUE(vendor.isVoid());
    expectNumber(invoke(object, "GetUKeyCount"), 1);
    expectText(invoke(object, "GetUKeySN", {int32Value(0)}), "getUKeySN:not supported");
    expectNumber(invoke(object, "GetUKeyCertCount", {int32Value(5)}), 1);
    expectNumber(invoke(object, "ChangeUKeyPIN", {int32Value(-2)}), 1);
    expectText(invoke(object, "CreateX509ReqData",
                      {stringValue("CN=x"), stringValue("RSA"), voidValue(), int32Value(2048),
                       int32Value(3), stringValue("")}),
               "createX509ReqData:not supported");
    expectText(invoke(object, "ImportCertData", {stringValue("MIIB")}),
               "importCertData:not supported");
    expectText(invoke(object, "getProviderCertList", {stringValue("zuvo")}),
               "getProviderCertList:not supported");
    // Extra arguments are ignored where the count is not checked.
    expectText(invoke(object, "getVersion", {int32Value(1), nullValue()}), "1.0.0.49");
}

TEST_F(ScriptApi, VerifyMethodsInsistOnTheirArgumentCounts) {
    const std::string text = "x";
    expectFailure(invoke(object, "VerifyPKCS7"));
    expectFailure(invoke(object, "VerifyPKCS7", {stringValue(text), stringValue(text)}));
    expectFailure(invoke(object, "VerifySignature", {stringValue(text), stringValue(text)}));
    expectFailure(
        invoke(object, "VerifySignature",
               {stringValue(text), stringValue(text), stringValue(text), stringValue(text)}));
}

TEST_F(ScriptApi, InvokeDefaultAnswersItsFixedText) {
    const Outcome outcome = invokeDefault(object);
    expectText(outcome, "default method return val");
    EXPECT_EQ(outcome.text.size(), 25U);
    expectText(invokeDefault(object, {int32Value(1), stringValue("ignored")}),
               "default method return val");
}

TEST_F(ScriptApi, OtherHooksKeepTheirDefaults) {
    EXPECT_FALSE(object->_class->removeProperty(object, host.identifier("CN")));
    NPIdentifier* identifiers = nullptr;
    uint32_t count = 99;
    EXPECT_FALSE(object->_class->enumerate(object, &identifiers, &count));
    EXPECT_EQ(count, 99U);
    NPVariant result = int32Value(5);
    EXPECT_FALSE(object->_class->construct(object, nullptr, 0, &result));
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 5);
    object->_class->invalidate(object);
    expectText(invoke(object, "getVersion"), "1.0.0.49");
    EXPECT_EQ(object->_class->structVersion, 3U);
}

}  // namespace
