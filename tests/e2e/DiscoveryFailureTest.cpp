// The failures of certificate discovery through the shipping plug-in, each injected into the
// token module by the forwarding module: the status text LastError reads afterwards, the answer
// of getCertList or SignCert, and the module closed down after every one. Also token modules that
// break their contract in ways every token operation meets: a function list with holes, counts
// beyond the room they were given.
#include <iterator>
#include <string>
#include <vector>

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

// Every token operation, in an order in which the module SignCert may leave loaded after a
// failed initialize is released by the next one.
const char* const kOperations[] = {"getCertList", "SignCert", "Signature", "SignData"};

// A list lacking any function a token operation may call is taken for no list at all: the same
// answer and status text as a null list, nothing called through it (not even C_Finalize), and the
// module unloaded as after that failure.
TEST_F(DiscoveryFailureTest, AFunctionListWithANullEntryIsNoList) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "01A2B3"), nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "01A2B3");
    write("SignData", "data");
    const auto runOperation = [this](const std::string& operation) {
        const bool property = operation == "Signature" || operation == "SignData";
        return property ? readText(operation) : invokeText(operation);
    };
    // The answers of a null list, for reference; signing replaces initialize's status text.
    env().set("VELLUM_P11FWD_NULL_LIST", "1");
    std::vector<std::string> nullListStatus;
    for (const char* operation : kOperations) {
        EXPECT_EQ(runOperation(operation), "E:1000") << operation;
        nullListStatus.push_back(lastError());
    }
    EXPECT_EQ(nullListStatus,
              (std::vector<std::string>{"Function list of pkcs11 is null",
                                        "Function list of pkcs11 is null",
                                        "initialize failed:", "initialize failed:"}));
    env().unset("VELLUM_P11FWD_NULL_LIST");

    const char* const called[] = {
        "C_Initialize",        "C_Finalize",        "C_GetSlotList", "C_GetMechanismInfo",
        "C_OpenSession",       "C_CloseSession",    "C_Login",       "C_Logout",
        "C_GetAttributeValue", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal",
        "C_SignInit",          "C_SignUpdate",      "C_SignFinal"};
    for (const char* name : called) {
        SCOPED_TRACE(name);
        env().set("VELLUM_P11FWD_NULL_FUNCTIONS", name);
        clearLog();
        for (size_t i = 0; i < std::size(kOperations); ++i) {
            SCOPED_TRACE(kOperations[i]);
            const size_t before = callNames().size();
            EXPECT_EQ(runOperation(kOperations[i]), "E:1000");
            EXPECT_EQ(lastError(), nullListStatus[i]);
            const std::vector<std::string> names = callNames();
            EXPECT_EQ(std::vector<std::string>(names.begin() + before, names.end()),
                      std::vector<std::string>{"C_GetFunctionList"});
        }
        EXPECT_EQ(callLog().calls("C_GetFunctionList").at(0).arg("nulled"), name);
        EXPECT_EQ(callLog().loads(), 3u);
        EXPECT_TRUE(closedDown());
    }
    // Any other function may be missing.
    env().set("VELLUM_P11FWD_NULL_FUNCTIONS", "C_GetTokenInfo;C_Sign;C_CloseAllSessions");
    EXPECT_EQ(invokeText("getCertList"), "CN=Signer,01A2B3;");
    EXPECT_EQ(readText("Signature").size(), 272u);
    EXPECT_EQ(lastError(), "OK");
}

// A module that answers a count beyond the room it was given claims to have written what it
// could not have: the call fails as with CKR_GENERAL_ERROR and the whole operation with it,
// whatever an ordinary failure of that call would have let it do; nothing beyond what the module
// wrote is read or passed on.
TEST_F(DiscoveryFailureTest, CountsBeyondTheRoomGivenFailTheOperation) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "01A2B3"), nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "01A2B3");
    write("SignData", "data");
    struct Case {
        const char* overstated;  // VELLUM_P11FWD_OVERSTATE_COUNT
        const char* statuses[std::size(kOperations)];
    };
    // The slot count is overstated only where a list was written: initialize's probe is believed.
    const Case cases[] = {
        // 1 handle written, 101 claimed of 64 room: the certificate search.
        {"C_FindObjects=100",
         {"C_FindObjects failed:General error(0x0005)",
          "C_FindObjects failed:General error(0x0005)",
          "C_FindObjects failed:General error(0x0005)",
          "C_FindObjects failed:General error(0x0005)"}},
        {"C_GetSlotList=3",
         {"C_GetSlotList failed:General error(0x0005)",
          "C_GetSlotList2 failed:General error(0x0005)",
          "C_GetSlotList2 failed:General error(0x0005)",
          "C_GetSlotList2 failed:General error(0x0005)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.overstated);
        env().set("VELLUM_P11FWD_OVERSTATE_COUNT", c.overstated);
        for (size_t i = 0; i < std::size(kOperations); ++i) {
            SCOPED_TRACE(kOperations[i]);
            const std::string operation = kOperations[i];
            clearLog();
            const bool property = operation == "Signature" || operation == "SignData";
            EXPECT_EQ(property ? readText(operation) : invokeText(operation), "E:1000");
            EXPECT_EQ(lastError(), c.statuses[i]);
            EXPECT_EQ(callLog().count("C_Login"), 0u);
            EXPECT_TRUE(closedDown());
        }
    }

    // 2 handles claimed of 64 room: the room the module did not write holds no handle (0), which
    // the list reads as an object that is not there; the key search, with room for 1, fails
    // after the login, which is undone.
    env().set("VELLUM_P11FWD_OVERSTATE_COUNT", "C_FindObjects=1");
    clearLog();
    EXPECT_EQ(invokeText("getCertList"), "CN=Signer,01A2B3;");
    const std::vector<tokenkit::LoggedCall> reads = callLog().calls("C_GetAttributeValue");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_NE(reads[0].arg("object"), "0");
    EXPECT_EQ(reads[2].arg("object"), "0");
    EXPECT_TRUE(closedDown());
    clearLog();
    EXPECT_EQ(readText("Signature"), "E:1000");
    EXPECT_EQ(lastError(), "C_FindObjects failed:General error(0x0005)");
    EXPECT_EQ(succeeded("C_Logout"), 1u);
    EXPECT_EQ(callLog().count("C_SignInit"), 0u);
    EXPECT_TRUE(closedDown());
}

}  // namespace
}  // namespace vellum::e2e
