#include "doctor/DoctorReport.h"

#include <cstdio>

namespace vellum::host {
namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "no";
}

std::string hexNumber(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lX", value);
    return text;
}

Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

std::string slotText(const SlotFacts& slot, const std::string& role) {
    std::string out = "Slot " + std::to_string(slot.slot) + ": \"" + slot.label + "\", " +
                      slot.manufacturer + " " + slot.model + ", serial " + slot.serial + "\n";
    if (slot.tokenInfo != "OK") {
        out += "  C_GetTokenInfo: " + slot.tokenInfo + "\n";
    }
    const TokenFlags& f = slot.flags;
    out += std::string("  flags: protected authentication path ") +
           yesNo(f.protectedAuthenticationPath) + ", login required " + yesNo(f.loginRequired) +
           ", user PIN count low " + yesNo(f.userPinCountLow) + ", final try " +
           yesNo(f.userPinFinalTry) + ", locked " + yesNo(f.userPinLocked) +
           ", token initialised " + yesNo(f.tokenInitialized) + "\n";
    out += "  CKM_RSA_PKCS: " +
           (slot.rsaPkcs == "OK"
                ? std::string("sign ") + yesNo(slot.rsaSign) + ", verify " + yesNo(slot.rsaVerify)
                : slot.rsaPkcs) +
           "\n  hashes:";
    for (const HashFacts& hash : slot.hashes) {
        out += " " + hash.name + " (" + hexNumber(hash.mechanism) + ") " + yesNo(hash.offered) +
               (&hash == &slot.hashes.back() ? "" : ",");
    }
    out += "\n";
    if (slot.session != "OK") {
        out += "  session: " + slot.session + "\n";
    } else {
        out += "  certificates without login: " + std::to_string(slot.certificates.size()) +
               (slot.search == "OK" ? "" : " (" + slot.search + ")") + "\n";
    }
    for (const CertificateFacts& certificate : slot.certificates) {
        out += "    " + (certificate.serial.empty() ? "(no serial)" : certificate.serial) + "  " +
               (certificate.name.empty() ? "(no name)" : certificate.name) + "  valid until " +
               (certificate.notAfter.empty() ? "(unknown)" : certificate.notAfter) +
               ", public key " + (certificate.publicKey ? "visible" : "not visible") + "\n";
    }
    out += "  getCertList: " + role + "\n";
    return out;
}

std::string sentences(const char* title, const std::vector<std::string>& items) {
    std::string out = std::string(title) + (items.empty() ? ": none" : ":") + "\n";
    for (const std::string& item : items) {
        out += "  - " + item + "\n";
    }
    return out;
}

}  // namespace

std::string DoctorReport::text() const {
    const ModuleFacts& m = facts_;
    std::string out = "Plug-in module: " + plugin_ + "\n";
    out += "Token module: " + m.path +
           (m.mappedFrom.empty() ? "" : " (mapped to " + m.mappedFrom + ")") + "\n";
    out += "  loads: " + (m.loaded ? std::string("yes") : "no: " + m.error) + "\n";
    if (m.pinDialog) {
        out += "  PIN dialog (token without a PIN pad): " +
               (m.pinentry.empty() ? std::string("none: no pinentry installed") : m.pinentry) +
               "\n";
    }
    if (!m.functionList.empty()) {
        out += "  C_GetFunctionList: " + m.functionList + "\n";
    }
    if (!m.initialize.empty()) {
        out += "  C_Initialize: " + m.initialize + "\n";
    }
    if (m.haveInfo) {
        out += "  C_GetInfo: " + m.manufacturer + ", \"" + m.description + "\", library " +
               m.libraryVersion + ", Cryptoki " + m.cryptokiVersion + "\n";
    }
    if (!m.slotList.empty()) {
        out += "  slots with a token: " + std::to_string(m.slots.size()) +
               (m.slotList == "OK" ? "" : " (C_GetSlotList: " + m.slotList + ")") + "\n";
    }
    for (size_t i = 0; i < m.slots.size(); ++i) {
        out += "\n" + slotText(m.slots[i], findings_.slotRoles.at(i));
    }
    out += "\nWhat the plug-in does\n";
    if (findings_.listedSlot >= 0) {
        out += "  getCertList lists slot " + std::to_string(m.slots.at(findings_.listedSlot).slot) +
               ", the last of " + std::to_string(m.slots.size()) + " with a token\n";
    }
    out += "  getCertList returned \"" + certList_.result + "\", LastError \"" +
           certList_.lastError + "\"\n";
    out += "  a second operation in the same process: " +
           (m.crash.empty()        ? std::string("works")
            : m.crashedOnFirstLoad ? "not reached: the first load crashed (" + m.crash + ")"
                                   : "crashes (" + m.crash + ")") +
           "\n\n";
    out += bridge_.text() + "\n";
    out += sentences("Problems", findings_.problems);
    out += sentences("Warnings", findings_.warnings);
    return out;
}

