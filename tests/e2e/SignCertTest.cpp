// SignCert through the shipping plug-in: the chosen certificate as one line of Base64, the exact
// serial match, and the one path that leaves the token module loaded (a failed initialize),
// after which the next operation and the end of the instance must still close it down, even
// when the module delivers NPP_Destroy again, or another instance's token call, from inside that
// close-down.
#include <string>

#include "TokenScriptFixture.h"
#include "hostkit/ExtraInstance.h"
#include "hostkit/ModalLoop.h"
#include "tokenkit/OpensslCheck.h"

namespace vellum::e2e {
namespace {

using SignCertTest = TokenScriptTest;

// Line of the first log entry at or after `from` that starts with `prefix`, or -1.
long lineOf(tokenkit::CallLog& log, const std::string& prefix, long from = 0) {
    std::vector<std::string> lines = log.lines();
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) {
        if (lines[i].compare(0, prefix.size(), prefix) == 0) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

TEST_F(SignCertTest, ReturnsTheCertificateAsOpensslEncodesIt) {
    const auto* small = addSigner(token(), "/CN=Small", "0a0b0c");
    // A 4096-bit key and a long name: well over a thousand Base64 characters.
    const auto* large = addSigner(token(), "/CN=Large/O=" + std::string(60, 'o'), "7fabcdef", 4096);
    ASSERT_TRUE(small && large);
    ASSERT_TRUE(startPlugin());

    struct Case {
        const char* cn;  // lower-case, as page script may write it
        const tokenkit::TokenCertificate* cert;
    };
    for (const Case& c : {Case{"0a0b0c", small}, Case{"7fabcdef", large}}) {
        SCOPED_TRACE(c.cn);
        clearLog();
        write("CN", c.cn);
        const std::string text = invokeText("SignCert");
        EXPECT_EQ(text, tokenkit::OpensslCheck::base64(c.cert->derPath));
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
        EXPECT_GT(text.size(), 48u);
        EXPECT_EQ(lastError(), "OK");
        EXPECT_TRUE(closedDown());
    }
    EXPECT_GT(invokeText("SignCert").size(), 1000u);
}

TEST_F(SignCertTest, SerialMustMatchExactly) {
    const auto* cert = addSigner(token(), "/CN=Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    for (const char* cn : {"0001A2B3", "01:A2:B3", "01 A2 B3", "01A2B3 ", "1A2B3"}) {
        SCOPED_TRACE(cn);
        clearLog();
        write("CN", cn);
        EXPECT_EQ(invokeText("SignCert"), "E:1000");
        EXPECT_EQ(lastError(), "CN not matched");
        EXPECT_TRUE(closedDown());
    }
    write("CN", "01a2B3");
    EXPECT_EQ(invokeText("SignCert"), tokenkit::OpensslCheck::base64(cert->derPath));
    EXPECT_EQ(lastError(), "OK");
}

// A failed initialize under SignCert: C_Initialize refused (module loaded, not initialised),
// or the token probe refused (module loaded and initialised).
struct FailedInitialize {
    const char* fault;
    const char* status;
    unsigned long nextInitialize;  // what C_Initialize answers the next operation
};
const FailedInitialize kFailedInitializes[] = {
    {"C_Initialize=0x30", "C_Initialize failed:Device error(0x0030)", 0x0},
    {"C_GetSlotList#1=0x30", "C_GetSlotList failed:Device error(0x0030)", 0x191},
};

TEST_F(SignCertTest, FailedInitializeLeavesTheModuleForTheNextOperation) {
    const auto* cert = addSigner(token(), "/CN=Signer", "01A2B3");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "01A2B3");
    for (const FailedInitialize& c : kFailedInitializes) {
        SCOPED_TRACE(c.fault);
        clearLog();
        env().set("VELLUM_P11FWD_FAIL", c.fault);
        EXPECT_EQ(invokeText("SignCert"), "E:1000");
        EXPECT_EQ(lastError(), c.status);
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(callLog().unloads(), 0u);
        EXPECT_EQ(callLog().count("C_Finalize"), 0u);

        // The next operation takes the module over and closes it down.
        env().unset("VELLUM_P11FWD_FAIL");
        EXPECT_EQ(invokeText("SignCert"), tokenkit::OpensslCheck::base64(cert->derPath));
        EXPECT_EQ(lastError(), "OK");
        const auto inits = callLog().calls("C_Initialize");
        ASSERT_EQ(inits.size(), 2u);
        EXPECT_EQ(inits[1].rv, c.nextInitialize);
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_TRUE(closedDown());
    }
}

TEST_F(SignCertTest, DestroyingTheInstanceFinalisesThenUnloadsALeftModule) {
    ASSERT_NE(addSigner(token(), "/CN=Signer", "01A2B3"), nullptr);
    ASSERT_TRUE(startPlugin());
    pluginhost::ExtraInstance other(host());
    ASSERT_EQ(other.start(), NPERR_NO_ERROR);
    for (const FailedInitialize& c : kFailedInitializes) {
        SCOPED_TRACE(c.fault);
        clearLog();
        env().set("VELLUM_P11FWD_FAIL", c.fault);
        // A module whose dialog loop runs inside that C_Finalize and delivers NPP_Destroy for the
        // same record again: the record no longer names the instance being torn down, so the
        // nested call answers as for an empty record. A token operation of another instance from
        // there is refused, as from any token call: it would initialise, finalise and unload the
        // module under the running C_Finalize.
        env().set("VELLUM_P11FWD_MODAL_LOOP", "C_Finalize");
        write("CN", "01A2B3");
        EXPECT_EQ(invokeText("SignCert"), "E:1000");
        env().unset("VELLUM_P11FWD_FAIL");
        env().unset("VELLUM_P11FWD_MODAL_LOOP");
        ASSERT_EQ(callLog().unloads(), 0u);

        host().releaseScriptObject();
        NPError nested = NPERR_GENERIC_ERROR;
        void* pdataInLoop = &nested;
        std::string otherList;
        std::string otherStatus;
        pluginhost::ModalLoop loop([&](const std::string&) {
            pdataInLoop = host().npp()->pdata;
            NPSavedData* saved = nullptr;
            nested = host().pluginFunctions().destroy(host().npp(), &saved);
            otherList = host().invoke(other.scriptObject(), "getCertList").value.stringValue();
            otherStatus = host().invoke(other.scriptObject(), "LastError").value.stringValue();
        });
        ASSERT_EQ(host().destroyInstance(), NPERR_NO_ERROR);
        EXPECT_EQ(loop.runs(), 1u);
        EXPECT_EQ(pdataInLoop, nullptr);
        EXPECT_EQ(nested, NPERR_NO_ERROR);
        EXPECT_EQ(otherList, "E:1000");
        EXPECT_EQ(otherStatus, "Token operation in progress");
        // The failed SignCert's load alone, closed down once.
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(callLog().unloads(), 1u);
        const long finalize = lineOf(callLog(), "C_Finalize");
        ASSERT_GE(finalize, 0) << "no C_Finalize at NPP_Destroy";
        EXPECT_GT(lineOf(callLog(), "@unload", finalize), finalize);
        EXPECT_EQ(callLog().count("C_Finalize"), 1u);
        EXPECT_TRUE(closedDown());

        // A fresh instance for the next case.
        ASSERT_EQ(host().newInstance(), NPERR_NO_ERROR);
        ASSERT_EQ(host().setWindow(), NPERR_NO_ERROR);
        ASSERT_EQ(host().getScriptObject(), NPERR_NO_ERROR);
    }
}

}  // namespace
}  // namespace vellum::e2e
