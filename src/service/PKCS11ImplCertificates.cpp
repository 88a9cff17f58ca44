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
    const CK_ULONG capacity = count;
    CK_ULONG found = 0;
    if (!succeeded(functionList->C_FindObjectsInit(session, objectTemplate, attributeCount),
                   "C_FindObjectsInit failed:")) {
        return 0;
    }
    // One call only: never more than the capacity of objects.
    CK_RV findResult = functionList->C_FindObjects(session, handles, capacity, &found);
    CK_RV finalResult = functionList->C_FindObjectsFinal(session);
    if (!succeededWithin(findResult, "C_FindObjects failed:", found, capacity)) {
        return 0;
    }
    if (found == 0) {
        // A clean search that finds nothing fails as well: "C_FindObjects failed:OK(0x0000)".
        setStatus("C_FindObjects failed:", findResult);
        return 0;
    }
    if (!succeeded(finalResult, "C_FindObjectsFinal failed:")) {
        return 0;
    }
    count = found;
    return 1;
}

bool PKCS11Impl::loadDerCert() {
    freeDerCert();
    MallocPtr<unsigned char[]> value;
    CK_ULONG length = 0;
    if (!readObjectAttribute(CKA_VALUE, "Load cert C_GetAttributeValue failed:", value, length)) {
        return false;
    }
    certContext->derData = value.release();
    certContext->derLength = length;
    return true;
}

bool PKCS11Impl::freeDerCert() {
    std::free(certContext->derData);
    certContext->derData = nullptr;
    certContext->derLength = 0;
    return true;
}

unsigned char PKCS11Impl::acquireCertificateContext(std::string serial) {
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
}

void PKCS11Impl::releaseChosenCertificate() noexcept {
    freeDerCert();
    functionList->C_CloseSession(certContext->sessionHandle);
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
    static constexpr OpeningFailure kOnFailure = {nullptr, nullptr, true};
    TokenOperationGuard operation(*this, lastErrorText);
    std::string list;
    const bool listed =
        operation.claimed() && runTokenOperation(kOnFailure, [this, &list] {
            MallocPtr<CK_SLOT_ID[]> slots;
            CK_ULONG slotCount = 0;
            if (!readTokenSlots(slots, slotCount,
                                "C_GetSlotList failed:", "C_GetSlotList failed:")) {
                return false;
            }
            // Started afresh at every slot: the answer is the last slot's alone.
            bool lastSlotAnswered = true;
            for (CK_ULONG s = 0; s < slotCount; ++s) {
                list.clear();
                CK_MECHANISM_INFO info = {};
                lastSlotAnswered =
                    succeeded(functionList->C_GetMechanismInfo(slots[s], CKM_RSA_PKCS, &info), "");
                if (!lastSlotAnswered) {
                    continue;
                }
                setStatus("OK");
                if ((info.flags & kSignAndVerify) != kSignAndVerify) {
                    continue;
                }
                visitSlotCertificates(slots[s], [&list](X509Helper& certificate) {
                    list += listEntryOf(certificate);
                    return false;
                });
            }
            return lastSlotAnswered;
        });
    if (!listed) {
        return copyText(kFailureText);
    }
    return list;
}

std::string PKCS11Impl::signCert() {
    static constexpr OpeningFailure kOnFailure = {nullptr, nullptr, false};
    TokenOperationGuard operation(*this, lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    setStatus("OK");
    std::string text;
    const bool encoded = runTokenOperation(kOnFailure, [this, &text] {
        if (acquireCertificateContext(storedCN()) != 1) {
            return false;
        }
        ScopeExit certificateRelease([this] { releaseChosenCertificate(); });
        MallocPtr<char> base64Text(
            base64(reinterpret_cast<signed char*>(certContext->derData), certContext->derLength));
        if (!base64Text) {
            setStatus("Base64 encoding failed");
            return false;
        }
        text = base64Text.get();
        return true;
    });
    if (!encoded) {
        return copyText(kFailureText);
    }
    return text;
}

bool PKCS11Impl::readTokenSlots(MallocPtr<CK_SLOT_ID[]>& slots, CK_ULONG& count,
                                const char* firstQueryMessage, const char* secondQueryMessage) {
    count = 0;
    if (!succeeded(functionList->C_GetSlotList(CK_TRUE, nullptr, &count), firstQueryMessage,
                   CKR_BUFFER_TOO_SMALL)) {
        return false;
    }
    if (count == 0) {
        setStatus("Not found UKey");
        return false;
    }
    // Zero-filled: no slot the module failed to write is a stray value.
    if (count <= SIZE_MAX / sizeof(CK_SLOT_ID)) {
        slots.reset(static_cast<CK_SLOT_ID*>(std::calloc(count, sizeof(CK_SLOT_ID))));
    }
    if (!slots) {
        setStatus("Params invalid");
        return false;
    }
    const CK_ULONG capacity = count;
    const CK_RV rv = functionList->C_GetSlotList(CK_TRUE, slots.get(), &count);
    if (!succeededWithin(rv, secondQueryMessage, count, capacity)) {
        slots.reset();
        return false;
    }
    return true;
}

bool PKCS11Impl::visitSlotCertificates(CK_SLOT_ID slot,
                                       const std::function<bool(X509Helper&)>& visit) {
    CK_SESSION_HANDLE session = 0;
    if (functionList->C_OpenSession(slot, kSessionFlags, nullptr, nullptr, &session) != CKR_OK) {
        return false;
    }
    ScopeExit sessionCloser([this, session] { functionList->C_CloseSession(session); });
    CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE certificateTemplate = {CKA_CLASS, &certificateClass, sizeof(certificateClass)};
    CK_OBJECT_HANDLE handles[kMaxCertificates] = {};
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
