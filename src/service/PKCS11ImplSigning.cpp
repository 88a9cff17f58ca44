#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "service/HashMechanisms.h"
#include "service/MallocPtr.h"
#include "service/PKCS11Impl.h"
#include "service/ScopeExit.h"
#include "service/TokenOperationGuard.h"
#include "x509/SignatureVerifier.h"

namespace {

constexpr const char* kFailureText = "E:1000";
constexpr int kEnvelopeNumber = 65001;
// Room for a signature of an RSA key of up to 4096 bits.
constexpr unsigned long kSignatureCapacity = 512;

// Whether the signature is one of the data under the certificate's key. The token module's word
// is not taken for it: a module has answered CKR_OK with a signature of empty data. Only the
// published RSA mechanisms are checked; SM3 and keys other than RSA are the vendor's scheme.
bool signatureStands(const CertificateContext& context, CK_MECHANISM_TYPE mechanism,
                     const unsigned char* data, unsigned long dataLength,
                     const unsigned char* signature, unsigned long signatureLength) {
    SignatureVerifier::Digest digest;
    switch (mechanism) {
        case CKM_MD5_RSA_PKCS:
            digest = SignatureVerifier::Digest::Md5;
            break;
        case CKM_SHA1_RSA_PKCS:
            digest = SignatureVerifier::Digest::Sha1;
            break;
        case CKM_SHA256_RSA_PKCS:
            digest = SignatureVerifier::Digest::Sha256;
            break;
        default:
            return true;
    }
    const SignatureVerifier verifier(context.derData, context.derLength);
    return verifier.verify(digest, data, dataLength, signature, signatureLength) !=
           SignatureVerifier::Verdict::Invalid;
}

}  // namespace

void PKCS11Impl::setHashAlgorithm(std::string hashName) {
    // An unknown name selects the fallback (SHA-1) again, whatever was selected before.
    mechanismType = HashMechanisms::kFallback;
    for (const HashMechanisms::Entry& entry : HashMechanisms::kEntries) {
        if (hashName == entry.name) {
            mechanismType = entry.mechanism;
        }
    }
}

bool PKCS11Impl::findKey(CK_OBJECT_HANDLE* key, CK_OBJECT_CLASS keyClass) {
    if (!functionList || !certContext) {
        setStatus("Function list of pkcs11 is null");
        return false;
    }
    CK_ATTRIBUTE id = {CKA_ID, nullptr, 0};
    if (!succeeded(functionList->C_GetAttributeValue(certContext->sessionHandle,
                                                     certContext->objectHandle, &id, 1),
                   "Find key C_GetAttributeValue failed:")) {
        return false;
    }
    // calloc of 0 bytes may give null; an identifier of no bytes still needs a block.
    MallocPtr<unsigned char> idBytes(static_cast<unsigned char*>(
        id.ulValueLen < SIZE_MAX ? std::calloc(id.ulValueLen > 0 ? id.ulValueLen : 1, 1)
                                 : nullptr));
    if (!idBytes) {
        setStatus("Find key C_GetAttributeValue failed:", CKR_HOST_MEMORY);
        return false;
    }
    id.pValue = idBytes.get();
    const CK_ULONG capacity = id.ulValueLen;
    if (!succeeded(functionList->C_GetAttributeValue(certContext->sessionHandle,
                                                     certContext->objectHandle, &id, 1),
                   "Find key C_GetAttributeValue failed:")) {
        return false;
    }
    // A module claiming more than it could have written is not believed.
    if (id.ulValueLen > capacity) {
        id.ulValueLen = capacity;
    }
    CK_ATTRIBUTE keyTemplate[] = {
        {CKA_ID, idBytes.get(), id.ulValueLen},
        {CKA_CLASS, &keyClass, sizeof(keyClass)},
    };
    CK_ULONG count = 1;
    return findObject(certContext->sessionHandle, keyTemplate, 2, key, count) == 1 && count >= 1;
}

CK_RV PKCS11Impl::p11Sign(unsigned char* data, unsigned long dataLength, unsigned char* signature,
                          unsigned long& signatureLength) {
    if (!functionList || !certContext) {
        setStatus("Function list of pkcs11 is null");
        return CKR_ARGUMENTS_BAD;
    }
    const CK_SESSION_HANDLE session = certContext->sessionHandle;
    // No PIN is ever handled here: the token module obtains it itself.
    CK_RV rv = functionList->C_Login(session, CKU_USER, nullptr, 0);
    if (rv != CKR_OK) {
        setStatus("C_Login failed:", rv);
        return rv;
    }
    // Every failure from here on logs out before it reports.
    auto failAfterLogin = [this, session](const char* message, CK_RV failure) {
        functionList->C_Logout(session);
        setStatus(message, failure);
        return failure;
    };

    CK_OBJECT_HANDLE key = 0;
    if (!findKey(&key, CKO_PRIVATE_KEY)) {
        functionList->C_Logout(session);
        return CKR_KEY_HANDLE_INVALID;
    }
    CK_MECHANISM mechanism = {operationMechanism, nullptr, 0};
    rv = functionList->C_SignInit(session, &mechanism, key);
    if (rv != CKR_OK) {
        return failAfterLogin("C_SignInit failed:", rv);
    }
    rv = functionList->C_SignUpdate(session, data, dataLength);
    if (rv != CKR_OK) {
        return failAfterLogin("C_SignUpdate failed:", rv);
    }
    CK_ULONG length = 0;
    rv = functionList->C_SignFinal(session, nullptr, &length);
    if (rv != CKR_OK) {
        return failAfterLogin("C_SignFinal1 failed:", rv);
    }
    // Nothing is ever written past the caller's buffer.
    if (length > signatureLength) {
        return failAfterLogin("C_SignFinal1 failed:", CKR_BUFFER_TOO_SMALL);
    }
    const CK_ULONG blockSize = length;
    MallocPtr<unsigned char> block(
        static_cast<unsigned char*>(std::calloc(blockSize > 0 ? blockSize : 1, 1)));
    if (!block) {
        return failAfterLogin("C_SignFinal2 failed:", CKR_HOST_MEMORY);
    }
    rv = functionList->C_SignFinal(session, block.get(), &length);
    if (rv != CKR_OK) {
        block.reset();
        return failAfterLogin("C_SignFinal2 failed:", rv);
    }
    if (length > blockSize) {
        block.reset();
        return failAfterLogin("C_SignFinal2 failed:", CKR_BUFFER_TOO_SMALL);
    }
    if (!signatureStands(*certContext, mechanism.mechanism, data, dataLength, block.get(),
                         length)) {
        block.reset();
        return failAfterLogin("Signature check failed:", CKR_SIGNATURE_INVALID);
    }
    if (length > 0) {
        std::memcpy(signature, block.get(), length);
    }
    signatureLength = length;
    block.reset();
    rv = functionList->C_Logout(session);
    if (rv != CKR_OK) {
        setStatus("C_Logout failed:", rv);
        return rv;
    }
    return CKR_OK;
}

