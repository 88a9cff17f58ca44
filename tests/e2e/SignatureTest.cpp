// Reading Signature and SignData through the shipping plug-in after writing CN, SignData and
// HashAlgorithm: signatures made on the token that the openssl command verifies against the
// certificate, the exact envelopes, the mechanism chosen by the hash name, and a whole token
// operation (load to unload) for every read. Also what page script can do from the modal loop of
// a PIN dialog that the token module runs inside C_Login: a nested token operation is refused,
// the rest works, and the outer signing goes on with what it started with. And SM3 with RSA, as
// the forwarding module signs it.
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "OpensslCommand.h"
#include "TokenScriptFixture.h"
#include "hostkit/ExtraInstance.h"
#include "hostkit/ModalLoop.h"

namespace vellum::e2e {
namespace {

using pluginhost::ScriptValue;

bool isUpperHex(const std::string& text) {
    return text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

std::string eightDigits(size_t number) {
    char text[32];
    std::snprintf(text, sizeof text, "%08zu", number);
    return text;
}

class SignatureTest : public TokenScriptTest {
protected:
    // Reads Signature while the token module runs the host's modal loop inside C_Login, and in
    // that loop makes every token operation on `target` (this instance's script object or a
    // second instance's): each is refused at once and leaves the outer signing whole.
    void nestedTokenOperationsAreRefused(NPObject* target) {
        const auto* cert = addSigner(token(), "/CN=Signer", "0106");
        ASSERT_NE(cert, nullptr);
        const std::string list = "CN=Signer,0106;";
        NPObject* own = host().scriptObject();
        for (NPObject* object : {own, target}) {
            ASSERT_TRUE(host().setProperty(object, "CN", ScriptValue::string("0106")));
            ASSERT_TRUE(host().setProperty(object, "SignData", ScriptValue::string("outer")));
        }
        env().set("VELLUM_P11FWD_MODAL_LOOP", "C_Login");
        struct Nested {
            const char* name;
            bool property;
            std::string answer;
            std::string status;
        };
        Nested nested[] = {{"getCertList", false, "", ""},
                           {"SignCert", false, "", ""},
                           {"Signature", true, "", ""},
                           {"SignData", true, "", ""}};
        std::string versionInLoop;
        std::string ownStatusInLoop;
        pluginhost::ModalLoop loop([&](const std::string&) {
            versionInLoop = host().invoke(target, "getVersion").value.stringValue();
            for (Nested& call : nested) {
                pluginhost::ScriptResult result = call.property
                                                      ? host().getProperty(target, call.name)
                                                      : host().invoke(target, call.name);
                call.answer = result.ok ? result.value.stringValue() : "(failed)";
                call.status = host().invoke(target, "LastError").value.stringValue();
            }
            ownStatusInLoop = host().invoke(own, "LastError").value.stringValue();
        });
        clearLog();
        const std::string envelope = readText("Signature");

        EXPECT_EQ(loop.runs(), 1u);
        EXPECT_EQ(loop.lastFunction(), "C_Login");
        EXPECT_EQ(versionInLoop, "1.0.0.49");
        for (const Nested& call : nested) {
            EXPECT_EQ(call.answer, "E:1000") << call.name;
            EXPECT_EQ(call.status, "Token operation in progress") << call.name;
        }
        // The refusals of the same instance show while the loop runs, then give way to the
        // outer operation's own text.
        EXPECT_EQ(ownStatusInLoop, target == own ? "Token operation in progress" : "OK");
        ASSERT_EQ(envelope.size(), 272u) << envelope;
        EXPECT_TRUE(verifies(*cert, "sha1", "outer", envelope.substr(16)));
        EXPECT_EQ(lastError(), "OK");
        // One operation, closed down once; nothing reached the module from inside the loop.
        EXPECT_TRUE(closedDown());
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(succeeded("C_Finalize"), 1u);
        EXPECT_EQ(succeeded("C_Logout"), 1u);
        const std::vector<std::string> lines = callLog().lines();
        size_t begin = lines.size();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == "@modal-loop-begin function=C_Login") {
                begin = i;
            }
        }
        ASSERT_LT(begin + 1, lines.size());
        EXPECT_EQ(lines[begin + 1], "@modal-loop-end function=C_Login");

        // Nothing stays in flight: both instances work again.
        env().unset("VELLUM_P11FWD_MODAL_LOOP");
        for (NPObject* object : {own, target}) {
            EXPECT_EQ(host().invoke(object, "getCertList").value.stringValue(), list);
        }
        const std::string again = host().getProperty(target, "Signature").value.stringValue();
        ASSERT_EQ(again.size(), 272u) << again;
        EXPECT_TRUE(verifies(*cert, "sha1", "outer", again.substr(16)));
    }
};

TEST_F(SignatureTest, SignaturesVerifyForEachHashAndKeySize) {
    struct Key {
        int bits;
        const char* serial;
        const tokenkit::TokenCertificate* cert;
    };
    Key keys[] = {{1024, "0400", nullptr}, {2048, "0800", nullptr}, {4096, "1000", nullptr}};
    for (Key& key : keys) {
        key.cert =
            addSigner(token(), "/CN=Signer " + std::to_string(key.bits), key.serial, key.bits);
        ASSERT_NE(key.cert, nullptr);
    }
    struct Hash {
        const char* name;  // HashAlgorithm, and the openssl dgst option
        const char* mechanism;
    };
    const Hash hashes[] = {{"md5", "0x5"}, {"sha1", "0x6"}, {"sha256", "0x40"}};
    ASSERT_TRUE(startPlugin());
    const std::string data = "The text to sign, signed on the token through the plug-in.";
    write("SignData", data);

    for (const Key& key : keys) {
        write("CN", key.serial);
        for (const Hash& hash : hashes) {
            SCOPED_TRACE(std::string(hash.name) + " with " + std::to_string(key.bits) + " bits");
            write("HashAlgorithm", hash.name);
            clearLog();
            const std::string envelope = readText("Signature");
            const size_t hexLength = static_cast<size_t>(key.bits / 4);
            ASSERT_EQ(envelope.size(), 16 + hexLength) << envelope;
            EXPECT_EQ(envelope.substr(0, 16), "US65001:" + eightDigits(hexLength));
            const std::string hex = envelope.substr(16);
            EXPECT_TRUE(isUpperHex(hex)) << hex;
            EXPECT_TRUE(verifies(*key.cert, hash.name, data, hex));
            // Checked before it left, and handed out as the token made it.
            EXPECT_EQ(hex, opensslSignature(*key.cert, hash.name, data));
            EXPECT_EQ(lastSignMechanism(), hash.mechanism);
            EXPECT_EQ(lastError(), "OK");
            EXPECT_TRUE(closedDown());

            clearLog();
            EXPECT_EQ(readText("SignData"),
                      "UD65001:" + eightDigits(data.size()) + data + eightDigits(hexLength) + hex);
            EXPECT_EQ(lastError(), "OK");
            EXPECT_TRUE(closedDown());
        }
    }
}

TEST_F(SignatureTest, EnvelopesOfA1024BitSha1Signature) {
    const auto* cert = addSigner(token(), "/CN=Signer", "0102");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    // Eight characters, twelve bytes: the data length counts bytes.
    const std::string data = "ab \xE4\xB8\xAD\xE6\x96\x87 cd";
    ASSERT_EQ(data.size(), 12u);
    write("CN", "0102");
    write("SignData", data);
    write("HashAlgorithm", "sha1");

    const std::string signature = readText("Signature");
    ASSERT_EQ(signature.size(), 272u) << signature;
    EXPECT_EQ(signature.substr(0, 16), "US65001:00000256");
    const std::string hex = signature.substr(16);
    EXPECT_TRUE(isUpperHex(hex));
    EXPECT_TRUE(verifies(*cert, "sha1", data, hex));
    EXPECT_FALSE(verifies(*cert, "sha1", data + ".", hex));
    EXPECT_FALSE(verifies(*cert, "sha256", data, hex));

    // "UD65001:" <data length> <data> <signature length> <signature>
    const std::string envelope = readText("SignData");
    ASSERT_EQ(envelope.size(), 8 + 8 + 12 + 8 + 256u) << envelope;
    EXPECT_EQ(envelope.substr(0, 8), "UD65001:");
    EXPECT_EQ(envelope.substr(8, 8), "00000012");
    EXPECT_EQ(envelope.substr(16, 12), data);
    EXPECT_EQ(envelope.substr(28, 8), "00000256");
    // PKCS #1 v1.5 signatures are deterministic: the same bytes as the Signature read.
    EXPECT_EQ(envelope.substr(36), hex);
    EXPECT_TRUE(closedDown());
}

TEST_F(SignatureTest, HashNamesSelectTheMechanism) {
    const auto* cert = addSigner(token(), "/CN=Signer", "0104");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "0104");
    write("SignData", "data");
    struct Case {
        const char* name;
        const char* mechanism;
        const char* digest;
    };
    // Exact names only; anything else selects SHA-1 again, whatever was chosen before.
    const Case cases[] = {
        {"sha256", "0x40", "sha256"}, {"SHA256", "0x6", "sha1"},    {"sha256", "0x40", "sha256"},
        {"", "0x6", "sha1"},          {"sha256", "0x40", "sha256"}, {"sha-256", "0x6", "sha1"},
        {"md5", "0x5", "md5"},        {"MD5", "0x6", "sha1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.name + "\"");
        write("HashAlgorithm", c.name);
        clearLog();
        const std::string envelope = readText("Signature");
        EXPECT_EQ(lastSignMechanism(), c.mechanism);
        ASSERT_GT(envelope.size(), 16u) << envelope;
        EXPECT_TRUE(verifies(*cert, c.digest, "data", envelope.substr(16)));
        EXPECT_TRUE(closedDown());
    }

