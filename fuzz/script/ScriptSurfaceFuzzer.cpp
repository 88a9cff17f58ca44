// Drives the signing object's script surface as arbitrary page script would: sequences of
// property reads and writes, method calls and the other object hooks, with names real and
// invented, any argument count and values of every kind, through a real plug-in instance in
// the plug-in host. The entry points are linked in, so the module's code runs in this process.
//
// No token work is possible: the fixed token module path must not exist (checked at start), so
// every token operation fails at loading. Each input runs against a fresh host and instance, and
// after every step the host checks its own books: no host memory held by the module, no object
// alive beyond the script object, no misuse of the host's interface. The answers are checked
// against the rules of the script interface (which names exist, which values are accepted,
// what a failure leaves behind).
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "../FuzzCheck.h"
#include "../NoTokenModule.h"
#include "hostkit/LinkedPlugin.h"
#include "npapi/npfunctions.h"
#include "pluginhost/ArgumentList.h"
#include "pluginhost/PluginHost.h"

namespace {

using vellum::pluginhost::ArgumentList;
using vellum::pluginhost::PluginHost;
using vellum::pluginhost::ScriptValue;

const char* const kPropertyNames[] = {"CN",       "SignData",      "IssuerCN", "Signature",
                                      "SignFile", "HashAlgorithm", "JSCB"};
const char* const kMethodNames[] = {
    "PKCS7Data",         "VerifyPKCS7",    "VerifySignature",     "LastError",
    "SignCert",          "getCertList",    "getProviderName",     "getVersion",
    "saGetTokenCount",   "saGetTokenSN",   "saGetTokenMOVAId",    "SetUKeyVendor",
    "GetUKeyCount",      "GetUKeySN",      "GetUKeyCertCount",    "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
};
constexpr int kPropertyCount = sizeof kPropertyNames / sizeof kPropertyNames[0];
constexpr int kMethodCount = sizeof kMethodNames / sizeof kMethodNames[0];
// Names close to real ones, and names every script engine probes.
const char* const kOtherNames[] = {
    "",         "cn",      "signature", "getcertlist", "JSCB ",       " CN",      "Signature\x01",
    "toString", "valueOf", "length",    "__proto__",   "constructor", "LastErro", "LastError2"};

// Failure results of the service with no token module: the operation's fixed text, and the
// status texts it can leave.
const char* const kTokenFailure = "E:1000";
const char* const kStatusTexts[] = {"OK", "Load pkcs11 lib fail",
                                    "loadPKCS11Library failed:", "Params invalid"};

enum Method {
    kPKCS7Data,
    kVerifyPKCS7,
    kVerifySignature,
    kLastError,
    kSignCert,
    kGetCertList,
    kGetProviderName,
    kGetVersion,
    kSaGetTokenCount,
    kSaGetTokenSN,
    kSaGetTokenMOVAId,
    kSetUKeyVendor,
    kGetUKeyCount,
    kGetUKeySN,
    kGetUKeyCertCount,
    kChangeUKeyPIN,
    kCreateX509ReqData,
    kImportCertData,
    kGetProviderCertList,
};

// A name as the fuzzer chose it, with what the script interface makes of it.
struct Name {
    NPIdentifier identifier = nullptr;
    std::string text;   // for messages
    int property = -1;  // index in kPropertyNames, or -1
    int method = -1;    // index in kMethodNames, or -1
};

// Whether a value is accepted where the interface wants text, or a number.
bool isText(const ScriptValue& value) {
    return value.kind() == ScriptValue::Kind::String;
}

bool isNumber(const ScriptValue& value) {
    if (value.kind() == ScriptValue::Kind::Int32) {
        return true;
    }
    if (value.kind() != ScriptValue::Kind::Double) {
        return false;
    }
    const double number = value.doubleValue();
    return number >= std::numeric_limits<int32_t>::min() &&
           number <= std::numeric_limits<int32_t>::max() && std::trunc(number) == number;
}

class ScriptSurfaceRun {
public:
    explicit ScriptSurfaceRun(FuzzedDataProvider& input) : input_(input) {}

