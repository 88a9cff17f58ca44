#include "PinModule.h"

#include <dlfcn.h>

#include <cstdio>

#include "InitialisedSlots.h"
#include "PinLogin.h"

namespace vellum::pin {
namespace {

// Constructed when the library is loaded and destroyed when it is unloaded.
PinModule theModule;

CK_RV ownGetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return PinModule::instance().getFunctionList(list);
}

CK_RV ownLogin(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
               CK_ULONG pinLength) {
    return PinModule::instance().login(session, userType, pin, pinLength);
}

CK_RV ownGetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    return PinModule::instance().getSlotList(tokenPresent, slots, count);
}

CK_RV ownSignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return PinModule::instance().signInit(session, mechanism, key);
}

CK_RV ownSignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
    return PinModule::instance().signUpdate(session, part, length);
}

CK_RV ownSignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    return PinModule::instance().signFinal(session, signature, length);
}

CK_RV ownSign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
              CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    return PinModule::instance().sign(session, data, dataLength, signature, length);
}

CK_RV ownLogout(CK_SESSION_HANDLE session) {
    return PinModule::instance().logout(session);
}

CK_RV ownCloseSession(CK_SESSION_HANDLE session) {
    return PinModule::instance().closeSession(session);
}

CK_RV ownCloseAllSessions(CK_SLOT_ID slot) {
    return PinModule::instance().closeAllSessions(slot);
}

CK_RV ownFinalize(CK_VOID_PTR reserved) {
    return PinModule::instance().finalize(reserved);
}

void complain(const std::string& line) {
    std::fprintf(stderr, "vellum-pin: %s\n", line.c_str());
    std::fflush(stderr);
}

}  // namespace

PinModule& PinModule::instance() {
    return theModule;
}

PinModule::~PinModule() {
    // Not finalised here: the application finalises what it initialised, and at process exit
    // the token module's own destructors may already have run.
    unloadTokenModule();
}

CK_RV PinModule::getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) {
        return CKR_ARGUMENTS_BAD;
    }
    settings_ = PinSettings::fromEnvironment();
    std::string error;
    if (!loadTokenModule(error)) {
        complain(error);
        return CKR_GENERAL_ERROR;
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    CK_FUNCTION_LIST* real = nullptr;
    const CK_RV rv = getList != nullptr ? getList(&real) : CKR_GENERAL_ERROR;
    if (rv != CKR_OK || real == nullptr) {
        complain("the token module " + loaded_ + " gives no function list");
        return rv != CKR_OK ? rv : CKR_GENERAL_ERROR;
    }
    real_ = real;
    own_ = *real;
    own_.C_GetFunctionList = ownGetFunctionList;
    // A module without C_Login keeps its null entry: the application sees what it lacks.
    own_.C_Login = real->C_Login != nullptr ? ownLogin : nullptr;
    own_.C_GetSlotList = real->C_GetSlotList != nullptr ? ownGetSlotList : nullptr;
    handOver_ = HostHandOver::find();
    {
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.clear();
    }
    if (handOver_.present()) {
        // Entries the token module lacks stay null: the application sees what it lacks.
        const auto own = [](auto theirs, auto ours) { return theirs != nullptr ? ours : nullptr; };
        own_.C_SignInit = own(real->C_SignInit, ownSignInit);
        own_.C_SignUpdate = own(real->C_SignUpdate, ownSignUpdate);
        own_.C_SignFinal = own(real->C_SignFinal, ownSignFinal);
        own_.C_Sign = own(real->C_Sign, ownSign);
        own_.C_Logout = own(real->C_Logout, ownLogout);
        own_.C_CloseSession = own(real->C_CloseSession, ownCloseSession);
        own_.C_CloseAllSessions = own(real->C_CloseAllSessions, ownCloseAllSessions);
        own_.C_Finalize = own(real->C_Finalize, ownFinalize);
    }
    *list = &own_;
    return CKR_OK;
}

CK_RV PinModule::login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                       CK_ULONG pinLength) {
    if (real_ == nullptr || real_->C_Login == nullptr) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (!handOver_.present()) {
        return PinLogin::login(*real_, settings_, session, userType, pin, pinLength, nullptr);
    }
    HostHandOver::Request request;
    if (!handOver_.current(request)) {
        if (userType != CKU_USER) {
            return real_->C_Login(session, userType, pin, pinLength);
        }
        complain("a login with no signature under way in this program: refused");
        return CKR_FUNCTION_CANCELED;
    }
    const CK_RV rv =
        PinLogin::login(*real_, settings_, session, userType, pin, pinLength, &request);
    if (rv == CKR_OK && userType == CKU_USER) {
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.erase(session);
        approvals_.emplace(session, SignatureApproval(std::move(request.text), request.hash));
    }
    return rv;
}

