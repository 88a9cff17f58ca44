#include "doctor/DoctorFindings.h"

#include <cstdio>

namespace vellum::host {
namespace {

constexpr int64_t kSecondsPerDay = 24 * 60 * 60;

// Sentences begin with it, so it is capitalised; "the listed slot ..." uses lowerSlotName.
std::string slotName(const SlotFacts& slot) {
    return "Slot " + std::to_string(slot.slot) + " (\"" + slot.label + "\")";
}

std::string lowerSlotName(const SlotFacts& slot) {
    return "slot " + std::to_string(slot.slot) + " (\"" + slot.label + "\")";
}

std::string hexNumber(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

std::string certificateName(const CertificateFacts& certificate) {
    return "certificate " + (certificate.serial.empty() ? "(unreadable)" : certificate.serial) +
           " (\"" + certificate.name + "\")";
}

std::string plural(size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

// A token that reports itself uninitialised holds nothing and may open no session; SoftHSM2
// always shows one such spare token after its initialised ones. One that shows certificates is
// in use whatever its flag says.
bool neverInitialised(const SlotFacts& slot) {
    return slot.tokenInfo == "OK" && !slot.flags.tokenInitialized && slot.certificates.empty();
}

// Why a slot's certificates are not reachable through the plug-in, or empty when they are.
std::string unusableReason(const SlotFacts& slot) {
    if (neverInitialised(slot)) {
        return "its token was never initialised (CKF_TOKEN_INITIALIZED is not set)";
    }
    if (slot.rsaPkcs != "OK") {
        return "its CKM_RSA_PKCS query fails with " + slot.rsaPkcs;
    }
    if (!slot.rsaSign || !slot.rsaVerify) {
        return std::string("its CKM_RSA_PKCS mechanism does not offer ") +
               (!slot.rsaSign && !slot.rsaVerify ? "sign or verify"
                : !slot.rsaSign                  ? "sign"
                                                 : "verify");
    }
    if (slot.session != "OK") {
        return "no session opens on it (" + slot.session + ")";
    }
    return "";
}

void judgeModule(const ModuleFacts& facts, Platform platform, DoctorFindings& findings) {
    const std::string where = facts.mappedFrom.empty()
                                  ? facts.path
                                  : facts.path + " (mapped to " + facts.mappedFrom + ")";
    if (facts.crashedOnFirstLoad) {
        findings.problems.push_back("The token module at " + where +
                                    " crashes the process on its first load (" + facts.crash +
                                    "), so a page's first operation would crash the browser; "
                                    "report it to the module's vendor.");
        return;
    }
    if (!facts.crash.empty()) {
        // The module's own text, then how doctor's process died.
        findings.problems.push_back(
            "the module crashes when loaded a second time in one process: a page's second "
            "operation would crash the browser (doctor's process died of " +
            facts.crash + "); report it to the module's vendor.");
    }
    if (!facts.loaded) {
        // On Linux the browser's native host maps the module bridge install recorded, and
        // doctor --token-module only inspects; macOS has no mapping at all.
        findings.problems.push_back(
            "No token module loads from " + where + " (" + facts.error + "): " +
            (platform == Platform::Linux
                 ? "for the browser, record your token's PKCS#11 module with 'vellum-host bridge "
                   "install --token-module PATH'; 'vellum-host doctor --token-module PATH' only "
                   "inspects a module and records nothing."
                 : "install the token vendor's module at " + facts.path + "."));
    } else if (facts.functionList != "OK") {
        findings.problems.push_back("The token module at " + where +
                                    " is not a usable PKCS#11 module (" + facts.functionList +
                                    "): reinstall the token vendor's module.");
    } else if (facts.initialize != "OK" && facts.initialize.find("(0x0191)") == std::string::npos) {
        findings.problems.push_back("The token module's C_Initialize fails with " +
                                    facts.initialize +
                                    ": check that the vendor's module and any service it needs "
                                    "are installed and running.");
    } else if (facts.slotList != "OK") {
        findings.problems.push_back("The token module cannot list its slots (C_GetSlotList: " +
                                    facts.slotList + "): reconnect the reader and try again.");
    } else if (facts.slots.empty()) {
        findings.problems.push_back(
            "No token is present: the module lists no slot with a token, so every operation "
            "fails with \"C_Initialize failed:OK(0x0000)\"; plug the token in or check its "
            "reader.");
    }
}

void judgeListedSlot(const SlotFacts& slot, DoctorFindings& findings) {
    if (neverInitialised(slot)) {
        findings.problems.push_back(
            "The listed " + lowerSlotName(slot) +
            " holds a token that was never initialised (CKF_TOKEN_INITIALIZED is not set), so "
            "getCertList finds nothing on it; initialise it and load the certificate with its "
            "vendor's tool, or remove it.");
    } else if (slot.rsaPkcs != "OK") {
        findings.problems.push_back(
            "The listed " + lowerSlotName(slot) + " fails the CKM_RSA_PKCS query with " +
            slot.rsaPkcs +
            ", so getCertList answers \"E:1000\" whatever other slots hold; use a token that "
            "offers CKM_RSA_PKCS, or remove this one.");
    } else if (!slot.rsaSign || !slot.rsaVerify) {
        findings.problems.push_back(
            "The listed " + lowerSlotName(slot) + " offers CKM_RSA_PKCS without " +
            (!slot.rsaSign && !slot.rsaVerify ? "sign and verify"
             : !slot.rsaSign                  ? "sign"
                                              : "verify") +
            ", so the plug-in skips it and getCertList returns an empty list; the token (or its "
            "module) must offer CKM_RSA_PKCS for both.");
    } else if (slot.session != "OK") {
        findings.problems.push_back("No session opens on the listed " + lowerSlotName(slot) + " (" +
                                    slot.session +
                                    "), so getCertList returns an empty list; reconnect the "
                                    "token and try again.");
    } else if (slot.certificates.empty()) {
        findings.problems.push_back(
            "The listed " + lowerSlotName(slot) +
            " shows no certificate without login, so getCertList returns an empty list; load "
            "the user's certificate onto this token, or " +
            (slot.removable ? std::string("unplug it so that the token with the certificate is "
                                          "the last slot")
                            : std::string("delete this software token with its module's own "
                                          "tool so that the one with the certificate is the "
                                          "last slot")) +
            ".");
    }
}

// PIN, login and hash findings for a slot the plug-in may sign on.
void judgeSigningSlot(const ModuleFacts& facts, const SlotFacts& slot, DoctorFindings& findings) {
    const std::string name = slotName(slot);
    const std::string lowerName = lowerSlotName(slot);
    if (slot.flags.userPinLocked) {
        findings.problems.push_back("The user PIN of " + lowerName +
                                    " is locked, so every signing fails at C_Login; the token's "
                                    "security officer must unlock or reset it.");
    } else if (slot.flags.userPinFinalTry) {
        findings.warnings.push_back("The user PIN of " + lowerName +
                                    " is at its final try: one more wrong PIN locks the token; "
                                    "make sure the user knows the PIN before signing.");
    } else if (slot.flags.userPinCountLow) {
        findings.warnings.push_back("The user PIN of " + lowerName +
                                    " has been entered wrongly before (count low); check the "
                                    "PIN before more attempts lock the token.");
    }
    if (slot.certificates.empty()) {
        return;
    }
    if (!slot.flags.protectedAuthenticationPath && facts.pinDialog && facts.pinentry.empty()) {
        findings.problems.push_back(
            name +
            " has no protected authentication path, and no pinentry program is installed to ask "
            "its PIN, so every signing fails at C_Login without trying the token: install the "
            "Debian package pinentry-gnome3 (or pinentry-gtk2, pinentry-qt), or name a "
            "pinentry in the bridge settings.");
    } else if (!slot.flags.protectedAuthenticationPath && facts.pinDialog &&
               facts.pinentryTerminalOnly) {
        findings.problems.push_back(
            name + " has no protected authentication path, and the only pinentry program, " +
            facts.pinentry +
            ", asks in a terminal: a browser starts vellum-host without one, so signing from a "
            "page fails at C_Login without trying the token; install the Debian package "
            "pinentry-gnome3 (or pinentry-gtk2, pinentry-qt).");
    } else if (!slot.flags.protectedAuthenticationPath && !facts.pinDialog) {
        findings.warnings.push_back(
            name +
            " has no protected authentication path: the plug-in logs in without a PIN, "
            "so the token will refuse the login (which may count as a wrong PIN) unless "
            "its module asks for the PIN itself.");
    }
    std::string missing;
    std::string numbers;
    size_t count = 0;
    for (const HashFacts& hash : slot.hashes) {
        if (!hash.offered) {
            missing += (count == 0 ? "" : ", ") + hash.name;
            numbers += (count == 0 ? "" : ", ") + hexNumber(hash.mechanism);
            ++count;
        }
    }
    if (count > 0) {
        findings.warnings.push_back(name + " does not offer signing with " + missing +
                                    " (mechanism" + (count == 1 ? " " : "s ") + numbers +
                                    "): a page that selects " + (count == 1 ? "it" : "them") +
                                    " as HashAlgorithm fails at C_SignInit; choose another hash.");
    }
}

void judgeCertificates(const SlotFacts& slot, int64_t now, DoctorFindings& findings) {
    for (const CertificateFacts& certificate : slot.certificates) {
        if (certificate.notAfter.empty()) {
            continue;
        }
        const int64_t left = certificate.notAfterTime - now;
        if (left < 0) {
            findings.warnings.push_back("The " + certificateName(certificate) + " on " +
                                        lowerSlotName(slot) + " expired on " +
                                        certificate.notAfter +
                                        "; signatures made with it will not be accepted; renew "
                                        "it.");
        } else if (left < DoctorFindings::kExpiryWarningDays * kSecondsPerDay) {
            findings.warnings.push_back(
                "The " + certificateName(certificate) + " on " + lowerSlotName(slot) +
                " expires on " + certificate.notAfter + ", in less than " +
                std::to_string(DoctorFindings::kExpiryWarningDays) + " days; renew it soon.");
        }
    }
}

}  // namespace

DoctorFindings DoctorFindings::judge(const ModuleFacts& facts, int64_t now, Platform platform) {
    DoctorFindings findings;
    judgeModule(facts, platform, findings);
    if (facts.slots.empty()) {
        return findings;
    }
    findings.listedSlot = static_cast<int>(facts.slots.size()) - 1;
    const SlotFacts& listed = facts.slots.back();
    for (size_t i = 0; i < facts.slots.size(); ++i) {
        const SlotFacts& slot = facts.slots[i];
        const std::string reason = unusableReason(slot);
        if (static_cast<int>(i) == findings.listedSlot) {
            findings.slotRoles.push_back(
                reason.empty() ? "listed, as the last slot with a token"
                               : "listed, as the last slot with a token, but contributes "
                                 "nothing: " +
                                     reason);
            judgeListedSlot(slot, findings);
        } else {
            findings.slotRoles.push_back(
                "not listed: only the last slot with a token (" + std::to_string(listed.slot) +
                ")" + (reason.empty() ? "" : "; the plug-in also skips it for signing: " + reason));
            if (!slot.certificates.empty()) {
                const std::string them = slot.certificates.size() == 1 ? "it" : "them";
                findings.warnings.push_back(
                    slotName(slot) + " holds " + plural(slot.certificates.size(), "certificate") +
                    " that getCertList does not show, because it lists only the last slot (" +
                    std::to_string(listed.slot) + ")" +
                    (reason.empty() ? "; a page can still sign with " + them + " by serial"
                                    : " and the plug-in skips this slot: " + reason) +
                    (listed.removable ? "; unplug the other tokens to see " + them + "."
                                      : "; the last slot's token is a software one: move " + them +
                                            " onto it, or delete it with its module's own "
                                            "tool, to see " +
                                            them + "."));
            }
        }
        if (slot.usedByPlugin()) {
            judgeSigningSlot(facts, slot, findings);
        }
        if (slot.beyondSearchLimit) {
            findings.warnings.push_back(slotName(slot) +
                                        " holds more than 64 certificates; the "
                                        "plug-in reads only the first 64, so remove old ones.");
        }
        judgeCertificates(slot, now, findings);
    }
    return findings;
}

}  // namespace vellum::host
