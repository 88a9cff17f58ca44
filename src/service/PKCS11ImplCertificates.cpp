#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "service/MallocPtr.h"
#include "service/PKCS11Impl.h"
#include "service/ScopeExit.h"
#include "service/TokenOperationGuard.h"
#include "x509/X509Helper.h"

namespace {

constexpr const char* kFailureText = "E:1000";
// At most this many certificate objects are considered per slot.
constexpr CK_ULONG kMaxCertificates = 64;
constexpr CK_FLAGS kSessionFlags = CKF_SERIAL_SESSION | CKF_RW_SESSION;
constexpr CK_FLAGS kSignAndVerify = CKF_SIGN | CKF_VERIFY;
constexpr int kTextBufferSize = 512;

struct BioChainFree {
    void operator()(BIO* chain) const noexcept { BIO_free_all(chain); }
};

// The parse result is not needed: an unparsable value reads as an empty name and serial.
void parseHeldCertificate(X509Helper& certificate, const CertificateContext& context) {
    const int length = context.derLength > static_cast<CK_ULONG>(INT_MAX)
                           ? INT_MAX
                           : static_cast<int>(context.derLength);
    certificate.loadDERCert(context.derData, length);
}

std::string serialTextOf(X509Helper& certificate) {
    char text[kTextBufferSize] = {};
    certificate.GetSerialNumber(text, kTextBufferSize);
    // The reader refuses a serial whose text and NUL do not fit: the empty text.
    const size_t length = strnlen(text, kTextBufferSize);
    return length < kTextBufferSize ? std::string(text, length) : std::string();
}

// "CN=<subject>,<serial>;"
std::string listEntryOf(X509Helper& certificate) {
    char text[kTextBufferSize] = {};
    certificate.GetSubjectName(text, kTextBufferSize);
    std::string entry = "CN=";
    // A name that fills the buffer is cut to 511 bytes, as if it ended in a NUL.
    entry.append(text, strnlen(text, kTextBufferSize - 1));
    entry += ',';
    entry += serialTextOf(certificate);
    entry += ';';
    return entry;
}

}  // namespace

unsigned char PKCS11Impl::findObject(unsigned long& session, CK_ATTRIBUTE* objectTemplate,
                                     unsigned long attributeCount, unsigned long* handles,
                                     unsigned long& count) {
    if (!functionList) {
        setStatus("Function list of pkcs11 is null");
        return 0;
    }
    const CK_ULONG capacity = count;
    CK_ULONG found = 0;
    if (!succeeded(functionList->C_FindObjectsInit(session, objectTemplate, attributeCount),
                   "C_FindObjectsInit failed:")) {
        return 0;
    }
    // One call only: never more than the capacity of objects.
    CK_RV findResult = functionList->C_FindObjects(session, handles, capacity, &found);
    CK_RV finalResult = functionList->C_FindObjectsFinal(session);
    if (findResult != CKR_OK || found == 0) {
        setStatus("C_FindObjects failed:", findResult);
        return 0;
    }
    if (!succeeded(finalResult, "C_FindObjectsFinal failed:")) {
        return 0;
    }
    // A module claiming more than it could have written is not believed.
    count = found < capacity ? found : capacity;
    return 1;
}

bool PKCS11Impl::loadDerCert() {
    if (!functionList || !certContext) {
        setStatus("Function list of pkcs11 is null");
        return false;
    }
    CK_ATTRIBUTE value = {CKA_VALUE, nullptr, 0};
    if (!succeeded(functionList->C_GetAttributeValue(certContext->sessionHandle,
                                                     certContext->objectHandle, &value, 1),
                   "Load cert C_GetAttributeValue failed:")) {
        return false;
    }
    std::free(certContext->derData);
    certContext->derData = nullptr;
    certContext->derLength = 0;

    const CK_ULONG length = value.ulValueLen;
    // A length that cannot be allocated (CK_UNAVAILABLE_INFORMATION included) skips the object.
    unsigned char* block =
        length < SIZE_MAX ? static_cast<unsigned char*>(std::malloc(length + 1)) : nullptr;
    if (!block) {
        setStatus("Load cert C_GetAttributeValue failed:", CKR_HOST_MEMORY);
        return false;
    }
    certContext->derData = block;
    certContext->derLength = length;
    value.pValue = block;
    CK_RV rv = functionList->C_GetAttributeValue(certContext->sessionHandle,
                                                 certContext->objectHandle, &value, 1);
    if (rv != CKR_OK) {
        freeDerCert();
        setStatus("Load cert C_GetAttributeValue failed:", rv);
        return false;
    }
    // Only the bytes the module wrote are certificate.
    if (value.ulValueLen < length) {
        certContext->derLength = value.ulValueLen;
    }
    return true;
}

