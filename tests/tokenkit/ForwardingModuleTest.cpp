#include <fcntl.h>
#include <p11-kit/pkcs11.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "FwdFixture.h"

// The host's modal loop as the forwarding module finds it in the process: it records the call it
// runs inside and, as page script would, calls the module again from there.
namespace {
std::vector<std::string> modalLoopsEntered;
CK_FUNCTION_LIST* modalLoopModule = nullptr;
}  // namespace

extern "C" void vellum_host_modal_loop(const char* function) {
    modalLoopsEntered.push_back(function);
    CK_ULONG count = 0;
    if (modalLoopModule != nullptr) {
        modalLoopModule->C_GetSlotList(CK_TRUE, nullptr, &count);
    }
}

namespace vellum::tokenkit::testing {
namespace {

using ForwardingModuleTest = FwdFixture;

TEST_F(ForwardingModuleTest, ForwardsSlotsAndHidesTheEmptySlotKeepingTheTwoCallProtocol) {
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    // SoftHSM2 itself lists our token and its always-present empty slot.
    std::vector<CK_SLOT_ID> all = slots();
    ASSERT_EQ(all.size(), 2u);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    unload();

    env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(slots(), std::vector<CK_SLOT_ID>{token->slotId});

    CK_SLOT_ID none[1] = {0};
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, none, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, none, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(ForwardingModuleTest, NullPinLoginGetsTheConfiguredPin) {
    CK_SESSION_HANDLE session = openSession();
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(p11->C_Logout(session), CKR_OK);

    std::vector<LoggedCall> logins = CallLog(logPath).calls("C_Login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].rv, CKR_OK);
    EXPECT_EQ(logins[0].arg("userType"), "1");
    EXPECT_EQ(logins[0].arg("pin"), "null");
    EXPECT_EQ(logins[0].arg("pinLength"), "0");
    EXPECT_EQ(logins[0].arg("pinSupplied"), "yes");
}

TEST_F(ForwardingModuleTest, WrongOrMissingPinIsPassedToTheToken) {
    env.set("VELLUM_P11FWD_PIN", "9999");
    CK_SESSION_HANDLE session = openSession();
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    unload();

    // No PIN and no terminal: the null login reaches the token as it is.
    env.unset("VELLUM_P11FWD_PIN");
    session = openSession();
    EXPECT_NE(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    // A PIN given by the caller is never replaced.
    std::string pin = token->pin;
    EXPECT_EQ(
        p11->C_Login(session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.data()), pin.size()),
        CKR_OK);

    std::vector<LoggedCall> logins = CallLog(logPath).calls("C_Login");
    ASSERT_EQ(logins.size(), 3u);
    EXPECT_EQ(logins[0].arg("pinSupplied"), "yes");
    EXPECT_EQ(logins[1].arg("pinSupplied"), "no");
    EXPECT_EQ(logins[2].arg("pinSupplied"), "no");
    EXPECT_EQ(logins[2].arg("pin"), "set");
}

// Runs a null-PIN login in a child process whose controlling terminal is a new
// pseudo-terminal, answers the prompt with `typed`, and gives back the login's result and
// what the terminal showed.
CK_RV loginAtTerminal(FwdFixture& fixture, const std::string& typed, std::string& shown) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return CKR_GENERAL_ERROR;
    }
    std::string slaveName = ptsname(master);
    pid_t child = fork();
    if (child == 0) {
        ::setsid();
        int slave = ::open(slaveName.c_str(), O_RDWR);
        if (slave < 0 || ::ioctl(slave, TIOCSCTTY, 0) != 0) {
            _exit(255);
        }
        CK_SESSION_HANDLE session = fixture.openSession();
        CK_RV rv = fixture.p11->C_Login(session, CKU_USER, nullptr, 0);
        _exit(static_cast<int>(rv & 0xFF));
    }
    bool answered = false;
    for (;;) {
        pollfd ready = {master, POLLIN, 0};
        if (::poll(&ready, 1, 10000) <= 0) {
            break;
        }
        char buffer[256];
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // the child closed the terminal
        }
        shown.append(buffer, static_cast<size_t>(n));
        if (!answered && shown.find("Token PIN: ") != std::string::npos) {
            std::string line = typed + "\n";
            EXPECT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
            answered = true;
        }
    }
    ::close(master);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(answered) << "no prompt; the terminal showed: " << shown;
    return WIFEXITED(status) ? static_cast<CK_RV>(WEXITSTATUS(status)) : CKR_GENERAL_ERROR;
}

TEST_F(ForwardingModuleTest, WithoutAPinTheTerminalIsAskedWithoutEcho) {
    env.unset("VELLUM_P11FWD_PIN");
    env.unset("VELLUM_P11FWD_NO_TTY");
    std::string shown;
    EXPECT_EQ(loginAtTerminal(*this, token->pin, shown), CKR_OK);
    EXPECT_EQ(shown.find(token->pin), std::string::npos) << "the PIN was echoed: " << shown;
    shown.clear();
    EXPECT_EQ(loginAtTerminal(*this, "99999", shown), CKR_PIN_INCORRECT);

    std::vector<LoggedCall> logins = CallLog(logPath).calls("C_Login");
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].arg("pinSupplied"), "yes");
    EXPECT_EQ(logins[1].rv, CKR_PIN_INCORRECT);
}

