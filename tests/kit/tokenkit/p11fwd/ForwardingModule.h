// State of the forwarding PKCS#11 module: the real module it forwards to, its own function
// list, the settings of the current load and the per-call bookkeeping. There is one instance
// per loaded copy of the library; its constructor and destructor mark the load and unload in
// the call log. No locks: an application that passes no locking arguments to C_Initialize
// (as the plug-in does) promises not to call in from several threads at once.
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <string>
#include <vector>

#include "BadSignature.h"
#include "FwdSettings.h"
#include "SessionTracker.h"
#include "SharedLogin.h"
#include "Sm3Signing.h"

namespace vellum::p11fwd {

class ForwardingModule {
public:
    static ForwardingModule& instance();

    ForwardingModule();
    ~ForwardingModule();
    ForwardingModule(const ForwardingModule&) = delete;
    ForwardingModule& operator=(const ForwardingModule&) = delete;

    CK_RV getFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

    const FwdSettings& settings() const { return settings_; }
    // The real module's function list; null before the first successful C_GetFunctionList.
    CK_FUNCTION_LIST* real() const { return real_; }
    SessionTracker& sessions() { return sessions_; }
    SharedLogin& sharedLogin() { return sharedLogin_; }
    BadSignature& badSignature() { return badSignature_; }
    Sm3Signing& sm3() { return sm3_; }

    // Counts one call of `function` and runs the host's modal loop inside it when so configured;
    // true, with the value to answer, when a rule injects it. Every forwarded call starts here.
    bool injected(const char* function, CK_RV& rv);
    void setRealInitialized(bool initialized) { realInitialized_ = initialized; }

    // The real slot list, less the slots without an initialised token when so configured.
    CK_RV visibleSlots(CK_BBOOL tokenPresent, std::vector<CK_SLOT_ID>& slots);

private:
    bool loadTarget(std::string& error);
    void unloadTarget();

    FwdSettings settings_;
    void* library_ = nullptr;
    std::string loadedTarget_;
    CK_FUNCTION_LIST* real_ = nullptr;
    CK_FUNCTION_LIST own_{};
    std::map<std::string, unsigned long> callCounts_;
    SessionTracker sessions_;
    SharedLogin sharedLogin_;
    BadSignature badSignature_;
    Sm3Signing sm3_;
    bool realInitialized_ = false;
};

// Fills `list` with the forwarding functions (ForwardedCalls.cpp).
void fillForwardingList(CK_FUNCTION_LIST& list);
// Sets the entry of the function named `name` to null; false for a name the list does not have.
bool clearListEntry(CK_FUNCTION_LIST& list, const std::string& name);

}  // namespace vellum::p11fwd