    // SM3 reaches the module unchanged; SoftHSM2 refuses the mechanism.
    write("HashAlgorithm", "sm3");
    clearLog();
    EXPECT_EQ(readText("Signature"), "E:1000");
    EXPECT_EQ(lastSignMechanism(), "0x10003");
    EXPECT_EQ(lastError(), "C_SignInit failed:Mechanism invalid(0x0070)");
    EXPECT_EQ(callLog().calls("C_SignInit").at(0).rv, 0x70u);
    EXPECT_TRUE(closedDown());
}

// SM3 with RSA, which SoftHSM2 lacks, as the forwarding module signs it over CKM_RSA_PKCS. Under
// an RSA certificate the signature must open to the SM3 hash of the data, bare or in a
// DigestInfo; under an EC certificate it is the vendor's scheme and leaves unchecked.
TEST_F(SignatureTest, Sm3SignaturesOpenToTheHashUnderTheCertificatesRsaKey) {
    const auto* signer = addSigner(token(), "/CN=Signer", "0301");
    ASSERT_NE(signer, nullptr);
    // Another RSA key's certificate, and an EC one, both naming the signer's private key.
    tokenkit::CertificateSpec other = spec("/CN=Other", "0302");
    other.id = signer->id;
    other.label = "other";
    other.withPrivateKey = false;
    ASSERT_NE(addCertificate(other), nullptr);
    OpensslCommand openssl;
    tokenkit::CertificateSpec ec = spec("", "");
    ec.id = signer->id;
    ec.label = "ec";
    ec.rawValue = openssl.certificate("/CN=EC", "0x0303");
    ASSERT_NE(addCertificate(ec), nullptr);
    ASSERT_TRUE(startPlugin());
    const std::string data = "data signed with SM3";
    write("SignData", data);
    write("HashAlgorithm", "sm3");

    // What the signer's key makes of the hash, bare or in a DigestInfo: PKCS#1 v1.5 with no
    // digest of its own (openssl's RSA signing does not take SM3).
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int hashLength = 0;
    ASSERT_EQ(EVP_Digest(data.data(), data.size(), hash, &hashLength, EVP_sm3(), nullptr), 1);
    const std::string bare(reinterpret_cast<const char*>(hash), hashLength);
    const std::string digestInfo =
        std::string("\x30\x30\x30\x0C\x06\x08\x2A\x81\x1C\xCF\x55\x01\x83\x11\x05\x00\x04\x20",
                    18) +
        bare;
    const auto signedBy = [&](const std::string& block) {
        openssl.writeFile("block.bin", block);
        EXPECT_TRUE(openssl.run("pkeyutl -sign -inkey " + OpensslCommand::quote(signer->keyPath) +
                                " -pkeyopt rsa_padding_mode:pkcs1 -in block.bin -out block.sig"));
        std::ifstream in(openssl.path("block.sig"), std::ios::binary);
        std::string hex;
        for (auto it = std::istreambuf_iterator<char>(in); it != std::istreambuf_iterator<char>();
             ++it) {
            static const char kDigits[] = "0123456789ABCDEF";
            hex += kDigits[static_cast<unsigned char>(*it) >> 4];
            hex += kDigits[static_cast<unsigned char>(*it) & 0x0F];
        }
        return hex;
    };

    struct Case {
        const char* mode;  // VELLUM_P11FWD_SM3
        const char* cn;
        std::string signature;  // the envelope's hexadecimal digits, or "" when refused
    };
    const Case cases[] = {
        {"digestinfo", "0301", signedBy(digestInfo)},
        {"bare", "0301", signedBy(bare)},
        {"digestinfo", "0302", ""},
        {"digestinfo", "0303", signedBy(digestInfo)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.cn);
        env().set("VELLUM_P11FWD_SM3", c.mode);
        write("CN", c.cn);
        clearLog();
        const std::string envelope = readText("Signature");
        EXPECT_EQ(lastSignMechanism(), "0x10003");
        EXPECT_EQ(callLog().calls("C_SignInit").at(0).arg("emulated"), "sm3");
        if (c.signature.empty()) {
            EXPECT_EQ(envelope, "E:1000");
            EXPECT_EQ(lastError(), "Signature check failed:Signature invalid(0x00C0)");
        } else {
            ASSERT_EQ(c.signature.size(), 256u);
            EXPECT_EQ(envelope, "US65001:00000256" + c.signature);
            EXPECT_EQ(lastError(), "OK");
        }
        EXPECT_EQ(succeeded("C_Logout"), 1u);
        EXPECT_TRUE(closedDown());
    }
    // A bent signature under the RSA certificate is refused; under the EC one nothing can tell.
    env().set("VELLUM_P11FWD_SM3", "digestinfo");
    env().set("VELLUM_P11FWD_BAD_SIGNATURE", "flip");
    write("CN", "0301");
    EXPECT_EQ(readText("Signature"), "E:1000");
    EXPECT_EQ(lastError(), "Signature check failed:Signature invalid(0x00C0)");
    write("CN", "0303");
    EXPECT_EQ(readText("Signature").size(), 272u);
    EXPECT_EQ(lastError(), "OK");
}

