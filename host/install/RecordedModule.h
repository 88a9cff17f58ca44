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
    // It is there but was not loaded, being unsafe: whether it would load is not known.
    bool notLoaded = false;
    std::string error;  // why it does not load, or was not loaded
    // The module or a folder above it that others than the settings' owners can change
    // ("PATH (why)"), or empty.
    std::string unsafe;

    static RecordedModule inspect(const BridgeSettings& settings);
    // What others than root (and, unless `systemWide`, this user) can change of the token module
    // at `path`: the module, a folder above it, or a symbolic link on the way, "PATH (why)"; empty
    // when nothing. Every native host opens the recorded path again, so a folder others may
    // write counts even with its sticky bit set: the name is theirs to take once the file goes.
    // `recorded`: the path was recorded by bridge install, which refuses an owner it cannot see;
    // an owner this process cannot see (inside a sandbox, WriteAccess::unseenOwner) is then
    // taken as judged there, and everything it can see is judged again.
    static std::string othersCanChange(const std::string& path, bool systemWide,
                                       bool recorded = false);
    // Why a native host must not map the module `settings` record, or empty: someone other than
    // root or the user it runs as could put their code in its place and be handed the PIN.
    static std::string refusalToMap(const BridgeSettings& settings);
    // Whether the module at `path` loads as the plug-in would load it (the library, then its
    // C_GetFunctionList); false with the reason.
    static bool moduleLoads(const std::string& path, std::string& error);

    // null when none is recorded.
    Json json() const;
    // "token module: PATH (recorded in FILE): loads" and the like.
    std::string text() const;
};

}  // namespace vellum::host
