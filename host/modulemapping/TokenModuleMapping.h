// Runs this process with a chosen PKCS#11 module at the plug-in's fixed token module path,
// without touching the machine: FixedModulePath moves the process into a private
// mount namespace and lays an empty tmpfs over /usr/local/lib (or /usr/local), where the
// fixed path lies. Whatever that hides (a module installed under /usr/local/lib, its
// libraries, the plug-in itself when installed there) is put back as links through a
// descriptor of the hidden directory opened beforehand, so paths under it keep working.
#pragma once

#include <string>

namespace vellum::modulemapping {

class TokenModuleMapping {
public:
    // What to do when `module` is not a file.
    enum class Missing {
        Fail,        // fail with the reason (a module named on the command line)
        LeaveEmpty,  // map nothing: the plug-in fails to load a module, as it does at a fixed
                     // path that holds none (a module recorded earlier and removed since)
    };

    // Call while the process has a single thread, before the plug-in is loaded. `module` may
    // be relative. False with the reason in `error`; where user namespaces are not allowed,
    // the reason names the system setting that forbids them.
    static bool install(const std::string& module, std::string& error,
                        Missing missing = Missing::Fail);
};

}  // namespace vellum::modulemapping
