// The PIN module (pin/) in front of the forwarding module, which logs what reaches the token:
// the plug-in's login without a PIN gets the PIN typed into a pinentry (the fake one of these
// tests), and nothing else changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "FwdFixture.h"

namespace vellum::tokenkit::testing {
namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The commands of each pinentry run, one string per run, from the fake's log.
std::vector<std::string> dialogs(const std::string& log) {
    std::vector<std::string> runs;
    std::istringstream lines(fileText(log));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("@start", 0) == 0) {
            runs.emplace_back();
        } else if (!runs.empty()) {
            runs.back() += line + "\n";
        }
    }
    return runs;
}

// This thread's stack, whole, as it is at one moment: below the stack pointer it still holds what
// the calls that have returned left there. Everything it needs is prepared before, so that taking
// the picture itself (one pread) overwrites almost nothing.
class StackPicture {
public:
    StackPicture() {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            if (line.size() > 7 && line.compare(line.size() - 7, 7, "[stack]") == 0) {
                start_ = std::stoul(line, nullptr, 16);
                end_ = std::stoul(line.substr(line.find('-') + 1), nullptr, 16);
            }
        }
        bytes_.resize(end_ - start_);
        fd_ = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    }
    ~StackPicture() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    StackPicture(const StackPicture&) = delete;
    StackPicture& operator=(const StackPicture&) = delete;

    bool take() {
        return fd_ >= 0 && !bytes_.empty() &&
               ::pread(fd_, bytes_.data(), bytes_.size(), static_cast<off_t>(start_)) ==
                   static_cast<ssize_t>(bytes_.size());
    }
    bool holds(const std::string& text) const {
        return std::search(bytes_.begin(), bytes_.end(), text.begin(), text.end()) != bytes_.end();
    }

private:
    unsigned long start_ = 0;
    unsigned long end_ = 0;
    std::vector<char> bytes_;
    int fd_ = -1;
};

class PinModuleTest : public FwdFixture {
public:
    void SetUp() override {
        FwdFixture::SetUp();
        putPinModuleInFront();
        env.set("VELLUM_PIN_SITE", "https://sign.example.com");
    }

    void answer(const std::string& lines) { std::ofstream(answers) << lines; }

    // One operation as the plug-in runs it: load, initialise, open a session, log in without
    // a PIN, log out, finalise, unload.
    CK_RV nullLogin() {
        const CK_SESSION_HANDLE session = openSession();
        if (p11 == nullptr) {
            return CKR_GENERAL_ERROR;
        }
        const CK_RV rv = p11->C_Login(session, CKU_USER, nullptr, 0);
        if (rv == CKR_OK) {
            EXPECT_EQ(p11->C_Logout(session), CKR_OK);
        }
        EXPECT_EQ(p11->C_CloseSession(session), CKR_OK);
        EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
        unload();
        return rv;
    }
};

TEST_F(PinModuleTest, TypedPinReachesTheTokenAndTheDialogNamesTokenAndSite) {
    answer("pin " + token->pin + "\n");
    ASSERT_EQ(nullLogin(), CKR_OK);

    CallLog log(logPath);
    auto logins = log.calls("C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].rv, CKR_OK);
    EXPECT_EQ(logins[0].arg("pin"), "set");
    EXPECT_EQ(logins[0].arg("pinLength"), std::to_string(token->pin.size()));
    EXPECT_EQ(logins[0].arg("pinSupplied"), "no");
    std::string why;
    EXPECT_TRUE(log.balanced(&why)) << why;

    auto runs = dialogs(pinentryLog);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find("SETDESC https://sign.example.com asks to sign with the token "
                           "\"alpha\"."),
              std::string::npos)
        << runs[0];
    EXPECT_NE(runs[0].find("\nGETPIN\nBYE\n"), std::string::npos) << runs[0];
    EXPECT_EQ(runs[0].find("SETERROR"), std::string::npos) << runs[0];
    EXPECT_EQ(runs[0].find(token->pin), std::string::npos) << runs[0];
}

TEST_F(PinModuleTest, ThePinTypedIsWipedWhenTheLoginReturns) {
    // Longer than a string keeps in itself, so that this test's own copies live on the heap
    // and only the login can have put the PIN on the stack.
    token = kit.addToken("wipe", "pin-wiped-after-login-5302");
    ASSERT_NE(token, nullptr) << kit.error();
    answer("pin " + token->pin + "\n");
    const CK_SESSION_HANDLE session = openSession();
    ASSERT_NE(p11, nullptr);
    StackPicture stack;
    const CK_RV rv = p11->C_Login(session, CKU_USER, nullptr, 0);
    ASSERT_TRUE(stack.take());
    ASSERT_EQ(rv, CKR_OK);
    EXPECT_FALSE(stack.holds(token->pin))
        << "the PIN typed was left on the stack after the login returned: not wiped";
    EXPECT_EQ(p11->C_Logout(session), CKR_OK);
}

