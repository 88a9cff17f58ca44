// The token module recorded for the browser bridge ('bridge install --token-module'), and
// whether it loads as the plug-in would load it; bridge status and doctor show it.
#pragma once

#include <string>

#include "common/JsonText.h"
#include "install/BridgeSettings.h"

namespace vellum::host {

struct RecordedModule {
    std::string path;  // empty: none recorded
    std::string file;  // the settings file that records it
    bool loads = false;
    std::string error;  // why it does not load
    // The module or a folder above it that others than the settings' owners can change
    // ("PATH (why)"), or empty.
    std::string unsafe;

    static RecordedModule inspect(const BridgeSettings& settings);
    // Whether the module at `path` loads as the plug-in would load it (the library, then its
    // C_GetFunctionList); false with the reason.
    static bool moduleLoads(const std::string& path, std::string& error);

    // null when none is recorded.
    Json json() const;
    // "token module: PATH (recorded in FILE): loads" and the like.
    std::string text() const;
};

}  // namespace vellum::host
