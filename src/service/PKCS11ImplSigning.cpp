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
// is not taken for it: a module has answered CKR_OK with a signature of empty data. What the
// verifier cannot check (SM3 under a key that is not RSA) is the vendor's scheme and stands.
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
        case HashMechanisms::kSm3RsaPkcs:
            digest = SignatureVerifier::Digest::Sm3;
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
    MallocPtr<unsigned char[]> id;
    CK_ULONG idLength = 0;
    if (!readObjectAttribute(CKA_ID, "Find key C_GetAttributeValue failed:", id, idLength)) {
        return false;
    }
    CK_ATTRIBUTE keyTemplate[] = {
        {CKA_ID, id.get(), idLength},
        {CKA_CLASS, &keyClass, sizeof(keyClass)},
    };
    CK_ULONG count = 1;
    return findObject(certContext->sessionHandle, keyTemplate, 2, key, count) == 1 && count >= 1;
}

CK_RV PKCS11Impl::p11Sign(unsigned char* data, unsigned long dataLength, unsigned char* signature,
                          unsigned long& signatureLength) {
    const CK_SESSION_HANDLE session = certContext->sessionHandle;
    // No PIN is ever handled here: the token module obtains it itself.
    CK_RV rv = functionList->C_Login(session, CKU_USER, nullptr, 0);
    if (!succeeded(rv, "C_Login failed:")) {
        return rv;
    }
    // Every failure from here on logs out; only the logout after signing is checked.
    ScopeExit logout([this, session] { functionList->C_Logout(session); });

    CK_OBJECT_HANDLE key = 0;
    if (!findKey(&key, CKO_PRIVATE_KEY)) {
        return CKR_KEY_HANDLE_INVALID;
    }
    CK_MECHANISM mechanism = {operationMechanism, nullptr, 0};
    rv = functionList->C_SignInit(session, &mechanism, key);
    if (!succeeded(rv, "C_SignInit failed:")) {
        return rv;
    }
    rv = functionList->C_SignUpdate(session, data, dataLength);
    if (!succeeded(rv, "C_SignUpdate failed:")) {
        return rv;
    }
    CK_ULONG length = 0;
    rv = functionList->C_SignFinal(session, nullptr, &length);
    if (!succeeded(rv, "C_SignFinal1 failed:")) {
        return rv;
    }
    // Nothing is ever written past the caller's buffer.
    if (length > signatureLength) {
        setStatus("C_SignFinal1 failed:", CKR_BUFFER_TOO_SMALL);
        return CKR_BUFFER_TOO_SMALL;
    }
    const CK_ULONG blockSize = length;
    MallocPtr<unsigned char[]> block(
        static_cast<unsigned char*>(std::calloc(blockSize > 0 ? blockSize : 1, 1)));
    if (!block) {
        setStatus("C_SignFinal2 failed:", CKR_HOST_MEMORY);
        return CKR_HOST_MEMORY;
    }
    rv = functionList->C_SignFinal(session, block.get(), &length);
    if (!succeededWithin(rv, "C_SignFinal2 failed:", length, blockSize)) {
        return rv;
    }
    if (!signatureStands(*certContext, mechanism.mechanism, data, dataLength, block.get(),
                         length)) {
        setStatus("Signature check failed:", CKR_SIGNATURE_INVALID);
        return CKR_SIGNATURE_INVALID;
    }
    if (length > 0) {
        std::memcpy(signature, block.get(), length);
    }
    signatureLength = length;
    block.reset();
    logout.dismiss();
    rv = functionList->C_Logout(session);
    if (!succeeded(rv, "C_Logout failed:")) {
        return rv;
    }
    return CKR_OK;
}

int PKCS11Impl::sign(unsigned char* data, unsigned long dataLength, char** text,
                     unsigned long& textLength) {
    static constexpr OpeningFailure kOnFailure = {
        "loadPKCS11Library failed:", "initialize failed:", true};
    if (!data || dataLength == 0 || !text) {
        setStatus("Params invalid");
        return -1;
    }
    // Fixed for the whole operation: a hash name written from a nested event loop while the
    // token module asks for the PIN applies to the next signing, not to this one.
    operationMechanism = mechanismType;
    unsigned char signature[kSignatureCapacity] = {};
    unsigned long signatureLength = kSignatureCapacity;
    const bool signedData = runTokenOperation(kOnFailure, [&] {
        if (acquireCertificateContext(storedCN()) != 1) {
            return false;
        }
        ScopeExit certificateRelease([this] { releaseChosenCertificate(); });
        return p11Sign(data, dataLength, signature, signatureLength) == CKR_OK;
    });
    if (!signedData) {
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
}

std::string PKCS11Impl::getSignData() {
    return envelope(true);
}

std::string PKCS11Impl::getSignature() {
    return envelope(false);
}

std::string PKCS11Impl::envelope(bool withData) noexcept {
    TokenOperationGuard operation(*this, lastErrorText);
    if (!operation.claimed()) {
        return copyText(kFailureText);
    }
    setStatus("OK");
    try {
        // The envelope carries the copy that was signed: script may write SignData again from a
        // nested event loop while the token module asks for the PIN.
        const std::string& stored = storedSignData();
        const size_t dataLength = stored.size();
        MallocPtr<unsigned char[]> copy(
            static_cast<unsigned char*>(std::calloc(dataLength + 1, 1)));
        if (!copy) {
            setOutOfMemory();
            return copyText(kFailureText);
        }
        std::memcpy(copy.get(), stored.data(), dataLength);
        char* hex = nullptr;
        unsigned long hexLength = 0;
        if (sign(copy.get(), dataLength, &hex, hexLength) != 0) {
            return copyText(kFailureText);
        }
        MallocPtr<char[]> signatureText(hex);

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
    } catch (...) {
        setOutOfMemory();
        return copyText(kFailureText);
    }
}
