#include <dlfcn.h>
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fixedpath/TokenModuleRedirect.h"
#include "tokenkit/ScopedEnv.h"
#include "tokenkit/Subprocess.h"
#include "tokenkit/TokenKit.h"

namespace vellum::tokenkit::testing {
namespace {

namespace fs = std::filesystem;
using fixedpath::TokenModuleRedirect;

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char* const kDigits = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0xF]);
    }
    return text;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string opensslOutput(const std::vector<std::string>& argv) {
    ProcessResult result = Subprocess::run(argv);
    EXPECT_TRUE(result.succeeded()) << Subprocess::describe(argv, result);
    return result.output;
}

// Reads a token straight from SoftHSM2: CKA_ID to CKA_VALUE of the certificates, and the
// CKA_IDs of the private keys.
class TokenReader {
public:
    explicit TokenReader(const Token& token) {
        library_ = dlopen(VELLUM_SOFTHSM2_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library_ == nullptr) {
            ADD_FAILURE() << dlerror();
            return;
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
        if (getList == nullptr || getList(&p11_) != CKR_OK ||
            p11_->C_Initialize(nullptr) != CKR_OK) {
            ADD_FAILURE() << "SoftHSM2 does not start";
            p11_ = nullptr;
            return;
        }
        EXPECT_EQ(
            p11_->C_OpenSession(token.slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &session_),
            CKR_OK);
        std::string pin = token.pin;
        EXPECT_EQ(p11_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                                pin.size()),
                  CKR_OK);
    }
    ~TokenReader() {
        if (p11_ != nullptr) {
            p11_->C_Finalize(nullptr);
        }
        if (library_ != nullptr) {
            dlclose(library_);
        }
    }

    std::map<std::string, std::vector<unsigned char>> objects(CK_OBJECT_CLASS objectClass) {
        std::map<std::string, std::vector<unsigned char>> result;
        if (p11_ == nullptr) {
            return result;
        }
        CK_ATTRIBUTE search[] = {{CKA_CLASS, &objectClass, sizeof objectClass}};
        std::vector<CK_OBJECT_HANDLE> handles(256);
        CK_ULONG found = 0;
        EXPECT_EQ(p11_->C_FindObjectsInit(session_, search, 1), CKR_OK);
        EXPECT_EQ(p11_->C_FindObjects(session_, handles.data(), handles.size(), &found), CKR_OK);
        EXPECT_EQ(p11_->C_FindObjectsFinal(session_), CKR_OK);
        for (CK_ULONG i = 0; i < found; ++i) {
            std::vector<unsigned char> id = attribute(handles[i], CKA_ID);
            result[hex(id)] =
                objectClass == CKO_CERTIFICATE ? attribute(handles[i], CKA_VALUE) : id;
        }
        return result;
    }

private:
    std::vector<unsigned char> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE query = {type, nullptr, 0};
        EXPECT_EQ(p11_->C_GetAttributeValue(session_, object, &query, 1), CKR_OK);
        std::vector<unsigned char> value(query.ulValueLen);
        query.pValue = value.data();
        EXPECT_EQ(p11_->C_GetAttributeValue(session_, object, &query, 1), CKR_OK);
        return value;
    }

    void* library_ = nullptr;
    CK_FUNCTION_LIST* p11_ = nullptr;
    CK_SESSION_HANDLE session_ = 0;
};

