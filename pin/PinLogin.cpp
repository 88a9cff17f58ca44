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
                      CK_ULONG pinLength, const HostHandOver::Request* shown) {
    const bool nullPin = pin == nullptr && pinLength == 0;
    if (userType != CKU_USER || (shown == nullptr && !nullPin)) {
        return real.C_Login(session, userType, pin, pinLength);
    }
    if (real.C_GetSessionInfo == nullptr || real.C_GetTokenInfo == nullptr) {
        // Without the token's facts a signature's dialog cannot name the token.
        return shown != nullptr ? kNoDialog : real.C_Login(session, userType, pin, pinLength);
    }
    // A token that cannot tell its state gets no login at all: some count a login without a
    // PIN against the PIN's tries. The module's own answer goes back.
    CK_SESSION_INFO sessionInfo{};
    CK_TOKEN_INFO token{};
    CK_RV rv = real.C_GetSessionInfo(session, &sessionInfo);
    if (rv == CKR_OK) {
        rv = real.C_GetTokenInfo(sessionInfo.slotID, &token);
    }
    if (rv != CKR_OK) {
        return rv;
    }
    // A locked PIN takes no PIN at all: no dialog, and nothing reaches the token.
    if ((token.flags & CKF_USER_PIN_LOCKED) != 0) {
        return CKR_PIN_LOCKED;
    }
    // The token obtains or needs no PIN of ours: a PIN pad, a token without login, a session
    // logged in already, or a PIN the application gave.
    const bool tokenTakesItsOwn = !nullPin || loggedIn(sessionInfo.state) ||
                                  (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0 ||
                                  (token.flags & CKF_LOGIN_REQUIRED) == 0;
    if (tokenTakesItsOwn) {
        if (shown == nullptr) {
            return real.C_Login(session, userType, pin, pinLength);
        }
        // Every signature is confirmed, PIN or not.
        const PinDialogText text =
            PinDialogText::forSignature(token.label, token.flags, *shown, CKR_OK, false);
        std::string problem;
        const CK_RV answer = ended(
            PinEntryDialog::confirm(settings.pinentry, text, settings.timeoutSeconds, problem),
            problem);
        return answer != CKR_OK ? answer : real.C_Login(session, userType, pin, pinLength);
    }
    const CK_RV lastFailure = PinFailureMemory::lastFailure(token);
    const PinDialogText text =
        shown != nullptr
            ? PinDialogText::forSignature(token.label, token.flags, *shown, lastFailure, true)
            : PinDialogText::forLogin(token.label, token.flags, settings.site, lastFailure);
    SecretBuffer typed;
    std::string problem;
    const CK_RV answer =
        ended(PinEntryDialog::ask(settings.pinentry, text, settings.timeoutSeconds, typed, problem),
              problem);
    if (answer != CKR_OK) {
        return answer;
    }
    // Nothing typed and OK pressed is no PIN: the token is not asked to judge it.
    if (typed.empty()) {
        return CKR_FUNCTION_CANCELED;
    }
    rv = real.C_Login(session, CKU_USER, typed.data(), typed.size());
    typed.clear();
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        PinFailureMemory::forget();
    } else {
        PinFailureMemory::remember(token, rv);
    }
    return rv;
}

CK_RV PinLogin::ended(PinEntryDialog::Outcome outcome, const std::string& problem) {
    switch (outcome) {
        case PinEntryDialog::Outcome::Entered:
        case PinEntryDialog::Outcome::Confirmed:
            return CKR_OK;
        case PinEntryDialog::Outcome::Cancelled:
            return CKR_FUNCTION_CANCELED;
        case PinEntryDialog::Outcome::TimedOut:
            complain("nobody answered the dialog in time; the signature is cancelled");
            return CKR_FUNCTION_CANCELED;
        case PinEntryDialog::Outcome::Unavailable:
            break;
    }
    complain("no PIN dialog, so no login: " + problem +
             ". Install a graphical pinentry (Debian: pinentry-gnome3, pinentry-gtk2 or "
             "pinentry-qt) or name one in the bridge settings");
    return kNoDialog;
}

}  // namespace vellum::pin