    void run() {
        startInstance();
        for (int step = 0; step < kMaxSteps && input_.remaining_bytes() > 0; ++step) {
            runStep();
            checkBooks();
        }
        host_.stop();
        FUZZ_CHECK(host_.clean(), "host not clean after the instance went: %s",
                   host_.report().c_str());
    }

private:
    static constexpr int kMaxSteps = 200;

    enum Step {
        kGet,
        kSet,
        kInvoke,
        kInvokeDefault,
        kHasProperty,
        kHasMethod,
        kRemoveProperty,
        kEnumerate,
        kConstruct,
        kRefuseMemory,
        kScriptObjectAgain,
        kDestroyInstance,
        kStepCount
    };

    void startInstance() {
        std::string error;
        FUZZ_CHECK(host_.load(error), "%s", error.c_str());
        FUZZ_CHECK(host_.initialize() == NPERR_NO_ERROR, "NP_Initialize failed");
        FUZZ_CHECK(host_.getEntryPoints() == NPERR_NO_ERROR, "NP_GetEntryPoints failed");
        FUZZ_CHECK(host_.newInstance() == NPERR_NO_ERROR, "NPP_New failed");
        FUZZ_CHECK(host_.setWindow(true) == NPERR_NO_ERROR, "NPP_SetWindow failed");
        FUZZ_CHECK(host_.getScriptObject(&object_) == NPERR_NO_ERROR && object_ != nullptr,
                   "no script object");
        checkBooks();
    }

    void runStep() {
        const auto step = static_cast<Step>(input_.ConsumeIntegralInRange<int>(0, kStepCount - 1));
        switch (step) {
            case kGet:
                getProperty(chooseName());
                break;
            case kSet:
                setProperty(chooseName());
                break;
            case kInvoke:
                invoke(chooseName());
                break;
            case kInvokeDefault:
                invokeDefault();
                break;
            case kHasProperty: {
                const Name name = chooseName();
                const bool has = host_.objects().hasProperty(object_, name.identifier);
                FUZZ_CHECK(has == (name.property >= 0), "hasProperty(%s) = %d", name.text.c_str(),
                           has);
                break;
            }
            case kHasMethod: {
                const Name name = chooseName();
                const bool has = host_.objects().hasMethod(object_, name.identifier);
                FUZZ_CHECK(has == (name.method >= 0), "hasMethod(%s) = %d", name.text.c_str(), has);
                break;
            }
            case kRemoveProperty: {
                const Name name = chooseName();
                FUZZ_CHECK(!host_.objects().removeProperty(object_, name.identifier),
                           "removeProperty(%s) succeeded", name.text.c_str());
                break;
            }
            case kEnumerate: {
                NPIdentifier* identifiers = nullptr;
                uint32_t count = 0;
                FUZZ_CHECK(!host_.objects().enumerate(object_, &identifiers, &count),
                           "enumerate succeeded");
                FUZZ_CHECK(identifiers == nullptr && count == 0, "enumerate wrote its answer");
                break;
            }
            case kConstruct: {
                std::vector<ScriptValue> values = chooseArguments();
                ArgumentList args(values);
                NPVariant result = markedResult();
                const bool ok =
                    host_.objects().construct(object_, args.data(), args.count(), &result);
                FUZZ_CHECK(!ok, "construct succeeded");
                host_.releaseVariant(result, "construct");
                releaseArgumentObjects(values);
                break;
            }
            case kRefuseMemory:
                // Applies to the next step only.
                refusals_ = input_.ConsumeIntegralInRange<size_t>(1, 3);
                return;
            case kScriptObjectAgain: {
                NPObject* again = nullptr;
                const NPError result = host_.getScriptObject(&again);
                if (instanceLive_) {
                    FUZZ_CHECK(result == NPERR_NO_ERROR && again == object_,
                               "NPP_GetValue gave another object or failed (%d)", result);
                } else {
                    FUZZ_CHECK(again == nullptr, "a destroyed instance handed out an object");
                }
                break;
            }
            case kDestroyInstance:
                // The page goes while script still holds the object: its calls must fail.
                if (instanceLive_) {
                    FUZZ_CHECK(host_.destroyInstance() == NPERR_NO_ERROR, "NPP_Destroy failed");
                    instanceLive_ = false;
                }
                break;
            case kStepCount:
                break;
        }
        refusals_ = 0;
        host_.allocator().failNext(0);
    }

