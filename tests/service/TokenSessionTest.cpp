// The token module frame: load, initialise with the token probe, finalise, unload.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "TokenFixture.h"
#include "service/PKCS11Impl.h"

namespace service_test {
namespace {

class TokenSessionTest : public TokenFixture {
protected:
    void SetUp() override {
        TokenFixture::SetUp();
        tokenkit::Token* token = addToken("signer");
        ASSERT_NE(token, nullptr);
    }
};

TEST(TokenSessionNoModuleTest, AnswersWithoutAnyModule) {
    PKCS11Impl service("/nonexistent/libnothing.so");
    EXPECT_EQ(service.lastError(), "OK");
    EXPECT_EQ(service.getProviderName(), "zuvo");
    service.setSignFile("stored.txt");
    char text[] = "argument";
    EXPECT_EQ(service.getSignFile(), "getSignFile:not supported");
    EXPECT_EQ(service.pkcs7Data(), "pkcs7Data:not supported");
    EXPECT_EQ(service.verifyPKCS7(text), "verifyPKCS7:not supported");
    EXPECT_EQ(service.verifySignature(text, text, text), "verifySignature:not supported");
    // None of these touched the status text.
    EXPECT_EQ(service.lastError(), "OK");

    EXPECT_EQ(service.loadPKCS11Library(), 6);
    EXPECT_EQ(service.lastError(), "Load pkcs11 lib fail");
    EXPECT_EQ(service.unloadPKCS11Library(), 0);
    EXPECT_TRUE(service.uninitialize());
}

#ifdef VELLUM_TM_MODULE_PATH
// libitm leaves its thread state behind in the thread control block when it is unloaded, and a
// copy loaded again crashes at its first transaction: it must outlive the module that brought it.
TEST(TokenSessionNoModuleTest, TransactionalMemoryRuntimeOutlivesTheModule) {
    if (void* already = dlopen("libitm.so.1", RTLD_LAZY | RTLD_NOLOAD)) {
        dlclose(already);
        GTEST_SKIP() << "libitm is loaded before any module";
    }
    for (int operation = 0; operation < 2; ++operation) {
        PKCS11Impl service(VELLUM_TM_MODULE_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        void* module = dlopen(VELLUM_TM_MODULE_PATH, RTLD_LAZY | RTLD_NOLOAD);
        ASSERT_NE(module, nullptr);
        auto transact = reinterpret_cast<int (*)()>(dlsym(module, "vellum_tm_transact"));
        ASSERT_NE(transact, nullptr);
        // The module's own state starts afresh with each load.
        EXPECT_EQ(transact(), 1);
        dlclose(module);
        EXPECT_EQ(service.unloadPKCS11Library(), 0);
        EXPECT_EQ(dlopen(VELLUM_TM_MODULE_PATH, RTLD_LAZY | RTLD_NOLOAD), nullptr);
    }
}
#endif

TEST(TokenSessionNoModuleTest, ModuleWithoutGetFunctionList) {
    PKCS11Impl service(VELLUM_P11NOSYM_PATH);
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    EXPECT_EQ(service.initialize(), 0);
    EXPECT_EQ(service.lastError(), "C_GetFunctionList load failed");
    EXPECT_EQ(service.unloadPKCS11Library(), 0);
}

TEST_F(TokenSessionTest, WholeFrameLeavesNothingBehind) {
    {
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        EXPECT_EQ(log().loads(), 1u);
        ASSERT_EQ(service.initialize(), 1);
        EXPECT_EQ(service.lastError(), "OK");
        EXPECT_TRUE(service.uninitialize());
        EXPECT_EQ(service.unloadPKCS11Library(), 0);
        EXPECT_EQ(log().unloads(), 1u);
        // Once released, the object holds nothing: a second release calls nothing.
        EXPECT_TRUE(service.uninitialize());
        EXPECT_EQ(service.unloadPKCS11Library(), 0);
    }
    expectBalanced();
    std::vector<tokenkit::LoggedCall> calls = log().calls();
    std::vector<std::string> names;
    for (const tokenkit::LoggedCall& call : calls) {
        names.push_back(call.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"C_GetFunctionList", "C_Initialize", "C_GetSlotList",
                                               "C_Finalize"}));
    EXPECT_EQ(calls[1].arg("initArgs"), "null");
    EXPECT_EQ(calls[2].arg("tokenPresent"), "1");
    EXPECT_EQ(calls[2].arg("list"), "null");
}

TEST_F(TokenSessionTest, GetFunctionListFailing) {
    env.set("VELLUM_P11FWD_FAIL", "C_GetFunctionList=0x2");
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    EXPECT_NE(service.initialize(), 1);
    EXPECT_EQ(service.lastError(), "C_GetFunctionList failed:Host memory(0x0002)");
    EXPECT_EQ(log().count("C_Initialize"), 0u);
}

TEST_F(TokenSessionTest, NullFunctionList) {
    env.set("VELLUM_P11FWD_NULL_LIST", "1");
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    EXPECT_EQ(service.initialize(), 6);
    EXPECT_EQ(service.lastError(), "Function list of pkcs11 is null");
    EXPECT_EQ(log().count("C_Initialize"), 0u);
}

TEST_F(TokenSessionTest, AlreadyInitializedModuleIsUsed) {
    env.set("VELLUM_P11FWD_ALREADY_INITIALIZED", "1");
    {
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        EXPECT_EQ(service.initialize(), 1);
        EXPECT_EQ(service.lastError(), "OK");
        service.uninitialize();
        service.unloadPKCS11Library();
    }
    EXPECT_EQ(log().calls("C_Initialize").at(0).rv, 0x191u);
    expectBalanced();
}

TEST_F(TokenSessionTest, InitializeFailingIsReportedAndModuleStaysLoaded) {
    env.set("VELLUM_P11FWD_FAIL", "C_Initialize=0x30");
    {
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        EXPECT_EQ(service.initialize(), 0);
        EXPECT_EQ(service.lastError(), "C_Initialize failed:Device error(0x0030)");
        EXPECT_EQ(log().count("C_GetSlotList"), 0u);
        EXPECT_EQ(log().unloads(), 0u);
    }
    // The destructor releases what the failure left.
    EXPECT_EQ(log().unloads(), 1u);
}

TEST_F(TokenSessionTest, ProbeFailingIsReportedAndDestructorFinalisesBeforeUnloading) {
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x30");
    {
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        EXPECT_EQ(service.initialize(), 0);
        EXPECT_EQ(service.lastError(), "C_GetSlotList failed:Device error(0x0030)");
        EXPECT_EQ(log().count("C_Finalize"), 0u);
        EXPECT_EQ(log().unloads(), 0u);
    }
    long finalize = lineOf("C_Finalize");
    ASSERT_GE(finalize, 0);
    EXPECT_GT(lineOf("@unload", finalize), finalize);
    expectBalanced();
}

TEST_F(TokenSessionTest, LoadAgainOverAModuleLeftLoaded) {
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x30");
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    ASSERT_EQ(service.initialize(), 0);
    env.unset("VELLUM_P11FWD_FAIL");

    // The module left loaded and initialised is taken over: the reference of the earlier load is
    // given back, and the module answers that it is already initialised.
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    ASSERT_EQ(service.initialize(), 1);
    EXPECT_EQ(log().calls("C_Initialize").at(1).rv, 0x191u);
    service.uninitialize();
    service.unloadPKCS11Library();
    EXPECT_EQ(log().loads(), 1u);
    EXPECT_EQ(log().unloads(), 1u);
    expectBalanced();
}

TEST_F(TokenSessionTest, NoSlotWithTokenFinalisesAndUnloads) {
    // Hiding SoftHSM2's spare slot leaves only the token of this test; failing its first probe
    // with "buffer too small" leaves the count at 0 as well.
    env.set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x150");
    PKCS11Impl service(VELLUM_P11FWD_PATH);
    ASSERT_EQ(service.loadPKCS11Library(), 0);
    EXPECT_EQ(service.initialize(), 0);
    EXPECT_EQ(service.lastError(), "C_Initialize failed:Buffer too small(0x0150)");
    EXPECT_EQ(log().unloads(), 1u);
    expectBalanced();
}

// A store without tokens: only SoftHSM2's spare slot, which is hidden.
class EmptyStoreTest : public TokenFixture {};

TEST_F(EmptyStoreTest, NoTokenAtAll) {
    {
        PKCS11Impl service(VELLUM_P11FWD_PATH);
        ASSERT_EQ(service.loadPKCS11Library(), 0);
        EXPECT_EQ(service.initialize(), 0);
        EXPECT_EQ(service.lastError(), "C_Initialize failed:OK(0x0000)");
        EXPECT_EQ(log().unloads(), 1u);
    }
    expectBalanced();
}

}  // namespace
}  // namespace service_test
