#include "service/PKCS11Impl.h"

#include <cstdio>

namespace {

struct StatusText {
    CK_RV code;
    const char* text;
};

// Texts for the PKCS#11 return values, in ascending order of code.
constexpr StatusText kStatusTexts[] = {
    {0x0, "OK"},
    {0x1, "Cancel"},
    {0x2, "Host memory"},
    {0x3, "Slot id invalid"},
    {0x5, "General error"},
    {0x6, "Function failed"},
    {0x7, "Arguments bad"},
    {0x8, "No event"},
    {0x9, "Need to create threads"},
    {0xA, "Can't lock"},
    {0x10, "Attribute read only"},
    {0x11, "Attribute sensitive"},
    {0x12, "Attribute type invalid"},
    {0x13, "Attribute value invalid"},
    {0x20, "Data invalid"},
    {0x21, "Data len range"},
    {0x30, "Device error"},
    {0x31, "Device memory"},
    {0x32, "Device removed"},
    {0x40, "Encrypted data invalid"},
    {0x41, "Encrypted data len range"},
    {0x50, "Function canceled"},
    {0x51, "Function not parallel"},
    {0x54, "Function not suppored"},
    {0x60, "Key handle invalid"},
    {0x62, "Key size range"},
    {0x63, "Key type inconsistent"},
    {0x64, "Key not needed"},
    {0x65, "Key changed"},
    {0x66, "Key needed"},
    {0x67, "Key indigestible"},
    {0x68, "Key function not permitted"},
    {0x69, "Key not wrappable"},
    {0x6A, "Key unextractable"},
    {0x70, "Mechanism invalid"},
    {0x71, "Mechanism param invalid"},
    {0x82, "Object handle invalid"},
    {0x90, "Operation active"},
    {0x91, "Operation not initialized"},
    {0xA0, "Pin incorrect"},
    {0xA1, "Pin invalid"},
    {0xA2, "Pin len range"},
    {0xA3, "Pin expired"},
    {0xA4, "Pin locked"},
    {0xB0, "Session closed"},
    {0xB1, "Session count"},
    {0xB3, "Session handle invalid"},
    {0xB4, "Session parallel not supported"},
    {0xB5, "Session read only"},
    {0xB6, "Session exists"},
    {0xB7, "Session read only exists"},
    {0xB8, "Session read write exists"},
    {0xC0, "Signature invalid"},
    {0xC1, "Signature len range"},
    {0xD0, "Template incomplete"},
    {0xD1, "Template inconsistent"},
    {0xE0, "Token not persent"},
    {0xE1, "Token not recognized"},
    {0xE2, "Token write protected"},
    {0xF0, "Unwrapping key handle invalid"},
    {0xF1, "Unwrapping key size range"},
    {0xF2, "Unwrapping key type inconsistent"},
    {0x100, "User already logged in"},
    {0x101, "User not logged in"},
    {0x102, "User pin not initialized"},
    {0x103, "User type invalid"},
    {0x104, "User another already logged in"},
    {0x105, "User to many types"},
    {0x110, "Wrapped key invalid"},
    {0x112, "Wrapped key len range"},
    {0x113, "Wrapping key handle invalid"},
    {0x114, "Wrapping key size range"},
    {0x115, "Wrapping key type inconsistent"},
    {0x120, "Random seed not supported"},
    {0x121, "Random no range"},
    {0x130, "Domain params invalid"},
    {0x150, "Buffer too small"},
    {0x160, "Saved state invalid"},
    {0x170, "Information sensitive"},
    {0x180, "State unsaveable"},
    {0x190, "Cryptoki not initialized"},
    {0x191, "Cryptoki alrerady initialized"},
    {0x1A0, "Mutex bad"},
    {0x1A1, "Mutex not locked"},
    {0x1B0, "New pin mode"},
    {0x1B1, "Next otp"},
    {0x200, "Function rejected"},
    {0x80000000UL, "Vendor defined"},
};

const char* statusTextFor(CK_RV rv) {
    for (const StatusText& entry : kStatusTexts) {
        if (entry.code == rv) {
            return entry.text;
        }
    }
    return "Unknown error";
}

}  // namespace

std::string PKCS11Impl::getPKCS11ErrorCode(unsigned long rv) {
    // The low 32 bits as at least four upper-case hex digits: at most "(0x" + 8 + ")".
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), "(0x%04X)", static_cast<unsigned>(rv & 0xFFFFFFFFUL));
    try {
        return std::string(statusTextFor(rv)) + suffix;
    } catch (...) {
        return std::string();
    }
}
