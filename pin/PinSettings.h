// What the PIN module is told by the program that puts it in front of a token module, through
// environment variables set before the plug-in loads (vellum-host on Linux sets them for
// --token-module and for the module the bridge recorded). Read again at every
// C_GetFunctionList, as the plug-in loads the module afresh for each operation.
#pragma once

#include <string>

namespace vellum::pin {

struct PinSettings {
    // The token module every call goes to.
    static constexpr const char* kTokenModuleVariable = "VELLUM_PIN_TOKEN_MODULE";
    // The pinentry program to run; unset: "pinentry" looked up on PATH, as GnuPG does, or a
    // graphical one instead of a text-mode one when there is no terminal (PinentryProgram).
    static constexpr const char* kPinentryVariable = "VELLUM_PIN_PINENTRY";
    // Who asks for the signature, named in the dialog: the page's origin, or "vellum-host".
    static constexpr const char* kSiteVariable = "VELLUM_PIN_SITE";

    // How long a dialog waits for an answer, in seconds: long enough to read a full description
    // and type a PIN; short enough that a dialog left alone frees the token for other sites'
    // calls within minutes.
    static constexpr unsigned kDialogTimeout = 120;

    std::string tokenModule;
    std::string pinentry;  // a path, or empty when none is named and none is on PATH
    std::string site;
    unsigned timeoutSeconds = kDialogTimeout;

    static PinSettings fromEnvironment();
    // The first executable file named `program` in the directories of `path` (PATH's syntax; an
    // empty entry is the current directory), or empty.
    static std::string findOnPath(const std::string& program, const char* path);
};

}  // namespace vellum::pin
