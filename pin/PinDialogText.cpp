#include "PinDialogText.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>

#include "PinEntryDialog.h"
#include "SignatureApproval.h"
#include "VisibleText.h"

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

// A long name keeps its end, where a site's registrable domain stands: cut from its start, on
// a character boundary (forward over UTF-8 continuation bytes).
std::string shortened(const std::string& name, size_t longest = kMaxNameLength) {
    if (name.size() <= longest) {
        return name;
    }
    size_t cut = name.size() - longest;
    while (cut < name.size() && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
        ++cut;
    }
    return "..." + name.substr(cut);
}

// Sites in a signature's dialog: two of them and the text share one description.
constexpr size_t kMaxSiteLength = 150;

size_t escapedSize(const std::string& text) {
    return PinEntryDialog::escaped(text).size();
}

// `visible` with every line behind the text marker.
std::string textLines(const std::string& visible) {
    std::string lines = PinDialogText::kTextLine;
    for (char c : visible) {
        lines += c;
        if (c == '\n') {
            lines += PinDialogText::kTextLine;
        }
    }
    return lines;
}

// The SHA-256 of `text` in lower-case hex, in groups of four, eight groups a line.
std::string digestGroups(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return "(the SHA-256 could not be computed)";
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string groups;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0 && i % 2 == 0) {
            groups += i % 16 == 0 ? '\n' : ' ';
        }
        groups += kDigits[digest[i] >> 4];
        groups += kDigits[digest[i] & 0x0F];
    }
    return groups;
}

// The longest start of `text` whose lines fit `budget` escaped bytes: whole lines while they
// fit, else part of the first one, cut on a character boundary.
std::string fittingStart(const std::string& text, size_t budget) {
    size_t end = 0;
    for (;;) {
        const size_t next = text.find('\n', end);
        const size_t candidate = next == std::string::npos ? text.size() : next + 1;
        if (candidate > budget ||
            escapedSize(textLines(VisibleText::of(text.substr(0, candidate)))) > budget) {
            break;
        }
        end = candidate;
        if (next == std::string::npos) {
            return text;
        }
    }
    if (end > 0) {
        return text.substr(0, end);
    }
    size_t low = 0;
    // Each byte takes at least one of the budget's.
    size_t high = std::min({text.find('\n'), text.size(), budget});
    while (low < high) {
        const size_t middle = (low + high + 1) / 2;
        if (escapedSize(textLines(VisibleText::of(text.substr(0, middle)))) <= budget) {
            low = middle;
        } else {
            high = middle - 1;
        }
    }
    while (low > 0 && (static_cast<unsigned char>(text[low]) & 0xC0) == 0x80) {
        --low;
    }
    return text.substr(0, low);
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

PinDialogText PinDialogText::forSignature(const CK_UTF8CHAR (&label)[32], CK_FLAGS tokenFlags,
                                          const HostHandOver::Request& request, CK_RV lastFailure,
                                          bool askPin) {
    PinDialogText text;
    const std::string token = trimmedLabel(label);
    text.title = askPin ? "Token PIN" : "Confirm the signature";
    text.prompt = askPin ? "PIN:" : "";
    std::string asker = request.site.empty()
                            ? std::string("An application")
                            : VisibleText::of(shortened(request.site, kMaxSiteLength));
    if (!request.topSite.empty()) {
        asker += " in " + VisibleText::of(shortened(request.topSite, kMaxSiteLength));
    }
    const std::string header =
        asker + " asks to sign with the token \"" +
        (token.empty() ? std::string("(no label)") : VisibleText::of(token)) + "\".\n\n";
    std::string footer = askPin ? "\n\nEnter the token's PIN to sign this text once."
                                : "\n\nPress OK to sign this text once.";
    if ((tokenFlags & CKF_USER_PIN_FINAL_TRY) != 0) {
        footer += "\n\nThis is the last try: a wrong PIN now locks the token.";
    } else if ((tokenFlags & CKF_USER_PIN_COUNT_LOW) != 0) {
        footer += "\n\nFew tries are left before the token locks its PIN.";
    }
    const std::string hash = "Hash " + SignatureApproval::hashShown(request.hash) + ". ";
    const std::string bytes = std::to_string(request.text.size()) + " bytes";

    // Every byte of the text takes at least one of the description's.
    if (request.text.size() <= kMaxEscapedDescription) {
        text.description = header + hash + "The text to sign (" + bytes + "):\n" +
                           textLines(VisibleText::of(request.text)) + footer;
    }
    if (text.description.empty() || escapedSize(text.description) > kMaxEscapedDescription) {
        const std::string intro = header + hash + "The text to sign is " + bytes +
                                  ", too long to show whole. Its start:\n";
        const std::string digest = std::string("\n") + kTextCut + "\nSHA-256 of the whole text:\n" +
                                   digestGroups(request.text);
        const size_t fixed = escapedSize(intro + digest + footer);
        const size_t budget = fixed < kMaxEscapedDescription ? kMaxEscapedDescription - fixed : 0;
        std::string start = fittingStart(request.text, budget);
        // Whole lines end at their line break: the cut marker follows on the next line.
        if (!start.empty() && start.back() == '\n') {
            start.pop_back();
        }
        text.description = intro +
                           (start.empty() ? std::string() : textLines(VisibleText::of(start))) +
                           digest + footer;
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
