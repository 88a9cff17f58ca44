// The PIN module in a program that hands over what it signs (this test program exports the
// hand-over function, as vellum-host does): the dialog shows the text, and the token signs that
// text only. Texts are generated: random Unicode and bytes that are not UTF-8, newlines, '%',
// control characters, bidirectional and invisible characters, lengths from 0 to 1 MiB.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FwdFixture.h"
#include "PinDialogText.h"
#include "PinEntryDialog.h"
#include "SignatureApproval.h"
#include "pin/SigningRequest.h"
#include "tokenkit/OpensslCheck.h"

namespace {

vellum_signing_request handedOver{};
bool signing = false;

}  // namespace

extern "C" __attribute__((visibility("default"))) const vellum_signing_request*
vellum_host_signing_request() {
    return signing ? &handedOver : nullptr;
}

namespace vellum::tokenkit::testing {
namespace {

using pin::HostHandOver;
using pin::PinDialogText;

std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    std::string hex;
    static const char kDigits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// What a dialog shows of its text, read back as a person would read it: the lines behind
// "> ", their escapes undone.
struct Shown {
    bool whole = false;
    std::string text;  // the whole text, or its start
    size_t length = 0;
    std::string digest;  // shown without its spaces
    std::string problem;
};

std::string unescaped(const std::string& visible, std::string& problem) {
    std::string out;
    for (size_t i = 0; i < visible.size();) {
        if (visible.compare(i, 2, "\\\\") == 0) {
            out += '\\';
            i += 2;
        } else if (visible.compare(i, 2, "\\x") == 0) {
            out += static_cast<char>(std::stoi(visible.substr(i + 2, 2), nullptr, 16));
            i += 4;
        } else if (visible.compare(i, 3, "\\u{") == 0) {
            const size_t close = visible.find('}', i);
            appendUtf8(out, static_cast<char32_t>(
                                std::stoul(visible.substr(i + 3, close - i - 3), nullptr, 16)));
            i = close + 1;
        } else if (visible[i] == '\\') {
            problem = "a lone backslash at " + std::to_string(i);
            return out;
        } else {
            out += visible[i++];
        }
    }
    return out;
}

Shown readBack(const std::string& description) {
    Shown shown;
    std::vector<std::string> lines;
    std::istringstream in(description);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    size_t at = 0;
    while (at < lines.size() && lines[at].rfind("Hash ", 0) != 0) {
        ++at;
    }
    if (at == lines.size()) {
        shown.problem = "no hash line";
        return shown;
    }
    const std::string intro = lines[at++];
    std::string visible;
    for (bool first = true; at < lines.size() && lines[at].rfind("> ", 0) == 0; ++at) {
        visible += (first ? "" : "\n") + lines[at].substr(2);
        first = false;
    }
    shown.text = unescaped(visible, shown.problem);
    const std::string wholeMark = "The text to sign (";
    if (intro.find(wholeMark) != std::string::npos) {
        shown.whole = true;
        shown.length = std::stoul(intro.substr(intro.find(wholeMark) + wholeMark.size()));
        return shown;
    }
    const std::string partMark = "The text to sign is ";
    if (intro.find(partMark) == std::string::npos || at + 3 >= lines.size() ||
        lines[at] != PinDialogText::kTextCut || lines[at + 1] != "SHA-256 of the whole text:") {
        shown.problem = "neither form: " + description;
        return shown;
    }
    shown.length = std::stoul(intro.substr(intro.find(partMark) + partMark.size()));
    for (const std::string& line : {lines[at + 2], lines[at + 3]}) {
        for (char c : line) {
            if (c != ' ') {
                shown.digest += c;
            }
        }
    }
    return shown;
}

// Texts of every kind the page may send, deterministic for a seed.
class TextGenerator {
public:
    explicit TextGenerator(uint32_t seed) : random_(seed) {}