    // --- names and values ------------------------------------------------------------------

    Name chooseName() {
        Name name;
        const int pick = input_.ConsumeIntegralInRange<int>(0, 9);
        if (pick < 4) {
            name.property = input_.ConsumeIntegralInRange<int>(0, kPropertyCount - 1);
            name.text = kPropertyNames[name.property];
        } else if (pick < 8) {
            name.method = input_.ConsumeIntegralInRange<int>(0, kMethodCount - 1);
            name.text = kMethodNames[name.method];
        } else if (pick == 8) {
            const int32_t value = input_.ConsumeIntegral<int32_t>();
            name.identifier = host_.identifiers().intIdentifier(value);
            name.text = "#" + std::to_string(value);
            return name;
        } else if (input_.ConsumeBool()) {
            name.text = kOtherNames[input_.ConsumeIntegralInRange<size_t>(
                0, sizeof kOtherNames / sizeof kOtherNames[0] - 1)];
        } else {
            // A host interns names up to their first zero byte.
            name.text = input_.ConsumeRandomLengthString(64).c_str();
        }
        name.identifier = host_.identifiers().stringIdentifier(name.text.c_str());
        // An invented name may still spell a real one.
        for (int i = 0; name.property < 0 && name.method < 0 && i < kPropertyCount; ++i) {
            if (name.text == kPropertyNames[i]) {
                name.property = i;
            }
        }
        for (int i = 0; name.property < 0 && name.method < 0 && i < kMethodCount; ++i) {
            if (name.text == kMethodNames[i]) {
                name.method = i;
            }
        }
        return name;
    }

    double chooseDouble() {
        static const double kSpecial[] = {std::numeric_limits<double>::quiet_NaN(),
                                          std::numeric_limits<double>::infinity(),
                                          -std::numeric_limits<double>::infinity(),
                                          1e300,
                                          -1e300,
                                          -0.0,
                                          0.5,
                                          -1.0,
                                          32767.0,
                                          32768.0,
                                          -32769.0,
                                          2147483647.0,
                                          2147483648.0,
                                          -2147483648.0,
                                          -2147483649.0,
                                          std::numeric_limits<double>::denorm_min()};
        const size_t pick = input_.ConsumeIntegralInRange<size_t>(0, sizeof kSpecial / 8);
        if (pick < sizeof kSpecial / 8) {
            return kSpecial[pick];
        }
        const uint64_t bits = input_.ConsumeIntegral<uint64_t>();
        double number;
        std::memcpy(&number, &bits, sizeof number);
        return number;
    }

    ScriptValue chooseValue() {
        switch (input_.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                return ScriptValue::makeVoid();
            case 1:
                return ScriptValue::makeNull();
            case 2:
                return ScriptValue::boolean(input_.ConsumeBool());
            case 3:
                return ScriptValue::int32(input_.ConsumeIntegral<int32_t>());
            case 4:
                return ScriptValue::number(chooseDouble());
            case 5:
                // Another object of the page, or the signing object itself.
                if (input_.ConsumeBool()) {
                    NPObject* other = host_.createHostObject();
                    FUZZ_CHECK(other != nullptr, "host object not made");
                    return ScriptValue::object(other);
                }
                return ScriptValue::object(object_);
            default:
                // Arbitrary bytes, zero bytes included, of any length up to the input's.
                return ScriptValue::string(input_.ConsumeRandomLengthString(4096));
        }
    }

