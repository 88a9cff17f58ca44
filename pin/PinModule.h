// The PIN module: a PKCS#11 module that the plug-in loads at its fixed token module path in
// place of the user's token module, and that hands out the user's module's own function list
// with entries of its own: C_GetFunctionList (its own list again), C_Login (PinLogin) and
// C_GetSlotList (InitialisedSlots).
// Every other call goes straight to the token module. One instance per loaded copy of the
// library; the token module is loaded at the first C_GetFunctionList and unloaded with it.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "PinSettings.h"

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

private:
    bool loadTokenModule(std::string& error);
    void unloadTokenModule();

    PinSettings settings_;
    void* library_ = nullptr;
    std::string loaded_;
    CK_FUNCTION_LIST* real_ = nullptr;
    CK_FUNCTION_LIST own_{};
};

}  // namespace vellum::pin
