#include "ForwardingModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include "FwdLog.h"
#include "HostModalLoop.h"

#ifndef VELLUM_P11FWD_DEFAULT_TARGET
#define VELLUM_P11FWD_DEFAULT_TARGET "/usr/lib/softhsm/libsofthsm2.so"
#endif

namespace vellum::p11fwd {
namespace {

// Constructed when the library is loaded and destroyed when it is unloaded.
ForwardingModule theModule;

std::string pidText() {
    return "pid=" + std::to_string(static_cast<long>(::getpid()));
}

}  // namespace

ForwardingModule& ForwardingModule::instance() {
    return theModule;
}

ForwardingModule::ForwardingModule() {
    own_.version.major = 2;
    own_.version.minor = 40;
    fillForwardingList(own_);
    FwdLog::write("@load " + pidText());
}

ForwardingModule::~ForwardingModule() {
    bool leftInitialized = realInitialized_;
    // The real module is not finalised here: at process exit its own destructors may already
    // have run. Unloading it lets it clean up after itself as at any exit.
    unloadTarget();
    FwdLog::write("@unload " + pidText() + " initialized=" + (leftInitialized ? "yes" : "no"));
}

CK_RV ForwardingModule::getFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static const char* const kName = "C_GetFunctionList";
    settings_ = FwdSettings::fromEnvironment(VELLUM_P11FWD_DEFAULT_TARGET);
    callCounts_.clear();
    for (const std::string& problem : settings_.problems) {
        FwdLog::write("@config-error " + problem);
    }
    CK_RV rv = CKR_OK;
    if (injected(kName, rv)) {
        return FwdLog::call(kName, rv, "", true);
    }
    if (list == nullptr) {
        return FwdLog::call(kName, CKR_ARGUMENTS_BAD, "list=null", false);
    }
    std::string error;
    if (!loadTarget(error)) {
        return FwdLog::call(kName, CKR_GENERAL_ERROR, "error=" + error, false);
    }
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, kName));
    if (getList == nullptr) {
        return FwdLog::call(kName, CKR_GENERAL_ERROR, "error=target lacks " + std::string(kName),
                            false);
    }
    CK_FUNCTION_LIST* realList = nullptr;
    rv = getList(&realList);
    if (rv != CKR_OK || realList == nullptr) {
        return FwdLog::call(kName, rv != CKR_OK ? rv : CKR_GENERAL_ERROR,
                            "error=target gave no function list", false);
    }
    real_ = realList;
    own_.version = real_->version;
    if (settings_.nullList) {
        return FwdLog::call(kName, CKR_OK, "list=unset", false);
    }
    // Afresh at every call: entries an earlier call's settings left null come back.
    fillForwardingList(own_);
    std::string nulled;
    for (const std::string& name : settings_.nullFunctions) {
        if (!clearListEntry(own_, name)) {
            FwdLog::write("@config-error VELLUM_P11FWD_NULL_FUNCTIONS: " + name);
            continue;
        }
        nulled += (nulled.empty() ? " nulled=" : ",") + name;
    }
    *list = &own_;
    return FwdLog::call(kName, CKR_OK, "target=" + loadedTarget_ + nulled, false);
}

bool ForwardingModule::injected(const char* function, CK_RV& rv) {
    unsigned long callNumber = ++callCounts_[function];
    // Before the injected answer: a dialog may run and then fail the call (a cancelled PIN).
    if (settings_.modalLoopIn(function, callNumber)) {
        HostModalLoop::run(function);
    }
    const FaultRule* rule = settings_.faultFor(function, callNumber);
    if (rule == nullptr) {
        return false;
    }
    rv = rule->rv;
    return true;
}

CK_RV ForwardingModule::visibleSlots(CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>& slots) {
    slots.clear();
    if (real_ == nullptr || real_->C_GetSlotList == nullptr) {
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    // The slot count may grow between the two calls; ask again a few times if it does.
    for (int attempt = 0; attempt < 4 && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
        CK_ULONG count = 0;
        rv = real_->C_GetSlotList(tokenPresent, nullptr, &count);
        if (rv != CKR_OK || count == 0) {
            slots.clear();
            break;
        }
        slots.resize(count);
        rv = real_->C_GetSlotList(tokenPresent, slots.data(), &count);
        slots.resize(rv == CKR_OK ? count : 0);
    }
    if (rv != CKR_OK || !settings_.hideUninitialized) {
        return rv;
    }
    std::vector<CK_SLOT_ID> initialized;
    for (CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (real_->C_GetTokenInfo != nullptr && real_->C_GetTokenInfo(slot, &info) == CKR_OK &&
            (info.flags & CKF_TOKEN_INITIALIZED) != 0) {
            initialized.push_back(slot);
        }
    }
    slots.swap(initialized);
    return CKR_OK;
}

bool ForwardingModule::loadTarget(std::string& error) {
    if (library_ != nullptr && loadedTarget_ == settings_.target) {
        return true;
    }
    unloadTarget();
    library_ = dlopen(settings_.target.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "dlopen failed";
        return false;
    }
    loadedTarget_ = settings_.target;
    return true;
}

void ForwardingModule::unloadTarget() {
    real_ = nullptr;
    realInitialized_ = false;
    sessions_.reset();
    sm3_.reset();
    if (library_ != nullptr) {
        dlclose(library_);
        library_ = nullptr;
    }
    loadedTarget_.clear();
}

}  // namespace vellum::p11fwd
