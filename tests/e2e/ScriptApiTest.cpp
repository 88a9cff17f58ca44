// The script object's properties and methods through the shipping module, with no token module
// at the fixed path: names, property rules, argument rules, the fixed texts and counts, and
// what happens when the host has no memory to give.
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "PluginFixture.h"

namespace vellum::e2e {
namespace {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

const char* const kProperties[] = {"CN",       "SignData",      "IssuerCN", "Signature",
                                   "SignFile", "HashAlgorithm", "JSCB"};
const char* const kMethods[] = {
    "PKCS7Data",         "VerifyPKCS7",    "VerifySignature",    "LastError",
    "SignCert",          "getCertList",    "getProviderName",    "getVersion",
    "saGetTokenCount",   "saGetTokenSN",   "saGetTokenMOVAId",   "SetUKeyVendor",
    "GetUKeyCount",      "GetUKeySN",      "GetUKeyCertCount",   "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList"};

ScriptValue str(const std::string& text) {
    return ScriptValue::string(text);
}
ScriptValue int32(int32_t value) {
    return ScriptValue::int32(value);
}
ScriptValue number(double value) {
    return ScriptValue::number(value);
}

const ScriptResult kFailed{false, ScriptValue()};

ScriptResult succeeded(const ScriptValue& value) {
    return ScriptResult{true, value};
}

class ScriptApiTest : public NoTokenModuleTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(NoTokenModuleTest::SetUp());
        ASSERT_TRUE(startPlugin());
    }
};

TEST_F(ScriptApiTest, NamesTheSevenPropertiesAndNineteenMethodsExactly) {
    for (const char* name : kProperties) {
        EXPECT_TRUE(host().hasProperty(name)) << name;
        EXPECT_FALSE(host().hasMethod(name)) << name;
    }
    for (const char* name : kMethods) {
        EXPECT_TRUE(host().hasMethod(name)) << name;
        EXPECT_FALSE(host().hasProperty(name)) << name;
    }
    for (const char* name : {"cn", "getcertlist", "Version", "", "CN "}) {
        EXPECT_FALSE(host().hasProperty(name)) << '"' << name << '"';
        EXPECT_FALSE(host().hasMethod(name)) << '"' << name << '"';
    }
    EXPECT_EQ(host().invoke("noSuchMethod"), kFailed);
    // A property is no method, and a method no property.
    EXPECT_EQ(host().invoke("CN"), kFailed);
    EXPECT_EQ(host().getProperty("LastError"), kFailed);
    EXPECT_EQ(host().getProperty("noSuchProperty"), kFailed);
    EXPECT_FALSE(host().setProperty("noSuchProperty", str("x")));
}

TEST_F(ScriptApiTest, WriteOnlyPropertiesAreNotReadableEvenAfterAWrite) {
    EXPECT_TRUE(host().setProperty("CN", str("01a2b3")));
    EXPECT_TRUE(host().setProperty("IssuerCN", str("Example CA")));
    EXPECT_TRUE(host().setProperty("HashAlgorithm", str("sha256")));
    for (const char* name : {"CN", "IssuerCN", "HashAlgorithm"}) {
        EXPECT_EQ(host().getProperty(name), kFailed) << name;
    }
}

TEST_F(ScriptApiTest, JscbIsPresentButNeitherReadableNorWritable) {
    EXPECT_TRUE(host().hasProperty("JSCB"));
    EXPECT_EQ(host().getProperty("JSCB"), kFailed);
    EXPECT_FALSE(host().setProperty("JSCB", str("callback")));
    EXPECT_EQ(host().getProperty("JSCB"), kFailed);
}

TEST_F(ScriptApiTest, SignatureIsNotWritable) {
    ScriptResult before = host().getProperty("Signature");
    EXPECT_EQ(before, succeeded(str("E:1000")));
    EXPECT_FALSE(host().setProperty("Signature", str("US65001:00000002AB")));
    EXPECT_EQ(host().getProperty("Signature"), before);
}

TEST_F(ScriptApiTest, SignFileReadsItsFixedTextWhateverWasWritten) {
    EXPECT_TRUE(host().setProperty("SignFile", str("contract.pdf")));
    EXPECT_EQ(host().getProperty("SignFile"), succeeded(str("getSignFile:not supported")));
}

