#include "DirectModule.h"

#include <dlfcn.h>

#include <cstdio>

namespace vellum::bench {

std::string callFailure(const char* call, CK_RV rv) {
    char code[32];
    std::snprintf(code, sizeof code, "0x%lX", static_cast<unsigned long>(rv));
    return std::string(call) + " failed: " + code;
}

DirectModule::~DirectModule() {
    if (initialized_) {
        functions_->C_Finalize(nullptr);
    }
    if (library_ != nullptr) {
        dlclose(library_);
    }
}

bool DirectModule::open(const std::string& path, std::string& error) {
    library_ = dlopen(path.c_str(), RTLD_LAZY);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error = "dlopen " + path + ": " + (why != nullptr ? why : "unknown");
        return false;
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    if (getFunctionList == nullptr) {
        error = path + " has no C_GetFunctionList";
        return false;
    }
    CK_RV rv = getFunctionList(&functions_);
    if (rv != CKR_OK || functions_ == nullptr) {
        error = callFailure("C_GetFunctionList", rv);
        return false;
    }
    rv = functions_->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        error = callFailure("C_Initialize", rv);
        return false;
    }
    initialized_ = true;
    CK_ULONG count = 0;
    rv = functions_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        error = callFailure("C_GetSlotList", rv);
        return false;
    }
    if (count == 0) {
        error = "no slot holds a token";
        return false;
    }
    return true;
}

bool DirectModule::slotsWithToken(std::vector<CK_SLOT_ID>& slots, std::string& error) {
    CK_ULONG count = 0;
    CK_RV rv = functions_->C_GetSlotList(CK_TRUE, nullptr, &count);
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) {
        error = callFailure("C_GetSlotList", rv);
        return false;
    }
    slots.assign(count, 0);
    rv = functions_->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (rv != CKR_OK) {
        error = callFailure("C_GetSlotList", rv);
        return false;
    }
    slots.resize(count);
    return true;
}

}  // namespace vellum::bench
