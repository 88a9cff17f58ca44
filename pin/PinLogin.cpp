#include "PinLogin.h"

#include <cstdio>
#include <string>

#include "PinDialogText.h"
#include "PinEntryDialog.h"
#include "PinFailureMemory.h"
#include "SecretBuffer.h"

namespace vellum::pin {
namespace {

void complain(const std::string& line) {
    std::fprintf(stderr, "vellum-pin: %s\n", line.c_str());
    std::fflush(stderr);
}

bool loggedIn(CK_STATE state) {
    return state == CKS_RO_USER_FUNCTIONS || state == CKS_RW_USER_FUNCTIONS;
}

}  // namespace

CK_RV PinLogin::login(CK_FUNCTION_LIST& real, const PinSettings& settings,
                      CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                      CK_ULONG pinLength) {
    if (pin != nullptr || pinLength != 0 || userType != CKU_USER ||
        real.C_GetSessionInfo == nullptr || real.C_GetTokenInfo == nullptr) {
        return real.C_Login(session, userType, pin, pinLength);
    }
    // Whatever cannot be told (a bad session, a token gone) the token module answers itself.
    CK_SESSION_INFO sessionInfo{};
    CK_TOKEN_INFO token{};
    if (real.C_GetSessionInfo(session, &sessionInfo) != CKR_OK || loggedIn(sessionInfo.state) ||
        real.C_GetTokenInfo(sessionInfo.slotID, &token) != CKR_OK ||
        (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
        return real.C_Login(session, userType, pin, pinLength);
    }
    // A locked PIN takes no PIN at all: no dialog, and nothing reaches the token.
    if ((token.flags & CKF_USER_PIN_LOCKED) != 0) {
        return CKR_PIN_LOCKED;
    }
    const PinDialogText text = PinDialogText::forLogin(token.label, token.flags, settings.site,
                                                       PinFailureMemory::lastFailure(token));
    SecretBuffer typed;
    std::string problem;
    switch (PinEntryDialog::ask(settings.pinentry, text, typed, problem)) {
        case PinEntryDialog::Outcome::Unavailable:
            complain("no PIN dialog, so no login: " + problem +
                     ". Install a graphical pinentry (Debian: pinentry-gnome3, pinentry-gtk2 or "
                     "pinentry-qt) or name one in the bridge settings");
            return kNoDialog;
        case PinEntryDialog::Outcome::Cancelled:
            return CKR_FUNCTION_CANCELED;
        case PinEntryDialog::Outcome::Entered:
            break;
    }
    // Nothing typed and OK pressed is no PIN: the token is not asked to judge it.
    if (typed.empty()) {
        return CKR_FUNCTION_CANCELED;
    }
    const CK_RV rv = real.C_Login(session, CKU_USER, typed.data(), typed.size());
    typed.clear();
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        PinFailureMemory::forget();
    } else {
        PinFailureMemory::remember(token, rv);
    }
    return rv;
}

}  // namespace vellum::pin