TEST_F(SignatureTest, EveryReadRepeatsTheWholeSequence) {
    const auto* cert = addSigner(token(), "/CN=Signer", "0105");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "0105");
    write("SignData", "again");

    const std::string first = readText("Signature");
    const std::string second = readText("Signature");
    ASSERT_EQ(first.size(), 272u);
    ASSERT_EQ(second.size(), 272u);
    EXPECT_TRUE(verifies(*cert, "sha1", "again", first.substr(16)));
    EXPECT_TRUE(verifies(*cert, "sha1", "again", second.substr(16)));

    tokenkit::CallLog& log = callLog();
    EXPECT_EQ(log.loads(), 2u);
    EXPECT_EQ(log.unloads(), 2u);
    for (const char* name : {"C_Initialize", "C_OpenSession", "C_Login", "C_SignInit",
                             "C_SignUpdate", "C_Logout", "C_CloseSession", "C_Finalize"}) {
        EXPECT_EQ(succeeded(name), 2u) << name;
    }
    // The length, then the signature, each time.
    EXPECT_EQ(succeeded("C_SignFinal"), 4u);
    // The plug-in never handles the PIN: the token module gets none.
    for (const tokenkit::LoggedCall& login : log.calls("C_Login")) {
        EXPECT_EQ(login.arg("pin"), "null");
        EXPECT_EQ(login.arg("pinLength"), "0");
        EXPECT_EQ(login.arg("userType"), "1");
    }
    // Each operation ends before the next begins.
    const std::vector<std::string> lines = log.lines();
    size_t secondLoad = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].compare(0, 5, "@load") == 0) {
            secondLoad = i;
        }
    }
    ASSERT_GT(secondLoad, 0u);
    EXPECT_EQ(lines[secondLoad - 1].compare(0, 7, "@unload"), 0) << lines[secondLoad - 1];
    EXPECT_TRUE(closedDown());
}

