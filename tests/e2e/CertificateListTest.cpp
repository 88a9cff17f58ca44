// getCertList through the shipping plug-in: the list text of the last slot, in the order the
// token module returns its objects, and the module closed down after every listing.
#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TokenScriptFixture.h"

namespace vellum::e2e {
namespace {

using CertificateListTest = TokenScriptTest;

// The handles of the last C_FindObjects, in the module's order.
std::vector<std::string> foundHandles(tokenkit::CallLog& log) {
    std::vector<tokenkit::LoggedCall> finds = log.calls("C_FindObjects");
    std::vector<std::string> handles;
    if (!finds.empty()) {
        std::stringstream list(finds.back().arg("handles"));
        for (std::string handle; std::getline(list, handle, ',');) {
            handles.push_back(handle);
        }
    }
    return handles;
}

// Object handle -> length of the CKA_VALUE read into a buffer.
std::map<std::string, size_t> valueLengths(tokenkit::CallLog& log) {
    std::map<std::string, size_t> lengths;
    for (const tokenkit::LoggedCall& read : log.calls("C_GetAttributeValue")) {
        if (read.rv == 0 && read.arg("type") == "0x11" && read.arg("value") == "set") {
            lengths[read.arg("object")] = std::stoul(read.arg("length"));
        }
    }
    return lengths;
}

// The slot of the last mechanism query: the last slot of the last listing.
unsigned long lastQueriedSlot(tokenkit::CallLog& log) {
    std::vector<tokenkit::LoggedCall> queries = log.calls("C_GetMechanismInfo");
    return queries.empty() ? ~0UL : std::stoul(queries.back().arg("slot"));
}

TEST_F(CertificateListTest, ListsBothCertificatesInTheModulesOrder) {
    const auto* signer = addSigner(token(), "/CN=Example Signer/O=Example Org", "01A2B3");
    const auto* org = addSigner(token(), "/O=Example Org", "7F00");
    ASSERT_TRUE(signer && org);
    // The two are told apart in the call log by the length of their DER values.
    ASSERT_NE(signer->der.size(), org->der.size());
    ASSERT_TRUE(startPlugin());
    const std::map<size_t, std::string> entryOfLength = {
        {signer->der.size(), "CN=Example Signer,01A2B3;"},
        {org->der.size(), "CN=Example Org,7F00;"}};

    // Listed twice: SoftHSM2 hands out its objects in no fixed order, and each listing must
    // follow the order of its own C_FindObjects.
    for (int round = 0; round < 2; ++round) {
        clearLog();
        const std::string list = invokeText("getCertList");
        EXPECT_EQ(lastError(), "OK");

        const std::vector<std::string> handles = foundHandles(callLog());
        const std::map<std::string, size_t> lengths = valueLengths(callLog());
        ASSERT_EQ(handles.size(), 2u) << list;
        std::string expected;
        for (const std::string& handle : handles) {
            ASSERT_EQ(lengths.count(handle), 1u) << "object " << handle << " was never read";
            expected += entryOfLength.at(lengths.at(handle));
        }
        EXPECT_EQ(list, expected);
        EXPECT_EQ(entriesOf(list).size(), 2u);

        EXPECT_TRUE(closedDown());
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(succeeded("C_OpenSession"), 1u);
        EXPECT_EQ(callLog().calls("C_FindObjects").at(0).arg("max"), "64");
    }
}

TEST_F(CertificateListTest, OnlyTheLastSlotCounts) {
    // Not a label that begins with the fixture's "vellum-e2e": the kit writes objects with
    // pkcs11-tool --token-label, which takes the first token whose label begins with it.
    tokenkit::Token* second = kit().addToken("other");
    ASSERT_NE(second, nullptr) << kit().error();
    ASSERT_TRUE(addSigner(token(), "/CN=First Signer", "0A") &&
                addSigner(*second, "/CN=Second Signer", "0B"));
    ASSERT_TRUE(startPlugin());

    const std::string list = invokeText("getCertList");
    const unsigned long last = lastQueriedSlot(callLog());
    ASSERT_TRUE(last == token().slotId || last == second->slotId) << last;
    const bool secondIsLast = last == second->slotId;
    const std::string lastEntries = secondIsLast ? "CN=Second Signer,0B;" : "CN=First Signer,0A;";
    EXPECT_EQ(list, lastEntries);
    EXPECT_EQ(lastError(), "OK");
    // Both slots were searched; only the last one's entries are kept.
    EXPECT_EQ(succeeded("C_OpenSession"), 2u);
    EXPECT_TRUE(closedDown());

    struct Case {
        const char* variable;
        const char* value;
        const std::string list;
        const char* status;
    };
    const Case cases[] = {
        // The last slot's failing mechanism query decides, whatever the first slot held.
        {"VELLUM_P11FWD_FAIL", "C_GetMechanismInfo#2=0x70", "E:1000", "Mechanism invalid(0x0070)"},
        // A failure on the first slot is forgotten once the last slot answers.
        {"VELLUM_P11FWD_FAIL", "C_GetMechanismInfo#1=0x70", lastEntries, "OK"},
        // A slot whose mechanism cannot verify is not even opened.
        {"VELLUM_P11FWD_CLEAR_MECH_FLAGS", "1:0x2000", "", "OK"},
        {"VELLUM_P11FWD_CLEAR_MECH_FLAGS", "0:0x2000", lastEntries, "OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
        env().set(c.variable, c.value);
        clearLog();
        EXPECT_EQ(invokeText("getCertList"), c.list);
        EXPECT_EQ(lastError(), c.status);
        // In every case one of the two slots goes without a session.
        EXPECT_EQ(succeeded("C_OpenSession"), 1u);
        EXPECT_TRUE(closedDown());
        env().unset(c.variable);
    }
    // The one slot still opened when the first cannot verify is the last.
    env().set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", "0:0x2000");
    clearLog();
    invokeText("getCertList");
    ASSERT_EQ(succeeded("C_OpenSession"), 1u);
    EXPECT_EQ(callLog().calls("C_OpenSession").at(0).arg("slot"), std::to_string(last));
}

TEST_F(CertificateListTest, TokenWithoutCertificatesOrWithoutSigning) {
    ASSERT_TRUE(startPlugin());
    EXPECT_EQ(invokeText("getCertList"), "");
    EXPECT_EQ(lastError(), "C_FindObjects failed:OK(0x0000)");
    EXPECT_TRUE(closedDown());

    ASSERT_NE(addSigner(token(), "/CN=Signer", "01"), nullptr);
    // Without CKF_VERIFY or without CKF_SIGN the token contributes nothing; the successful
    // mechanism query still resets the status text left by the listing before.
    for (const char* cleared : {"*:0x2000", "*:0x800"}) {
        SCOPED_TRACE(cleared);
        env().set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", cleared);
        clearLog();
        EXPECT_EQ(invokeText("getCertList"), "");
        EXPECT_EQ(lastError(), "OK");
        EXPECT_EQ(callLog().count("C_OpenSession"), 0u);
        EXPECT_TRUE(closedDown());
    }
}

TEST_F(CertificateListTest, ListsAtMost64Certificates) {
    // One shared key and no private keys on the token: only the listing is looked at.
    tokenkit::CertificateSpec many = spec("", "");
    many.shareKey = true;
    many.withPrivateKey = false;
    std::set<std::string> onToken;
    for (int i = 1; i <= 65; ++i) {
        char serial[8];
        std::snprintf(serial, sizeof serial, "%04X", i);
        many.serial = serial;
        many.subject = "/CN=Signer " + std::to_string(i);
        const tokenkit::TokenCertificate* cert = addCertificate(many);
        ASSERT_NE(cert, nullptr);
        // The serial as the certificate holds it: "0001" is the one octet 01.
        onToken.insert("CN=Signer " + std::to_string(i) + "," + cert->serial + ";");
    }
    ASSERT_TRUE(startPlugin());

    const std::vector<std::string> entries = entriesOf(invokeText("getCertList"));
    EXPECT_EQ(entries.size(), 64u);
    EXPECT_EQ(std::set<std::string>(entries.begin(), entries.end()).size(), entries.size());
    for (const std::string& entry : entries) {
        EXPECT_EQ(onToken.count(entry), 1u) << entry;
    }
    // One search for at most 64 objects, each of them read.
    ASSERT_EQ(callLog().count("C_FindObjects"), 1u);
    EXPECT_EQ(callLog().calls("C_FindObjects").at(0).arg("max"), "64");
    EXPECT_EQ(foundHandles(callLog()).size(), 64u);
    EXPECT_EQ(valueLengths(callLog()).size(), 64u);
    EXPECT_TRUE(closedDown());
}

}  // namespace
}  // namespace vellum::e2e