TEST_F(PinModuleTest, PercentInPinAndNewlineInSiteCrossTheProtocolEscaped) {
    token = kit.addToken("percent", "5%25\\");
    ASSERT_NE(token, nullptr) << kit.error();
    env.set("VELLUM_PIN_SITE", "https://a.example\nGETPIN");
    answer("pin 5%25\\\n");
    EXPECT_EQ(nullLogin(), CKR_OK);
    auto runs = dialogs(pinentryLog);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find("SETDESC https://a.example%0AGETPIN asks"), std::string::npos)
        << runs[0];
}

TEST_F(PinModuleTest, WrongPinGivesTheTokensErrorAndTheNextDialogSaysSo) {
    answer("pin 9999\npin " + token->pin + "\n");
    EXPECT_EQ(nullLogin(), CKR_PIN_INCORRECT);
    EXPECT_EQ(nullLogin(), CKR_OK);
    // Taken: the dialog after that has no error line again.
    answer("pin " + token->pin + "\n");
    EXPECT_EQ(nullLogin(), CKR_OK);

    auto runs = dialogs(pinentryLog);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].find("SETERROR"), std::string::npos) << runs[0];
    EXPECT_NE(runs[1].find("SETERROR Wrong PIN (Pin incorrect). Try again.\n"), std::string::npos)
        << runs[1];
    EXPECT_EQ(runs[2].find("SETERROR"), std::string::npos) << runs[2];
    auto logins = CallLog(logPath).calls("C_Login");
    ASSERT_EQ(logins.size(), 3u);
    EXPECT_EQ(logins[0].rv, CKR_PIN_INCORRECT);
    EXPECT_EQ(logins[0].arg("pinLength"), "4");

    // Every other refusal of the PIN typed is remembered for the next dialog just the same.
    const std::pair<CK_RV, const char*> refusals[] = {
        {CKR_PIN_LEN_RANGE, "The PIN is too short or too long for the token (Pin len range)."},
        {CKR_PIN_INVALID, "The token does not take a PIN with these characters (Pin invalid)."},
        {CKR_PIN_EXPIRED, "The token's PIN has expired (Pin expired)."},
        {CKR_DEVICE_ERROR, "The token refused the last PIN (0x0030)."},
    };
    for (const auto& [rv, text] : refusals) {
        answer("pin " + token->pin + "\npin " + token->pin + "\n");
        env.set("VELLUM_P11FWD_FAIL", "C_Login=" + std::to_string(rv));
        EXPECT_EQ(nullLogin(), rv);
        env.unset("VELLUM_P11FWD_FAIL");
        EXPECT_EQ(nullLogin(), CKR_OK);
        runs = dialogs(pinentryLog);
        ASSERT_GE(runs.size(), 2u);
        EXPECT_NE(runs.back().find(std::string("SETERROR ") + text + "\n"), std::string::npos)
            << "the dialog after a login refused with 0x" << std::hex << rv << std::dec
            << " does not say why the PIN was refused: " << runs.back();
    }
}

TEST_F(PinModuleTest, ATokenThatCannotTellItsStateGetsNoLoginButItsError) {
    answer("every pin " + token->pin + "\n");
    env.set("VELLUM_P11FWD_FAIL", "C_GetTokenInfo=0x30");
    EXPECT_EQ(nullLogin(), static_cast<CK_RV>(CKR_DEVICE_ERROR));
    env.set("VELLUM_P11FWD_FAIL", "C_GetSessionInfo=0xB3");
    EXPECT_EQ(nullLogin(), static_cast<CK_RV>(CKR_SESSION_HANDLE_INVALID));
    EXPECT_EQ(CallLog(logPath).count("C_Login"), 0u);
    EXPECT_TRUE(dialogs(pinentryLog).empty());
}

