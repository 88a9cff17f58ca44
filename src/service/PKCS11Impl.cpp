#include "service/PKCS11Impl.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "service/ResidentLibraries.h"
#include "service/TokenOperationGuard.h"

namespace {

constexpr const char* kOutOfMemoryText = "Out of memory";

}  // namespace

const char* PKCS11Impl::missingFunction(const CK_FUNCTION_LIST& list) noexcept {
    const struct {
        bool present;
        const char* name;
    } functions[] = {
        {list.C_Initialize != nullptr, "C_Initialize"},
        {list.C_Finalize != nullptr, "C_Finalize"},
        {list.C_GetSlotList != nullptr, "C_GetSlotList"},
        {list.C_GetMechanismInfo != nullptr, "C_GetMechanismInfo"},
        {list.C_OpenSession != nullptr, "C_OpenSession"},
        {list.C_CloseSession != nullptr, "C_CloseSession"},
        {list.C_Login != nullptr, "C_Login"},
        {list.C_Logout != nullptr, "C_Logout"},
        {list.C_GetAttributeValue != nullptr, "C_GetAttributeValue"},
        {list.C_FindObjectsInit != nullptr, "C_FindObjectsInit"},
        {list.C_FindObjects != nullptr, "C_FindObjects"},
        {list.C_FindObjectsFinal != nullptr, "C_FindObjectsFinal"},
        {list.C_SignInit != nullptr, "C_SignInit"},
        {list.C_SignUpdate != nullptr, "C_SignUpdate"},
        {list.C_SignFinal != nullptr, "C_SignFinal"},
    };
    for (const auto& function : functions) {
        if (!function.present) {
            return function.name;
        }
    }
    return nullptr;
}

PKCS11Impl::PKCS11Impl(const char* modulePath)
    : functionList(nullptr),
      libraryHandle(nullptr),
      certContext(static_cast<CertificateContext*>(std::malloc(sizeof(CertificateContext)))),
      lastErrorText("OK"),
      mechanismType(CKM_SHA1_RSA_PKCS),
      operationMechanism(CKM_SHA1_RSA_PKCS),
      modulePath(modulePath),
      initializedList(nullptr) {
    if (!certContext) {
        throw std::bad_alloc();
    }
    certContext->derData = nullptr;
    certContext->derLength = 0;
    certContext->sessionHandle = 0;
    certContext->objectHandle = 0;
}

PKCS11Impl::~PKCS11Impl() {
    // Only a failed initialize under signCert leaves a module loaded until here. Letting go of it
    // is a token operation of its own: a page's call from a dialog loop that the module runs
    // inside this C_Finalize is refused like any nested one, instead of loading, initialising
    // and unloading the module under the running C_Finalize.
    if (libraryHandle) {
        TokenOperationGuard release(*this, lastErrorText);
        PKCS11Impl* const running =
            release.claimed() ? nullptr : TokenOperationGuard::serviceInFlight();
        // An instance destroyed from a modal loop inside another instance's token call: when that
        // operation runs on the same module (the loader hands out one handle per module), the
        // module must not be finalised under its feet, so the operation takes it over. Another
        // module is no part of that operation and is closed down at once.
        if (running != nullptr && running->libraryHandle == libraryHandle) {
            running->takeOverModule(libraryHandle, initializedList);
            libraryHandle = nullptr;
            functionList = nullptr;
            initializedList = nullptr;
        }
        releaseModule();
    }
    freeDerCert();
    std::free(certContext);
    certContext = nullptr;
}

long PKCS11Impl::loadPKCS11Library() {
    void* handle = dlopen(modulePath, RTLD_LAZY);
    if (libraryHandle) {
        // A module left loaded by an earlier failed operation. Opening first keeps it mapped (and
        // initialised) when the new handle names the same module; closing the old handle keeps the
        // loader's reference count balanced.
        if (!handle) {
            uninitialize();
        }
        dlclose(libraryHandle);
    }
    libraryHandle = handle;
    if (!handle) {
        setStatus("Load pkcs11 lib fail");
        return CKR_FUNCTION_FAILED;
    }
    return 0;
}

unsigned char PKCS11Impl::initialize() {
    // A module left initialised (by an earlier operation, or by a service this one took it over
    // from) keeps the list it was initialised with until a new one comes: failing before that,
    // it is still finalised when it is let go of.
    ScopeExit keepFinalizable([this] {
        if (functionList == nullptr) {
            functionList = initializedList;
        }
    });
    functionList = nullptr;
    // dlsym on a null handle would search the whole process.
    void* symbol = libraryHandle ? dlsym(libraryHandle, "C_GetFunctionList") : nullptr;
    if (!symbol) {
        setStatus("C_GetFunctionList load failed");
        return 0;
    }
    CK_C_GetFunctionList getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    if (!succeeded(getFunctionList(&functionList), "C_GetFunctionList failed:")) {
        // Whatever a failing call left in the pointer is not to be trusted.
        functionList = nullptr;
        return 0;
    }
    // A list that lacks a function the operation may call is as good as none: nothing is
    // called through it, not even C_Finalize, and the module is only unloaded.
    if (!functionList || missingFunction(*functionList) != nullptr) {
        functionList = nullptr;
        setStatus("Function list of pkcs11 is null");
        return CKR_FUNCTION_FAILED;
    }
    // Already initialised in this process (for example after an earlier failed operation) is fine.
    if (!succeeded(functionList->C_Initialize(nullptr),
                   "C_Initialize failed:", CKR_CRYPTOKI_ALREADY_INITIALIZED)) {
        return 0;
    }
    initializedList = functionList;
    CK_ULONG count = 0;
    CK_RV rv = functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (!succeeded(rv, "C_GetSlotList failed:", CKR_BUFFER_TOO_SMALL)) {
        return 0;
    }
    if (count > 0) {
        return 1;
    }
    return reloadPKCS11Library(rv);
}

