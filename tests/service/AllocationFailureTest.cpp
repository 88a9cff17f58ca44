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

TEST_F(AllocationFailureTest, FailedLoadReleasesAModuleLeftLoaded) {
    // A failed initialisation leaves the module loaded; when the next load fails, the module
    // left loaded is finalised and unloaded all the same.
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x30");
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    ASSERT_EQ(service.initialize(), 0);
    failNextLoad();
    EXPECT_EQ(service.loadPKCS11Library(), 6);
    EXPECT_EQ(service.lastError(), "Load pkcs11 lib fail");
    EXPECT_EQ(log().unloads(), 1u);
    expectBalanced();
}

}  // namespace
}  // namespace service_test
