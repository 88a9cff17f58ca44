// What the end-to-end tests cannot reach: SoftHSM2 signs only with the RSA keys of the plug-in's
// mechanisms and offers no SM3, and the plug-in only ever holds DER bytes that parsed.
#include "x509/SignatureVerifier.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CertificateBuilder.h"
#include "OpensslCommand.h"

// Verdicts by name in failure messages (found by argument-dependent lookup, so not in the
// anonymous namespace).
static void PrintTo(SignatureVerifier::Verdict verdict, std::ostream* out) {
    switch (verdict) {
        case SignatureVerifier::Verdict::Verified:
            *out << "Verified";
            return;
        case SignatureVerifier::Verdict::Invalid:
            *out << "Invalid";
            return;
        case SignatureVerifier::Verdict::Unchecked:
            *out << "Unchecked";
            return;
    }
    *out << "Verdict " << static_cast<int>(verdict);
}

namespace {

using Bytes = std::vector<unsigned char>;
using Digest = SignatureVerifier::Digest;
using Verdict = SignatureVerifier::Verdict;

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct KeyContextFree {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};

// The PKCS#1 v1.5 signature of `block` as it is (no digest of its own) by the private key in the
// PEM file at `keyPath`; empty if that fails.
Bytes signBlock(const std::string& keyPath, const Bytes& block) {
    std::unique_ptr<BIO, BioFree> file(BIO_new_file(keyPath.c_str(), "r"));
    std::unique_ptr<EVP_PKEY, KeyFree> key(
        file ? PEM_read_bio_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr);
    std::unique_ptr<EVP_PKEY_CTX, KeyContextFree> context(key ? EVP_PKEY_CTX_new(key.get(), nullptr)
                                                              : nullptr);
    Bytes signature(key ? static_cast<size_t>(EVP_PKEY_get_size(key.get())) : 0);
    size_t length = signature.size();
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(context.get(), signature.data(), &length, block.data(), block.size()) != 1) {
        return Bytes();
    }
    signature.resize(length);
    return signature;
}

Bytes sm3(const std::string& data) {
    Bytes hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), hash.data(), &length, EVP_sm3(), nullptr) != 1) {
        return Bytes();
    }
    hash.resize(length);
    return hash;
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

    // An RSA mechanism's signature is never one under another key; SM3 under another key is the
    // vendor's scheme: not checked, whatever the bytes.
    const Bytes ec = openssl.certificate("/CN=EC");
    const Bytes ed25519 =
        CertificateBuilder().subjectEntry(NID_commonName, V_ASN1_UTF8STRING, "Ed").der();
    for (const Bytes& der : {ec, ed25519}) {
        ASSERT_FALSE(der.empty());
        for (Digest digest : {Digest::Md5, Digest::Sha1, Digest::Sha256}) {
            EXPECT_EQ(verdict(der, digest, "data", signature), Verdict::Invalid);
        }
        EXPECT_EQ(verdict(der, Digest::Sm3, "data", signature), Verdict::Unchecked);
        EXPECT_EQ(verdict(der, Digest::Sm3, "data", Bytes()), Verdict::Unchecked);
    }
}

// An RSA key certified as id-RSASSA-PSS is the same modulus and exponent: a PKCS#1 v1.5
// signature by it is checked as under rsaEncryption, and a bent one refused.
TEST(SignatureVerifierTest, AnRsaKeyCertifiedAsPssIsChecked) {
    OpensslCommand openssl;
    ASSERT_TRUE(openssl.run("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out rsa.pem"));
    openssl.writeFile("data.txt", "data");
    ASSERT_TRUE(openssl.run("dgst -sha1 -sign rsa.pem -out data.sig data.txt"));
    const Bytes pss = CertificateBuilder().subjectKey(openssl.path("rsa.pem"), NID_rsassaPss).der();
    ASSERT_FALSE(pss.empty());
    // The certificate really names the key RSASSA-PSS, as OpenSSL reads it.
    const unsigned char* cursor = pss.data();
    X509* parsed = d2i_X509(nullptr, &cursor, static_cast<long>(pss.size()));
    ASSERT_NE(parsed, nullptr);
    ASN1_OBJECT* algorithm = nullptr;
    X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(parsed));
    EXPECT_EQ(OBJ_obj2nid(algorithm), NID_rsassaPss);
    X509_free(parsed);

    Bytes signature = fileBytes(openssl.path("data.sig"));
    EXPECT_EQ(verdict(pss, Digest::Sha1, "data", signature), Verdict::Verified);
    EXPECT_EQ(verdict(pss, Digest::Sha256, "data", signature), Verdict::Invalid);
    signature.back() ^= 0xFF;
    EXPECT_EQ(verdict(pss, Digest::Sha1, "data", signature), Verdict::Invalid);
}