    std::string next() {
        // Lengths spread over the orders of magnitude up to 1 MiB.
        const double exponent = std::uniform_real_distribution<double>(0.0, 20.0)(random_);
        const size_t target =
            std::min<size_t>(static_cast<size_t>(std::exp2(exponent)) - 1, 1 << 20);
        std::string text;
        while (text.size() < std::min<size_t>(target, kPieced)) {
            appendPiece(text);
        }
        // Beyond that, copies of the start each with one byte changed: the dialog shows only
        // the start of such a text, and its SHA-256 covers every byte.
        const std::string start = text;
        while (text.size() < target) {
            text += start;
            text[text.size() - 1 - pick(static_cast<uint32_t>(start.size()))] ^= 0x20;
        }
        text.resize(target);  // may cut a sequence: bytes that are not UTF-8 are texts too
        return text;
    }

private:
    static constexpr size_t kPieced = 8192;

    void appendPiece(std::string& text) {
        static const char32_t kTricky[] = {0x202A, 0x202B, 0x202C,  0x202D, 0x202E, 0x2066,
                                           0x2067, 0x2068, 0x2069,  0x200B, 0x200C, 0x200D,
                                           0x200E, 0x200F, 0xFEFF,  0x2028, 0x2029, 0x0085,
                                           0x00AD, 0x061C, 0xE0041, 0xFE0F};
        switch (pick(12)) {
            case 0:
                text += '\n';
                break;
            case 1:
                text += '%';
                break;
            case 2:
                text += static_cast<char>(pick(32));  // C0 controls, NUL included
                break;
            case 3:
                appendUtf8(text, kTricky[pick(sizeof kTricky / sizeof kTricky[0])]);
                break;
            case 4: {
                char32_t c = 0x80 + pick(0x10FFFF - 0x80);
                if (c >= 0xD800 && c <= 0xDFFF) {
                    c -= 0x800;
                }
                appendUtf8(text, c);
                break;
            }
            case 5:
                text += static_cast<char>(0x80 + pick(0x80));  // a byte that is not UTF-8
                break;
            case 6:
                text += "\\x41";
                break;
            default:
                text += static_cast<char>(' ' + pick(95));
        }
    }

    uint32_t pick(uint32_t count) {
        return std::uniform_int_distribution<uint32_t>(0, count - 1)(random_);
    }

