#include "FwdSettings.h"

#include <cerrno>
#include <cstdlib>

namespace vellum::p11fwd {
namespace {

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string piece = trim(text.substr(start, end - start));
        if (!piece.empty()) {
            pieces.push_back(piece);
        }
        start = end + 1;
    }
    return pieces;
}

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool envFlag(const char* name) {
    std::string value = trim(env(name));
    return !value.empty() && value != "0";
}

void parseFaults(const std::string& text, FwdSettings& settings) {
    for (const std::string& piece : splitList(text)) {
        size_t equals = piece.find('=');
        FaultRule rule;
        bool ok = equals != std::string::npos;
        std::string name = ok ? trim(piece.substr(0, equals)) : std::string();
        size_t hash = name.find('#');
        if (ok && hash != std::string::npos) {
            ok = parseNumber(trim(name.substr(hash + 1)), rule.nth) && rule.nth > 0;
            name = trim(name.substr(0, hash));
        }
        unsigned long rv = 0;
        ok = ok && !name.empty() && parseNumber(trim(piece.substr(equals + 1)), rv);
        if (!ok) {
            settings.problems.push_back("VELLUM_P11FWD_FAIL: " + piece);
            continue;
        }
        rule.function = name;
        rule.rv = rv;
        settings.faults.push_back(rule);
    }
}

void parseMechanismFlags(const std::string& text, FwdSettings& settings) {
    for (const std::string& piece : splitList(text)) {
        size_t colon = piece.find(':');
        MechanismFlagRule rule;
        bool ok = colon != std::string::npos;
        if (ok) {
            std::string slot = trim(piece.substr(0, colon));
            rule.anySlot = slot == "*";
            ok = rule.anySlot || parseNumber(slot, rule.slotIndex);
        }
        unsigned long bits = 0;
        ok = ok && parseNumber(trim(piece.substr(colon + 1)), bits);
        if (!ok) {
            settings.problems.push_back("VELLUM_P11FWD_CLEAR_MECH_FLAGS: " + piece);
            continue;
        }
        rule.clear = bits;
        settings.mechanismFlags.push_back(rule);
    }
}

// "C_Login" or "C_Login#2" items.
void parseModalLoops(const std::string& text, FwdSettings& settings) {
    for (const std::string& piece : splitList(text)) {
        ModalLoopRule rule;
        rule.function = piece;
        size_t hash = piece.find('#');
        bool ok = true;
        if (hash != std::string::npos) {
            rule.function = trim(piece.substr(0, hash));
            ok = parseNumber(trim(piece.substr(hash + 1)), rule.nth) && rule.nth > 0;
        }
        if (!ok || rule.function.compare(0, 2, "C_") != 0) {
            settings.problems.push_back("VELLUM_P11FWD_MODAL_LOOP: " + piece);
            continue;
        }
        settings.modalLoops.push_back(rule);
    }
}

// "C_FindObjects=N" and "C_GetSlotList=N" items.
void parseOverstatedCounts(const std::string& text, FwdSettings& settings) {
    for (const std::string& piece : splitList(text)) {
        size_t equals = piece.find('=');
        std::string name = equals != std::string::npos ? trim(piece.substr(0, equals)) : "";
        unsigned long* target = name == "C_FindObjects"   ? &settings.overstatedFindCount
                                : name == "C_GetSlotList" ? &settings.overstatedSlotCount
                                                          : nullptr;
        if (target == nullptr || !parseNumber(trim(piece.substr(equals + 1)), *target)) {
            settings.problems.push_back("VELLUM_P11FWD_OVERSTATE_COUNT: " + piece);
        }
    }
}

}  // namespace

