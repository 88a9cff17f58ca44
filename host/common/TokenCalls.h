// Which of the plug-in's script names reach the token module: reading Signature or SignData
// (each signs), and calling getCertList or SignCert. Everything else (getVersion, LastError,
// property writes, ...) answers from the plug-in's own state, so it never waits for the token
// lock that another host's PIN dialog may hold.
#pragma once

#include <string>

namespace vellum::host {

class TokenCalls {
public:
    static bool readReaches(const std::string& property) {
        return property == "Signature" || property == "SignData";
    }
    static bool callReaches(const std::string& method) {
        return method == "getCertList" || method == "SignCert";
    }
};

}  // namespace vellum::host