int PKCS11Impl::sign(unsigned char* data, unsigned long dataLength, char** text,
                     unsigned long& textLength) {
    if (!data || dataLength == 0 || !text) {
        setStatus("Params invalid");
        return -1;
    }
    if (!haveCertContext()) {
        return -1;
    }
    // Fixed for the whole operation: a hash name written from a nested event loop while the
    // token module asks for the PIN applies to the next signing, not to this one.
    operationMechanism = mechanismType;
    if (loadPKCS11Library() != 0) {
        setStatus("loadPKCS11Library failed:");
        return -1;
    }
    if (initialize() != 1) {
        setStatus("initialize failed:");
        releaseFailedInitialize();
        return -1;
    }
    bool sessionOpen = false;
    ScopeExit closing([this, &sessionOpen] { closeSigningOperation(sessionOpen); });
    try {
        if (acquireCertificateContext(storedCN()) != 1) {
            return -1;
        }
        sessionOpen = true;
        unsigned char signature[kSignatureCapacity] = {};
        unsigned long signatureLength = kSignatureCapacity;
        CK_RV rv = p11Sign(data, dataLength, signature, signatureLength);
        closing.runNow();
        if (rv != CKR_OK) {
            return -1;
        }
        char* hex = static_cast<char*>(std::calloc(2 * signatureLength + 20, 1));
        if (!hex) {
            setOutOfMemory();
            return -1;
        }
        static const char kDigits[] = "0123456789ABCDEF";
        for (unsigned long i = 0; i < signatureLength; ++i) {
            hex[2 * i] = kDigits[signature[i] >> 4];
            hex[2 * i + 1] = kDigits[signature[i] & 0x0F];
        }
        *text = hex;
        textLength = 2 * signatureLength;
        return 0;
    } catch (...) {
        setOutOfMemory();
        return -1;
    }
}

void PKCS11Impl::closeSigningOperation(bool sessionOpen) noexcept {
    // A failed search leaves no session of this operation open; the handle it left behind names
    // a closed session, so it is not passed to C_CloseSession.
    if (freeDerCert() && sessionOpen) {
        closeSession(certContext->sessionHandle);
    }
    uninitialize();
    unloadPKCS11Library();
}

std::string PKCS11Impl::getSignData() {
    TokenOperationGuard operation(lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    setStatus("OK");
    try {
        return envelope(true);
    } catch (...) {
        setOutOfMemory();
        return copyText(kFailureText);
    }
}

std::string PKCS11Impl::getSignature() {
    TokenOperationGuard operation(lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    setStatus("OK");
    try {
        return envelope(false);
    } catch (...) {
        setOutOfMemory();
        return copyText(kFailureText);
    }
}

std::string PKCS11Impl::envelope(bool withData) {
    // The envelope carries the copy that was signed: script may write SignData again from a
    // nested event loop while the token module asks for the PIN.
    const std::string& stored = storedSignData();
    const size_t dataLength = stored.size();
    MallocPtr<unsigned char> copy(static_cast<unsigned char*>(std::calloc(dataLength + 1, 1)));
    if (!copy) {
        setOutOfMemory();
        return kFailureText;
    }
    std::memcpy(copy.get(), stored.data(), dataLength);
    char* hex = nullptr;
    unsigned long hexLength = 0;
    if (sign(copy.get(), dataLength, &hex, hexLength) != 0) {
        return kFailureText;
    }
    MallocPtr<char> signatureText(hex);

    // "UD65001:<8-digit data length><data><8-digit hex length><hex>" or
    // "US65001:<8-digit hex length><hex>". All data bytes are carried, a NUL among them too.
    char number[32];
    std::string text;
    text.reserve(dataLength + hexLength + 32);
    std::snprintf(number, sizeof(number), "%s%d:", withData ? "UD" : "US", kEnvelopeNumber);
    text += number;
    if (withData) {
        std::snprintf(number, sizeof(number), "%08lu", static_cast<unsigned long>(dataLength));
        text += number;
        text.append(reinterpret_cast<const char*>(copy.get()), dataLength);
    }
    std::snprintf(number, sizeof(number), "%08lu", hexLength);
    text += number;
    text.append(signatureText.get(), hexLength);
    return text;
}
