// The PIN module: a PKCS#11 module that the plug-in loads at its fixed token module path in
// place of the user's token module, and that hands out the user's module's own function list
// with entries of its own: C_GetFunctionList (its own list again), C_Login (PinLogin) and
// C_GetSlotList (InitialisedSlots). In a host that hands over what it signs (HostHandOver), the
// signing calls too: a login approves one signature of the text the dialog showed
// (SignatureApproval), and C_SignInit, C_SignUpdate, C_SignFinal and C_Sign pass on only that;
// anything else is refused with CKR_FUNCTION_CANCELED and never reaches the token. Every other
// call goes straight to the token module. One instance per loaded copy of the library; the token
// module is loaded at the first C_GetFunctionList and unloaded with it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <mutex>
#include <string>

#include "HostHandOver.h"
#include "PinSettings.h"
#include "SignatureApproval.h"

namespace vellum::pin {

class PinModule {
public:
    static PinModule& instance();

    PinModule() = default;
    ~PinModule();
    PinModule(const PinModule&) = delete;
    PinModule& operator=(const PinModule&) = delete;

    CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list);
    CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                CK_ULONG pinLength);
    CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count);
    CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    CK_RV signUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length);
    CK_RV signFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR length);
    CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
               CK_BYTE_PTR signature, CK_ULONG_PTR length);
    // The session's approval ends with its login.
    CK_RV logout(CK_SESSION_HANDLE session);
    CK_RV closeSession(CK_SESSION_HANDLE session);
    CK_RV closeAllSessions(CK_SLOT_ID slot);
    CK_RV finalize(CK_VOID_PTR reserved);

private:
    // After a call that signs: the approval is spent when a signature came out, or when the
    // token ended the operation with an error.
    void settle(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_RV rv);
    CK_RV refuse(CK_SESSION_HANDLE session, const std::string& why);

    bool loadTokenModule(std::string& error);
    void unloadTokenModule();

    PinSettings settings_;
    void* library_ = nullptr;
    std::string loaded_;
    CK_FUNCTION_LIST* real_ = nullptr;
    CK_FUNCTION_LIST own_{};
    HostHandOver handOver_;
    std::mutex approvalsLock_;
    std::map<CK_SESSION_HANDLE, SignatureApproval> approvals_;
};

}  // namespace vellum::pin