bool parseNumber(const std::string& text, unsigned long& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long parsed = std::strtoul(digits, &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

FwdSettings FwdSettings::fromEnvironment(const char* defaultTarget) {
    FwdSettings settings;
    settings.target = trim(env("VELLUM_P11FWD_TARGET"));
    if (settings.target.empty()) {
        settings.target = defaultTarget;
    }
    // An empty PIN is a PIN too (the variable is set); an unset variable means "none".
    const char* pin = std::getenv("VELLUM_P11FWD_PIN");
    settings.havePin = pin != nullptr;
    settings.pin = pin != nullptr ? pin : "";
    settings.noTerminal = envFlag("VELLUM_P11FWD_NO_TTY");
    parseFaults(env("VELLUM_P11FWD_FAIL"), settings);
    settings.nullList = envFlag("VELLUM_P11FWD_NULL_LIST");
    settings.alreadyInitialized = envFlag("VELLUM_P11FWD_ALREADY_INITIALIZED");
    settings.hideUninitialized = envFlag("VELLUM_P11FWD_HIDE_UNINITIALIZED");
    parseMechanismFlags(env("VELLUM_P11FWD_CLEAR_MECH_FLAGS"), settings);
    std::string length = trim(env("VELLUM_P11FWD_SIGNATURE_LENGTH"));
    if (!length.empty()) {
        settings.haveSignatureLength = parseNumber(length, settings.signatureLength);
        if (!settings.haveSignatureLength) {
            settings.problems.push_back("VELLUM_P11FWD_SIGNATURE_LENGTH: " + length);
        }
    }
    std::string tokenFlags = trim(env("VELLUM_P11FWD_TOKEN_FLAGS"));
    if (!tokenFlags.empty() && !parseNumber(tokenFlags, settings.addedTokenFlags)) {
        settings.problems.push_back("VELLUM_P11FWD_TOKEN_FLAGS: " + tokenFlags);
    }
    std::string overstated = trim(env("VELLUM_P11FWD_OVERSTATE_VALUE_LENGTH"));
    if (!overstated.empty() && !parseNumber(overstated, settings.overstatedValueLength)) {
        settings.problems.push_back("VELLUM_P11FWD_OVERSTATE_VALUE_LENGTH: " + overstated);
    }
    parseOverstatedCounts(env("VELLUM_P11FWD_OVERSTATE_COUNT"), settings);
    // The names are checked against the list when it is handed out.
    settings.nullFunctions = splitList(env("VELLUM_P11FWD_NULL_FUNCTIONS"));
    parseModalLoops(env("VELLUM_P11FWD_MODAL_LOOP"), settings);
    std::string badSignature = trim(env("VELLUM_P11FWD_BAD_SIGNATURE"));
    if (!badSignature.empty() && !BadSignature::parse(badSignature, settings.badSignature)) {
        settings.problems.push_back("VELLUM_P11FWD_BAD_SIGNATURE: " + badSignature);
    }
    std::string sm3 = trim(env("VELLUM_P11FWD_SM3"));
    if (!sm3.empty() && !Sm3Signing::parse(sm3, settings.sm3)) {
        settings.problems.push_back("VELLUM_P11FWD_SM3: " + sm3);
    }
    settings.sharedLoginPath = trim(env("VELLUM_P11FWD_SHARED_LOGIN"));
    return settings;
}

const FaultRule* FwdSettings::faultFor(const char* function, unsigned long callNumber) const {
    const FaultRule* everyCall = nullptr;
    for (const FaultRule& rule : faults) {
        if (rule.function != function) {
            continue;
        }
        if (rule.nth == callNumber) {
            return &rule;  // a rule for this very call wins over one for every call
        }
        if (rule.nth == 0 && everyCall == nullptr) {
            everyCall = &rule;
        }
    }
    return everyCall;
}

bool FwdSettings::modalLoopIn(const char* function, unsigned long callNumber) const {
    for (const ModalLoopRule& rule : modalLoops) {
        if (rule.function == function && (rule.nth == 0 || rule.nth == callNumber)) {
            return true;
        }
    }
    return false;
}

}  // namespace vellum::p11fwd