TEST_F(ForwardingModuleTest, InjectsByNameAndByNthCallWithoutReachingTheToken) {
    env.set("VELLUM_P11FWD_FAIL", "C_SignInit=0x5; C_FindObjects#2=48");
    CK_SESSION_HANDLE session = openSession();
    ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);

    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certClass, sizeof certClass}};
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    ASSERT_EQ(p11->C_FindObjectsInit(session, search, 1), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_DEVICE_ERROR);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);

    CK_MECHANISM mechanism = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_GENERAL_ERROR);
    // The token never saw C_SignInit, so it has no signing operation.
    CK_BYTE data[] = {'a', 'b', 'c'};
    EXPECT_EQ(p11->C_SignUpdate(session, data, sizeof data), CKR_OPERATION_NOT_INITIALIZED);

    // Call numbers count again from the next C_GetFunctionList.
    CK_FUNCTION_LIST* again = nullptr;
    ASSERT_EQ(getFunctionList(&again), CKR_OK);
    ASSERT_EQ(p11->C_FindObjectsInit(session, search, 1), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_OK);
    EXPECT_EQ(p11->C_FindObjects(session, found, 4, &count), CKR_DEVICE_ERROR);
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);

    std::vector<LoggedCall> signInits = CallLog(logPath).calls("C_SignInit");
    ASSERT_EQ(signInits.size(), 1u);
    EXPECT_EQ(signInits[0].rv, CKR_GENERAL_ERROR);
    EXPECT_EQ(signInits[0].arg("mechanism"), "0x40");
    EXPECT_EQ(signInits[0].arg("injected"), "yes");
}

TEST_F(ForwardingModuleTest, RunsTheHostsModalLoopInsideTheNamedCallsOnly) {
    env.set("VELLUM_P11FWD_MODAL_LOOP", "C_Login; C_GetSlotList; C_FindObjectsInit#2; C_Logout#0");
    env.set("VELLUM_P11FWD_FAIL", "C_Login=0xA0");
    modalLoopsEntered.clear();
    CK_SESSION_HANDLE session = openSession();
    modalLoopModule = p11;
    // The dialog runs first; then the login fails as if it was cancelled. The C_GetSlotList made
    // from inside the loop runs no loop of its own.
    EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certClass, sizeof certClass}};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(p11->C_FindObjectsInit(session, search, 1), CKR_OK);
        ASSERT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    }
    EXPECT_EQ(slots().size(), 2u);
    modalLoopModule = nullptr;
    EXPECT_EQ(modalLoopsEntered, (std::vector<std::string>{"C_Login", "C_FindObjectsInit",
                                                           "C_GetSlotList", "C_GetSlotList"}));
    std::vector<std::string> lines = CallLog(logPath).lines();
    auto logged = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(logged("@config-error VELLUM_P11FWD_MODAL_LOOP: C_Logout#0"));
    EXPECT_TRUE(logged("@modal-loop-nested function=C_GetSlotList"));
    EXPECT_TRUE(logged("@modal-loop-end function=C_Login"));
}

