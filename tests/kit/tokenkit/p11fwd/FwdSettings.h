// Settings of the forwarding PKCS#11 module, read from the environment at every
// C_GetFunctionList so that a test can change them between two token operations of one
// process. Every variable is described in tests/kit/tokenkit/README.md.
#pragma once

#include <p11-kit/pkcs11.h>

#include <string>
#include <vector>

#include "BadSignature.h"
#include "Sm3Signing.h"

namespace vellum::p11fwd {

// One injected return value: `function` answers `rv` without reaching the real module, on
// every call (nth == 0) or only on its nth call since the last C_GetFunctionList.
struct FaultRule {
    std::string function;
    unsigned long nth = 0;
    CK_RV rv = CKR_OK;
};

// Flag bits cleared from C_GetMechanismInfo results of one slot (by its index in the visible
// slot list) or of every slot.
struct MechanismFlagRule {
    bool anySlot = false;
    unsigned long slotIndex = 0;
    CK_FLAGS clear = 0;
};

// A call from inside which the host's modal event loop is run, as a token module's own PIN dialog
// runs one inside C_Login: on every call of `function` (nth == 0) or only on its nth call since
// the last C_GetFunctionList.
struct ModalLoopRule {
    std::string function;
    unsigned long nth = 0;
};

struct FwdSettings {
    std::string target;
    bool havePin = false;
    std::string pin;
    bool noTerminal = false;
    std::vector<FaultRule> faults;
    bool nullList = false;
    bool alreadyInitialized = false;
    bool hideUninitialized = false;
    std::vector<MechanismFlagRule> mechanismFlags;
    bool haveSignatureLength = false;
    unsigned long signatureLength = 0;
    // Set in every C_GetTokenInfo result, as a token reports its PIN's state
    // (CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED).
    unsigned long addedTokenFlags = 0;
    // Added to the length of an attribute value the real module has just written, as a module
    // breaking its contract would claim more than it wrote.
    unsigned long overstatedValueLength = 0;
    // Added likewise to the count of handles C_FindObjects wrote, and of slot IDs C_GetSlotList
    // wrote into a list (never to its count query).
    unsigned long overstatedFindCount = 0;
    unsigned long overstatedSlotCount = 0;
    // Entries of the handed-out function list left null, by function name ("C_SignFinal"), as
    // a module that lacks those functions has them.
    std::vector<std::string> nullFunctions;
    std::vector<ModalLoopRule> modalLoops;
    BadSignatureMode badSignature = BadSignatureMode::None;
    Sm3Mode sm3 = Sm3Mode::None;
    // The file whose flock stands for the token's one login across processes, or empty.
    std::string sharedLoginPath;
    // Pieces of the variables that could not be understood; logged, otherwise ignored.
    std::vector<std::string> problems;

    static FwdSettings fromEnvironment(const char* defaultTarget);

    // Whether the host's modal loop runs inside the callNumber-th call of `function`.
    bool modalLoopIn(const char* function, unsigned long callNumber) const;
    // The rule that answers the callNumber-th call of `function`, or null.
    const FaultRule* faultFor(const char* function, unsigned long callNumber) const;
};

// Parses "0x1A" (hexadecimal) or "26" (decimal); false on anything else or on overflow.
bool parseNumber(const std::string& text, unsigned long& value);

}  // namespace vellum::p11fwd
