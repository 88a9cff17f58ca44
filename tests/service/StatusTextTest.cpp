#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <set>

#include "service/PKCS11Impl.h"

namespace {

struct Expected {
    unsigned long rv;
    const char* text;
};

// Every return value that has a text of its own.
const Expected kKnownCodes[] = {
    {0x0UL, "OK(0x0000)"},
    {0x1UL, "Cancel(0x0001)"},
    {0x2UL, "Host memory(0x0002)"},
    {0x3UL, "Slot id invalid(0x0003)"},
    {0x5UL, "General error(0x0005)"},
    {0x6UL, "Function failed(0x0006)"},
    {0x7UL, "Arguments bad(0x0007)"},
    {0x8UL, "No event(0x0008)"},
    {0x9UL, "Need to create threads(0x0009)"},
    {0xAUL, "Can't lock(0x000A)"},
    {0x10UL, "Attribute read only(0x0010)"},
    {0x11UL, "Attribute sensitive(0x0011)"},
    {0x12UL, "Attribute type invalid(0x0012)"},
    {0x13UL, "Attribute value invalid(0x0013)"},
    {0x20UL, "Data invalid(0x0020)"},
    {0x21UL, "Data len range(0x0021)"},
    {0x30UL, "Device error(0x0030)"},
    {0x31UL, "Device memory(0x0031)"},
    {0x32UL, "Device removed(0x0032)"},
    {0x40UL, "Encrypted data invalid(0x0040)"},
    {0x41UL, "Encrypted data len range(0x0041)"},
    {0x50UL, "Function canceled(0x0050)"},
    {0x51UL, "Function not parallel(0x0051)"},
    {0x54UL, "Function not suppored(0x0054)"},
    {0x60UL, "Key handle invalid(0x0060)"},
    {0x62UL, "Key size range(0x0062)"},
    {0x63UL, "Key type inconsistent(0x0063)"},
    {0x64UL, "Key not needed(0x0064)"},
    {0x65UL, "Key changed(0x0065)"},
    {0x66UL, "Key needed(0x0066)"},
    {0x67UL, "Key indigestible(0x0067)"},
    {0x68UL, "Key function not permitted(0x0068)"},
    {0x69UL, "Key not wrappable(0x0069)"},
    {0x6AUL, "Key unextractable(0x006A)"},
    {0x70UL, "Mechanism invalid(0x0070)"},
    {0x71UL, "Mechanism param invalid(0x0071)"},
    {0x82UL, "Object handle invalid(0x0082)"},
    {0x90UL, "Operation active(0x0090)"},
    {0x91UL, "Operation not initialized(0x0091)"},
    {0xA0UL, "Pin incorrect(0x00A0)"},
    {0xA1UL, "Pin invalid(0x00A1)"},
    {0xA2UL, "Pin len range(0x00A2)"},
    {0xA3UL, "Pin expired(0x00A3)"},
    {0xA4UL, "Pin locked(0x00A4)"},
    {0xB0UL, "Session closed(0x00B0)"},
    {0xB1UL, "Session count(0x00B1)"},
    {0xB3UL, "Session handle invalid(0x00B3)"},
    {0xB4UL, "Session parallel not supported(0x00B4)"},
    {0xB5UL, "Session read only(0x00B5)"},
    {0xB6UL, "Session exists(0x00B6)"},
    {0xB7UL, "Session read only exists(0x00B7)"},
    {0xB8UL, "Session read write exists(0x00B8)"},
    {0xC0UL, "Signature invalid(0x00C0)"},
    {0xC1UL, "Signature len range(0x00C1)"},
    {0xD0UL, "Template incomplete(0x00D0)"},
    {0xD1UL, "Template inconsistent(0x00D1)"},
    {0xE0UL, "Token not persent(0x00E0)"},
    {0xE1UL, "Token not recognized(0x00E1)"},
    {0xE2UL, "Token write protected(0x00E2)"},
    {0xF0UL, "Unwrapping key handle invalid(0x00F0)"},
    {0xF1UL, "Unwrapping key size range(0x00F1)"},
    {0xF2UL, "Unwrapping key type inconsistent(0x00F2)"},
    {0x100UL, "User already logged in(0x0100)"},
    {0x101UL, "User not logged in(0x0101)"},
    {0x102UL, "User pin not initialized(0x0102)"},
    {0x103UL, "User type invalid(0x0103)"},
    {0x104UL, "User another already logged in(0x0104)"},
    {0x105UL, "User to many types(0x0105)"},
    {0x110UL, "Wrapped key invalid(0x0110)"},
    {0x112UL, "Wrapped key len range(0x0112)"},
    {0x113UL, "Wrapping key handle invalid(0x0113)"},
    {0x114UL, "Wrapping key size range(0x0114)"},
    {0x115UL, "Wrapping key type inconsistent(0x0115)"},
    {0x120UL, "Random seed not supported(0x0120)"},
    {0x121UL, "Random no range(0x0121)"},
    {0x130UL, "Domain params invalid(0x0130)"},
    {0x150UL, "Buffer too small(0x0150)"},
    {0x160UL, "Saved state invalid(0x0160)"},
    {0x170UL, "Information sensitive(0x0170)"},
    {0x180UL, "State unsaveable(0x0180)"},
    {0x190UL, "Cryptoki not initialized(0x0190)"},
    {0x191UL, "Cryptoki alrerady initialized(0x0191)"},
    {0x1A0UL, "Mutex bad(0x01A0)"},
    {0x1A1UL, "Mutex not locked(0x01A1)"},
    {0x1B0UL, "New pin mode(0x01B0)"},
    {0x1B1UL, "Next otp(0x01B1)"},
    {0x200UL, "Function rejected(0x0200)"},
    {0x80000000UL, "Vendor defined(0x80000000)"},
};

TEST(StatusTextTest, EveryKnownCodeHasItsText) {
    EXPECT_EQ(std::size(kKnownCodes), 88u);
    for (const Expected& expected : kKnownCodes) {
        EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(expected.rv), expected.text) << expected.rv;
    }
}

TEST(StatusTextTest, CodesWithoutTextAreUnknown) {
    std::set<unsigned long> known;
    for (const Expected& expected : kKnownCodes) {
        known.insert(expected.rv);
    }
    // The gaps of the table are unknown, e.g. 4 between "Slot id invalid" and "General error".
    for (unsigned long rv = 0; rv <= 0x210; ++rv) {
        if (known.count(rv) == 0) {
            char text[40];
            std::snprintf(text, sizeof(text), "Unknown error(0x%04lX)", rv);
            EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(rv), text);
        }
    }
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(4), "Unknown error(0x0004)");
}

TEST(StatusTextTest, VendorDefinedAndWideValues) {
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x80000000UL), "Vendor defined(0x80000000)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x80000001UL), "Unknown error(0x80000001)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0xFFFFFFFFUL), "Unknown error(0xFFFFFFFF)");
    // Above 0xFFFF every digit is shown, more than four.
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x10000UL), "Unknown error(0x10000)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x1ABCDEUL), "Unknown error(0x1ABCDE)");
    // Only the low 32 bits are shown; the text is looked up by the whole value.
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x1000000A0UL), "Unknown error(0x00A0)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0xFFFFFFFF80000000UL), "Unknown error(0x80000000)");
}

}  // namespace
