// One session on one slot of a DirectModule, and the calls the plug-in makes on it, each as a
// single step with nothing added. The destructor closes the session.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

namespace vellum::bench {

class DirectSession {
public:
    explicit DirectSession(CK_FUNCTION_LIST* functions) : functions_(functions) {}
    ~DirectSession();
    DirectSession(const DirectSession&) = delete;
    DirectSession& operator=(const DirectSession&) = delete;

    // C_GetMechanismInfo for CKM_RSA_PKCS: both CKF_SIGN and CKF_VERIFY, as the plug-in asks.
    static bool slotCanSign(CK_FUNCTION_LIST* functions, CK_SLOT_ID slot);

    // C_OpenSession, serial and read-write, no callback.
    bool open(CK_SLOT_ID slot, std::string& error);
    // C_FindObjectsInit, one C_FindObjects of at most `maximum`, C_FindObjectsFinal. False when
    // a call fails or nothing is found.
    bool findObjects(CK_ATTRIBUTE* search, CK_ULONG attributes, CK_ULONG maximum,
                     std::vector<CK_OBJECT_HANDLE>& found, std::string& error);
    // Two C_GetAttributeValue calls: the length, then the value.
    bool readAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
                       std::vector<unsigned char>& value, std::string& error);
    // C_Login as the user; an empty PIN logs in with a null PIN of length 0, leaving the PIN
    // to the module.
    bool login(const std::string& pin, std::string& error);
    bool logout(std::string& error);
    // C_SignInit with a mechanism without parameter, one C_SignUpdate with all data, then
    // C_SignFinal for the length and again for the signature.
    bool sign(CK_MECHANISM_TYPE mechanism, CK_OBJECT_HANDLE key, const std::string& data,
              std::vector<unsigned char>& signature, std::string& error);

    CK_SESSION_HANDLE handle() const { return session_; }

private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    bool open_ = false;
};

}  // namespace vellum::bench
