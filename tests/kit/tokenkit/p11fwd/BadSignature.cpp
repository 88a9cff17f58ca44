#include "BadSignature.h"

#include "FwdLog.h"

namespace vellum::p11fwd {
namespace {

std::string hexBytes(const CK_BYTE* bytes, CK_ULONG length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (CK_ULONG i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

bool BadSignature::parse(const std::string& text, BadSignatureMode& mode) {
    if (text == "flip") {
        mode = BadSignatureMode::Flip;
    } else if (text == "empty") {
        mode = BadSignatureMode::Empty;
    } else {
        return false;
    }
    return true;
}

void BadSignature::signInit(CK_SESSION_HANDLE session, const CK_MECHANISM& mechanism,
                            CK_OBJECT_HANDLE key) {
    known_ = true;
    session_ = session;
    mechanism_ = mechanism.mechanism;
    key_ = key;
}

CK_RV BadSignature::bend(BadSignatureMode mode, CK_FUNCTION_LIST& real, CK_SESSION_HANDLE session,
                         CK_BYTE_PTR signature, CK_ULONG_PTR length, CK_ULONG capacity,
                         std::string& args) {
    if (mode == BadSignatureMode::Flip && *length > 0) {
        signature[*length - 1] ^= 0xFF;
        args += " bent=flip handedOut=" + hexBytes(signature, *length);
        return CKR_OK;
    }
    if (mode != BadSignatureMode::Empty) {
        return CKR_OK;
    }
    if (!known_ || session_ != session) {
        args += " bent=empty error=no-C_SignInit";
        return CKR_GENERAL_ERROR;
    }
    // A multi-part operation finished without any C_SignUpdate signs empty data. These calls
    // go to the real module only: the application's sequence is the same as without them.
    CK_MECHANISM mechanism = {mechanism_, nullptr, 0};
    CK_RV rv = real.C_SignInit(session, &mechanism, key_);
    CK_ULONG emptyLength = capacity;
    if (rv == CKR_OK) {
        rv = real.C_SignFinal(session, signature, &emptyLength);
    }
    if (rv != CKR_OK) {
        args += " bent=empty error=" + FwdLog::hex(rv);
        return rv;
    }
    *length = emptyLength;
    args += " bent=empty handedOut=" + hexBytes(signature, *length);
    return CKR_OK;
}

}  // namespace vellum::p11fwd