CK_RV PinModule::refuse(CK_SESSION_HANDLE session, const std::string& why) {
    approvals_.erase(session);
    complain("no signature: " + why);
    return CKR_FUNCTION_CANCELED;
}

void PinModule::settle(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_RV rv) {
    if ((rv == CKR_OK && signature != nullptr) || (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)) {
        approvals_.erase(session);
    }
}

CK_RV PinModule::signInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism,
                          CK_OBJECT_HANDLE key) {
    std::lock_guard<std::mutex> hold(approvalsLock_);
    auto approval = approvals_.find(session);
    if (approval == approvals_.end()) {
        return refuse(session, "the key is used without a signature shown in the dialog");
    }
    if (!approval->second.begin(mechanism)) {
        return refuse(session, "the mechanism is not the one of the hash the dialog showed");
    }
    const CK_RV rv = real_->C_SignInit(session, mechanism, key);
    if (rv != CKR_OK) {
        approvals_.erase(session);
    }
    return rv;
}

CK_RV PinModule::signUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
    std::lock_guard<std::mutex> hold(approvalsLock_);
    auto approval = approvals_.find(session);
    if (approval == approvals_.end() || !approval->second.takes(part, length)) {
        return refuse(session, "the bytes to sign are not the text the dialog showed");
    }
    const CK_RV rv = real_->C_SignUpdate(session, part, length);
    settle(session, nullptr, rv);
    return rv;
}

CK_RV PinModule::signFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    std::lock_guard<std::mutex> hold(approvalsLock_);
    auto approval = approvals_.find(session);
    if (approval == approvals_.end() || !approval->second.complete()) {
        return refuse(session, "the token was given nothing of the text the dialog showed");
    }
    const CK_RV rv = real_->C_SignFinal(session, signature, length);
    settle(session, signature, rv);
    return rv;
}

CK_RV PinModule::sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength,
                      CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    std::lock_guard<std::mutex> hold(approvalsLock_);
    auto approval = approvals_.find(session);
    if (approval == approvals_.end() || !approval->second.whole(data, dataLength)) {
        return refuse(session, "the bytes to sign are not the text the dialog showed");
    }
    const CK_RV rv = real_->C_Sign(session, data, dataLength, signature, length);
    settle(session, signature, rv);
    return rv;
}

CK_RV PinModule::logout(CK_SESSION_HANDLE session) {
    {
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.erase(session);
    }
    return real_->C_Logout(session);
}

CK_RV PinModule::closeSession(CK_SESSION_HANDLE session) {
    {
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.erase(session);
    }
    return real_->C_CloseSession(session);
}

CK_RV PinModule::closeAllSessions(CK_SLOT_ID slot) {
    {
        // Which sessions were the slot's is the token module's to know: all are let go.
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.clear();
    }
    return real_->C_CloseAllSessions(slot);
}

CK_RV PinModule::finalize(CK_VOID_PTR reserved) {
    {
        std::lock_guard<std::mutex> hold(approvalsLock_);
        approvals_.clear();
    }
    return real_->C_Finalize(reserved);
}

CK_RV PinModule::getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
    if (real_ == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    return InitialisedSlots::list(*real_, tokenPresent, slots, count);
}

bool PinModule::loadTokenModule(std::string& error) {
    if (settings_.tokenModule.empty()) {
        error = std::string("no token module to forward to: ") + PinSettings::kTokenModuleVariable +
                " is not set";
        return false;
    }
    if (library_ != nullptr && loaded_ == settings_.tokenModule) {
        return true;
    }
    unloadTokenModule();
    library_ = dlopen(settings_.tokenModule.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* reason = dlerror();
        error = "cannot load the token module: " +
                std::string(reason != nullptr ? reason : settings_.tokenModule);
        return false;
    }
    loaded_ = settings_.tokenModule;
    return true;
}

void PinModule::unloadTokenModule() {
    real_ = nullptr;
    if (library_ != nullptr) {
        dlclose(library_);
        library_ = nullptr;
    }
    loaded_.clear();
}

}  // namespace vellum::pin