Json DoctorReport::json() const {
    const ModuleFacts& m = facts_;
    Json json = Json::object();
    json["plugin"] = plugin_;
    json["module"] = {
        {"path", m.path},
        {"mappedFrom", textOrNull(m.mappedFrom)},
        {"pinentry", m.pinDialog ? Json(m.pinentry) : Json(nullptr)},
        {"loaded", m.loaded},
        {"error", textOrNull(m.error)},
        {"functionList", textOrNull(m.functionList)},
        {"manufacturer", m.haveInfo ? Json(m.manufacturer) : Json(nullptr)},
        {"description", m.haveInfo ? Json(m.description) : Json(nullptr)},
        {"libraryVersion", m.haveInfo ? Json(m.libraryVersion) : Json(nullptr)},
        {"cryptokiVersion", m.haveInfo ? Json(m.cryptokiVersion) : Json(nullptr)},
    };
    json["initialize"] = textOrNull(m.initialize);
    Json slots = Json::array();
    for (size_t i = 0; i < m.slots.size(); ++i) {
        const SlotFacts& slot = m.slots[i];
        const TokenFlags& f = slot.flags;
        Json hashes = Json::object();
        for (const HashFacts& hash : slot.hashes) {
            hashes[hash.name] = hash.offered;
        }
        Json certificates = Json::array();
        for (const CertificateFacts& certificate : slot.certificates) {
            certificates.push_back({{"serial", certificate.serial},
                                    {"name", certificate.name},
                                    {"notAfter", textOrNull(certificate.notAfter)},
                                    {"publicKey", certificate.publicKey}});
        }
        slots.push_back({
            {"slot", slot.slot},
            {"label", slot.label},
            {"manufacturer", slot.manufacturer},
            {"model", slot.model},
            {"serial", slot.serial},
            {"flags",
             {{"protectedAuthenticationPath", f.protectedAuthenticationPath},
              {"loginRequired", f.loginRequired},
              {"userPinCountLow", f.userPinCountLow},
              {"userPinFinalTry", f.userPinFinalTry},
              {"userPinLocked", f.userPinLocked},
              {"tokenInitialized", f.tokenInitialized}}},
            {"rsaPkcs", {{"sign", slot.rsaSign}, {"verify", slot.rsaVerify}}},
            {"hashes", std::move(hashes)},
            {"certificates", std::move(certificates)},
            {"listed", static_cast<int>(i) == findings_.listedSlot},
            {"role", findings_.slotRoles.at(i)},
        });
    }
    json["slots"] = std::move(slots);
    json["getCertList"] = {{"result", certList_.result}, {"lastError", certList_.lastError}};
    json["crash"] = m.crash.empty()
                        ? Json(nullptr)
                        : Json({{"death", m.crash}, {"firstLoad", m.crashedOnFirstLoad}});
    json["bridge"] = bridge_.json();
    json["problems"] = findings_.problems;
    json["warnings"] = findings_.warnings;
    return json;
}

}  // namespace vellum::host
