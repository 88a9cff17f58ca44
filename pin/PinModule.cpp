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
    *list = &own_;
    return CKR_OK;
}

CK_RV PinModule::login(CK_SESSION_HANDLE session, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin,
                       CK_ULONG pinLength) {
    if (real_ == nullptr || real_->C_Login == nullptr) {
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    return PinLogin::login(*real_, settings_, session, userType, pin, pinLength);
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
