// The functions of the forwarding module's own function list. Most pass straight through to
// the real module; the ones the tests need to observe or bend are written out below.
#include <openssl/evp.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ForwardingModule.h"
#include "FwdLog.h"
#include "TerminalPinPrompt.h"

namespace vellum::p11fwd {
namespace {

ForwardingModule& fwd() {
    return ForwardingModule::instance();
}

std::string pointerText(const void* pointer) {
    return pointer == nullptr ? "null" : "set";
}

std::string number(unsigned long value) {
    return std::to_string(value);
}

// Pass-through with call counting, fault injection and a log line.
template <typename Fn, Fn CK_FUNCTION_LIST::*Member, const char* Name>
struct Forward;

template <typename... Args, CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), const char* Name>
struct Forward<CK_RV (*)(Args...), Member, Name> {
    static CK_RV call(Args... args) {
        CK_RV rv = CKR_OK;
        if (fwd().injected(Name, rv)) {
            return FwdLog::call(Name, rv, "", true);
        }
        CK_FUNCTION_LIST* real = fwd().real();
        if (real == nullptr || real->*Member == nullptr) {
            return FwdLog::call(Name, CKR_FUNCTION_NOT_SUPPORTED, "", false);
        }
        return FwdLog::call(Name, (real->*Member)(args...), "", false);
    }
};

// The checks every written-out function starts with: injection, then a real function to call.
#define VELLUM_FWD_PROLOGUE(fn, args)                                      \
    CK_RV injectedRv = CKR_OK;                                             \
    if (fwd().injected(#fn, injectedRv)) {                                 \
        return FwdLog::call(#fn, injectedRv, args, true);                  \
    }                                                                      \
    CK_FUNCTION_LIST* real = fwd().real();                                 \
    if (real == nullptr || real->fn == nullptr) {                          \
        return FwdLog::call(#fn, CKR_FUNCTION_NOT_SUPPORTED, args, false); \
    }

// The token's shared login ends with this process's login (VELLUM_P11FWD_SHARED_LOGIN).
void releaseSharedLoginIfLoggedOut() {
    if (!fwd().sessions().loginActive()) {
        fwd().sharedLogin().release();
    }
}

CK_RV fwdGetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return fwd().getFunctionList(list);
}

// VELLUM_P11FWD_CRASH_ON_REINITIALIZE: a module whose C_Initialize crashes when an earlier load
// in the same process has been initialised, as one whose runtime does not survive being unloaded.
// The forwarding module itself is unloaded between operations, so the mark lives in the
// environment, with the process ID that a forked child does not share.
void crashWhenInitializedBeforeInThisProcess() {
    const char* setting = std::getenv("VELLUM_P11FWD_CRASH_ON_REINITIALIZE");
    if (setting == nullptr || std::strcmp(setting, "1") != 0) {
        return;
    }
    constexpr const char* kMark = "VELLUM_P11FWD_INITIALIZED_IN_PROCESS";
    const std::string pid = std::to_string(::getpid());
    const char* mark = std::getenv(kMark);
    if (mark != nullptr && pid == mark) {
        FwdLog::write("@crash function=C_Initialize");
        // The default action, whatever handler a sanitizer has installed.
        std::signal(SIGSEGV, SIG_DFL);
        std::raise(SIGSEGV);
    }
    ::setenv(kMark, pid.c_str(), 1);
}

CK_RV fwdInitialize(void* initArgs) {
    std::string args = "initArgs=" + pointerText(initArgs);
    crashWhenInitializedBeforeInThisProcess();
    VELLUM_FWD_PROLOGUE(C_Initialize, args)
    CK_RV rv = real->C_Initialize(initArgs);
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        fwd().setRealInitialized(true);
    }
    if (rv == CKR_OK && fwd().settings().alreadyInitialized) {
        return FwdLog::call("C_Initialize", CKR_CRYPTOKI_ALREADY_INITIALIZED,
                            args + " real=" + FwdLog::hex(rv), false);
    }
    return FwdLog::call("C_Initialize", rv, args, false);
}

CK_RV fwdFinalize(void* reserved) {
    SessionTracker& sessions = fwd().sessions();
    std::string args = "openSessions=" + number(sessions.openSessions()) +
                       " loggedIn=" + (sessions.loginActive() ? "yes" : "no");
    VELLUM_FWD_PROLOGUE(C_Finalize, args)
    CK_RV rv = real->C_Finalize(reserved);
    if (rv == CKR_OK) {
        sessions.reset();
        fwd().setRealInitialized(false);
        releaseSharedLoginIfLoggedOut();
    }
    return FwdLog::call("C_Finalize", rv, args, false);
}

// A slot list written, reported longer than it is when so configured.
CK_RV overstateSlotCount(CK_RV rv, CK_SLOT_ID_PTR list, CK_ULONG_PTR count, std::string& args) {
    const unsigned long overstated = fwd().settings().overstatedSlotCount;
    if (rv == CKR_OK && list != nullptr && overstated > 0) {
        *count += overstated;
        args += " reported=" + number(*count);
    }
    return rv;
}

CK_RV fwdGetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    std::string args = "tokenPresent=" + number(tokenPresent) + " list=" + pointerText(list);
    VELLUM_FWD_PROLOGUE(C_GetSlotList, args)
    if (count == nullptr) {
        return FwdLog::call("C_GetSlotList", CKR_ARGUMENTS_BAD, args, false);
    }
    if (!fwd().settings().hideUninitialized) {
        CK_RV rv = real->C_GetSlotList(tokenPresent, list, count);
        args += " count=" + number(*count);
        return FwdLog::call("C_GetSlotList", overstateSlotCount(rv, list, count, args), args,
                            false);
    }
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = fwd().visibleSlots(tokenPresent, slots);
    if (rv != CKR_OK) {
        return FwdLog::call("C_GetSlotList", rv, args, false);
    }
    if (list != nullptr && *count < slots.size()) {
        rv = CKR_BUFFER_TOO_SMALL;
    } else if (list != nullptr && !slots.empty()) {
        std::memcpy(list, slots.data(), slots.size() * sizeof(CK_SLOT_ID));
    }
    *count = slots.size();
    args += " count=" + number(*count);
    return FwdLog::call("C_GetSlotList", overstateSlotCount(rv, list, count, args), args, false);
}

CK_RV fwdGetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    std::string args = "slot=" + number(slot) + " type=" + FwdLog::hex(type);
    VELLUM_FWD_PROLOGUE(C_GetMechanismInfo, args)
    if (info == nullptr) {
        return FwdLog::call("C_GetMechanismInfo", CKR_ARGUMENTS_BAD, args, false);
    }
    CK_RV rv = real->C_GetMechanismInfo(slot, type, info);
    if (rv != CKR_OK) {
        return FwdLog::call("C_GetMechanismInfo", rv, args, false);
    }
    const auto& rules = fwd().settings().mechanismFlags;
    if (!rules.empty()) {
        std::vector<CK_SLOT_ID> slots;
        fwd().visibleSlots(CK_TRUE, slots);
        for (const MechanismFlagRule& rule : rules) {
            bool applies =
                rule.anySlot || (rule.slotIndex < slots.size() && slots[rule.slotIndex] == slot);
            if (applies) {
                info->flags &= ~rule.clear;
            }
        }
    }
    return FwdLog::call("C_GetMechanismInfo", rv, args + " flags=" + FwdLog::hex(info->flags),
                        false);
}

