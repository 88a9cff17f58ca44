// A token module opened, initialised and probed for tokens with nothing in between: the first
// and last steps of one token operation of the plug-in, written directly against the module.
// The destructor finalises and unloads it, in that order.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

namespace vellum::bench {

class DirectModule {
public:
    DirectModule() = default;
    ~DirectModule();
    DirectModule(const DirectModule&) = delete;
    DirectModule& operator=(const DirectModule&) = delete;

    // dlopen, C_GetFunctionList, C_Initialize(NULL) and the token probe (C_GetSlotList with a
    // null list). False with the reason in `error` when any of them fails or no token is present.
    bool open(const std::string& path, std::string& error);

    // The slots holding a token: a count query, then the list.
    bool slotsWithToken(std::vector<CK_SLOT_ID>& slots, std::string& error);

    CK_FUNCTION_LIST* functions() const { return functions_; }

private:
    void* library_ = nullptr;
    CK_FUNCTION_LIST* functions_ = nullptr;
    bool initialized_ = false;
};

// "C_Xxx failed: 0x..." for error messages.
std::string callFailure(const char* call, CK_RV rv);

}  // namespace vellum::bench
