// Whether a browser is on this machine, so that bridge install writes host manifests only where
// a browser will read them (and makes no folders in the name of browsers that are absent).
// A browser counts as present when its own folder exists (the one that holds its host manifest
// folder: ~/.config/google-chrome, ~/.mozilla or ~/.config/mozilla, /etc/opt/chrome, ... as the
// scope asks), or when
// it is installed: one of its programs on PATH (Linux), its application in /Applications or
// ~/Applications (macOS). A browser installed but never started has no folder yet; one that has
// run has made its folder wherever its program lives.
#pragma once

#include <string>
#include <vector>

#include "install/BridgePlaces.h"

namespace vellum::host {

class BrowserPresence {
public:
    static bool present(const BridgePlaces& places, Browser browser, ManifestScope scope);

    // Linux: the names of the browser's programs; macOS: its application bundles.
    static std::vector<std::string> programs(Platform platform, Browser browser);
    // What present() looks for, for a message when nothing is found: "chromium, firefox on PATH".
    static std::string lookedFor(const BridgePlaces& places);
};

}  // namespace vellum::host