TEST_F(SignatureTest, TokenOperationsFromTheLoginDialogOfTheSameInstanceAreRefused) {
    ASSERT_TRUE(startPlugin());
    nestedTokenOperationsAreRefused(host().scriptObject());
}

TEST_F(SignatureTest, TokenOperationsFromTheLoginDialogOfAnotherInstanceAreRefused) {
    ASSERT_TRUE(startPlugin());
    pluginhost::ExtraInstance other(host());
    ASSERT_EQ(other.start(), NPERR_NO_ERROR);
    nestedTokenOperationsAreRefused(other.scriptObject());
}

// A page may remove another embed from the loop. That instance still holds the module a failed
// SignCert left initialised; letting it go must not finalise the module under the outer call,
// and the outer operation, which takes the module over, finalises it before unloading it even
// when its own C_Initialize fails.
struct DestroyedFromTheDialog {
    const char* loopIn;  // VELLUM_P11FWD_MODAL_LOOP
    const char* fault;   // VELLUM_P11FWD_FAIL for the signing, or null
    const char* status;  // "OK" for a signature
};
const DestroyedFromTheDialog kDestroyedFromTheDialog[] = {
    {"C_Login", nullptr, "OK"},
    {"C_Initialize", "C_Initialize=0x30", "initialize failed:"},
};

