#include "PinDialogText.h"

#include <cstdio>

namespace vellum::pin {
namespace {

// A site or label is the caller's to choose; long ones are cut so that a line stays within
// the protocol's limit with room for the rest.
constexpr size_t kMaxNameLength = 200;

std::string trimmedLabel(const CK_UTF8CHAR (&label)[32]) {
    std::string text(reinterpret_cast<const char*>(label), sizeof(label));
    const size_t end = text.find_last_not_of(std::string(" \0", 2));
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string shortened(const std::string& name) {
    if (name.size() <= kMaxNameLength) {
        return name;
    }
    // Cut on a character boundary: back up over UTF-8 continuation bytes.
    size_t cut = kMaxNameLength;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return name.substr(0, cut) + "...";
}

std::string hexCode(CK_RV rv) {
    char text[32];
    std::snprintf(text, sizeof(text), "0x%04lX", static_cast<unsigned long>(rv));
    return text;
}

}  // namespace

PinDialogText PinDialogText::forLogin(const CK_UTF8CHAR (&label)[32], CK_FLAGS tokenFlags,
                                      const std::string& site, CK_RV lastFailure) {
    PinDialogText text;
    const std::string token = trimmedLabel(label);
    text.title = "Token PIN";
    text.prompt = "PIN:";
    text.description = (site.empty() ? std::string("An application") : shortened(site)) +
                       " asks to sign with the token \"" +
                       (token.empty() ? std::string("(no label)") : shortened(token)) +
                       "\".\n\nEnter the token's PIN to sign this once.";
    if ((tokenFlags & CKF_USER_PIN_FINAL_TRY) != 0) {
        text.description += "\n\nThis is the last try: a wrong PIN now locks the token.";
    } else if ((tokenFlags & CKF_USER_PIN_COUNT_LOW) != 0) {
        text.description += "\n\nFew tries are left before the token locks its PIN.";
    }
    if (lastFailure != CKR_OK) {
        text.error = failureText(lastFailure);
    }
    return text;
}

std::string PinDialogText::failureText(CK_RV rv) {
    switch (rv) {
        case CKR_PIN_INCORRECT:
            return "Wrong PIN (Pin incorrect). Try again.";
        case CKR_PIN_INVALID:
            return "The token does not take a PIN with these characters (Pin invalid).";
        case CKR_PIN_LEN_RANGE:
            return "The PIN is too short or too long for the token (Pin len range).";
        case CKR_PIN_EXPIRED:
            return "The token's PIN has expired (Pin expired).";
        default:
            return "The token refused the last PIN (" + hexCode(rv) + ").";
    }
}

}  // namespace vellum::pin
