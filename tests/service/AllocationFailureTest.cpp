// The service when its own allocations fail, or the loader cannot load the module.
#include <gtest/gtest.h>

#include <new>

#include "FailingAllocator.h"
#include "TokenFixture.h"
#include "service/CertificateContext.h"
#include "service/PKCS11Impl.h"

namespace service_test {
namespace {

class AllocationFailureTest : public TokenFixture {
protected:
    void SetUp() override {
        TokenFixture::SetUp();
        tokenkit::Token* token = addToken("signer");
        ASSERT_NE(token, nullptr);
        cert = addCertificate(*token, "/CN=Signer", "01A2B3");
        ASSERT_NE(cert, nullptr);
    }
    void TearDown() override { disarmAllocationFailure(); }

    const tokenkit::TokenCertificate* cert = nullptr;
};

TEST_F(AllocationFailureTest, NoCertificateContext) {
    // The plug-in instance answers NPERR_OUT_OF_MEMORY_ERROR for a service it cannot build.
    failAllocationOfSize(sizeof(CertificateContext));
    EXPECT_THROW(PKCS11Impl{VELLUM_P11FWD_PATH}, std::bad_alloc);
    EXPECT_TRUE(allocationFailed());
    EXPECT_EQ(log().loads(), 0u);
}

TEST_F(AllocationFailureTest, NoSlotList) {
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    service.setCN("01A2B3");
    failAllocationOfSize(sizeof(CK_SLOT_ID));
    EXPECT_EQ(service.getCertList(), "E:1000");
    EXPECT_TRUE(allocationFailed());
    EXPECT_EQ(service.lastError(), "Params invalid");
    expectBalanced();

    failAllocationOfSize(sizeof(CK_SLOT_ID));
    EXPECT_EQ(service.signCert(), "E:1000");
    EXPECT_EQ(service.lastError(), "Params invalid");
    expectBalanced();
}

TEST_F(AllocationFailureTest, NoBlockForTheDerBytes) {
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    service.setCN("01A2B3");
    // The DER block has one byte more than the certificate.
    failAllocationOfSize(cert->der.size() + 1);
    EXPECT_EQ(service.getCertList(), "");
    EXPECT_TRUE(allocationFailed());
    EXPECT_EQ(service.lastError(), "Load cert C_GetAttributeValue failed:Host memory(0x0002)");
    expectBalanced();

    failAllocationOfSize(cert->der.size() + 1);
    EXPECT_EQ(service.signCert(), "E:1000");
    EXPECT_EQ(service.lastError(), "CN not matched");
    expectBalanced();

    // With memory again, the same certificate is found.
    EXPECT_NE(service.signCert(), "E:1000");
    EXPECT_EQ(service.lastError(), "OK");
}

TEST_F(AllocationFailureTest, NoBlockForTheSignature) {
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    service.setCN("01A2B3");
    service.setSignData("data");
    // A 1024-bit key signs in 128 bytes.
    failAllocationOfSize(128);
    EXPECT_EQ(service.getSignature(), "E:1000");
    EXPECT_TRUE(allocationFailed());
    EXPECT_EQ(service.lastError(), "C_SignFinal2 failed:Host memory(0x0002)");
    EXPECT_EQ(log().count("C_Logout"), 1u);
    expectBalanced();
}

// A SignCert whose token probe failed keeps the module loaded and initialised. When the next
// operation cannot take it over, because the module answers nothing at C_GetFunctionList or the
// loader cannot load it again, the module is finalised before it is let go of, and the page sees
// that operation's own failure.
TEST_F(AllocationFailureTest, AModuleLeftInitialisedIsFinalisedWhenTheNextOpeningFails) {
    struct NextOpening {
        const char* fault;  // VELLUM_P11FWD_FAIL for the next operation, or null
        bool loadFails;
        const char* status;
    };
    const NextOpening cases[] = {
        {"C_GetFunctionList=0x5", false, "C_GetFunctionList failed:General error(0x0005)"},
        {nullptr, true, "Load pkcs11 lib fail"},
    };
    for (const NextOpening& c : cases) {
        SCOPED_TRACE(c.status);
        tokenkit::CallLog(logPath).clear();
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        service.setCN("01A2B3");
        env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList#1=0x30");
        ASSERT_EQ(service.signCert(), "E:1000");
        ASSERT_EQ(log().count("C_Finalize"), 0u);

        if (c.fault != nullptr) {
            env.set("VELLUM_P11FWD_FAIL", c.fault);
        } else {
            env.unset("VELLUM_P11FWD_FAIL");
        }
        if (c.loadFails) {
            failNextLoad();
        }
        EXPECT_EQ(service.getCertList(), "E:1000");
        EXPECT_EQ(service.lastError(), c.status);
        const long finalize = lineOf("C_Finalize");
        ASSERT_GE(finalize, 0) << "the module was let go of without C_Finalize";
        EXPECT_GT(lineOf("@unload", finalize), finalize);
        EXPECT_EQ(log().count("C_Finalize"), 1u);
        EXPECT_EQ(log().unloads(), 1u);
        expectBalanced();
    }
}

}  // namespace
}  // namespace service_test