TEST_F(SignatureTest, AnInstanceDestroyedFromTheLoginDialogLeavesTheModuleToTheSigning) {
    const auto* cert = addSigner(token(), "/CN=Signer", "0109");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    write("CN", "0109");
    write("SignData", "outer");
    for (const DestroyedFromTheDialog& c : kDestroyedFromTheDialog) {
        SCOPED_TRACE(c.loopIn);
        pluginhost::ExtraInstance other(host());
        ASSERT_EQ(other.start(), NPERR_NO_ERROR);
        clearLog();
        env().set("VELLUM_P11FWD_FAIL", "C_GetSlotList=0x5");
        EXPECT_EQ(host().invoke(other.scriptObject(), "SignCert").value.stringValue(), "E:1000");
        if (c.fault != nullptr) {
            env().set("VELLUM_P11FWD_FAIL", c.fault);
        } else {
            env().unset("VELLUM_P11FWD_FAIL");
        }

        env().set("VELLUM_P11FWD_MODAL_LOOP", c.loopIn);
        NPError destroyed = NPERR_GENERIC_ERROR;
        pluginhost::ModalLoop loop([&](const std::string&) { destroyed = other.destroy(); });
        const std::string envelope = readText("Signature");
        env().unset("VELLUM_P11FWD_MODAL_LOOP");
        env().unset("VELLUM_P11FWD_FAIL");
        EXPECT_EQ(loop.runs(), 1u);
        EXPECT_EQ(destroyed, NPERR_NO_ERROR);
        EXPECT_EQ(lastError(), c.status);
        if (c.fault == nullptr) {
            ASSERT_EQ(envelope.size(), 272u) << envelope << " " << lastError();
            EXPECT_TRUE(verifies(*cert, "sha1", "outer", envelope.substr(16)));
        } else {
            EXPECT_EQ(envelope, "E:1000");
        }
        // The module stayed mapped from the failed SignCert to the end of the signing, which
        // alone finalised it, then unloaded it.
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(callLog().unloads(), 1u);
        EXPECT_EQ(succeeded("C_Finalize"), 1u);
        const std::vector<std::string> lines = callLog().lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2].compare(0, 10, "C_Finalize"), 0)
            << lines[lines.size() - 2];
        EXPECT_TRUE(closedDown());
    }
}

