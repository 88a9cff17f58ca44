#include "service/PKCS11Impl.h"

#include <dlfcn.h>

#include <cstdlib>

namespace {

// Used when a status text cannot be allocated; short enough to need no allocation itself.
constexpr const char* kOutOfMemoryText = "Out of memory";

}  // namespace

PKCS11Impl::PKCS11Impl(const char* modulePath)
    : functionList(nullptr),
      libraryHandle(nullptr),
      certContext(static_cast<CertificateContext*>(std::malloc(sizeof(CertificateContext)))),
      lastErrorText("OK"),
      mechanismType(CKM_SHA1_RSA_PKCS),
      operationMechanism(CKM_SHA1_RSA_PKCS),
      modulePath(modulePath),
      moduleInitialized(false) {
    // Without the record every token operation fails early (haveCertContext).
    if (certContext) {
        certContext->derData = nullptr;
        certContext->derLength = 0;
        certContext->sessionHandle = 0;
        certContext->objectHandle = 0;
    }
}

PKCS11Impl::~PKCS11Impl() {
    // Only a failed initialize under signCert leaves a module loaded until here. A function list
    // that outlived its module is not called through.
    if (libraryHandle) {
        uninitialize();
    }
    functionList = nullptr;
    unloadPKCS11Library();
    if (certContext) {
        std::free(certContext->derData);
        certContext->derData = nullptr;
        std::free(certContext);
        certContext = nullptr;
    }
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
    functionList = nullptr;
    // dlsym on a null handle would search the whole process.
    void* symbol = libraryHandle ? dlsym(libraryHandle, "C_GetFunctionList") : nullptr;
    if (!symbol) {
        setStatus("C_GetFunctionList load failed");
        return 0;
    }
    CK_C_GetFunctionList getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(symbol);
    CK_RV rv = getFunctionList(&functionList);
    if (rv != CKR_OK) {
        // Whatever a failing call left in the pointer is not to be trusted.
        functionList = nullptr;
        setStatus("C_GetFunctionList failed:", rv);
        return 0;
    }
    if (!functionList) {
        setStatus("Function list of pkcs11 is null");
        return CKR_FUNCTION_FAILED;
    }
    // Already initialised in this process (for example after an earlier failed operation) is fine.
    rv = functionList->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        setStatus("C_Initialize failed:", rv);
        return 0;
    }
    moduleInitialized = true;
    CK_ULONG count = 0;
    rv = functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        setStatus("C_GetSlotList failed:", rv);
        return 0;
    }
    if (count > 0) {
        return 1;
    }
    return reloadPKCS11Library(rv);
}

unsigned char PKCS11Impl::reloadPKCS11Library(unsigned long rv) {
    uninitialize();
    unloadPKCS11Library();
    setStatus("C_Initialize failed:", rv);
    return 0;
}

bool PKCS11Impl::uninitialize() {
    if (functionList) {
        functionList->C_Finalize(nullptr);
        functionList = nullptr;
    }
    moduleInitialized = false;
    return true;
}

long PKCS11Impl::unloadPKCS11Library() {
    if (libraryHandle) {
        dlclose(libraryHandle);
        libraryHandle = nullptr;
    }
    return 0;
}

void PKCS11Impl::releaseFailedInitialize() noexcept {
    // A failed C_Initialize leaves nothing to finalise: the module is unloaded as it is.
    if (moduleInitialized) {
        uninitialize();
    }
    unloadPKCS11Library();
}

std::string PKCS11Impl::lastError() {
    return copyText(lastErrorText);
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
    try {
        lastErrorText = message;
    } catch (...) {
        lastErrorText = kOutOfMemoryText;
    }
}

void PKCS11Impl::setStatus(const char* message, CK_RV rv) noexcept {
    try {
        lastErrorText = std::string(message) + getPKCS11ErrorCode(rv);
    } catch (...) {
        lastErrorText = kOutOfMemoryText;
    }
}

bool PKCS11Impl::succeeded(CK_RV rv, const char* message) noexcept {
    if (rv == CKR_OK) {
        return true;
    }
    setStatus(message, rv);
    return false;
}

void PKCS11Impl::setOutOfMemory() noexcept {
    setStatus(kOutOfMemoryText);
}

bool PKCS11Impl::haveCertContext() noexcept {
    if (certContext) {
        return true;
    }
    setStatus("Certificate context not allocated");
    return false;
}
