#pragma once

#include <functional>
#include <string>

#include "PluginIdentity.h"
#include "service/CertificateContext.h"
#include "service/MallocPtr.h"
#include "service/ScopeExit.h"
#include "service/ServiceBase.h"
#include "service/StatusText.h"
#include "service/pkcs11.h"

class X509Helper;

// The signing service on a USB token reached through a PKCS#11 module. Every token operation is
// self-contained: it loads the module, initialises it, works on sessions, then finalises and
// unloads it again (runTokenOperation). The outcome of the last operation is kept as a status
// text (lastError).
class PKCS11Impl : public ServiceBase {
public:
    // Where the vendor's token module is installed. Only tests pass another path.
    static constexpr const char* kModulePath = kTokenModulePath;

    // The path is not copied: it must outlive the object. Throws std::bad_alloc when the
    // certificate context cannot be allocated.
    explicit PKCS11Impl(const char* modulePath = kModulePath);
    ~PKCS11Impl() override;

    PKCS11Impl(const PKCS11Impl&) = delete;
    PKCS11Impl& operator=(const PKCS11Impl&) = delete;

    std::string getSignData() override;
    std::string getSignature() override;
    std::string getSignFile() override;
    void setHashAlgorithm(std::string hashName) override;
    std::string pkcs7Data() override;
    std::string verifyPKCS7(char* pkcs7) override;
    std::string verifySignature(char* data, char* signature, char* certificate) override;
    std::string lastError() override;
    std::string signCert() override;
    std::string getCertList() override;
    std::string getProviderName() override;

    // Token library session.
    long loadPKCS11Library();
    unsigned char initialize();  // 1 = ready
    unsigned char reloadPKCS11Library(unsigned long rv);
    bool uninitialize();
    long unloadPKCS11Library();
    static std::string getPKCS11ErrorCode(unsigned long rv);
    // The first of the functions a token operation may call that the list lacks, or null. A
    // module is free to leave out what it does not implement, but a null entry called would crash
    // the host.
    static const char* missingFunction(const CK_FUNCTION_LIST& list) noexcept;

    bool freeDerCert();
    static char* base64(signed char* bytes, unsigned long length);

    // A whole signing operation: the hexadecimal signature of the data, made with the
    // certificate whose serial is the stored CN, in a malloc'd text the caller frees. 0 or -1.
    int sign(unsigned char* data, unsigned long dataLength, char** text, unsigned long& textLength);

private:
    // Thrown by succeededWithin, caught by runTokenOperation; the status text is set.
    struct CountBeyondCapacity {};

    // How a token operation answers a module that cannot be loaded or initialised.
    struct OpeningFailure {
        const char* loadText;        // replaces the loader's status text, or null
        const char* initializeText;  // replaces initialize's status text, or null
        bool releaseModule;          // whether a module that failed to initialise is unloaded
    };

    // The frame of every token operation: loads and initialises the module, runs `work` and then
    // finalises and unloads the module on every path out of it. Running out of memory inside
    // `work` fails the operation with the status text "Out of memory". False when the module
    // could not be opened or `work` answered false.
    template <class Work>
    bool runTokenOperation(const OpeningFailure& onFailure, Work&& work) noexcept;
    bool openModule(const OpeningFailure& onFailure) noexcept;
    // The one release of the module: C_Finalize while a function list is held, then dlclose.
    void releaseModule() noexcept;
    // Unloads the module after a failed initialize. A module that initialize left initialised
    // (its token probe failed) is finalised first: unloading an initialised module leaves its
    // resources, and any thread it runs, behind.
    void releaseFailedInitialize() noexcept;
    // Takes over the handle of the module this object's token operation holds, from a service
    // destroyed while the operation is in flight, with the list that service initialised the
    // module through (null when it had not).
    void takeOverModule(void* handle, CK_FUNCTION_LIST* list) noexcept;