// The page removes the signing embed while the embed's own token call runs: the token module's
// dialog loop delivers NPP_Destroy for it (or, as the whole page goes, NPP_Destroy for every
// instance and then NP_Shutdown). The plug-in answers at once; the signing goes on with what it
// holds, closes the module down once and hands back its result as the page would have got it.
// The signing instance is an ExtraInstance, whose record is freed once NPP_Destroy has returned:
// a later read of it shows under ASan and valgrind. The embed's last token call may also be the
// C_Finalize of its own teardown, when a failed SignCert left the module initialised; removed
// again from there, it must be gone from its record already, or the plug-in would tear down the
// half-destroyed instance a second time.
struct RemovedDuringItsCall {
    const char* loopIn;  // VELLUM_P11FWD_MODAL_LOOP
    bool wholePage;      // every instance destroyed, then NP_Shutdown
};
const RemovedDuringItsCall kRemovedDuringItsCall[] = {
    {"C_Initialize", false},
    {"C_FindObjects#1", false},        // the certificate search
    {"C_GetAttributeValue#2", false},  // the certificate's value
    {"C_Login", false},
    {"C_SignFinal#2", false},  // the signature itself
    {"C_Finalize", false},
    {"C_Login", true},  // last: nothing of the page is left after it
};

TEST_F(SignatureTest, AnEmbedRemovedDuringItsOwnTokenCallLetsTheCallFinish) {
    const auto* cert = addSigner(token(), "/CN=Signer", "010A");
    ASSERT_NE(cert, nullptr);
    ASSERT_TRUE(startPlugin());
    {
        SCOPED_TRACE("C_Finalize of its own teardown");
        pluginhost::ExtraInstance signer(host());
        ASSERT_EQ(signer.start(), NPERR_NO_ERROR);
        ASSERT_TRUE(host().setProperty(signer.scriptObject(), "CN", ScriptValue::string("010A")));
        clearLog();
        env().set("VELLUM_P11FWD_FAIL", "C_GetSlotList#1=0x30");
        env().set("VELLUM_P11FWD_MODAL_LOOP", "C_Finalize");
        EXPECT_EQ(host().invoke(signer.scriptObject(), "SignCert").value.stringValue(), "E:1000");
        env().unset("VELLUM_P11FWD_FAIL");
        ASSERT_EQ(callLog().unloads(), 0u) << "the failed SignCert left no module to finalise";

        NPP record = signer.npp();
        const void* pdataInLoop = &record;
        NPError nested = NPERR_GENERIC_ERROR;
        pluginhost::ModalLoop loop([&](const std::string&) {
            pdataInLoop = record->pdata;
            if (pdataInLoop != nullptr) {
                // Delivering NPP_Destroy now would destroy that instance twice.
                ADD_FAILURE() << "the record still names the instance being torn down";
                return;
            }
            NPSavedData* saved = nullptr;
            nested = host().pluginFunctions().destroy(record, &saved);
        });
        EXPECT_EQ(signer.destroy(), NPERR_NO_ERROR);
        env().unset("VELLUM_P11FWD_MODAL_LOOP");
        EXPECT_EQ(loop.runs(), 1u);
        EXPECT_EQ(pdataInLoop, nullptr);
        EXPECT_EQ(nested, NPERR_NO_ERROR);
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(callLog().unloads(), 1u);
        EXPECT_EQ(callLog().count("C_Finalize"), 1u);
        EXPECT_TRUE(closedDown());
    }
    for (const RemovedDuringItsCall& c : kRemovedDuringItsCall) {
        SCOPED_TRACE(std::string(c.loopIn) + (c.wholePage ? ", whole page" : ""));
        pluginhost::ExtraInstance signer(host());
        ASSERT_EQ(signer.start(), NPERR_NO_ERROR);
        NPObject* object = signer.scriptObject();
        ASSERT_TRUE(host().setProperty(object, "CN", ScriptValue::string("010A")));
        ASSERT_TRUE(host().setProperty(object, "SignData", ScriptValue::string("removed")));
        env().set("VELLUM_P11FWD_MODAL_LOOP", c.loopIn);
        std::vector<NPError> answers;
        pluginhost::ModalLoop loop([&](const std::string&) {
            answers.push_back(signer.destroy());
            if (c.wholePage) {
                answers.push_back(host().destroyInstance());
                answers.push_back(host().shutdown());
            }
        });
        clearLog();
        const pluginhost::ScriptResult result = host().getProperty(object, "Signature");
        env().unset("VELLUM_P11FWD_MODAL_LOOP");

        EXPECT_EQ(loop.runs(), 1u);
        EXPECT_EQ(answers, std::vector<NPError>(c.wholePage ? 3 : 1, NPERR_NO_ERROR));
        EXPECT_EQ(signer.npp(), nullptr);
        // The script object went with its instance, from inside its own call.
        EXPECT_FALSE(host().objects().isAlive(object));
        ASSERT_TRUE(result.ok && result.value.isString()) << result;
        const std::string envelope = result.value.stringValue();
        ASSERT_EQ(envelope.size(), 272u) << envelope;
        EXPECT_TRUE(verifies(*cert, "sha1", "removed", envelope.substr(16)));
        EXPECT_EQ(callLog().loads(), 1u);
        EXPECT_EQ(callLog().unloads(), 1u);
        EXPECT_EQ(succeeded("C_Finalize"), 1u);
        EXPECT_TRUE(closedDown());
    }
}

