// The product's PIN module (pin/, libvellum_pin.so) in front of a Linux token module: the
// plug-in loads the PIN module at its fixed path, and the PIN module loads the token module,
// passes every call on and asks the PIN of a token without a PIN pad through pinentry. This
// class finds the PIN module and tells it, through its environment variables, which token
// module to load, which pinentry to run and which site to name in the dialog.
#pragma once

#include <string>

namespace vellum::host {

class PinModuleFront {
public:
    // The PIN module installed beside the plug-in (VELLUM_HOST_PIN_RELATIVE from the program's
    // directory), else the one of the build tree; empty when there is neither.
    static std::string locate();

    // For the PIN module about to be loaded: `tokenModule` (made absolute) is the module it
    // loads; `pinentry`, when not empty, the program it runs (else pinentry on PATH).
    static void configure(const std::string& tokenModule, const std::string& pinentry);

    // Who asks for the next signatures, named in the PIN dialog: a page's origin, or
    // "vellum-host" on the command line.
    static void announceSite(const std::string& site);

    // The pinentry the PIN module would run in a host a browser starts, which has no terminal:
    // the one configured, else pinentry on PATH or a graphical one before a text-mode one;
    // empty when there is none.
    static std::string pinentryForBrowsers();
};

}  // namespace vellum::host