// SM3 under an RSA key: the signature must open to a type-1 block ending in the SM3 hash of the
// data, bare or in a DigestInfo naming SM3, and be exactly as long as the modulus.
TEST(SignatureVerifierTest, Sm3UnderAnRsaKeyMustOpenToTheHash) {
    OpensslCommand openssl;
    ASSERT_TRUE(
        openssl.run("req -x509 -newkey rsa:1024 -nodes -keyout rsa.pem -days 1 -subj "
                    "/CN=RSA -outform DER -out rsa.der"));
    ASSERT_TRUE(openssl.run("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out other.pem"));
    const Bytes rsa = fileBytes(openssl.path("rsa.der"));
    const Bytes pss = CertificateBuilder().subjectKey(openssl.path("rsa.pem"), NID_rsassaPss).der();
    ASSERT_FALSE(pss.empty());

    const std::string data = "data signed with SM3";
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    ASSERT_EQ(EVP_Digest(data.data(), data.size(), hash, &hashLength, EVP_sm3(), nullptr), 1);
    ASSERT_EQ(hashLength, 32u);
    const std::string bare(reinterpret_cast<const char*>(hash), hashLength);
    // DigestInfo { AlgorithmIdentifier { 1.2.156.10197.1.401, NULL }, OCTET STRING hash }
    const std::string digestInfo =
        std::string("\x30\x30\x30\x0C\x06\x08\x2A\x81\x1C\xCF\x55\x01\x83\x11\x05\x00\x04\x20",
                    18) +
        bare;
    // The blocks are signed as they are: PKCS#1 v1.5 padding, no digest of their own.
    const auto sign = [&openssl](const std::string& block, const std::string& key) {
        openssl.writeFile("block.bin", block);
        EXPECT_TRUE(openssl.run("pkeyutl -sign -inkey " + key +
                                " -pkeyopt rsa_padding_mode:pkcs1 -in block.bin -out block.sig"));
        return fileBytes(openssl.path("block.sig"));
    };
    const Bytes inDigestInfo = sign(digestInfo, "rsa.pem");
    const Bytes bareHash = sign(bare, "rsa.pem");
    ASSERT_EQ(inDigestInfo.size(), 128u);
    ASSERT_EQ(bareHash.size(), 128u);
    for (const Bytes& der : {rsa, pss}) {
        EXPECT_EQ(verdict(der, Digest::Sm3, data, inDigestInfo), Verdict::Verified);
        EXPECT_EQ(verdict(der, Digest::Sm3, data, bareHash), Verdict::Verified);
    }
    EXPECT_EQ(verdict(rsa, Digest::Sm3, data + ".", inDigestInfo), Verdict::Invalid);
    EXPECT_EQ(verdict(rsa, Digest::Sha256, data, inDigestInfo), Verdict::Invalid);
    // SM3's DigestInfo with its parameters left out, as some tokens write it.
    const std::string noParameters =
        std::string("\x30\x2E\x30\x0A\x06\x08\x2A\x81\x1C\xCF\x55\x01\x83\x11\x04\x20", 16) + bare;
    EXPECT_EQ(verdict(rsa, Digest::Sm3, data, sign(noParameters, "rsa.pem")), Verdict::Verified);

    // The DigestInfo must name SM3: one naming SHA-256 (2.16.840.1.101.3.4.2.1) around the SM3
    // hash vouches for a SHA-256 digest of the data, not for this one; nor may SM3's carry
    // parameters other than NULL.
    const std::string namingSha256 =
        std::string("\x30\x31\x30\x0D\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20",
                    19) +
        bare;
    const std::string sm3WithParameters =
        std::string("\x30\x31\x30\x0D\x06\x08\x2A\x81\x1C\xCF\x55\x01\x83\x11\x02\x01\x00\x04\x20",
                    19) +
        bare;
    EXPECT_EQ(verdict(rsa, Digest::Sm3, data, sign(namingSha256, "rsa.pem")), Verdict::Invalid)
        << "a DigestInfo naming SHA-256 passed as an SM3 signature";
    EXPECT_EQ(verdict(rsa, Digest::Sm3, data, sign(sm3WithParameters, "rsa.pem")), Verdict::Invalid)
        << "a DigestInfo with parameters other than NULL passed";

    // Signatures whose only fault is their length. A valid signature's integer sometimes starts
    // with a zero byte (about once in 256): the data is varied until one does. Without that byte,
    // or with one more zero in front, the integer and the block it opens to are the same.
    std::string zeroLed;
    Bytes zeroLedSignature;
    for (int attempt = 0; attempt < 100000 && zeroLedSignature.empty(); ++attempt) {
        const std::string candidate = data + " #" + std::to_string(attempt);
        const Bytes signature = signBlock(openssl.path("rsa.pem"), sm3(candidate));
        ASSERT_EQ(signature.size(), 128u);
        if (signature.front() == 0) {
            zeroLed = candidate;
            zeroLedSignature = signature;
        }
    }
    ASSERT_FALSE(zeroLedSignature.empty());
    EXPECT_EQ(verdict(rsa, Digest::Sm3, zeroLed, zeroLedSignature), Verdict::Verified);
    const Bytes withoutLeadingZero(zeroLedSignature.begin() + 1, zeroLedSignature.end());
    EXPECT_EQ(verdict(rsa, Digest::Sm3, zeroLed, withoutLeadingZero), Verdict::Invalid)
        << "a signature one byte shorter than the modulus passed";
    Bytes withExtraZero = zeroLedSignature;
    withExtraZero.insert(withExtraZero.begin(), 0);
    EXPECT_EQ(verdict(rsa, Digest::Sm3, zeroLed, withExtraZero), Verdict::Invalid)
        << "a signature one byte longer than the modulus passed";

    Bytes flipped = inDigestInfo;
    flipped.back() ^= 0x01;
    Bytes withoutFirstByte = bareHash;
    withoutFirstByte.erase(withoutFirstByte.begin());
    const Bytes refused[] = {
        flipped,
        withoutFirstByte,
        sign(digestInfo, "other.pem"),
        // The hash at the end of something that is neither the bare hash nor a DigestInfo.
        sign("x" + bare, "rsa.pem"),
        sign(digestInfo + std::string(1, '\0'), "rsa.pem"),
        Bytes(),
    };
    for (const Bytes& signature : refused) {
        EXPECT_EQ(verdict(rsa, Digest::Sm3, data, signature), Verdict::Invalid);
    }
    // A block of type 2 (encryption padding) with the hash at its end is no signature.
    openssl.writeFile("block.bin", digestInfo);
    ASSERT_TRUE(openssl.run("pkey -in rsa.pem -pubout -out rsa.pub"));
    ASSERT_TRUE(
        openssl.run("pkeyutl -encrypt -pubin -inkey rsa.pub "
                    "-pkeyopt rsa_padding_mode:pkcs1 -in block.bin -out block.enc"));
    const Bytes encrypted = fileBytes(openssl.path("block.enc"));
    ASSERT_EQ(encrypted.size(), 128u);
    EXPECT_EQ(verdict(rsa, Digest::Sm3, data, encrypted), Verdict::Invalid);
}

}  // namespace