CK_RV fwdOpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                     CK_SESSION_HANDLE_PTR session) {
    std::string args = "slot=" + number(slot) + " flags=" + FwdLog::hex(flags);
    VELLUM_FWD_PROLOGUE(C_OpenSession, args)
    if (session == nullptr) {
        return FwdLog::call("C_OpenSession", CKR_ARGUMENTS_BAD, args, false);
    }
    CK_RV rv = real->C_OpenSession(slot, flags, application, notify, session);
    if (rv != CKR_OK) {
        return FwdLog::call("C_OpenSession", rv, args, false);
    }
    fwd().sessions().opened(*session, slot);
    return FwdLog::call("C_OpenSession", rv, args + " session=" + number(*session), false);
}

CK_RV fwdCloseSession(CK_SESSION_HANDLE session) {
    std::string args = "session=" + number(session);
    VELLUM_FWD_PROLOGUE(C_CloseSession, args)
    CK_RV rv = real->C_CloseSession(session);
    if (rv == CKR_OK) {
        fwd().sessions().closed(session);
        releaseSharedLoginIfLoggedOut();
    }
    return FwdLog::call("C_CloseSession", rv, args, false);
}

CK_RV fwdCloseAllSessions(CK_SLOT_ID slot) {
    std::string args = "slot=" + number(slot);
    VELLUM_FWD_PROLOGUE(C_CloseAllSessions, args)
    CK_RV rv = real->C_CloseAllSessions(slot);
    if (rv == CKR_OK) {
        fwd().sessions().closedAll(slot);
        releaseSharedLoginIfLoggedOut();
    }
    return FwdLog::call("C_CloseAllSessions", rv, args, false);
}