TEST_F(ScriptApiTest, FixedTextsAndCounts) {
    struct Case {
        const char* method;
        std::vector<ScriptValue> args;
        ScriptValue expected;
    };
    const std::vector<Case> cases = {
        {"PKCS7Data", {}, str("pkcs7Data:not supported")},
        {"VerifyPKCS7", {str("MIIB")}, str("verifyPKCS7:not supported")},
        {"VerifySignature", {str("a"), str("b"), str("c")}, str("verifySignature:not supported")},
        {"LastError", {}, str("OK")},
        {"getProviderName", {}, str("zuvo")},
        {"getVersion", {}, str("1.0.0.49")},
        {"saGetTokenCount", {}, int32(1)},
        {"saGetTokenSN", {int32(0)}, str("getTokenSN:not supported")},
        {"saGetTokenMOVAId", {int32(3)}, str("getTokenMOVAId:not supported")},
        {"SetUKeyVendor", {str("vendor")}, ScriptValue()},
        {"GetUKeyCount", {}, int32(1)},
        {"GetUKeySN", {int32(0)}, str("getUKeySN:not supported")},
        {"GetUKeyCertCount", {int32(7)}, int32(1)},
        {"ChangeUKeyPIN", {int32(-2)}, int32(1)},
        {"CreateX509ReqData",
         {str("CN=x"), str("RSA"), ScriptValue(), int32(2048), int32(1), str("sha1")},
         str("createX509ReqData:not supported")},
        {"ImportCertData", {str("MIIC")}, str("importCertData:not supported")},
        {"getProviderCertList", {str("zuvo")}, str("getProviderCertList:not supported")},
        // Arguments a method does not use are ignored.
        {"getVersion", {str("extra"), int32(1), ScriptValue::makeNull()}, str("1.0.0.49")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host().invoke(c.method, c.args), succeeded(c.expected)) << c.method;
        if (c.expected.isString()) {
            EXPECT_TRUE(host().lastStringTerminated()) << c.method;
        }
    }
}

TEST_F(ScriptApiTest, TokenOperationsFailWithoutATokenModule) {
    EXPECT_EQ(host().invoke("getCertList"), succeeded(str("E:1000")));
    EXPECT_EQ(host().invoke("LastError"), succeeded(str("Load pkcs11 lib fail")));
    EXPECT_EQ(host().invoke("SignCert"), succeeded(str("E:1000")));
    EXPECT_EQ(host().invoke("LastError"), succeeded(str("Load pkcs11 lib fail")));
    EXPECT_TRUE(host().setProperty("SignData", str("abc")));
    EXPECT_EQ(host().getProperty("SignData"), succeeded(str("E:1000")));
    EXPECT_EQ(host().invoke("LastError"), succeeded(str("loadPKCS11Library failed:")));
    EXPECT_EQ(host().getProperty("Signature"), succeeded(str("E:1000")));
    EXPECT_EQ(host().invoke("LastError"), succeeded(str("loadPKCS11Library failed:")));
}

TEST_F(ScriptApiTest, VerifyMethodsTakeExactlyTheirArgumentCount) {
    EXPECT_EQ(host().invoke("VerifyPKCS7"), kFailed);
    EXPECT_EQ(host().invoke("VerifyPKCS7", {str("a"), str("b")}), kFailed);
    EXPECT_EQ(host().invoke("VerifySignature", {str("a"), str("b")}), kFailed);
    EXPECT_EQ(host().invoke("VerifySignature", {str("a"), str("b"), str("c"), str("d")}), kFailed);
    EXPECT_EQ(host().invoke("VerifySignature", {str("a"), str("b"), str("c")}),
              succeeded(str("verifySignature:not supported")));
}

TEST_F(ScriptApiTest, InvokeDefaultAnswersItsTwentyFiveByteText) {
    for (const std::vector<ScriptValue>& args :
         {std::vector<ScriptValue>{}, std::vector<ScriptValue>{int32(1), str("x")}}) {
        ScriptResult result = host().invokeDefault(args);
        EXPECT_EQ(result, succeeded(str("default method return val")));
        EXPECT_EQ(result.value.stringValue().size(), 25u);
    }
}

TEST_F(ScriptApiTest, OtherHooksKeepTheirDefaultsAndInvalidateChangesNothing) {
    NPObject* object = host().scriptObject();
    EXPECT_EQ(object->_class->structVersion, 3u);
    NPIdentifier cn = host().identifiers().stringIdentifier("CN");
    EXPECT_FALSE(host().objects().removeProperty(object, cn));
    NPIdentifier* identifiers = nullptr;
    uint32_t count = 99;
    EXPECT_FALSE(host().objects().enumerate(object, &identifiers, &count));
    EXPECT_EQ(identifiers, nullptr);
    EXPECT_EQ(count, 99u);
    NPVariant result;
    INT32_TO_NPVARIANT(5, result);
    EXPECT_FALSE(host().objects().construct(object, nullptr, 0, &result));
    ASSERT_TRUE(NPVARIANT_IS_INT32(result));
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 5);

    object->_class->invalidate(object);
    EXPECT_TRUE(host().hasProperty("CN"));
    EXPECT_EQ(host().invoke("getVersion"), succeeded(str("1.0.0.49")));
}