    std::vector<ScriptValue> chooseArguments() {
        std::vector<ScriptValue> values(input_.ConsumeIntegralInRange<size_t>(0, 7));
        for (ScriptValue& value : values) {
            value = chooseValue();
        }
        return values;
    }

    void releaseArgumentObjects(const std::vector<ScriptValue>& values) {
        for (const ScriptValue& value : values) {
            if (value.objectValue() != nullptr && value.objectValue() != object_) {
                host_.objects().release(value.objectValue());
            }
        }
    }

    // --- the calls ---------------------------------------------------------------------------

    NPVariant markedResult() const {
        NPVariant result;
        INT32_TO_NPVARIANT(PluginHost::kResultMarker, result);
        return result;
    }

    void refuseMemoryIfAsked() { host_.allocator().failNext(refusals_); }

    void getProperty(const Name& name) {
        refuseMemoryIfAsked();
        NPVariant result = markedResult();
        const bool ok = host_.objects().getProperty(object_, name.identifier, &result);
        const ScriptValue value = ScriptValue::fromVariant(result);
        const bool readable = name.property == 1 || name.property == 3 || name.property == 4;
        FUZZ_CHECK(ok == (instanceLive_ && readable && refusals_ == 0), "get %s answered %d",
                   name.text.c_str(), ok);
        if (ok) {
            checkText(value, name.text);
            if (name.property != 4) {  // SignData and Signature sign on the token
                FUZZ_CHECK(value.stringValue() == kTokenFailure, "get %s gave %s",
                           name.text.c_str(), value.describe().c_str());
            }
        } else {
            FUZZ_CHECK(value.isVoid(), "failed get %s left %s", name.text.c_str(),
                       value.describe().c_str());
        }
        host_.releaseVariant(result, "getProperty");
    }

    void setProperty(const Name& name) {
        const ScriptValue value = chooseValue();
        ArgumentList argument({value});
        refuseMemoryIfAsked();
        const bool ok = host_.objects().setProperty(object_, name.identifier, argument.data());
        const bool writable = name.property >= 0 && name.property != 3 && name.property != 6;
        FUZZ_CHECK(ok == (instanceLive_ && writable && isText(value)), "set %s = %s answered %d",
                   name.text.c_str(), value.describe().c_str(), ok);
        releaseArgumentObjects({value});
    }

    void invoke(const Name& name) {
        std::vector<ScriptValue> values = chooseArguments();
        ArgumentList args(values);
        refuseMemoryIfAsked();
        NPVariant result = markedResult();
        const bool ok =
            host_.objects().invoke(object_, name.identifier, args.data(), args.count(), &result);
        const ScriptValue value = ScriptValue::fromVariant(result);
        const bool expected = instanceLive_ && name.method >= 0 && accepts(name.method, values);
        FUZZ_CHECK(ok == expected, "invoke %s with %zu arguments answered %d", name.text.c_str(),
                   values.size(), ok);
        if (!ok) {
            FUZZ_CHECK(value.isVoid(), "failed invoke %s left %s", name.text.c_str(),
                       value.describe().c_str());
        } else {
            checkMethodResult(static_cast<Method>(name.method), value, name.text);
        }
        host_.releaseVariant(result, "invoke");
        releaseArgumentObjects(values);
    }

    void invokeDefault() {
        std::vector<ScriptValue> values = chooseArguments();
        ArgumentList args(values);
        refuseMemoryIfAsked();
        NPVariant result = markedResult();
        const bool ok = host_.objects().invokeDefault(object_, args.data(), args.count(), &result);
        const ScriptValue value = ScriptValue::fromVariant(result);
        FUZZ_CHECK(ok == (refusals_ == 0), "invokeDefault answered %d", ok);
        if (ok) {
            FUZZ_CHECK(value.stringValue() == "default method return val", "invokeDefault gave %s",
                       value.describe().c_str());
        } else {
            FUZZ_CHECK(value.isVoid(), "failed invokeDefault left %s", value.describe().c_str());
        }
        host_.releaseVariant(result, "invokeDefault");
        releaseArgumentObjects(values);
    }