TEST_F(PinModuleTest, CancelOrAnEmptyEntryLogsNothingIn) {
    answer("cancel\npin \n");
    EXPECT_EQ(nullLogin(), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(nullLogin(), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(dialogs(pinentryLog).size(), 2u);
    EXPECT_EQ(CallLog(logPath).count("C_Login"), 0u);
}

TEST_F(PinModuleTest, WithoutAUsablePinentryNoLoginIsAttempted) {
    // Named but missing; none named and none on PATH; one that cannot show a dialog.
    env.set("VELLUM_PIN_PINENTRY", kit.directory() + "/no-such-pinentry");
    EXPECT_EQ(nullLogin(), CKR_FUNCTION_NOT_SUPPORTED);
    env.unset("VELLUM_PIN_PINENTRY");
    env.set("PATH", kit.directory());
    EXPECT_EQ(nullLogin(), CKR_FUNCTION_NOT_SUPPORTED);
    env.set("VELLUM_PIN_PINENTRY", VELLUM_FAKE_PINENTRY);
    answer("fail\n");
    EXPECT_EQ(nullLogin(), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(dialogs(pinentryLog).size(), 1u);
    EXPECT_EQ(CallLog(logPath).count("C_Login"), 0u);
}

TEST_F(PinModuleTest, TheDialogWarnsOfFewTriesAndALockedPinIsNotAsked) {
    answer("pin " + token->pin + "\npin " + token->pin + "\npin " + token->pin + "\n");
    env.set("VELLUM_P11FWD_TOKEN_FLAGS", "0x10000");  // CKF_USER_PIN_COUNT_LOW
    EXPECT_EQ(nullLogin(), CKR_OK);
    env.set("VELLUM_P11FWD_TOKEN_FLAGS", "0x30000");  // and CKF_USER_PIN_FINAL_TRY
    EXPECT_EQ(nullLogin(), CKR_OK);
    env.set("VELLUM_P11FWD_TOKEN_FLAGS", "0x40000");  // CKF_USER_PIN_LOCKED
    EXPECT_EQ(nullLogin(), CKR_PIN_LOCKED);

    auto runs = dialogs(pinentryLog);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_NE(runs[0].find("%0A%0AFew tries are left before the token locks its PIN.\n"),
              std::string::npos)
        << runs[0];
    EXPECT_NE(runs[1].find("%0A%0AThis is the last try: a wrong PIN now locks the token.\n"),
              std::string::npos)
        << runs[1];
    EXPECT_EQ(CallLog(logPath).count("C_Login"), 2u);
}

TEST_F(PinModuleTest, PinPadTokenGetsTheNullPinWithoutADialog) {
    // With a PIN to supply, the forwarding module reports a protected authentication path.
    env.set("VELLUM_P11FWD_PIN", token->pin);
    answer("pin 9999\n");
    EXPECT_EQ(nullLogin(), CKR_OK);
    EXPECT_TRUE(dialogs(pinentryLog).empty());
    auto logins = CallLog(logPath).calls("C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].arg("pin"), "null");
    EXPECT_EQ(logins[0].arg("pinSupplied"), "yes");
}

TEST_F(PinModuleTest, LoginsWithAPinOrForTheSecurityOfficerPassUnchanged) {
    const CK_SESSION_HANDLE session = openSession();
    ASSERT_NE(p11, nullptr);
    std::string pin = token->pin;
    EXPECT_EQ(
        p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()),
        CKR_OK);
    // Already logged in: the null login goes to the token, which answers for itself.
    EXPECT_NE(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11->C_Logout(session), CKR_OK);
    EXPECT_NE(p11->C_Login(session, CKU_SO, nullptr, 0), CKR_OK);
    EXPECT_TRUE(dialogs(pinentryLog).empty());
    EXPECT_EQ(CallLog(logPath).count("C_Login"), 3u);
}

TEST_F(PinModuleTest, TheSlotListLeavesOutTokensNeverInitialised) {
    // Straight from the token module: SoftHSM2's spare, never-initialised token comes last.
    modulePath = VELLUM_P11FWD_PATH;
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    const std::vector<CK_SLOT_ID> all = slots();
    p11->C_Finalize(nullptr);
    unload();
    ASSERT_FALSE(all.empty());
    modulePath = VELLUM_PIN_PATH;
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    const std::vector<CK_SLOT_ID> listed = slots();
    ASSERT_EQ(listed.size(), all.size() - 1);
    EXPECT_EQ(listed.back(), token->slotId);
    for (CK_SLOT_ID slot : listed) {
        CK_TOKEN_INFO info{};
        ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
        EXPECT_NE(info.flags & CKF_TOKEN_INITIALIZED, 0u) << slot;
    }
    // A buffer for the unfiltered count is too big, one short of the filtered one too small.
    std::vector<CK_SLOT_ID> buffer(all.size(), 0);
    CK_ULONG count = listed.size() - 1;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, buffer.data(), &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, listed.size());
    count = buffer.size();
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, buffer.data(), &count), CKR_OK);
    EXPECT_EQ(std::vector<CK_SLOT_ID>(buffer.begin(), buffer.begin() + count), listed);
}

}  // namespace
}  // namespace vellum::tokenkit::testing