bool PKCS11Impl::freeDerCert() {
    if (!certContext) {
        return false;
    }
    std::free(certContext->derData);
    certContext->derData = nullptr;
    certContext->derLength = 0;
    return true;
}

unsigned char PKCS11Impl::acquireCertificateContext(std::string serial) {
    if (!functionList || !certContext) {
        setStatus("Function list of pkcs11 is null");
        return 0;
    }
    try {
        MallocPtr<CK_SLOT_ID[]> slots;
        CK_ULONG slotCount = 0;
        if (!readTokenSlots(slots, slotCount, "C_GetSlotList1 failed:", "C_GetSlotList2 failed:")) {
            return 0;
        }
        for (CK_ULONG s = 0; s < slotCount; ++s) {
            CK_MECHANISM_INFO info = {};
            if (functionList->C_GetMechanismInfo(slots[s], CKM_RSA_PKCS, &info) != CKR_OK ||
                (info.flags & kSignAndVerify) != kSignAndVerify) {
                continue;
            }
            // The first match wins; the caller works on with its session and DER bytes.
            if (visitSlotCertificates(slots[s], [&serial](X509Helper& certificate) {
                    return serialTextOf(certificate) == serial;
                })) {
                return 1;
            }
        }
        setStatus("CN not matched");
        return 0;
    } catch (...) {
        setOutOfMemory();
        return 0;
    }
}

char* PKCS11Impl::base64(signed char* bytes, unsigned long length) {
    if (length > static_cast<unsigned long>(INT_MAX) || (!bytes && length > 0)) {
        return nullptr;
    }
    BIO* sink = BIO_new(BIO_s_mem());
    BIO* filter = BIO_new(BIO_f_base64());
    if (!sink || !filter) {
        BIO_free(sink);
        BIO_free(filter);
        return nullptr;
    }
    // One line: no line break after every 64 characters, none at the end.
    BIO_set_flags(filter, BIO_FLAGS_BASE64_NO_NL);
    std::unique_ptr<BIO, BioChainFree> chain(BIO_push(filter, sink));
    const int count = static_cast<int>(length);
    if (count > 0 && BIO_write(filter, bytes, count) != count) {
        return nullptr;
    }
    if (BIO_flush(filter) != 1) {
        return nullptr;
    }
    BUF_MEM* buffer = nullptr;
    BIO_get_mem_ptr(sink, &buffer);
    if (!buffer) {
        return nullptr;
    }
    char* text = static_cast<char*>(std::calloc(buffer->length + 1, 1));
    if (text && buffer->length > 0) {
        std::memcpy(text, buffer->data, buffer->length);
    }
    return text;
}