    // --- the rules of the interface ------------------------------------------------------

    // Whether a call of `method` with these arguments succeeds: the count where it is fixed,
    // the kind of every argument used, and host memory for a text result.
    bool accepts(int method, const std::vector<ScriptValue>& args) const {
        auto text = [&args](size_t i) { return i < args.size() && isText(args[i]); };
        auto number = [&args](size_t i) { return i < args.size() && isNumber(args[i]); };
        const bool memory = refusals_ == 0;
        switch (static_cast<Method>(method)) {
            case kVerifyPKCS7:
                return args.size() == 1 && text(0) && memory;
            case kVerifySignature:
                return args.size() == 3 && text(0) && text(1) && text(2) && memory;
            case kSaGetTokenSN:
            case kSaGetTokenMOVAId:
            case kGetUKeySN:
                return number(0) && memory;
            case kGetUKeyCertCount:
            case kChangeUKeyPIN:
                return number(0);
            case kSetUKeyVendor:
                return text(0);
            case kSaGetTokenCount:
            case kGetUKeyCount:
                return true;
            case kCreateX509ReqData:
                return text(0) && text(1) && number(3) && number(4) && text(5) && memory;
            case kImportCertData:
            case kGetProviderCertList:
                return text(0) && memory;
            default:
                return memory;
        }
    }

    void checkMethodResult(Method method, const ScriptValue& value, const std::string& name) {
        switch (method) {
            case kSaGetTokenCount:
            case kGetUKeyCount:
            case kGetUKeyCertCount:
            case kChangeUKeyPIN:
                FUZZ_CHECK(value.kind() == ScriptValue::Kind::Int32, "%s gave %s", name.c_str(),
                           value.describe().c_str());
                return;
            case kSetUKeyVendor:
                FUZZ_CHECK(value.isVoid(), "%s gave %s", name.c_str(), value.describe().c_str());
                return;
            default:
                break;
        }
        checkText(value, name);
        if (method == kSignCert || method == kGetCertList) {
            FUZZ_CHECK(value.stringValue() == kTokenFailure, "%s gave %s", name.c_str(),
                       value.describe().c_str());
        }
        if (method == kLastError) {
            bool known = false;
            for (const char* status : kStatusTexts) {
                known = known || value.stringValue() == status;
            }
            FUZZ_CHECK(known, "LastError gave %s", value.describe().c_str());
        }
    }

    // A text result is a string with no zero byte inside its length.
    void checkText(const ScriptValue& value, const std::string& name) {
        FUZZ_CHECK(value.isString(), "%s gave %s", name.c_str(), value.describe().c_str());
        FUZZ_CHECK(value.stringValue().find('\0') == std::string::npos,
                   "%s gave a zero byte inside %s", name.c_str(), value.describe().c_str());
    }

    // Between steps the module holds no host memory, only the script object is alive (until
    // the last reference goes) and the host saw no misuse.
    void checkBooks() {
        FUZZ_CHECK(host_.blocksOutstanding() == 0 && host_.bytesOutstanding() == 0,
                   "module holds %zu bytes in %zu blocks of host memory", host_.bytesOutstanding(),
                   host_.blocksOutstanding());
        FUZZ_CHECK(host_.objectsAlive() == 1, "%zu objects alive", host_.objectsAlive());
        FUZZ_CHECK(host_.objects().isAlive(object_), "script object gone");
        FUZZ_CHECK(host_.record().problems().empty(), "host misuse: %s",
                   host_.record().problems().front().c_str());
    }

    FuzzedDataProvider& input_;
    // In-process: the module's own entry points, linked into this program, stand in for dlopen.
    PluginHost host_{vellum::pluginhost::linkedPlugin()};
    NPObject* object_ = nullptr;
    bool instanceLive_ = true;
    size_t refusals_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vellum::fuzz::requireNoTokenModule("script");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    ScriptSurfaceRun(input).run();
    return 0;
}
