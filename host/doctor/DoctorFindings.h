// What the plug-in will do with what the token module shows, and what will go wrong:
// getCertList lists the last slot with a token only; a slot counts only when CKM_RSA_PKCS signs
// and verifies; the login carries no PIN; a hash the token does not offer fails at C_SignInit.
// Problems make token operations fail; warnings make some fail or surprise. Each is one
// sentence a support person can act on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspection/TokenFacts.h"
#include "install/BridgeManifest.h"

namespace vellum::host {

struct DoctorFindings {
    // Certificates that expire within this many days are warned about.
    static constexpr int64_t kExpiryWarningDays = 30;

    int listedSlot = -1;                 // index into the slots of the slot getCertList lists
    std::vector<std::string> slotRoles;  // per slot: what getCertList makes of it
    std::vector<std::string> problems;
    std::vector<std::string> warnings;

    // `now`: seconds since the epoch. `platform` decides how a user puts a token module where
    // the plug-in loads it (Linux: recorded for the browser bridge; macOS: at the fixed path).
    static DoctorFindings judge(const ModuleFacts& facts, int64_t now, Platform platform);
};

}  // namespace vellum::host