CK_RV fwdGetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    std::string args = "slot=" + number(slot);
    VELLUM_FWD_PROLOGUE(C_GetTokenInfo, args)
    CK_RV rv = real->C_GetTokenInfo(slot, info);
    // Supplying the PIN at a login without one is what a protected authentication path does,
    // so the token says so, as a PIN-pad token would.
    const FwdSettings& settings = fwd().settings();
    if (rv == CKR_OK && info != nullptr && (settings.havePin || !settings.noTerminal)) {
        info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    }
    if (rv == CKR_OK && info != nullptr) {
        info->flags |= settings.addedTokenFlags;
    }
    return FwdLog::call(
        "C_GetTokenInfo", rv,
        args + (info != nullptr && rv == CKR_OK ? " flags=" + FwdLog::hex(info->flags)
                                                : std::string()),
        false);
}

CK_RV fwdLogin(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
               CK_ULONG pinLength) {
    std::string args = "session=" + number(session) + " userType=" + number(userType) +
                       " pin=" + pointerText(pin) + " pinLength=" + number(pinLength);
    VELLUM_FWD_PROLOGUE(C_Login, args)
    // A card holds one login: another process's login refuses this one.
    const std::string& sharedLoginPath = fwd().settings().sharedLoginPath;
    if (!sharedLoginPath.empty() && !fwd().sharedLogin().take(sharedLoginPath)) {
        return FwdLog::call("C_Login", CKR_USER_ANOTHER_ALREADY_LOGGED_IN,
                            args + " sharedLogin=busy", true);
    }
    // A PIN-pad token takes the user PIN itself when the application passes none.
    std::string supplied;
    bool supply = pin == nullptr && pinLength == 0 && userType == CKU_USER;
    if (supply) {
        const FwdSettings& settings = fwd().settings();
        if (settings.havePin) {
            supplied = settings.pin;
        } else {
            supply = !settings.noTerminal && TerminalPinPrompt::ask(supplied);
        }
    }
    CK_RV rv =
        supply ? real->C_Login(session, userType,
                               reinterpret_cast<CK_UTF8CHAR_PTR>(supplied.data()), supplied.size())
               : real->C_Login(session, userType, pin, pinLength);
    if (rv == CKR_OK) {
        fwd().sessions().loggedIn(session);
    }
    releaseSharedLoginIfLoggedOut();
    return FwdLog::call("C_Login", rv, args + " pinSupplied=" + (supply ? "yes" : "no"), false);
}

CK_RV fwdLogout(CK_SESSION_HANDLE session) {
    std::string args = "session=" + number(session);
    VELLUM_FWD_PROLOGUE(C_Logout, args)
    CK_RV rv = real->C_Logout(session);
    if (rv == CKR_OK) {
        fwd().sessions().loggedOut(session);
        releaseSharedLoginIfLoggedOut();
    }
    return FwdLog::call("C_Logout", rv, args, false);
}

CK_RV fwdSignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    std::string args = "session=" + number(session) + " mechanism=" +
                       (mechanism != nullptr ? FwdLog::hex(mechanism->mechanism) : "null") +
                       " key=" + number(key);
    VELLUM_FWD_PROLOGUE(C_SignInit, args)
    if (mechanism == nullptr) {
        return FwdLog::call("C_SignInit", CKR_ARGUMENTS_BAD, args, false);
    }
    Sm3Signing& sm3 = fwd().sm3();
    sm3.reset();
    CK_RV rv = CKR_OK;
    if (fwd().settings().sm3 != Sm3Mode::None && mechanism->mechanism == Sm3Signing::kMechanism) {
        rv = sm3.signInit(*real, session, key);
        args += " emulated=sm3";
    } else {
        rv = real->C_SignInit(session, mechanism, key);
    }
    if (rv == CKR_OK) {
        fwd().badSignature().signInit(session, *mechanism, key);
    }
    return FwdLog::call("C_SignInit", rv, args, false);
}