    std::mt19937 random_;
};

// Whether the dialog showed `text`: whole, or its start with its length and SHA-256.
std::string showsFaithfully(const std::string& description, const std::string& text) {
    const Shown shown = readBack(description);
    if (!shown.problem.empty()) {
        return shown.problem;
    }
    if (shown.length != text.size()) {
        return "the length shown is " + std::to_string(shown.length);
    }
    if (shown.whole) {
        return shown.text == text ? "" : "the text shown is another";
    }
    if (text.compare(0, shown.text.size(), shown.text) != 0) {
        return "the start shown is not the text's";
    }
    return shown.digest == sha256Hex(text) ? "" : "the SHA-256 shown is another";
}

const CK_UTF8CHAR kLabel[32] = {'p', 'e', 'r', 's', 'o', 'n', ' ', ' ', ' ', ' ', ' ',
                                ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

TEST(SignatureDialogText, ShowsEveryGeneratedTextFaithfullyWithinOneProtocolLine) {
    TextGenerator texts(20261208);
    for (int i = 0; i < 10000; ++i) {
        HostHandOver::Request request;
        request.text = texts.next();
        request.hash = "sha256";
        request.site = "https://sign.example.com";
        const PinDialogText dialog =
            PinDialogText::forSignature(kLabel, CKF_USER_PIN_COUNT_LOW, request, CKR_OK, i % 2);
        const std::string problem = showsFaithfully(dialog.description, request.text);
        ASSERT_EQ(problem, "") << "text " << i << " of " << request.text.size() << " bytes\n"
                               << dialog.description;
        ASSERT_LE(pin::PinEntryDialog::escaped(dialog.description).size(),
                  PinDialogText::kMaxEscapedDescription)
            << "text " << i;
        // What would act (bidirectional controls, zero-width, controls) never reaches the
        // description as itself.
        for (const std::string& acting :
             {std::string("\xE2\x80\xAE"), std::string("\xE2\x81\xA7"), std::string("\xE2\x80\x8B"),
              std::string("\xEF\xBB\xBF"), std::string("\xC2\x85"), std::string("\r"),
              std::string("\t"), std::string(1, '\0')}) {
            ASSERT_EQ(dialog.description.find(acting), std::string::npos) << "text " << i;
        }
        // Only the text shown passes: one byte more, less or changed does not.
        pin::SignatureApproval approval(request.text, request.hash);
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        ASSERT_TRUE(approval.begin(&mechanism));
        std::string other = request.text;
        if (other.empty() || i % 3 == 0) {
            other += 'x';
        } else if (i % 3 == 1) {
            other.pop_back();
        } else {
            other[other.size() / 2] ^= 0x01;
        }
        const auto bytes = [](const std::string& s) {
            return reinterpret_cast<const unsigned char*>(s.data());
        };
        ASSERT_FALSE(approval.whole(bytes(other), other.size())) << "text " << i;
        ASSERT_TRUE(approval.takes(bytes(request.text), request.text.size())) << "text " << i;
        ASSERT_TRUE(approval.complete());
    }
}

class PinSigningTest : public FwdFixture {
public:
    void SetUp() override {
        FwdFixture::SetUp();
        putPinModuleInFront();
        std::ofstream(answers) << "every pin " << token->pin << "\n";
        signing = false;
    }

    void TearDown() override {
        signing = false;
        FwdFixture::TearDown();
    }

    void handOver(const std::string& text, const char* hash) {
        handed = text;
        handedOver.text = reinterpret_cast<const unsigned char*>(handed.data());
        handedOver.textLength = handed.size();
        handedOver.hash = hash;
        handedOver.site = "https://sign.example.com";
        handedOver.topSite = nullptr;
        signing = true;
    }

    // The SETDESC lines the pinentry was given, unescaped.
    std::vector<std::string> descriptions() {
        std::vector<std::string> shown;
        std::ifstream in(pinentryLog);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SETDESC ", 0) != 0) {
                continue;
            }
            std::string text;
            for (size_t i = 8; i < line.size(); ++i) {
                if (line[i] == '%' && i + 2 < line.size()) {
                    text += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    text += line[i];
                }
            }
            shown.push_back(text);
        }
        return shown;
    }

    std::string handed;
};

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

TEST_F(PinSigningTest, WhatTheDialogShowedIsWhatTheTokenSigned) {
    // A sample of the generated texts through the token, as the plug-in signs: the dialog at
    // the login, then one C_SignUpdate and C_SignFinal. Every signature is checked by openssl.
    TextGenerator texts(8);
    const CK_SESSION_HANDLE session = openSession();
    ASSERT_NE(p11, nullptr);
    std::vector<std::string> signedTexts;
    for (int i = 0; i < 40; ++i) {
        std::string text = texts.next();
        if (text.empty()) {
            continue;
        }
        handOver(text, "sha256");
        ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK) << i;
        const CK_OBJECT_HANDLE key = privateKey(session);
        CK_MECHANISM mechanism{CKM_SHA256_RSA_PKCS, nullptr, 0};
        ASSERT_EQ(p11->C_SignInit(session, &mechanism, key), CKR_OK);
        ASSERT_EQ(
            p11->C_SignUpdate(session, reinterpret_cast<CK_BYTE_PTR>(text.data()), text.size()),
            CKR_OK);
        CK_ULONG length = 0;
        ASSERT_EQ(p11->C_SignFinal(session, nullptr, &length), CKR_OK);
        std::vector<unsigned char> signature(length);
        ASSERT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_OK);
        signature.resize(length);
        ASSERT_EQ(p11->C_Logout(session), CKR_OK);
        signing = false;
        std::string why;
        EXPECT_TRUE(OpensslCheck::verifies(cert->pemPath, "sha256", text, hex(signature),
                                           kit.directory(), &why))
            << "text " << i << ": " << why;
        signedTexts.push_back(text);
    }
    const std::vector<std::string> shown = descriptions();
    const auto updates = CallLog(logPath).calls("C_SignUpdate");
    ASSERT_EQ(shown.size(), signedTexts.size());
    ASSERT_EQ(updates.size(), signedTexts.size());
    for (size_t i = 0; i < signedTexts.size(); ++i) {
        EXPECT_EQ(showsFaithfully(shown[i], signedTexts[i]), "") << shown[i];
        // The token's own record of what it got.
        EXPECT_EQ(updates[i].arg("sha256"), sha256Hex(signedTexts[i]));
        const Shown readBackText = readBack(shown[i]);
        EXPECT_EQ(readBackText.whole ? sha256Hex(readBackText.text) : readBackText.digest,
                  updates[i].arg("sha256"));
    }
}