// Settings written from the loop apply to the next signing; the one in flight signs the data,
// with the hash and the certificate, it started with.
TEST_F(SignatureTest, SettingsWrittenFromTheLoginDialogWaitForTheNextSigning) {
    const auto* first = addSigner(token(), "/CN=First", "0107");
    const auto* second = addSigner(token(), "/CN=Second", "0108");
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(startPlugin());
    write("CN", "0107");
    write("SignData", "started with this");
    write("HashAlgorithm", "sha1");
    env().set("VELLUM_P11FWD_MODAL_LOOP", "C_Login");
    pluginhost::ModalLoop loop([this](const std::string&) {
        write("SignData", "written in the dialog");
        write("HashAlgorithm", "sha256");
        write("CN", "0108");
    });
    clearLog();
    const std::string envelope = readText("SignData");
    EXPECT_EQ(loop.runs(), 1u);
    EXPECT_EQ(lastSignMechanism(), "0x6");
    const std::string data = "started with this";
    ASSERT_EQ(envelope.size(), 8 + 8 + data.size() + 8 + 256) << envelope;
    EXPECT_EQ(envelope.substr(8, 8 + data.size()), "00000017" + data);
    EXPECT_TRUE(verifies(*first, "sha1", data, envelope.substr(8 + 8 + data.size() + 8)));
    EXPECT_EQ(lastError(), "OK");
    EXPECT_TRUE(closedDown());

    env().unset("VELLUM_P11FWD_MODAL_LOOP");
    clearLog();
    const std::string next = readText("Signature");
    ASSERT_EQ(next.size(), 272u) << next;
    EXPECT_TRUE(verifies(*second, "sha256", "written in the dialog", next.substr(16)));
    EXPECT_EQ(lastSignMechanism(), "0x40");
}

}  // namespace
}  // namespace vellum::e2e
