#include "script/SigningScriptApi.h"

#include <cstddef>
#include <iterator>

#include "script/ScriptValues.h"
#include "shell/NPNFuncs.h"

namespace {

using Property = SigningScriptApi::Property;
using Method = SigningScriptApi::Method;
constexpr int32_t kAnyCount = SigningScriptApi::kAnyArgumentCount;

// --- properties ------------------------------------------------------------------------------

const NPUTF8* pluginPropertyIdentifierNames[] = {
    "CN", "SignData", "IssuerCN", "Signature", "SignFile", "HashAlgorithm", "JSCB",
};

const Property pluginPropertyHandlers[] = {
    {nullptr, &ServiceBase::setCN},                          // CN
    {&ServiceBase::getSignData, &ServiceBase::setSignData},  // SignData
    {nullptr, &ServiceBase::setIssuerCN},                    // IssuerCN
    {&ServiceBase::getSignature, nullptr},                   // Signature
    {&ServiceBase::getSignFile, &ServiceBase::setSignFile},  // SignFile
    {nullptr, &ServiceBase::setHashAlgorithm},               // HashAlgorithm
    {nullptr, nullptr},                                      // JSCB: present, nothing more
};

static_assert(std::size(pluginPropertyIdentifierNames) == std::size(pluginPropertyHandlers),
              "every property name needs its handler");

NPIdentifier pluginPropertyIdentifiers[std::size(pluginPropertyIdentifierNames)];

// --- methods ---------------------------------------------------------------------------------

bool pkcs7Data(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.pkcs7Data(), result);
}

bool verifyPKCS7(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> pkcs7 = args.text(0);
    return pkcs7 && setTextResult(service.verifyPKCS7(pkcs7->data()), result);
}

bool verifySignature(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> data = args.text(0);
    std::optional<std::string> signature = args.text(1);
    std::optional<std::string> certificate = args.text(2);
    return data && signature && certificate &&
           setTextResult(
               service.verifySignature(data->data(), signature->data(), certificate->data()),
               result);
}

bool lastError(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.lastError(), result);
}

bool signCert(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.signCert(), result);
}

bool getCertList(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.getCertList(), result);
}

bool getProviderName(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.getProviderName(), result);
}

bool getVersion(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    return setTextResult(service.getVersion(), result);
}

bool getTokenCount(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    setInt16Result(service.getTokenCount(), result);
    return true;
}

bool getTokenSN(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    const std::optional<short> index = args.index(0);
    return index && setTextResult(service.getTokenSN(*index), result);
}

bool getTokenMOVAId(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    const std::optional<short> index = args.index(0);
    return index && setTextResult(service.getTokenMOVAId(*index), result);
}

bool setUKeyVendor(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> vendor = args.text(0);
    if (!vendor) {
        return false;
    }
    service.setUKeyVendor(vendor->data());
    setVoidResult(result);
    return true;
}

bool getUKeyCount(ServiceBase& service, const ScriptArguments&, NPVariant* result) {
    setInt16Result(service.getUKeyCount(), result);
    return true;
}

bool getUKeySN(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    const std::optional<short> index = args.index(0);
    return index && setTextResult(service.getUKeySN(*index), result);
}

bool getUKeyCertCount(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    const std::optional<short> index = args.index(0);
    if (!index) {
        return false;
    }
    setInt16Result(service.getUKeyCertCount(*index), result);
    return true;
}

bool changeUKeyPIN(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    const std::optional<short> index = args.index(0);
    if (!index) {
        return false;
    }
    setInt16Result(service.changeUKeyPIN(*index), result);
    return true;
}

// Arguments: subject, key type, (a third that is not used), key length, key usage, extensions.
bool createX509ReqData(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> subject = args.text(0);
    std::optional<std::string> keyType = args.text(1);
    const std::optional<long> keyLength = args.integer(3);
    const std::optional<long> keyUsage = args.integer(4);
    std::optional<std::string> extensions = args.text(5);
    return subject && keyType && keyLength && keyUsage && extensions &&
           setTextResult(service.createX509ReqData(subject->data(), keyType->data(), *keyLength,
                                                   *keyUsage, extensions->data()),
                         result);
}

