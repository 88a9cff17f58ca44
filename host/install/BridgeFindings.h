// doctor's "browser bridge" section: the host manifests installed for this user and system-wide,
// the token module the bridge recorded, and what keeps a browser from reaching the token
// through them. A manifest that starts a missing program, or a recorded module that does not
// load, is a problem; no manifest at all is a warning.
#pragma once

#include <string>
#include <vector>

#include "install/BridgeSurvey.h"
#include "install/RecordedModule.h"

namespace vellum::host {

class BridgeFindings {
public:
    static BridgeFindings survey();

    std::string text() const;
    Json json() const;

    std::vector<std::string> problems;
    std::vector<std::string> warnings;

private:
    void judge();

    std::vector<ManifestState> installed_;
    RecordedModule recorded_;
};

}  // namespace vellum::host