TEST_F(ForwardingModuleTest, FunctionListFaultsLeaveTheListPointerAlone) {
    CK_FUNCTION_LIST sentinel{};
    env.set("VELLUM_P11FWD_FAIL", "C_GetFunctionList=0x2");
    p11 = nullptr;
    ASSERT_NE(library = dlopen(VELLUM_P11FWD_PATH, RTLD_NOW | RTLD_LOCAL), nullptr);
    getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    ASSERT_NE(getFunctionList, nullptr);
    CK_FUNCTION_LIST* list = &sentinel;
    EXPECT_EQ(getFunctionList(&list), CKR_HOST_MEMORY);
    EXPECT_EQ(list, &sentinel);

    env.unset("VELLUM_P11FWD_FAIL");
    env.set("VELLUM_P11FWD_NULL_LIST", "1");
    list = nullptr;
    EXPECT_EQ(getFunctionList(&list), CKR_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(getFunctionList(nullptr), CKR_ARGUMENTS_BAD);

    env.unset("VELLUM_P11FWD_NULL_LIST");
    EXPECT_EQ(getFunctionList(&list), CKR_OK);
    ASSERT_NE(list, nullptr);
    EXPECT_NE(list, &sentinel);

    // Entries left out by name, back at the next call without the setting.
    env.set("VELLUM_P11FWD_NULL_FUNCTIONS", "C_SignFinal; C_NoSuchFunction; C_Initialize");
    env.set("VELLUM_P11FWD_OVERSTATE_COUNT", "C_FindObjects=2;C_Login=1;C_GetSlotList=x");
    EXPECT_EQ(getFunctionList(&list), CKR_OK);
    EXPECT_EQ(list->C_SignFinal, nullptr);
    EXPECT_EQ(list->C_Initialize, nullptr);
    EXPECT_NE(list->C_SignUpdate, nullptr);
    std::vector<std::string> lines = CallLog(logPath).lines();
    auto logged = [&lines](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(logged("@config-error VELLUM_P11FWD_NULL_FUNCTIONS: C_NoSuchFunction"));
    EXPECT_TRUE(logged("@config-error VELLUM_P11FWD_OVERSTATE_COUNT: C_Login=1"));
    EXPECT_TRUE(logged("@config-error VELLUM_P11FWD_OVERSTATE_COUNT: C_GetSlotList=x"));
    EXPECT_FALSE(logged("@config-error VELLUM_P11FWD_OVERSTATE_COUNT: C_FindObjects=2"));
    env.unset("VELLUM_P11FWD_NULL_FUNCTIONS");
    EXPECT_EQ(getFunctionList(&list), CKR_OK);
    EXPECT_NE(list->C_SignFinal, nullptr);
    EXPECT_NE(list->C_Initialize, nullptr);
}

TEST_F(ForwardingModuleTest, AlreadyInitializedAnswerStillInitialisesTheToken) {
    env.set("VELLUM_P11FWD_ALREADY_INITIALIZED", "1");
    ASSERT_EQ(load(), CKR_OK);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_FALSE(slots().empty());
    EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    // Finalised for real: the token needs a new C_Initialize now.
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);
    p11 = nullptr;
}

TEST_F(ForwardingModuleTest, ClearsMechanismFlagsBySlotIndexOrForEverySlot) {
    Token* second = kit.addToken("beta");
    ASSERT_NE(second, nullptr) << kit.error();
    env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
    env.set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", "1:0x2000");
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    std::vector<CK_SLOT_ID> visible = slots();
    ASSERT_EQ(visible.size(), 2u);
    CK_MECHANISM_INFO first{}, other{};
    ASSERT_EQ(p11->C_GetMechanismInfo(visible[0], CKM_RSA_PKCS, &first), CKR_OK);
    ASSERT_EQ(p11->C_GetMechanismInfo(visible[1], CKM_RSA_PKCS, &other), CKR_OK);
    EXPECT_EQ(first.flags & (CKF_SIGN | CKF_VERIFY), CKF_SIGN | CKF_VERIFY);
    EXPECT_EQ(other.flags & (CKF_SIGN | CKF_VERIFY), CKF_SIGN);
    EXPECT_EQ(other.flags | CKF_VERIFY, first.flags);
    EXPECT_EQ(p11->C_GetMechanismInfo(visible[0], CKM_RSA_PKCS, nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    unload();

    env.set("VELLUM_P11FWD_CLEAR_MECH_FLAGS", "*:0x800");
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    for (CK_SLOT_ID slot : slots()) {
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(p11->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info), CKR_OK);
        EXPECT_EQ(info.flags & (CKF_SIGN | CKF_VERIFY), CKF_VERIFY);
    }
}

TEST_F(ForwardingModuleTest, ReportsTheConfiguredSignatureLengthOnlyToTheLengthQuery) {
    env.set("VELLUM_P11FWD_SIGNATURE_LENGTH", "600");
    CK_SESSION_HANDLE session = openSession();
    ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    CK_MECHANISM mechanism = {CKM_SHA1_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
    CK_BYTE data[] = {'a', 'b', 'c'};
    ASSERT_EQ(p11->C_SignUpdate(session, data, sizeof data), CKR_OK);

    CK_ULONG length = 0;
    ASSERT_EQ(p11->C_SignFinal(session, nullptr, &length), CKR_OK);
    EXPECT_EQ(length, 600u);
    std::vector<CK_BYTE> signature(600);
    length = 100;
    EXPECT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 128u);  // the true length of a 1024-bit signature
    length = signature.size();
    EXPECT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_OK);
    EXPECT_EQ(length, 128u);
    EXPECT_EQ(p11->C_SignFinal(session, signature.data(), nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(ForwardingModuleTest, LogShowsCallsAndWhatC_FinalizeFoundOpen) {
    CK_SESSION_HANDLE session = openSession();
    ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);  // session and login left behind
    unload();

    CallLog log(logPath);
    EXPECT_EQ(log.loads(), 1u);
    EXPECT_EQ(log.unloads(), 1u);
    std::vector<LoggedCall> opens = log.calls("C_OpenSession");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].arg("flags"), "0x6");
    std::vector<LoggedCall> finals = log.calls("C_Finalize");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0].arg("openSessions"), "1");
    EXPECT_EQ(finals[0].arg("loggedIn"), "yes");
    std::string why;
    EXPECT_FALSE(log.balanced(&why));
    EXPECT_NE(why.find("sessions still open"), std::string::npos) << why;

    // The same frame done properly: logout and close before finalising, then unload.
    ASSERT_TRUE(log.clear());
    session = openSession();
    ASSERT_EQ(p11->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    ASSERT_EQ(p11->C_Logout(session), CKR_OK);
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    p11 = nullptr;
    EXPECT_FALSE(log.balanced(&why));  // not yet unloaded
    unload();
    EXPECT_TRUE(log.balanced(&why)) << why;
    std::vector<std::string> lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("@load pid=", 0), 0u);
    EXPECT_EQ(lines.back().rfind("@unload pid=", 0), 0u);
    EXPECT_EQ(log.calls("C_Finalize").at(0).arg("openSessions"), "0");
    EXPECT_EQ(log.count("C_GetSlotList"), 0u);
}

TEST_F(ForwardingModuleTest, UnloadWhileInitialisedIsReported) {
    ASSERT_EQ(load(), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    p11 = nullptr;
    unload();  // without C_Finalize
    CallLog log(logPath);
    std::vector<std::string> lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("initialized=yes"), std::string::npos) << lines.back();
    std::string why;
    EXPECT_FALSE(log.balanced(&why));

    // The real module went with it: a fresh load initialises afresh.
    ASSERT_EQ(load(), CKR_OK);
    EXPECT_EQ(p11->C_Initialize(nullptr), CKR_OK);
}

}  // namespace
}  // namespace vellum::tokenkit::testing
