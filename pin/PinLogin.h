// The one call the PIN module does not simply pass on: the plug-in's C_Login for the user with
// no PIN (a null PIN of length 0). On a token without a protected authentication path (no PIN
// pad) the PIN is asked through pinentry and the token module gets what was typed; a PIN-pad
// token gets the null PIN, as without this module. Every other login is passed on unchanged.
#pragma once

#include <p11-kit/pkcs11.h>

#include "PinSettings.h"

namespace vellum::pin {

class PinLogin {
public:
    // What C_Login answers when no PIN dialog can be shown (no pinentry, or one that fails):
    // the token is not touched. The plug-in's text for it, "Function not suppored", reads as
    // "logging in is not possible here", and vellum-host's hint and doctor name the cause.
    static constexpr CK_RV kNoDialog = CKR_FUNCTION_NOT_SUPPORTED;

    static CK_RV login(CK_FUNCTION_LIST& real, const PinSettings& settings,
                       CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                       CK_ULONG pinLength);
};

}  // namespace vellum::pin