TEST(TokenKitTest, CertificatesShareTheirKeysIdAndMatchTheirFiles) {
    TokenKit kit;
    ASSERT_TRUE(kit.ok()) << kit.error();
    EXPECT_STREQ(std::getenv("SOFTHSM2_CONF"), kit.configPath().c_str());
    Token* token = kit.addToken("provisioned");
    ASSERT_NE(token, nullptr) << kit.error();
    EXPECT_EQ(kit.addToken("provisioned"), nullptr);  // labels are unique within a kit

    CertificateSpec signer;
    signer.subject = "/CN=Example Signer/O=Example Org";
    signer.serial = "01a2b3";
    signer.bits = 1024;
    const TokenCertificate* first = kit.addCertificate(*token, signer);
    ASSERT_NE(first, nullptr) << kit.error();
    CertificateSpec orgOnly;
    orgOnly.subject = "/O=Only Org/CN=Ünïcødé";
    orgOnly.serial = "008F3A";
    orgOnly.bits = 1024;
    orgOnly.withPrivateKey = false;
    const TokenCertificate* second = kit.addCertificate(*token, orgOnly);
    ASSERT_NE(second, nullptr) << kit.error();
    CertificateSpec raw;
    raw.rawValue = {0x30, 0x03, 0x02, 0x01, 0x05, 'j', 'u', 'n', 'k'};
    const TokenCertificate* third = kit.addCertificate(*token, raw);
    ASSERT_NE(third, nullptr) << kit.error();
    CertificateSpec badSerial;
    badSerial.serial = "01:A2";
    EXPECT_EQ(kit.addCertificate(*token, badSerial), nullptr);
    EXPECT_NE(kit.error().find("hexadecimal"), std::string::npos) << kit.error();

    EXPECT_EQ(first->serial, "01A2B3");
    EXPECT_EQ(second->serial, "8F3A");
    EXPECT_EQ(first->id, "01");
    EXPECT_EQ(second->id, "02");
    EXPECT_EQ(third->id, "03");
    EXPECT_TRUE(first->hasPrivateKey);
    EXPECT_FALSE(second->hasPrivateKey);
    EXPECT_TRUE(second->keyPath.empty());
    EXPECT_EQ(third->der, raw.rawValue);
    EXPECT_NE(fileText(first->keyPath), fileText(kit.addCertificate(*token, signer)->keyPath))
        << "certificates that do not share keys got the same key";

    // What openssl reads from the files is what the spec asked for.
    std::string details = opensslOutput({"openssl", "x509", "-in", first->pemPath, "-noout",
                                         "-serial", "-subject", "-nameopt", "RFC2253"});
    EXPECT_NE(details.find("serial=01A2B3"), std::string::npos) << details;
    EXPECT_NE(details.find("subject=O=Example Org,CN=Example Signer"), std::string::npos)
        << details;
    EXPECT_EQ(opensslOutput({"openssl", "x509", "-in", first->pemPath, "-noout", "-modulus"}),
              opensslOutput({"openssl", "rsa", "-in", first->keyPath, "-noout", "-modulus"}));
    EXPECT_EQ(fileText(first->derPath), std::string(first->der.begin(), first->der.end()));

    // On the token: each certificate under its id with its DER bytes, keys only where wanted.
    TokenReader reader(*token);
    std::map<std::string, std::vector<unsigned char>> certs = reader.objects(CKO_CERTIFICATE);
    std::map<std::string, std::vector<unsigned char>> keys = reader.objects(CKO_PRIVATE_KEY);
    ASSERT_EQ(certs.size(), 4u);
    EXPECT_EQ(certs["01"], first->der);
    EXPECT_EQ(certs["02"], second->der);
    EXPECT_EQ(certs["03"], raw.rawValue);
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys.count("01"), 1u);
    EXPECT_EQ(keys.count("04"), 1u);
}

