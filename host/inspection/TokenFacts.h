// What doctor learned from the token module, without logging in: the module itself, then each
// slot with a token in the module's order. Plain data; TokenModuleInspector fills it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellum::host {

struct CertificateFacts {
    // As the plug-in reads them (X509Helper); empty when the value does not parse.
    std::string serial;
    std::string name;
    std::string notAfter;      // ISO 8601 UTC, empty when unknown
    int64_t notAfterTime = 0;  // seconds since the epoch, valid when notAfter is set
    bool publicKey = false;    // a public-key object with the same CKA_ID is visible
};

struct HashFacts {
    std::string name;
    unsigned long mechanism = 0;
    bool offered = false;  // the mechanism answers and can sign
};

struct TokenFlags {
    bool protectedAuthenticationPath = false;
    bool loginRequired = false;
    bool userPinCountLow = false;
    bool userPinFinalTry = false;
    bool userPinLocked = false;
    bool tokenInitialized = false;
};

struct SlotFacts {
    unsigned long slot = 0;
    // CKF_REMOVABLE_DEVICE: a reader the token can be unplugged from (not a software token's).
    bool removable = true;
    std::string tokenInfo = "OK";  // C_GetTokenInfo: "OK" or its status text
    std::string label;
    std::string manufacturer;
    std::string model;
    std::string serial;
    TokenFlags flags;
    std::string rsaPkcs = "OK";  // C_GetMechanismInfo for CKM_RSA_PKCS: "OK" or its status text
    bool rsaSign = false;
    bool rsaVerify = false;
    std::vector<HashFacts> hashes;
    std::string session = "OK";  // C_OpenSession as the plug-in opens it: "OK" or what failed
    std::string search = "OK";   // the certificate search: "OK" or what failed
    std::vector<CertificateFacts> certificates;
    bool beyondSearchLimit = false;  // more certificates than the plug-in reads

    // The plug-in opens a session on the slot only when CKM_RSA_PKCS signs and verifies.
    bool usedByPlugin() const { return rsaPkcs == "OK" && rsaSign && rsaVerify; }
};

struct ModuleFacts {
    std::string path;        // the fixed path the plug-in loads
    std::string mappedFrom;  // the module --token-module put there, or empty
    // Whether the plug-in gets vellum's PIN module in front of that module (Linux, a module
    // mapped), which asks the PIN of a token without a PIN pad; the pinentry it runs in a host a
    // browser starts, or empty when there is none; and whether that one asks only in a
    // terminal, which such a host does not have.
    bool pinDialog = false;
    std::string pinentry;
    bool pinentryTerminalOnly = false;
    bool loaded = false;
    std::string error;         // the loader's error, or what failed before slots could be read
    std::string functionList;  // "OK" or what failed; empty when not reached
    bool haveInfo = false;
    std::string manufacturer;
    std::string description;
    std::string libraryVersion;
    std::string cryptokiVersion;
    std::string initialize;  // "OK" or the status text of C_Initialize; empty when not reached
    std::string slotList;    // "OK" or the status text of C_GetSlotList; empty when not reached
    std::vector<SlotFacts> slots;
    // How the process that used the module died, e.g. "signal 11, Segmentation fault", or empty;
    // and whether at the first load of the module in that process or at a later one.
    std::string crash;
    bool crashedOnFirstLoad = false;
};

}  // namespace vellum::host
