// The failures of certificate discovery through the shipping plug-in, each injected into the
// token module by the forwarding module: the status text LastError reads afterwards, the answer
// of getCertList or SignCert, and the module closed down after every one.
#include <string>

#include "TokenScriptFixture.h"
#include "tokenkit/OpensslCheck.h"

namespace vellum::e2e {
namespace {

using DiscoveryFailureTest = TokenScriptTest;

struct Failure {
    const char* fault;  // VELLUM_P11FWD_FAIL
    const char* answer;
    const char* status;
};

// C_GetSlotList #1 is the token probe of initialize; #2 and #3 are the operation's own two
// queries. Each certificate costs C_GetAttributeValue #1 (length) and #2 (value).
TEST_F(DiscoveryFailureTest, GetCertList) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "01A2B3"), nullptr);
    ASSERT_TRUE(startPlugin());
    const Failure failures[] = {
        {"C_FindObjectsInit=0x5", "", "C_FindObjectsInit failed:General error(0x0005)"},
        {"C_FindObjects=0x30", "", "C_FindObjects failed:Device error(0x0030)"},
        {"C_FindObjectsFinal=0x30", "", "C_FindObjectsFinal failed:Device error(0x0030)"},
        {"C_GetAttributeValue#1=0x12", "",
         "Load cert C_GetAttributeValue failed:Attribute type invalid(0x0012)"},
        {"C_GetAttributeValue#2=0x11", "",
         "Load cert C_GetAttributeValue failed:Attribute sensitive(0x0011)"},
        {"C_GetSlotList#2=0x30", "E:1000", "C_GetSlotList failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x30", "E:1000", "C_GetSlotList failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x150", "E:1000", "C_GetSlotList failed:Buffer too small(0x0150)"},
        // Accepted, but no count comes back: the token is gone since the probe.
        {"C_GetSlotList#2=0x150", "E:1000", "Not found UKey"},
        // A failed initialize: getCertList does not leave the module loaded.
        {"C_Initialize=0x30", "E:1000", "C_Initialize failed:Device error(0x0030)"},
        {"C_GetSlotList#1=0x30", "E:1000", "C_GetSlotList failed:Device error(0x0030)"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.fault);
        env().set("VELLUM_P11FWD_FAIL", f.fault);
        clearLog();
        EXPECT_EQ(invokeText("getCertList"), f.answer);
        EXPECT_EQ(lastError(), f.status);
        EXPECT_TRUE(closedDown());
    }
    // A search that could not start is not finished either.
    env().set("VELLUM_P11FWD_FAIL", "C_FindObjectsInit=0x5");
    clearLog();
    invokeText("getCertList");
    EXPECT_EQ(callLog().count("C_FindObjectsFinal"), 0u);
}

TEST_F(DiscoveryFailureTest, SignCert) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "01A2B3"), nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "01A2B3");
    // A failed search of the only slot leaves nothing to match.
    const Failure failures[] = {
        {"C_GetSlotList#2=0x30", "E:1000", "C_GetSlotList1 failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x30", "E:1000", "C_GetSlotList2 failed:Device error(0x0030)"},
        {"C_GetSlotList#3=0x150", "E:1000", "C_GetSlotList2 failed:Buffer too small(0x0150)"},
        {"C_GetSlotList#2=0x150", "E:1000", "Not found UKey"},
        {"C_FindObjectsInit=0x5", "E:1000", "CN not matched"},
        {"C_FindObjects=0x30", "E:1000", "CN not matched"},
        {"C_FindObjectsFinal=0x30", "E:1000", "CN not matched"},
        {"C_GetAttributeValue#2=0x11", "E:1000", "CN not matched"},
        {"C_OpenSession=0xB1", "E:1000", "CN not matched"},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.fault);
        env().set("VELLUM_P11FWD_FAIL", f.fault);
        clearLog();
        EXPECT_EQ(invokeText("SignCert"), f.answer);
        EXPECT_EQ(lastError(), f.status);
        EXPECT_TRUE(closedDown());
    }
    env().unset("VELLUM_P11FWD_FAIL");
    write("CN", "01A2B4");
    clearLog();
    EXPECT_EQ(invokeText("SignCert"), "E:1000");
    EXPECT_EQ(lastError(), "CN not matched");
    EXPECT_TRUE(closedDown());
}

// SignCert keeps the status text of a failure met on an earlier slot when a later slot holds
// the certificate: every search failure reaches script through a successful SignCert too.
TEST_F(DiscoveryFailureTest, SignCertFoundAfterAFailureOnTheFirstSlot) {
    // Not a label that begins with the fixture's "vellum-e2e": the kit writes objects with
    // pkcs11-tool --token-label, which takes the first token whose label begins with it.
    tokenkit::Token* second = kit().addToken("other");
    ASSERT_NE(second, nullptr) << kit().error();
    // The same serial on both tokens; whichever slot the module lists last is the one found.
    const auto* onFirst = addSigner(token(), "/CN=First", "01A2B3");
    const auto* onSecond = addSigner(*second, "/CN=Second", "01A2B3");
    ASSERT_TRUE(onFirst && onSecond);
    ASSERT_TRUE(startPlugin());
    write("CN", "01a2b3");

    struct EarlierFailure {
        const char* fault;
        const char* status;
    };
    const EarlierFailure failures[] = {
        {"C_FindObjectsInit#1=0x5", "C_FindObjectsInit failed:General error(0x0005)"},
        {"C_FindObjects#1=0x30", "C_FindObjects failed:Device error(0x0030)"},
        {"C_FindObjectsFinal#1=0x30", "C_FindObjectsFinal failed:Device error(0x0030)"},
        {"C_GetAttributeValue#1=0x12",
         "Load cert C_GetAttributeValue failed:Attribute type invalid(0x0012)"},
        {"C_GetAttributeValue#2=0x11",
         "Load cert C_GetAttributeValue failed:Attribute sensitive(0x0011)"},
    };
    for (const EarlierFailure& f : failures) {
        SCOPED_TRACE(f.fault);
        env().set("VELLUM_P11FWD_FAIL", f.fault);
        clearLog();
        const std::string text = invokeText("SignCert");
        const auto sessions = callLog().calls("C_OpenSession");
        ASSERT_EQ(sessions.size(), 2u);
        const std::string lastSlot = sessions.back().arg("slot");
        const auto* found = lastSlot == std::to_string(second->slotId) ? onSecond : onFirst;
        EXPECT_EQ(text, tokenkit::OpensslCheck::base64(found->derPath));
        EXPECT_EQ(lastError(), f.status);
        EXPECT_TRUE(closedDown());
    }
}

}  // namespace
}  // namespace vellum::e2e
