// vellum-host doctor: loads the token module itself, as the plug-in would, reads what it shows
// without a login, runs getCertList through the plug-in in the same process, and says which
// problems and warnings explain an "E:1000". Fails (exit 1) when it finds a problem.
#pragma once

#include <string>

#include "pluginhost/PluginHost.h"
#include "vellum-host/StepOutcome.h"

namespace vellum::host {

class Doctor {
public:
    // `mappedModule`: the module --token-module put at the fixed path, or empty.
    Doctor(pluginhost::PluginHost& host, std::string mappedModule)
        : host_(host), mappedModule_(std::move(mappedModule)) {}

    StepOutcome run();

private:
    pluginhost::PluginHost& host_;
    std::string mappedModule_;
};

}  // namespace vellum::host