    // Certificate discovery; the module is Ready (runTokenOperation).
    unsigned char findObject(unsigned long& session, CK_ATTRIBUTE* objectTemplate,
                             unsigned long attributeCount, unsigned long* handles,
                             unsigned long& count);
    bool loadDerCert();
    unsigned char acquireCertificateContext(std::string serial);
    // Reads the IDs of the slots holding a token into a malloc'd list. False, with the status text
    // set, when a query fails or no slot holds a token.
    bool readTokenSlots(MallocPtr<CK_SLOT_ID[]>& slots, CK_ULONG& count,
                        const char* firstQueryMessage, const char* secondQueryMessage);
    // Opens a session on the slot and holds each of its certificates (at most 64) in the
    // certificate context in turn while `visit` reads it. When `visit` answers true the walk ends
    // with that session open and those DER bytes held; otherwise both are released.
    bool visitSlotCertificates(CK_SLOT_ID slot, const std::function<bool(X509Helper&)>& visit);
    // Ends the work on the certificate acquireCertificateContext chose: its DER bytes, its session.
    void releaseChosenCertificate() noexcept;
    // Reads one attribute of the context's object into a new zero-filled block one byte longer
    // than the value. False, with `failureMessage` and the reason as the status text, when either
    // query fails or the announced length cannot be allocated.
    bool readObjectAttribute(CK_ATTRIBUTE_TYPE type, const char* failureMessage,
                             MallocPtr<unsigned char[]>& value, CK_ULONG& length);

    // Signing; the module is Ready and the certificate chosen.
    CK_RV p11Sign(unsigned char* data, unsigned long dataLength, unsigned char* signature,
                  unsigned long& signatureLength);
    bool findKey(CK_OBJECT_HANDLE* key, CK_OBJECT_CLASS keyClass);
    // The "UD65001:" (with the data) or "US65001:" envelope of a new signature, or "E:1000".
    std::string envelope(bool withData) noexcept;

    // Sets a fixed status text; `message` must be of static storage (a literal).
    void setStatus(const char* message) noexcept;
    // Sets message + status text of rv, as every failed PKCS#11 call reports itself.
    void setStatus(const char* message, CK_RV rv) noexcept;
    // True on CKR_OK and on `tolerated`; otherwise records message + status text of rv.
    bool succeeded(CK_RV rv, const char* message, CK_RV tolerated = CKR_OK) noexcept;
    // succeeded() for a call that answers how many items it wrote into room for `capacity`. A
    // module that claims more broke its contract: the call failed as with CKR_GENERAL_ERROR, and
    // the whole token operation with it (CountBeyondCapacity), whatever the caller would do
    // after an ordinary failure, since nothing the module wrote can be trusted.
    bool succeededWithin(CK_RV rv, const char* message, CK_ULONG count, CK_ULONG capacity);
    void setOutOfMemory() noexcept;

    CK_FUNCTION_LIST* functionList;
    void* libraryHandle;
    CertificateContext* certContext;  // never null
    StatusText lastErrorText;
    CK_MECHANISM_TYPE mechanismType;
    // The mechanism of the signing in flight, taken from mechanismType when it started.
    CK_MECHANISM_TYPE operationMechanism;
    const char* modulePath;
    // The list through which the module was initialised (C_Initialize answered CKR_OK or 0x191)
    // while this object holds it, by this object or by a service it took the module over from;
    // null once C_Finalize has followed, or before. Kept apart from functionList so that a later
    // initialize failing before it has a list of its own still leaves the module finalisable.
    CK_FUNCTION_LIST* initializedList;
};

template <class Work>
bool PKCS11Impl::runTokenOperation(const OpeningFailure& onFailure, Work&& work) noexcept {
    if (!openModule(onFailure)) {
        return false;
    }
    ScopeExit release([this] { releaseModule(); });
    try {
        return work();
    } catch (const CountBeyondCapacity&) {
        return false;
    } catch (...) {
        setOutOfMemory();
        return false;
    }
}
