#include <gtest/gtest.h>

#include "service/PKCS11Impl.h"
#include "service/ServiceBase.h"

namespace {

TEST(ServiceBaseTest, StoredTextsStartEmptyAndReadBack) {
    ServiceBase service;
    EXPECT_EQ(service.getCN(), "");
    EXPECT_EQ(service.getSignData(), "");
    EXPECT_EQ(service.getIssuerCN(), "");
    EXPECT_EQ(service.getSignFile(), "");

    service.setSignData("data \xE4\xB8\xAD abc");
    service.setIssuerCN("Issuer ab");
    service.setSignFile("file.txt");
    EXPECT_EQ(service.getSignData(), "data \xE4\xB8\xAD abc");
    EXPECT_EQ(service.getIssuerCN(), "Issuer ab");
    EXPECT_EQ(service.getSignFile(), "file.txt");
}

TEST(ServiceBaseTest, SetCNUpperCasesAsciiLettersOnly) {
    ServiceBase service;
    service.setCN("01a2b3ff");
    EXPECT_EQ(service.getCN(), "01A2B3FF");
    // Digits, punctuation and bytes above 0x7F (here UTF-8 and Latin-1 letters) stay as they are.
    service.setCN(std::string("z9:\xC3\xA9-\xE9\xFF\x80 q", 11));
    EXPECT_EQ(service.getCN(), std::string("Z9:\xC3\xA9-\xE9\xFF\x80 Q", 11));
    service.setCN("");
    EXPECT_EQ(service.getCN(), "");
}

TEST(ServiceBaseTest, VirtualDefaults) {
    ServiceBase service;
    service.setHashAlgorithm("sha256");
    EXPECT_EQ(service.getSignature(), "");
    EXPECT_EQ(service.pkcs7Data(), "pkcs7Data");
    char text[] = "x";
    EXPECT_EQ(service.verifyPKCS7(text), "");
    EXPECT_EQ(service.verifySignature(text, text, text), "");
    EXPECT_EQ(service.lastError(), "");
    EXPECT_EQ(service.signCert(), "");
    EXPECT_EQ(service.getCertList(), "");
    EXPECT_EQ(service.getProviderName(), "");
}

// The non-virtual answers are the base's whatever the implementation.
void expectFixedAnswers(ServiceBase& service) {
    EXPECT_EQ(service.getVersion(), "1.0.0.49");
    char text[] = "anything";
    for (short index : {short(-1), short(0), short(1), short(7)}) {
        EXPECT_EQ(service.getTokenCount(), 1);
        EXPECT_EQ(service.getUKeyCount(), 1);
        EXPECT_EQ(service.getUKeyCertCount(index), 1);
        EXPECT_EQ(service.changeUKeyPIN(index), 1);
        EXPECT_EQ(service.getTokenSN(index), "getTokenSN:not supported");
        EXPECT_EQ(service.getTokenMOVAId(index), "getTokenMOVAId:not supported");
        EXPECT_EQ(service.getUKeySN(index), "getUKeySN:not supported");
    }
    service.setUKeyVendor(text);
    EXPECT_EQ(service.createX509ReqData(text, text, 2048, -1, text),
              "createX509ReqData:not supported");
    EXPECT_EQ(service.importCertData(text), "importCertData:not supported");
    EXPECT_EQ(service.getProviderCertList(text), "getProviderCertList:not supported");
}

TEST(ServiceBaseTest, NonVirtualAnswersAreFixed) {
    ServiceBase base;
    expectFixedAnswers(base);
    PKCS11Impl impl("/nonexistent/module.so");
    expectFixedAnswers(impl);
}

}  // namespace
