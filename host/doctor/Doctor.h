// vellum-host doctor: loads the token module itself, as the plug-in would, reads what it shows
// without a login, runs getCertList through the plug-in twice in the same process, as a page's
// operations run, and says which problems and warnings explain an "E:1000". All of it runs in a
// child process, which a crashing module takes down alone. Fails (exit 1) when it finds a
// problem.
#pragma once

#include <string>

#include "common/StepOutcome.h"
#include "doctor/DoctorReport.h"
#include "inspection/TokenFacts.h"
#include "pluginhost/PluginHost.h"
#include "system/TokenLock.h"

namespace vellum::host {

class Doctor {
public:
    // `mappedModule`: the module --token-module put at the fixed path, or empty.
    // `tokenLock`: the token lock of the module, whose holder doctor names (doctor does not wait
    // for it, so that a host stuck in a PIN dialog can be found), or null.
    Doctor(pluginhost::PluginHost& host, std::string mappedModule, TokenLock* tokenLock = nullptr)
        : host_(host), mappedModule_(std::move(mappedModule)), tokenLock_(tokenLock) {}

    StepOutcome run();

private:
    // The module's facts; with loadModule false only its path and what is mapped there.
    ModuleFacts inspect(bool loadModule) const;
    StepOutcome report(const ModuleFacts& facts, const CertListRun& certList) const;

    pluginhost::PluginHost& host_;
    std::string mappedModule_;
    TokenLock* tokenLock_;
};

}  // namespace vellum::host
