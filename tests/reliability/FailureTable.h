// What getCertList, SignCert and reading Signature must do when one PKCS#11 call fails: the
// failure tables of the signing service, by call. The effect of a call depends on the role it
// plays in its run (the third C_GetSlotList is the slot list; a C_GetAttributeValue after the
// login reads the certificate's CKA_ID, one before it reads a certificate), which is why the
// table asks where the failing call stood.
#pragma once

#include <string>
#include <vector>

#include "TokenOperation.h"

namespace vellum::reliability {

enum class Effect {
    Fails,         // "E:1000"; status = message + status text of the value
    FailsBare,     // "E:1000"; status = status text of the value alone
    FailsPlain,    // "E:1000"; status = message, whatever the value
    Ignored,       // the call's answer is not looked at: the fault-free answer, status "OK"
    SkipsSlot,     // getCertList: the slot gives nothing (""); status = message + text, or "OK"
                   // with no message
    SkipsObject,   // one certificate is passed over; status = message + text (or, when it was
                   // the chosen certificate, "E:1000" and "CN not matched")
    LeavesLoaded,  // SignCert: "E:1000"; status = message + text; the module stays loaded until
                   // the next operation or the end of the instance
};

struct ExpectedEffect {
    Effect effect;
    std::string message;
};

// Where the failing call stood in its run.
struct FailedCall {
    std::string name;
    size_t occurrence;  // 1 for the first call of that name in the run
    bool afterLogin;    // a C_Login came before it
};

class FailureTable {
public:
    static ExpectedEffect of(TokenOperation operation, const FailedCall& call);

    // The calls of a fault-free run on one token with two certificates. The search stops at the
    // chosen one (CN): it reads both when the token returns the chosen one second, only that
    // one when the token returns it first (getCertList always reads both).
    static std::vector<std::string> faultFreeCalls(TokenOperation operation,
                                                   bool chosenReturnedFirst);
};

}  // namespace vellum::reliability
