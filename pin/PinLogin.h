// The plug-in's C_Login for the user with no PIN (a null PIN of length 0). On a token without a
// protected authentication path (no PIN pad) the PIN is asked through pinentry and the token
// module gets what was typed; a PIN-pad token gets the null PIN, as without this module. When
// the host handed over the signature under way, the dialog shows it, and a token that takes no
// PIN from the dialog (PIN pad, no login needed, logged in already) is asked for a confirmation
// first. A token that cannot tell its session or token state gets no login: its error returns.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>

#include "HostHandOver.h"
#include "PinEntryDialog.h"
#include "PinSettings.h"

namespace vellum::pin {

class PinLogin {
public:
    // What C_Login answers when no PIN dialog can be shown (no pinentry, or one that fails):
    // the token is not touched. The plug-in's text for it, "Function not suppored", reads as
    // "logging in is not possible here", and vellum-host's hint and doctor name the cause.
    static constexpr CK_RV kNoDialog = CKR_FUNCTION_NOT_SUPPORTED;

    // `shown`: the signature the host handed over, or null when the host hands over none.
    static CK_RV login(CK_FUNCTION_LIST& real, const PinSettings& settings,
                       CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                       CK_ULONG pinLength, const HostHandOver::Request* shown);

private:
    // CKR_OK when the person went on; what a dialog that ended otherwise makes of the login.
    static CK_RV ended(PinEntryDialog::Outcome outcome, const std::string& problem);
};

}  // namespace vellum::pin