TEST_F(ScriptApiTest, TextExpectedButOtherKindGivenFails) {
    const std::vector<ScriptValue> notText = {ScriptValue(), ScriptValue::boolean(false),
                                              ScriptValue::makeNull(), int32(1), number(1.0)};
    for (const ScriptValue& value : notText) {
        SCOPED_TRACE(value.describe());
        for (const char* property : {"CN", "SignData", "IssuerCN", "SignFile", "HashAlgorithm"}) {
            EXPECT_FALSE(host().setProperty(property, value)) << property;
        }
        EXPECT_EQ(host().invoke("VerifyPKCS7", {value}), kFailed);
        EXPECT_EQ(host().invoke("VerifySignature", {str("a"), value, str("c")}), kFailed);
        EXPECT_EQ(host().invoke("SetUKeyVendor", {value}), kFailed);
        EXPECT_EQ(host().invoke("ImportCertData", {value}), kFailed);
        EXPECT_EQ(host().invoke("getProviderCertList", {value}), kFailed);
        EXPECT_EQ(host().invoke("CreateX509ReqData",
                                {value, str("RSA"), ScriptValue(), int32(1), int32(2), str("c")}),
                  kFailed);
    }
    // A missing argument is no text either.
    for (const char* method : {"SetUKeyVendor", "ImportCertData", "getProviderCertList"}) {
        EXPECT_EQ(host().invoke(method), kFailed) << method;
    }
    EXPECT_EQ(host().invoke("CreateX509ReqData", {str("CN=x"), str("RSA")}), kFailed);
}

TEST_F(ScriptApiTest, IndexArgumentsAcceptIntegersAndIntegralDoubles) {
    EXPECT_EQ(host().invoke("saGetTokenSN", {number(0.0)}),
              succeeded(str("getTokenSN:not supported")));
    EXPECT_EQ(host().invoke("GetUKeyCertCount", {number(5.0)}), succeeded(int32(1)));
    EXPECT_EQ(host().invoke("ChangeUKeyPIN", {number(-3.0)}), succeeded(int32(1)));
    EXPECT_EQ(host().invoke("CreateX509ReqData", {str("CN=x"), str("RSA"), ScriptValue(),
                                                  number(2048.0), number(1.0), str("sha1")}),
              succeeded(str("createX509ReqData:not supported")));

    const std::vector<ScriptValue> notAnIndex = {number(1.5),
                                                 number(4294967296.0),
                                                 number(std::numeric_limits<double>::quiet_NaN()),
                                                 number(std::numeric_limits<double>::infinity()),
                                                 str("0"),
                                                 ScriptValue::boolean(true),
                                                 ScriptValue(),
                                                 ScriptValue::makeNull()};
    for (const ScriptValue& value : notAnIndex) {
        SCOPED_TRACE(value.describe());
        for (const char* method : {"saGetTokenSN", "saGetTokenMOVAId", "GetUKeySN",
                                   "GetUKeyCertCount", "ChangeUKeyPIN"}) {
            EXPECT_EQ(host().invoke(method, {value}), kFailed) << method;
        }
        EXPECT_EQ(host().invoke("CreateX509ReqData", {str("CN=x"), str("RSA"), ScriptValue(), value,
                                                      int32(1), str("c")}),
                  kFailed);
    }
    for (const char* method : {"saGetTokenSN", "GetUKeyCertCount"}) {
        EXPECT_EQ(host().invoke(method), kFailed) << method << " without its index";
    }
}

TEST_F(ScriptApiTest, NoHostMemoryGivesVoidAndFalse) {
    struct Access {
        const char* what;
        std::function<ScriptResult()> run;
    };
    const std::vector<Access> accesses = {
        {"getVersion", [this] { return host().invoke("getVersion"); }},
        {"LastError", [this] { return host().invoke("LastError"); }},
        {"saGetTokenSN", [this] { return host().invoke("saGetTokenSN", {int32(0)}); }},
        {"getCertList", [this] { return host().invoke("getCertList"); }},
        {"SignFile", [this] { return host().getProperty("SignFile"); }},
        {"Signature", [this] { return host().getProperty("Signature"); }},
        {"InvokeDefault", [this] { return host().invokeDefault(); }},
    };
    for (const Access& access : accesses) {
        SCOPED_TRACE(access.what);
        size_t refusals = host().allocator().refusals();
        host().allocator().failNext(1);
        EXPECT_EQ(access.run(), kFailed);
        EXPECT_EQ(host().allocator().refusals(), refusals + 1);
        EXPECT_EQ(host().blocksOutstanding(), 0u);
        // The next call has memory again.
        ScriptResult again = access.run();
        EXPECT_TRUE(again.ok);
        EXPECT_TRUE(again.value.isString());
    }
    // Integer results need no host memory.
    host().allocator().failNext(1);
    EXPECT_EQ(host().invoke("GetUKeyCount"), succeeded(int32(1)));
    host().allocator().failNext(0);
}

}  // namespace
}  // namespace vellum::e2e
