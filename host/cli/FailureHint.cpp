#include "cli/FailureHint.h"

namespace vellum::host {
namespace {

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

constexpr const char* kRunDoctor = "'vellum-host doctor' shows what the token module reports";

}  // namespace

std::string FailureHint::forStatus(const std::string& lastError, const Context& context) {
    if (lastError == "C_Initialize failed:OK(0x0000)" ||
        lastError == "C_Initialize failed:Buffer too small(0x0150)") {
        return std::string(
                   "no token is present: the token module lists no slot with a token; "
                   "plug the token in (or check its reader) and try again; ") +
               kRunDoctor;
    }
    if (lastError == "Load pkcs11 lib fail" || lastError == "loadPKCS11Library failed:") {
        if (!context.moduleExists) {
            return "no token module is installed at " + context.modulePath +
                   ": install the token vendor's module there, or try --token-module PATH";
        }
        return "the token module at " + context.modulePath +
               " does not load; 'vellum-host doctor' shows the loader's error";
    }
    if (lastError == "initialize failed:") {
        return std::string(
                   "the token module loaded but did not start, or sees no token (signing "
                   "hides which); ") +
               kRunDoctor;
    }
    if (lastError == "C_Login failed:Function canceled(0x0050)") {
        return "the PIN dialog was cancelled (or nobody answered it in time), so nothing was "
               "sent to the token; sign again to be asked again";
    }
    if (lastError == "C_SignInit failed:Function canceled(0x0050)" ||
        lastError == "C_SignUpdate failed:Function canceled(0x0050)") {
        return "the PIN module let the token sign only what its dialog showed, and the plug-in "
               "passed something else (a text with a zero byte is signed up to it only)";
    }
    if (lastError == "C_Login failed:Function not suppored(0x0054)") {
        return "no PIN dialog could be shown (no pinentry program, or one that cannot open a "
               "window here), so no login was tried: install the Debian package "
               "pinentry-gnome3 (or pinentry-gtk2, pinentry-qt); "
               "'vellum-host doctor' shows which pinentry is used";
    }
    if (startsWith(lastError, "C_Login failed:")) {
        return std::string(
                   "the token refused the login: the plug-in logs in without a PIN, so "
                   "the token module must ask for the PIN itself (a PIN pad or its own "
                   "dialog); ") +
               kRunDoctor;
    }
    if (lastError == "C_SignInit failed:Mechanism invalid(0x0070)") {
        return "the token does not offer " +
               (context.hash.empty() ? std::string("the selected hash")
                                     : "the hash " + context.hash) +
               " with RSA: choose another hash; 'vellum-host doctor' lists the hashes it offers";
    }
    if (lastError == "C_FindObjects failed:OK(0x0000)") {
        return std::string(
                   "the token in the last slot shows no certificate without login "
                   "(only the last slot is listed); ") +
               kRunDoctor;
    }
    if (lastError == "CN not matched") {
        return "no certificate the plug-in can use has that serial; 'vellum-host list' shows the "
               "serials (of the last slot only)";
    }
    return "";
}

}  // namespace vellum::host