unsigned char PKCS11Impl::reloadPKCS11Library(unsigned long rv) {
    releaseModule();
    setStatus("C_Initialize failed:", rv);
    return 0;
}

bool PKCS11Impl::uninitialize() {
    if (functionList) {
        functionList->C_Finalize(nullptr);
        functionList = nullptr;
    }
    initializedList = nullptr;
    return true;
}

long PKCS11Impl::unloadPKCS11Library() {
    if (libraryHandle) {
        ResidentLibraries::keepLoaded();
        dlclose(libraryHandle);
        libraryHandle = nullptr;
    }
    // The lists pointed into the module: nothing calls through them any more.
    functionList = nullptr;
    initializedList = nullptr;
    return 0;
}

bool PKCS11Impl::openModule(const OpeningFailure& onFailure) noexcept {
    if (loadPKCS11Library() != 0) {
        if (onFailure.loadText) {
            setStatus(onFailure.loadText);
        }
        return false;
    }
    if (initialize() == 1) {
        return true;
    }
    if (onFailure.initializeText) {
        setStatus(onFailure.initializeText);
    }
    if (onFailure.releaseModule) {
        releaseFailedInitialize();
    }
    return false;
}

void PKCS11Impl::releaseModule() noexcept {
    uninitialize();
    unloadPKCS11Library();
}

void PKCS11Impl::releaseFailedInitialize() noexcept {
    // A failed C_Initialize leaves nothing to finalise: without its function list the module is
    // only unloaded.
    if (!initializedList) {
        functionList = nullptr;
    }
    releaseModule();
}

void PKCS11Impl::takeOverModule(void* handle, CK_FUNCTION_LIST* list) noexcept {
    // Nothing is called into the module here: this object's operation may be inside one of its
    // calls. The module was initialised all the same, so this object finalises it when it lets
    // go of it, whether or not its own C_Initialize succeeds; its own handle keeps the module
    // mapped, so the other reference goes at once.
    if (!initializedList) {
        initializedList = list;
    }
    dlclose(handle);
}

bool PKCS11Impl::readObjectAttribute(CK_ATTRIBUTE_TYPE type, const char* failureMessage,
                                     MallocPtr<unsigned char[]>& value, CK_ULONG& length) {
    const CK_SESSION_HANDLE session = certContext->sessionHandle;
    const CK_OBJECT_HANDLE object = certContext->objectHandle;
    CK_ATTRIBUTE attribute = {type, nullptr, 0};
    if (!succeeded(functionList->C_GetAttributeValue(session, object, &attribute, 1),
                   failureMessage)) {
        return false;
    }
    const CK_ULONG capacity = attribute.ulValueLen;
    // One byte more, so that a value of no bytes has a block too. A length that cannot be
    // allocated (CK_UNAVAILABLE_INFORMATION included) fails as the module's own lack of memory.
    value.reset(capacity < SIZE_MAX ? static_cast<unsigned char*>(std::calloc(capacity + 1, 1))
                                    : nullptr);
    if (!value) {
        setStatus(failureMessage, CKR_HOST_MEMORY);
        return false;
    }
    attribute.pValue = value.get();
    const CK_RV rv = functionList->C_GetAttributeValue(session, object, &attribute, 1);
    if (!succeededWithin(rv, failureMessage, attribute.ulValueLen, capacity)) {
        value.reset();
        return false;
    }
    length = attribute.ulValueLen;
    return true;
}

std::string PKCS11Impl::lastError() {
    return copyText(lastErrorText.text());
}

std::string PKCS11Impl::getProviderName() {
    return copyText("zuvo");
}

std::string PKCS11Impl::getSignFile() {
    return copyText("getSignFile:not supported");
}

std::string PKCS11Impl::pkcs7Data() {
    return copyText("pkcs7Data:not supported");
}

std::string PKCS11Impl::verifyPKCS7(char*) {
    return copyText("verifyPKCS7:not supported");
}

std::string PKCS11Impl::verifySignature(char*, char*, char*) {
    return copyText("verifySignature:not supported");
}

void PKCS11Impl::setStatus(const char* message) noexcept {
    lastErrorText.setFixed(message);
}

void PKCS11Impl::setStatus(const char* message, CK_RV rv) noexcept {
    try {
        lastErrorText.setBuilt(std::string(message) + getPKCS11ErrorCode(rv));
    } catch (...) {
        setOutOfMemory();
    }
}

bool PKCS11Impl::succeeded(CK_RV rv, const char* message, CK_RV tolerated) noexcept {
    if (rv == CKR_OK || rv == tolerated) {
        return true;
    }
    setStatus(message, rv);
    return false;
}

bool PKCS11Impl::succeededWithin(CK_RV rv, const char* message, CK_ULONG count, CK_ULONG capacity) {
    if (!succeeded(rv, message)) {
        return false;
    }
    if (count > capacity) {
        setStatus(message, CKR_GENERAL_ERROR);
        throw CountBeyondCapacity();
    }
    return true;
}

void PKCS11Impl::setOutOfMemory() noexcept {
    setStatus(kOutOfMemoryText);
}