std::string PKCS11Impl::getCertList() {
    TokenOperationGuard operation(lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    if (!haveCertContext() || loadPKCS11Library() != 0) {
        return copyText(kFailureText);
    }
    if (initialize() != 1) {
        releaseFailedInitialize();
        return copyText(kFailureText);
    }
    ScopeExit release([this] {
        uninitialize();
        unloadPKCS11Library();
    });
    try {
        MallocPtr<CK_SLOT_ID[]> slots;
        CK_ULONG slotCount = 0;
        if (!readTokenSlots(slots, slotCount, "C_GetSlotList failed:", "C_GetSlotList failed:")) {
            return copyText(kFailureText);
        }
        // Started afresh at every slot: the answer is the last slot's alone.
        std::string list;
        for (CK_ULONG s = 0; s < slotCount; ++s) {
            CK_MECHANISM_INFO info = {};
            CK_RV rv = functionList->C_GetMechanismInfo(slots[s], CKM_RSA_PKCS, &info);
            if (rv != CKR_OK) {
                setStatus("", rv);
                list = kFailureText;
                continue;
            }
            setStatus("OK");
            list.clear();
            if ((info.flags & kSignAndVerify) != kSignAndVerify) {
                continue;
            }
            visitSlotCertificates(slots[s], [&list](X509Helper& certificate) {
                list += listEntryOf(certificate);
                return false;
            });
        }
        return list;
    } catch (...) {
        setOutOfMemory();
        return copyText(kFailureText);
    }
}

std::string PKCS11Impl::signCert() {
    TokenOperationGuard operation(lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    setStatus("OK");
    if (!haveCertContext() || loadPKCS11Library() != 0) {
        return copyText(kFailureText);
    }
    if (initialize() != 1) {
        // The module stays loaded; the next operation or the destructor releases it.
        return copyText(kFailureText);
    }
    ScopeExit release([this] {
        uninitialize();
        unloadPKCS11Library();
    });
    try {
        if (acquireCertificateContext(storedCN()) != 1) {
            return copyText(kFailureText);
        }
        ScopeExit certificateRelease([this] {
            if (freeDerCert()) {
                closeSession(certContext->sessionHandle);
            }
        });
        MallocPtr<char> text(
            base64(reinterpret_cast<signed char*>(certContext->derData), certContext->derLength));
        if (!text) {
            setStatus("Base64 encoding failed");
            return copyText(kFailureText);
        }
        return std::string(text.get());
    } catch (...) {
        setOutOfMemory();
        return copyText(kFailureText);
    }
}

bool PKCS11Impl::readTokenSlots(MallocPtr<CK_SLOT_ID[]>& slots, CK_ULONG& count,
                                const char* firstQueryMessage,
                                const char* secondQueryMessage) noexcept {
    count = 0;
    CK_RV rv = functionList->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        setStatus(firstQueryMessage, rv);
        return false;
    }
    if (count == 0) {
        setStatus("Not found UKey");
        return false;
    }
    if (count <= SIZE_MAX / sizeof(CK_SLOT_ID)) {
        slots.reset(static_cast<CK_SLOT_ID*>(std::malloc(count * sizeof(CK_SLOT_ID))));
    }
    if (!slots) {
        setStatus("Params invalid");
        return false;
    }
    const CK_ULONG capacity = count;
    rv = functionList->C_GetSlotList(CK_TRUE, slots.get(), &count);
    if (rv != CKR_OK) {
        slots.reset();
        setStatus(secondQueryMessage, rv);
        return false;
    }
    if (count > capacity) {
        count = capacity;
    }
    return true;
}

bool PKCS11Impl::visitSlotCertificates(CK_SLOT_ID slot,
                                       const std::function<bool(X509Helper&)>& visit) {
    CK_SESSION_HANDLE session = 0;
    if (functionList->C_OpenSession(slot, kSessionFlags, nullptr, nullptr, &session) != CKR_OK) {
        return false;
    }
    ScopeExit sessionCloser([this, session] { closeSession(session); });
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE certificateTemplate = {CKA_CLASS, &certificateClass, sizeof(certificateClass)};
    CK_OBJECT_HANDLE handles[kMaxCertificates];
    CK_ULONG found = kMaxCertificates;
    if (!findObject(session, &certificateTemplate, 1, handles, found)) {
        return false;
    }
    for (CK_ULONG h = 0; h < found; ++h) {
        certContext->sessionHandle = session;
        certContext->objectHandle = handles[h];
        if (!loadDerCert()) {
            continue;
        }
        ScopeExit derRelease([this] { freeDerCert(); });
        X509Helper certificate;
        parseHeldCertificate(certificate, *certContext);
        if (visit(certificate)) {
            derRelease.dismiss();
            sessionCloser.dismiss();
            return true;
        }
    }
    return false;
}

void PKCS11Impl::closeSession(CK_SESSION_HANDLE session) noexcept {
    if (functionList) {
        functionList->C_CloseSession(session);
    }
}
