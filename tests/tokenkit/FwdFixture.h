// A SoftHSM2 token with one certificate and key, and the forwarding module loaded in this
// process with the token's PIN configured and its call log in the kit's directory.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "tokenkit/CallLog.h"
#include "tokenkit/ScopedEnv.h"
#include "tokenkit/TokenKit.h"

namespace vellum::tokenkit::testing {

class FwdFixture : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_TRUE(kit.ok()) << kit.error();
        token = kit.addToken("alpha");
        ASSERT_NE(token, nullptr) << kit.error();
        CertificateSpec spec;
        spec.bits = 1024;
        spec.serial = "01A2B3";
        cert = kit.addCertificate(*token, spec);
        ASSERT_NE(cert, nullptr) << kit.error();
        logPath = kit.directory() + "/calls.log";
        env.unsetWithPrefix("VELLUM_P11FWD_");
        env.set("VELLUM_P11FWD_LOG", logPath);
        env.set("VELLUM_P11FWD_PIN", token->pin);
        env.set("VELLUM_P11FWD_NO_TTY", "1");
    }

    void TearDown() override {
        if (p11 != nullptr) {
            p11->C_Finalize(nullptr);
        }
        unload();
    }

    // The PIN module in front of the forwarding module, which passes the null login on and says
    // the token has no PIN pad: the PIN module is the one to ask, through the test pinentry,
    // which answers from `answers` and writes what it was shown to `pinentryLog`.
    void putPinModuleInFront() {
        modulePath = VELLUM_PIN_PATH;
        env.unset("VELLUM_P11FWD_PIN");
        env.unsetWithPrefix("VELLUM_PIN_");
        env.set("VELLUM_PIN_TOKEN_MODULE", VELLUM_P11FWD_PATH);
        env.set("VELLUM_PIN_PINENTRY", VELLUM_FAKE_PINENTRY);
        answers = kit.directory() + "/answers";
        pinentryLog = kit.directory() + "/pinentry.log";
        env.set("FAKE_PINENTRY_ANSWERS", answers);
        env.set("FAKE_PINENTRY_LOG", pinentryLog);
    }

    // The token's one private key, found in an open session.
    CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE session) {
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE search[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
        CK_OBJECT_HANDLE key = 0;
        CK_ULONG found = 0;
        EXPECT_EQ(p11->C_FindObjectsInit(session, search, 1), CKR_OK);
        EXPECT_EQ(p11->C_FindObjects(session, &key, 1, &found), CKR_OK);
        EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
        EXPECT_EQ(found, 1u);
        return key;
    }

    // Loads the module and takes its function list, as the plug-in does for each operation.
    CK_RV load() {
        library = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            ADD_FAILURE() << dlerror();
            return CKR_GENERAL_ERROR;
        }
        getFunctionList =
            reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
        if (getFunctionList == nullptr) {
            ADD_FAILURE() << "no C_GetFunctionList";
            return CKR_GENERAL_ERROR;
        }
        return getFunctionList(&p11);
    }

    void unload() {
        p11 = nullptr;
        if (library != nullptr) {
            dlclose(library);
            library = nullptr;
        }
    }

    // Loads, initialises and opens a session on the token.
    CK_SESSION_HANDLE openSession() {
        EXPECT_EQ(load(), CKR_OK);
        EXPECT_NE(p11, nullptr);
        if (p11 == nullptr) {
            return 0;
        }
        EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(p11->C_OpenSession(token->slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                     nullptr, &session),
                  CKR_OK);
        return session;
    }

    std::vector<CK_SLOT_ID> slots() {
        CK_ULONG count = 0;
        EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_OK);
        std::vector<CK_SLOT_ID> list(count);
        if (count > 0) {
            EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, list.data(), &count), CKR_OK);
        }
        list.resize(count);
        return list;
    }

    // The module load() takes the function list of: the forwarding module, or one in front of it.
    std::string modulePath = VELLUM_P11FWD_PATH;
    TokenKit kit;
    Token* token = nullptr;
    const TokenCertificate* cert = nullptr;
    ScopedEnv env;
    std::string logPath;
    std::string answers;      // putPinModuleInFront
    std::string pinentryLog;  // putPinModuleInFront
    void* library = nullptr;
    CK_C_GetFunctionList getFunctionList = nullptr;
    CK_FUNCTION_LIST* p11 = nullptr;
};

}  // namespace vellum::tokenkit::testing
