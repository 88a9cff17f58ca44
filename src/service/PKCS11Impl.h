#pragma once

#include <functional>
#include <string>

#include "service/CertificateContext.h"
#include "service/MallocPtr.h"
#include "service/ServiceBase.h"
#include "service/pkcs11.h"

class X509Helper;

// The signing service on a USB token reached through a PKCS#11 module. Every token operation is
// self-contained: it loads the module, initialises it, works on sessions, then finalises and
// unloads it again. The outcome of the last operation is kept as a status text (lastError).
class PKCS11Impl : public ServiceBase {
public:
    // Where the vendor's token module is installed. Only tests pass another path.
    static constexpr const char* kModulePath = "/usr/local/lib/libMOVA_XAN_P11.dylib";

    // The path is not copied: it must outlive the object.
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

    // Certificate discovery.
    unsigned char findObject(unsigned long& session, CK_ATTRIBUTE* objectTemplate,
                             unsigned long attributeCount, unsigned long* handles,
                             unsigned long& count);
    bool loadDerCert();
    bool freeDerCert();
    unsigned char acquireCertificateContext(std::string serial);
    static char* base64(signed char* bytes, unsigned long length);

    // Signing.
    int sign(unsigned char* data, unsigned long dataLength, char** text, unsigned long& textLength);
    CK_RV p11Sign(unsigned char* data, unsigned long dataLength, unsigned char* signature,
                  unsigned long& signatureLength);
    bool findKey(CK_OBJECT_HANDLE* key, CK_OBJECT_CLASS keyClass);

private:
    // Sets the status text; falls back to a short text if memory runs out.
    void setStatus(const char* message) noexcept;
    // Sets message + status text of rv, as every failed PKCS#11 call reports itself.
    void setStatus(const char* message, CK_RV rv) noexcept;
    // True on CKR_OK; otherwise records message + status text of rv.
    bool succeeded(CK_RV rv, const char* message) noexcept;
    void setOutOfMemory() noexcept;

    // Fails an operation early when the constructor could not allocate the certificate context.
    bool haveCertContext() noexcept;
    // Reads the IDs of the slots holding a token into a malloc'd list. False, with the status text
    // set, when a query fails or no slot holds a token.
    bool readTokenSlots(MallocPtr<CK_SLOT_ID[]>& slots, CK_ULONG& count,
                        const char* firstQueryMessage, const char* secondQueryMessage) noexcept;
    // Opens a session on the slot and holds each of its certificates (at most 64) in the
    // certificate context in turn while `visit` reads it. When `visit` answers true the walk ends
    // with that session open and those DER bytes held; otherwise both are released.
    bool visitSlotCertificates(CK_SLOT_ID slot, const std::function<bool(X509Helper&)>& visit);
    void closeSession(CK_SESSION_HANDLE session) noexcept;
    // Ends a signing operation that got past initialize: DER bytes, session, module.
    void closeSigningOperation(bool sessionOpen) noexcept;
    // Unloads the module after a failed initialize (getCertList, sign). A module that initialize
    // left initialised (its token probe failed) is finalised first: unloading an initialised
    // module leaves its resources, and any thread it runs, behind.
    void releaseFailedInitialize() noexcept;
    // The "UD65001:" (with the data) or "US65001:" envelope of a new signature, or "E:1000".
    std::string envelope(bool withData);

    CK_FUNCTION_LIST* functionList;
    void* libraryHandle;
    CertificateContext* certContext;
    std::string lastErrorText;
    CK_MECHANISM_TYPE mechanismType;
    // The mechanism of the signing in flight, taken from mechanismType when it started.
    CK_MECHANISM_TYPE operationMechanism;
    const char* modulePath;
    // Whether this object has the module initialised: C_Initialize answered CKR_OK or 0x191 and
    // no C_Finalize has followed.
    bool moduleInitialized;
};
