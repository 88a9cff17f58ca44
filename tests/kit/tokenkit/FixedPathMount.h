// Puts any module at the plug-in's real fixed token module path without touching the machine,
// for the tests that must show what the unmodified plug-in does with the file there (every
// other test points the path through the program's own dlopen, fixedpath/TokenModuleRedirect).
//
// enter() moves the calling process into a private mount namespace (a user namespace as well
// when not root) and mounts a tmpfs over /usr/local/lib (over /usr/local, with a lib
// directory inside, if /usr/local/lib does not exist), visible to this process and its
// children only. pointAt() then makes the fixed path a symbolic link to a module; remove()
// leaves no file there. Call enter() while the process has a single thread (at the start of
// main, of a test process, or in a child just forked); further calls do nothing. Linux only.
#pragma once

#include <string>

#include "PluginIdentity.h"

namespace vellum::tokenkit {

class FixedPathMount {
public:
    static constexpr const char* kPath = kTokenModulePath;

    // The directory that enter() lays its tmpfs over, and the entry it makes in that tmpfs
    // itself ("lib" when it covers /usr/local); an empty path when neither exists.
    struct CoveredDirectory {
        std::string path;
        std::string ownEntry;
    };
    static CoveredDirectory coveredDirectory();

    static bool enter(std::string& message);
    static bool entered();
    // Points kPath at `module` (an absolute path). Needs enter().
    static bool pointAt(const std::string& module, std::string& message);
    // Leaves no file at kPath. Needs enter().
    static bool remove(std::string& message);
};

}  // namespace vellum::tokenkit
