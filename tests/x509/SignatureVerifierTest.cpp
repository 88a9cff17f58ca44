// What the end-to-end tests cannot reach: SoftHSM2 signs only with the RSA keys of the plug-in's
// mechanisms, and the plug-in only ever holds DER bytes that parsed.
#include "x509/SignatureVerifier.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "CertificateBuilder.h"
#include "OpensslCommand.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Digest = SignatureVerifier::Digest;
using Verdict = SignatureVerifier::Verdict;

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Verdict verdict(const Bytes& der, Digest digest, const std::string& data, const Bytes& signature) {
    const SignatureVerifier verifier(der.data(), der.size());
    return verifier.verify(digest, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                           signature.data(), signature.size());
}

TEST(SignatureVerifierTest, OnlyAnRsaKeyThatReadsCanPass) {
    OpensslCommand openssl;
    ASSERT_TRUE(
        openssl.run("req -x509 -newkey rsa:1024 -nodes -keyout rsa.pem -days 1 -subj "
                    "/CN=RSA -outform DER -out rsa.der"));
    openssl.writeFile("data.txt", "data");
    ASSERT_TRUE(openssl.run("dgst -sha256 -sign rsa.pem -out data.sig data.txt"));
    const Bytes rsa = fileBytes(openssl.path("rsa.der"));
    const Bytes signature = fileBytes(openssl.path("data.sig"));
    ASSERT_EQ(signature.size(), 128u);
    ASSERT_EQ(verdict(rsa, Digest::Sha256, "data", signature), Verdict::Verified);
    // Version 1: no version field before the serial number.
    ASSERT_TRUE(openssl.run("req -new -key rsa.pem -subj /CN=V1 -out v1.csr"));
    ASSERT_TRUE(
        openssl.run("x509 -req -in v1.csr -signkey rsa.pem -days 1 -outform DER -out v1.der"));
    EXPECT_EQ(verdict(fileBytes(openssl.path("v1.der")), Digest::Sha256, "data", signature),
              Verdict::Verified);

    EXPECT_EQ(verdict(rsa, Digest::Sha1, "data", signature), Verdict::Invalid);
    Bytes longer = signature;
    longer.push_back(0);
    EXPECT_EQ(verdict(rsa, Digest::Sha256, "data", longer), Verdict::Invalid);
    EXPECT_EQ(verdict(rsa, Digest::Sha256, "data", Bytes()), Verdict::Invalid);

    // Bytes that are no certificate cannot vouch for anything.
    const Bytes truncated(rsa.begin(), rsa.end() - 1);
    const Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'c', 'e', 'r', 't'};
    for (const Bytes& der : {truncated, garbage, Bytes()}) {
        EXPECT_EQ(verdict(der, Digest::Sha256, "data", signature), Verdict::Invalid);
    }
    const SignatureVerifier noBytes(nullptr, 100);
    EXPECT_EQ(noBytes.verify(Digest::Sha256, nullptr, 0, signature.data(), signature.size()),
              Verdict::Invalid);

    // Other keys are the vendor's scheme: not checked, whatever the bytes.
    const Bytes ec = openssl.certificate("/CN=EC");
    const Bytes ed25519 =
        CertificateBuilder().subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "Ed").der();
    for (const Bytes& der : {ec, ed25519}) {
        ASSERT_FALSE(der.empty());
        EXPECT_EQ(verdict(der, Digest::Md5, "data", signature), Verdict::Unchecked);
        EXPECT_EQ(verdict(der, Digest::Sha256, "data", Bytes()), Verdict::Unchecked);
    }
}

}  // namespace