// The SHA-256 of the bytes in lower-case hexadecimal, or "none" when it cannot be had.
std::string sha256Text(const unsigned char* bytes, CK_ULONG length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if ((bytes == nullptr && length != 0) ||
        EVP_Digest(bytes, length, digest, &digestLength, EVP_sha256(), nullptr) != 1) {
        return "none";
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < digestLength; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 0x0F];
    }
    return text;
}

CK_RV fwdSignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
    std::string args = "session=" + number(session) + " length=" + number(length) +
                       " sha256=" + sha256Text(part, length);
    VELLUM_FWD_PROLOGUE(C_SignUpdate, args)
    if (fwd().sm3().active(session)) {
        fwd().sm3().update(part, length);
        return FwdLog::call("C_SignUpdate", CKR_OK, args, false);
    }
    return FwdLog::call("C_SignUpdate", real->C_SignUpdate(session, part, length), args, false);
}

CK_RV fwdSignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    std::string args = "session=" + number(session) + " signature=" + pointerText(signature);
    if (length != nullptr) {
        args += " lengthIn=" + number(*length);
    }
    VELLUM_FWD_PROLOGUE(C_SignFinal, args)
    if (length == nullptr) {
        return FwdLog::call("C_SignFinal", CKR_ARGUMENTS_BAD, args, false);
    }
    const CK_ULONG capacity = *length;
    Sm3Signing& sm3 = fwd().sm3();
    CK_RV rv = sm3.active(session)
                   ? sm3.signFinal(fwd().settings().sm3, *real, session, signature, length)
                   : real->C_SignFinal(session, signature, length);
    args += " length=" + number(*length);
    const FwdSettings& settings = fwd().settings();
    if (rv == CKR_OK && signature != nullptr) {
        rv = fwd().badSignature().bend(settings.badSignature, *real, session, signature, length,
                                       capacity, args);
    }
    // A set signature length bends only the length query; the real module keeps the operation
    // active for the second call and answers it by the true length.
    if (rv == CKR_OK && signature == nullptr && settings.haveSignatureLength) {
        *length = settings.signatureLength;
        args += " reported=" + number(*length);
    }
    return FwdLog::call("C_SignFinal", rv, args, false);
}

// The handles found, in the order the real module gave them: tests compare what the caller
// made of them with that order.
CK_RV fwdFindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR handles, CK_ULONG max,
                     CK_ULONG_PTR found) {
    std::string args = "session=" + number(session) + " max=" + number(max);
    VELLUM_FWD_PROLOGUE(C_FindObjects, args)
    CK_RV rv = real->C_FindObjects(session, handles, max, found);
    if (rv == CKR_OK && found != nullptr) {
        args += " found=" + number(*found) + " handles=";
        for (CK_ULONG i = 0; i < *found && i < max && handles != nullptr; ++i) {
            args += (i > 0 ? "," : "") + number(handles[i]);
        }
        const unsigned long overstated = fwd().settings().overstatedFindCount;
        if (overstated > 0) {
            *found += overstated;
            args += " reported=" + number(*found);
        }
    }
    return FwdLog::call("C_FindObjects", rv, args, false);
}

// Which object is read, and the first attribute's type and length (the callers under test ask
// for one attribute at a time: first its length with a null value, then the value).
CK_RV fwdGetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                           CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    std::string args =
        "session=" + number(session) + " object=" + number(object) + " count=" + number(count);
    if (attributes != nullptr && count > 0) {
        args += " type=" + FwdLog::hex(attributes[0].type) +
                " value=" + pointerText(attributes[0].pValue);
    }
    VELLUM_FWD_PROLOGUE(C_GetAttributeValue, args)
    CK_RV rv = real->C_GetAttributeValue(session, object, attributes, count);
    if (attributes != nullptr && count > 0) {
        args += " length=" + number(attributes[0].ulValueLen);
        const unsigned long overstated = fwd().settings().overstatedValueLength;
        if (rv == CKR_OK && attributes[0].pValue != nullptr && overstated > 0) {
            attributes[0].ulValueLen += overstated;
            args += " reported=" + number(attributes[0].ulValueLen);
        }
    }
    return FwdLog::call("C_GetAttributeValue", rv, args, false);
}

// Every function of the list that is written out above.
#define VELLUM_FWD_WRITTEN_OUT(X) \
    X(C_Initialize)               \
    X(C_Finalize)                 \
    X(C_GetFunctionList)          \
    X(C_GetSlotList)              \
    X(C_GetMechanismInfo)         \
    X(C_GetTokenInfo)             \
    X(C_OpenSession)              \
    X(C_CloseSession)             \
    X(C_CloseAllSessions)         \
    X(C_Login)                    \
    X(C_Logout)                   \
    X(C_SignInit)                 \
    X(C_SignUpdate)               \
    X(C_SignFinal)                \
    X(C_FindObjects)              \
    X(C_GetAttributeValue)