// What keeps many certificates quick to make, counted rather than timed: one key for all of them
// and a few programs per certificate, none of them making a key.
TEST(TokenKitTest, SixtyFourCertificatesWithASharedKeyMakeOneKey) {
    std::string cache = (fs::temp_directory_path() / "vellum-keycache-XXXXXX").string();
    ASSERT_NE(mkdtemp(cache.data()), nullptr);
    struct Removal {
        std::string path;
        ~Removal() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removal{cache};
    TokenKit::Options options;
    options.cacheDirectory = cache;
    TokenKit kit(options);
    Token* token = kit.addToken("many");
    ASSERT_NE(token, nullptr) << kit.error();
    CertificateSpec spec;
    spec.bits = 1024;
    spec.shareKey = true;
    spec.subject = "/CN=Warm Up";
    ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();  // makes the key

    const unsigned long runsBefore = Subprocess::runs();
    for (int i = 1; i < 64; ++i) {
        spec.subject = "/CN=Signer " + std::to_string(i);
        ASSERT_NE(kit.addCertificate(*token, spec), nullptr) << kit.error();
    }
    const unsigned long runs = Subprocess::runs() - runsBefore;
    RecordProperty("programs_for_63_certificates", std::to_string(runs));
    // The certificate, then the certificate and the key written to the token.
    EXPECT_LE(runs, 63u * 3u);
    std::vector<std::string> keys;
    for (const fs::directory_entry& entry : fs::directory_iterator(cache)) {
        keys.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(keys, std::vector<std::string>{"rsa1024-shared.pem"});

    ASSERT_EQ(token->certificates.size(), 64u);
    std::map<std::string, int> serials;
    for (const TokenCertificate& cert : token->certificates) {
        ++serials[cert.serial];
        EXPECT_EQ(cert.serial.size(), 16u);
        EXPECT_EQ(fileText(cert.keyPath), fileText(token->certificates.front().keyPath));
    }
    EXPECT_EQ(serials.size(), 64u) << "random serial numbers repeated";
    TokenReader reader(*token);
    EXPECT_EQ(reader.objects(CKO_CERTIFICATE).size(), 64u);
    EXPECT_EQ(reader.objects(CKO_PRIVATE_KEY).size(), 64u);
}

TEST(TokenKitTest, DirectoryAndEnvironmentAreRestored) {
    ScopedEnv outer;
    outer.set("SOFTHSM2_CONF", "/nonexistent/softhsm2.conf");
    outer.unset("VELLUM_TOKENKIT_SCRATCH");
    std::string directory;
    {
        TokenKit kit;
        ASSERT_TRUE(kit.ok()) << kit.error();
        directory = kit.directory();
        EXPECT_TRUE(fs::exists(kit.configPath()));
        ScopedEnv inner;
        inner.set("VELLUM_TOKENKIT_SCRATCH", "1");
        inner.set("VELLUM_TOKENKIT_SCRATCH", "2");
        EXPECT_STREQ(std::getenv("VELLUM_TOKENKIT_SCRATCH"), "2");
    }
    EXPECT_EQ(std::getenv("VELLUM_TOKENKIT_SCRATCH"), nullptr);
    EXPECT_STREQ(std::getenv("SOFTHSM2_CONF"), "/nonexistent/softhsm2.conf");
    EXPECT_FALSE(fs::exists(directory));

    TokenKit::Options options;
    options.keep = true;
    {
        TokenKit kept(options);
        directory = kept.directory();
    }
    EXPECT_TRUE(fs::exists(directory + "/softhsm2.conf"));
    fs::remove_all(directory);
}

TEST(ModuleFilesTest, NoSymbolModuleLoadsWithoutC_GetFunctionList) {
    void* nosym = dlopen(VELLUM_P11NOSYM_PATH, RTLD_LAZY);
    ASSERT_NE(nosym, nullptr) << dlerror();
    EXPECT_EQ(dlsym(nosym, "C_GetFunctionList"), nullptr);
    dlclose(nosym);

    void* fwd = dlopen(VELLUM_P11FWD_PATH, RTLD_LAZY);
    ASSERT_NE(fwd, nullptr) << dlerror();
    EXPECT_NE(dlsym(fwd, "C_GetFunctionList"), nullptr);
    EXPECT_EQ(dlsym(fwd, "C_Initialize"), nullptr);  // only the list is exported
    dlclose(fwd);
}

TEST(TokenModuleRedirectTest, PointsTheFixedPathAtAModuleInThisProcessOnly) {
    const char* const fixed = TokenModuleRedirect::kFixedPath;
    std::error_code ec;
    const bool machineHasOne = fs::exists(fs::symlink_status(fixed, ec));
    ASSERT_TRUE(TokenModuleRedirect::inForce()) << "the test program does not export its dlopen";

    std::string why;
    ASSERT_TRUE(TokenModuleRedirect::pointAt(VELLUM_P11FWD_PATH, why)) << why;
    void* module = dlopen(fixed, RTLD_LAZY);
    ASSERT_NE(module, nullptr) << dlerror();
    // The forwarding module itself, not a copy: opened by its own name it is the same object.
    void* direct = dlopen(VELLUM_P11FWD_PATH, RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_EQ(direct, module);
    if (direct != nullptr) {
        dlclose(direct);
    }
    dlclose(module);

    // A module's own dlopen (bound by symbol version when it loads, as the plug-in's is) reaches
    // the redirect too; a bare name it opens is still searched by its own RUNPATH, which a
    // forwarding call from this program would lose: the program's RUNPATH does not hold it.
    void* caller = dlopen(VELLUM_CALLER_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(caller, nullptr) << dlerror();
    auto open = reinterpret_cast<void* (*)(const char*)>(dlsym(caller, "vellum_caller_open"));
    ASSERT_NE(open, nullptr);
    ASSERT_TRUE(TokenModuleRedirect::pointAt(VELLUM_P11NOSYM_PATH, why)) << why;
    module = open(fixed);
    ASSERT_NE(module, nullptr) << dlerror();
    EXPECT_EQ(dlsym(module, "C_GetFunctionList"), nullptr) << "not the module without the symbol";
    dlclose(module);
    EXPECT_EQ(dlopen(VELLUM_CALLER_HELPER_NAME, RTLD_NOW | RTLD_NOLOAD), nullptr);
    void* helper = open(VELLUM_CALLER_HELPER_NAME);
#if defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer's dlopen, in front of the C library's, calls that from the sanitizer's
    // library, so the loader searches no caller's RUNPATH at all; only the plain build can show
    // the caller kept.
    if (helper == nullptr) {
        dlerror();
    }
#else
    ASSERT_NE(helper, nullptr) << dlerror();
#endif
    if (helper != nullptr) {
        auto answer = reinterpret_cast<int (*)()>(dlsym(helper, "vellum_caller_helper_answer"));
        ASSERT_NE(answer, nullptr);
        EXPECT_EQ(answer(), 42);
        dlclose(helper);
    }
    dlclose(caller);

    // Nothing chosen: nothing loads, and the loader's message says so.
    ASSERT_TRUE(TokenModuleRedirect::pointAtNothing());
    EXPECT_EQ(dlopen(fixed, RTLD_LAZY), nullptr);
    const char* message = dlerror();
    ASSERT_NE(message, nullptr);
    EXPECT_NE(std::string(message).find(std::string("no token module is chosen for ") + fixed),
              std::string::npos)
        << message;

    const std::string chosen = TokenModuleRedirect::target();
    EXPECT_FALSE(TokenModuleRedirect::pointAt("relative/module.so", why));
    EXPECT_EQ(TokenModuleRedirect::target(), chosen) << "a refused path must change nothing";

    // Back to the machine's own file, which nothing above touched.
    ASSERT_TRUE(TokenModuleRedirect::clear());
    EXPECT_STREQ(TokenModuleRedirect::target(), fixed);
    EXPECT_EQ(fs::exists(fs::symlink_status(fixed, ec)), machineHasOne);
}

}  // namespace
}  // namespace vellum::tokenkit::testing
