// vellum-host bridge install|uninstall|status: what the command line asked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "install/BridgeManifest.h"

namespace vellum::host {

struct BridgeOptions {
    enum class Action { Install, Uninstall, Status };

    Action action = Action::Status;
    // Unset: install and uninstall work on the user's manifests, status shows both scopes.
    std::optional<ManifestScope> scope;
    std::vector<Browser> browsers;  // every browser when none is named
    std::string userDataDir;        // a Chromium-family profile folder, or empty
    std::string tokenModule;        // install: the token module to record, or empty
    bool json = false;
};

}  // namespace vellum::host