#define VELLUM_FWD_NAME(fn) constexpr char k##fn[] = #fn;
#define VELLUM_FWD_PASS(fn) list.fn = &Forward<CK_##fn, &CK_FUNCTION_LIST::fn, k##fn>::call;

// Every function of the list that passes straight through.
#define VELLUM_FWD_PASS_THROUGH(X) \
    X(C_GetInfo)                   \
    X(C_GetSlotInfo)               \
    X(C_GetMechanismList)          \
    X(C_InitToken)                 \
    X(C_InitPIN)                   \
    X(C_SetPIN)                    \
    X(C_GetSessionInfo)            \
    X(C_GetOperationState)         \
    X(C_SetOperationState)         \
    X(C_CreateObject)              \
    X(C_CopyObject)                \
    X(C_DestroyObject)             \
    X(C_GetObjectSize)             \
    X(C_SetAttributeValue)         \
    X(C_FindObjectsInit)           \
    X(C_FindObjectsFinal)          \
    X(C_EncryptInit)               \
    X(C_Encrypt)                   \
    X(C_EncryptUpdate)             \
    X(C_EncryptFinal)              \
    X(C_DecryptInit)               \
    X(C_Decrypt)                   \
    X(C_DecryptUpdate)             \
    X(C_DecryptFinal)              \
    X(C_DigestInit)                \
    X(C_Digest)                    \
    X(C_DigestUpdate)              \
    X(C_DigestKey)                 \
    X(C_DigestFinal)               \
    X(C_Sign)                      \
    X(C_SignRecoverInit)           \
    X(C_SignRecover)               \
    X(C_VerifyInit)                \
    X(C_Verify)                    \
    X(C_VerifyUpdate)              \
    X(C_VerifyFinal)               \
    X(C_VerifyRecoverInit)         \
    X(C_VerifyRecover)             \
    X(C_DigestEncryptUpdate)       \
    X(C_DecryptDigestUpdate)       \
    X(C_SignEncryptUpdate)         \
    X(C_DecryptVerifyUpdate)       \
    X(C_GenerateKey)               \
    X(C_GenerateKeyPair)           \
    X(C_WrapKey)                   \
    X(C_UnwrapKey)                 \
    X(C_DeriveKey)                 \
    X(C_SeedRandom)                \
    X(C_GenerateRandom)            \
    X(C_GetFunctionStatus)         \
    X(C_CancelFunction)            \
    X(C_WaitForSlotEvent)

VELLUM_FWD_PASS_THROUGH(VELLUM_FWD_NAME)

}  // namespace

void fillForwardingList(CK_FUNCTION_LIST& list) {
    VELLUM_FWD_PASS_THROUGH(VELLUM_FWD_PASS)
    list.C_Initialize = fwdInitialize;
    list.C_Finalize = fwdFinalize;
    list.C_GetFunctionList = fwdGetFunctionList;
    list.C_GetSlotList = fwdGetSlotList;
    list.C_GetMechanismInfo = fwdGetMechanismInfo;
    list.C_GetTokenInfo = fwdGetTokenInfo;
    list.C_OpenSession = fwdOpenSession;
    list.C_CloseSession = fwdCloseSession;
    list.C_CloseAllSessions = fwdCloseAllSessions;
    list.C_Login = fwdLogin;
    list.C_Logout = fwdLogout;
    list.C_SignInit = fwdSignInit;
    list.C_SignUpdate = fwdSignUpdate;
    list.C_SignFinal = fwdSignFinal;
    list.C_FindObjects = fwdFindObjects;
    list.C_GetAttributeValue = fwdGetAttributeValue;
}

#define VELLUM_FWD_CLEAR(fn) \
    if (name == #fn) {       \
        list.fn = nullptr;   \
        return true;         \
    }

bool clearListEntry(CK_FUNCTION_LIST& list, const std::string& name) {
    VELLUM_FWD_PASS_THROUGH(VELLUM_FWD_CLEAR)
    VELLUM_FWD_WRITTEN_OUT(VELLUM_FWD_CLEAR)
    return false;
}

}  // namespace vellum::p11fwd
