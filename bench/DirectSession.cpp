#include "DirectSession.h"

#include "DirectModule.h"

namespace vellum::bench {

DirectSession::~DirectSession() {
    if (open_) {
        functions_->C_CloseSession(session_);
    }
}

bool DirectSession::slotCanSign(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot) {
    CK_MECHANISM_INFO info{};
    const CK_FLAGS wanted = CKF_SIGN | CKF_VERIFY;
    return functions->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info) == CKR_OK &&
           (info.flags & wanted) == wanted;
}

bool DirectSession::open(CK_SLOT_ID slot, std::string& error) {
    CK_RV rv = functions_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                         nullptr, &session_);
    if (rv != CKR_OK) {
        error = callFailure("C_OpenSession", rv);
        return false;
    }
    open_ = true;
    return true;
}

bool DirectSession::findObjects(CK_ATTRIBUTE* search, CK_ULONG attributes, CK_ULONG maximum,
                                std::vector<CK_OBJECT_HANDLE>& found, std::string& error) {
    CK_RV rv = functions_->C_FindObjectsInit(session_, search, attributes);
    if (rv != CKR_OK) {
        error = callFailure("C_FindObjectsInit", rv);
        return false;
    }
    found.assign(maximum, CK_INVALID_HANDLE);
    CK_ULONG count = 0;
    CK_RV findRv = functions_->C_FindObjects(session_, found.data(), maximum, &count);
    rv = functions_->C_FindObjectsFinal(session_);
    if (findRv != CKR_OK || count == 0) {
        error = callFailure("C_FindObjects", findRv) + (count == 0 ? " (nothing found)" : "");
        return false;
    }
    if (rv != CKR_OK) {
        error = callFailure("C_FindObjectsFinal", rv);
        return false;
    }
    found.resize(count);
    return true;
}

bool DirectSession::readAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                                  std::vector<unsigned char>& value, std::string& error) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    CK_RV rv = functions_->C_GetAttributeValue(session_, object, &attribute, 1);
    if (rv != CKR_OK) {
        error = callFailure("C_GetAttributeValue", rv);
        return false;
    }
    value.assign(attribute.ulValueLen, 0);
    attribute.pValue = value.data();
    rv = functions_->C_GetAttributeValue(session_, object, &attribute, 1);
    if (rv != CKR_OK) {
        error = callFailure("C_GetAttributeValue", rv);
        return false;
    }
    value.resize(attribute.ulValueLen);
    return true;
}

bool DirectSession::login(const std::string& pin, std::string& error) {
    CK_UTF8CHAR* pinBytes =
        pin.empty() ? nullptr : reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data()));
    CK_RV rv = functions_->C_Login(session_, CKU_USER, pinBytes, pin.size());
    if (rv != CKR_OK) {
        error = callFailure("C_Login", rv);
        return false;
    }
    return true;
}

bool DirectSession::logout(std::string& error) {
    CK_RV rv = functions_->C_Logout(session_);
    if (rv != CKR_OK) {
        error = callFailure("C_Logout", rv);
        return false;
    }
    return true;
}

bool DirectSession::sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const std::string& data,
                         std::vector<unsigned char>& signature, std::string& error) {
    CK_MECHANISM how{mechanism, nullptr, 0};
    CK_RV rv = functions_->C_SignInit(session_, &how, key);
    if (rv != CKR_OK) {
        error = callFailure("C_SignInit", rv);
        return false;
    }
    rv = functions_->C_SignUpdate(
        session_, reinterpret_cast<CK_BYTE*>(const_cast<char*>(data.data())), data.size());
    if (rv != CKR_OK) {
        error = callFailure("C_SignUpdate", rv);
        return false;
    }
    CK_ULONG length = 0;
    rv = functions_->C_SignFinal(session_, nullptr, &length);
    if (rv != CKR_OK) {
        error = callFailure("C_SignFinal", rv);
        return false;
    }
    signature.assign(length, 0);
    rv = functions_->C_SignFinal(session_, signature.data(), &length);
    if (rv != CKR_OK) {
        error = callFailure("C_SignFinal", rv);
        return false;
    }
    signature.resize(length);
    return true;
}

}  // namespace vellum::bench