TEST_F(PinSigningTest, WhatWasNotShownNeverReachesTheKey) {
    CK_SESSION_HANDLE session = openSession();
    ASSERT_NE(p11, nullptr);
    CK_MECHANISM sha256{CKM_SHA256_RSA_PKCS, nullptr, 0};
    CK_MECHANISM sha1{CKM_SHA1_RSA_PKCS, nullptr, 0};
    std::string shown = "pay 5 to Bob";
    std::string other = "pay 500 to Eve";
    const auto bytes = [](std::string& s) { return reinterpret_cast<CK_BYTE_PTR>(s.data()); };
    CK_BYTE signature[512];
    CK_ULONG length = sizeof signature;
    // Each attempt on a session of its own, as the plug-in's operations are: a refused
    // operation may stay active on the token until its session closes. A private key's handle
    // holds while logged in.
    CK_OBJECT_HANDLE key = 0;
    const auto login = [&] {
        p11->C_CloseSession(session);
        EXPECT_EQ(p11->C_OpenSession(token->slotId, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
                  CKR_OK);
        const CK_RV rv = p11->C_Login(session, CKU_USER, nullptr, 0);
        key = rv == CKR_OK ? privateKey(session) : 0;
        return rv;
    };

    // No signature under way in the program: no login, no dialog.
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED);
    EXPECT_TRUE(descriptions().empty());

    handOver(shown, "sha256");
    // Other bytes than were shown; then a part of them.
    ASSERT_EQ(login(), CKR_OK);
    ASSERT_EQ(p11->C_SignInit(session, &sha256, key), CKR_OK);
    EXPECT_EQ(p11->C_SignUpdate(session, bytes(other), other.size()), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(p11->C_SignFinal(session, signature, &length), CKR_FUNCTION_CANCELED);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(login(), CKR_OK);
    ASSERT_EQ(p11->C_SignInit(session, &sha256, key), CKR_OK);
    EXPECT_EQ(p11->C_SignUpdate(session, bytes(shown), 3), CKR_FUNCTION_CANCELED);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    // Another hash than the one shown.
    ASSERT_EQ(login(), CKR_OK);
    EXPECT_EQ(p11->C_SignInit(session, &sha1, key), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(p11->C_Sign(session, bytes(shown), shown.size(), signature, &length),
              CKR_FUNCTION_CANCELED);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    // One signature per dialog: the second on the same login is refused.
    ASSERT_EQ(login(), CKR_OK);
    ASSERT_EQ(p11->C_SignInit(session, &sha256, key), CKR_OK);
    length = sizeof signature;
    EXPECT_EQ(p11->C_Sign(session, bytes(shown), shown.size(), signature, &length), CKR_OK);
    EXPECT_EQ(p11->C_SignInit(session, &sha256, key), CKR_FUNCTION_CANCELED);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);

    // Four dialogs; the token signed once, and never other bytes.
    EXPECT_EQ(descriptions().size(), 4u);
    CallLog log(logPath);
    EXPECT_EQ(log.count("C_SignUpdate"), 0u);
    EXPECT_EQ(log.count("C_SignFinal"), 0u);
    const auto signs = log.calls("C_Sign");
    ASSERT_EQ(signs.size(), 1u);
    EXPECT_EQ(signs[0].rv, CKR_OK);
    EXPECT_EQ(log.count("C_SignInit"), 3u);
}

}  // namespace
}  // namespace vellum::tokenkit::testing