bool importCertData(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> certificate = args.text(0);
    return certificate && setTextResult(service.importCertData(certificate->data()), result);
}

bool getProviderCertList(ServiceBase& service, const ScriptArguments& args, NPVariant* result) {
    std::optional<std::string> provider = args.text(0);
    return provider && setTextResult(service.getProviderCertList(provider->data()), result);
}

const NPUTF8* pluginMethodIdentifierNames[] = {
    "PKCS7Data",         "VerifyPKCS7",    "VerifySignature",     "LastError",
    "SignCert",          "getCertList",    "getProviderName",     "getVersion",
    "saGetTokenCount",   "saGetTokenSN",   "saGetTokenMOVAId",    "SetUKeyVendor",
    "GetUKeyCount",      "GetUKeySN",      "GetUKeyCertCount",    "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
};

const Method pluginMethodHandlers[] = {
    {kAnyCount, &pkcs7Data},            // PKCS7Data
    {1, &verifyPKCS7},                  // VerifyPKCS7
    {3, &verifySignature},              // VerifySignature
    {kAnyCount, &lastError},            // LastError
    {kAnyCount, &signCert},             // SignCert
    {kAnyCount, &getCertList},          // getCertList
    {kAnyCount, &getProviderName},      // getProviderName
    {kAnyCount, &getVersion},           // getVersion
    {kAnyCount, &getTokenCount},        // saGetTokenCount
    {kAnyCount, &getTokenSN},           // saGetTokenSN
    {kAnyCount, &getTokenMOVAId},       // saGetTokenMOVAId
    {kAnyCount, &setUKeyVendor},        // SetUKeyVendor
    {kAnyCount, &getUKeyCount},         // GetUKeyCount
    {kAnyCount, &getUKeySN},            // GetUKeySN
    {kAnyCount, &getUKeyCertCount},     // GetUKeyCertCount
    {kAnyCount, &changeUKeyPIN},        // ChangeUKeyPIN
    {kAnyCount, &createX509ReqData},    // CreateX509ReqData
    {kAnyCount, &importCertData},       // ImportCertData
    {kAnyCount, &getProviderCertList},  // getProviderCertList
};

static_assert(std::size(pluginMethodIdentifierNames) == std::size(pluginMethodHandlers),
              "every method name needs its handler");

NPIdentifier pluginMethodIdentifiers[std::size(pluginMethodIdentifierNames)];

// Position of `name` among `identifiers`; the host's identifiers are unique, so at most one
// matches. A null name matches nothing, not even a table the host never filled.
template <std::size_t N>
std::ptrdiff_t positionOf(NPIdentifier name, const NPIdentifier (&identifiers)[N]) noexcept {
    if (name == nullptr) {
        return -1;
    }
    for (std::size_t i = 0; i < N; ++i) {
        if (identifiers[i] == name) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

template <std::size_t N>
void intern(const NPUTF8* (&names)[N], NPIdentifier (&identifiers)[N]) noexcept {
    if (NPNFuncs.getstringidentifiers != nullptr) {
        NPNFuncs.getstringidentifiers(names, static_cast<int32_t>(N), identifiers);
    }
}

}  // namespace

void SigningScriptApi::internNames() noexcept {
    intern(pluginPropertyIdentifierNames, pluginPropertyIdentifiers);
    intern(pluginMethodIdentifierNames, pluginMethodIdentifiers);
}

const SigningScriptApi::Property* SigningScriptApi::findProperty(NPIdentifier name) noexcept {
    const std::ptrdiff_t position = positionOf(name, pluginPropertyIdentifiers);
    return position < 0 ? nullptr : &pluginPropertyHandlers[position];
}

const SigningScriptApi::Method* SigningScriptApi::findMethod(NPIdentifier name) noexcept {
    const std::ptrdiff_t position = positionOf(name, pluginMethodIdentifiers);
    return position < 0 ? nullptr : &pluginMethodHandlers[position];
}
