// The command line of vellum-host: options that hold for the whole run, then one or more
// steps separated by "--".
#pragma once

#include <string>
#include <vector>

#include "cli/Step.h"
#include "install/BridgeOptions.h"

namespace vellum::host {

struct CommandLine {
    enum class Mode {
        Steps,            // run the steps
        NativeMessaging,  // serve the browser bridge on standard input and output
        Bridge,           // bridge install, uninstall or status
    };

    Mode mode = Mode::Steps;
    std::string pluginPath;       // empty: the module installed or built beside the program
    std::string tokenModulePath;  // empty: the fixed token module path as it stands
    bool json = false;
    bool keepGoing = false;  // run every step, as a page goes on after an "E:1000"
    // With --token-module on Linux: map the module itself, without the PIN module in front
    // (the module's own answer to the plug-in's login without a PIN).
    bool noPinDialog = false;
    bool help = false;
    std::vector<Step> steps;
    // native-messaging: what the browser passed (the caller's origin, or Firefox's manifest
    // path and add-on id, or nothing through the portal), which the host does not need.
    std::vector<std::string> browserArguments;
    BridgeOptions bridge;

    // False with a one-line reason in `error` when the words do not form a valid run.
    // No words at all serve the browser bridge when standard input is not a terminal: the
    // desktop's WebExtensions portal may start the host named in a manifest with no argument.
    // On a terminal they are a usage error, as a person typed them.
    bool parse(const std::vector<std::string>& words, std::string& error);
    bool parse(const std::vector<std::string>& words, bool inputIsTerminal, std::string& error);

    static const char* usage() noexcept;
};

}  // namespace vellum::host
