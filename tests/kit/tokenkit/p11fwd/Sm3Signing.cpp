#include "Sm3Signing.h"

#include <openssl/evp.h>

namespace vellum::p11fwd {
namespace {

// DigestInfo { AlgorithmIdentifier { 1.2.156.10197.1.401 (SM3), NULL }, OCTET STRING (32) }
const char kDigestInfoPrefix[] =
    "\x30\x30\x30\x0C\x06\x08\x2A\x81\x1C\xCF\x55\x01\x83\x11\x05\x00"
    "\x04\x20";

}  // namespace

bool Sm3Signing::parse(const std::string& text, Sm3Mode& mode) {
    if (text == "digestinfo") {
        mode = Sm3Mode::DigestInfo;
    } else if (text == "bare") {
        mode = Sm3Mode::Bare;
    } else {
        return false;
    }
    return true;
}

CK_RV Sm3Signing::signInit(CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session,
                           CK_OBJECT_HANDLE key) {
    reset();
    CK_MECHANISM rsaPkcs = {CKM_RSA_PKCS, nullptr, 0};
    const CK_RV rv = real.C_SignInit(session, &rsaPkcs, key);
    if (rv == CKR_OK) {
        active_ = true;
        session_ = session;
    }
    return rv;
}

void Sm3Signing::reset() {
    active_ = false;
    data_.clear();
}

void Sm3Signing::update(const CK_BYTE* part, CK_ULONG length) {
    if (part != nullptr) {
        data_.append(reinterpret_cast<const char*>(part), length);
    }
}

CK_RV Sm3Signing::signFinal(Sm3Mode mode, CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session,
                            CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    if (EVP_Digest(data_.data(), data_.size(), hash, &hashLength, EVP_sm3(), nullptr) != 1) {
        reset();
        return CKR_GENERAL_ERROR;
    }
    std::string block = mode == Sm3Mode::Bare
                            ? std::string()
                            : std::string(kDigestInfoPrefix, sizeof kDigestInfoPrefix - 1);
    block.append(reinterpret_cast<const char*>(hash), hashLength);
    const CK_RV rv = real.C_Sign(session, reinterpret_cast<CK_BYTE_PTR>(block.data()), block.size(),
                                 signature, length);
    if (signature != nullptr && rv != CKR_BUFFER_TOO_SMALL) {
        reset();
    }
    return rv;
}

}  // namespace vellum::p11fwd
