// vellum-host: the plug-in's page-script API on the command line. See CommandLine::usage().
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "PluginIdentity.h"
#include "bridge/NativeMessagingHost.h"
#include "cli/BridgeCommand.h"
#include "cli/CommandLine.h"
#include "cli/StepRunner.h"
#include "install/BridgeSettings.h"
#include "install/RecordedModule.h"
#include "pluginhost/PluginHost.h"
#include "system/OperatingSystem.h"
#include "system/PinModuleFront.h"
#include "system/PluginLocator.h"
#include "system/TokenLock.h"

namespace {

using vellum::host::BridgePlaces;
using vellum::host::BridgeSettings;
using vellum::host::CommandLine;
using vellum::host::Json;
using vellum::host::JsonText;
using vellum::host::OperatingSystem;
using vellum::host::PinModuleFront;
using vellum::host::StepOutcome;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitBroken = 3;

void write(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void complain(const std::string& line) {
    write(stderr, "vellum-host: " + line + "\n");
}

// A failure before any step could run.
int broken(const CommandLine& commandLine, const std::string& error) {
    if (commandLine.json) {
        Json json = Json::object();
        json["step"] = "start";
        json["ok"] = false;
        json["error"] = error;
        write(stdout, JsonText::line(json) + "\n");
    }
    complain(error);
    return kExitBroken;
}

// The bridge settings in effect: the token module 'bridge install --token-module' recorded and
// the pinentry named, each empty when none; false when the settings cannot be read.
bool bridgeSettings(BridgeSettings& settings, std::string& error) {
    BridgePlaces places;
    std::string noHome;
    // Without a home there are no per-user settings, and no recorded module to look for.
    if (!BridgePlaces::fromEnvironment(places, noHome)) {
        return true;
    }
    return BridgeSettings::load(places, settings, error);
}

// The token module 'bridge install --token-module' recorded, or empty (also when others could
// change it); false when the settings cannot be read.
bool recordedTokenModule(std::string& module, std::string& error) {
    BridgeSettings settings;
    if (!bridgeSettings(settings, error)) {
        return false;
    }
    // doctor loads it: never one someone else could have put there (doctor names it instead).
    module = vellum::host::RecordedModule::refusalToMap(settings).empty() ? settings.tokenModule
                                                                          : std::string();
    return true;
}

// The browser reads nothing but frames: a failure to set up is told to each request instead.
int nativeMessaging(const CommandLine& commandLine) {
    std::string pluginPath;
    std::string setupError;
    if (!vellum::host::PluginLocator::locate(commandLine.pluginPath, pluginPath, setupError)) {
        return vellum::host::NativeMessagingHost(pluginPath, setupError).run(complain);
    }
    // A browser passes no options: the module recorded by bridge install stands in for
    // --token-module. One removed since is mapped as nothing, so the page gets the plug-in's
    // own "Load pkcs11 lib fail".
    std::string module = commandLine.tokenModulePath;
    auto missing = OperatingSystem::IfMissing::Fail;
    BridgeSettings settings;
    std::string settingsError;
    const bool haveSettings = bridgeSettings(settings, settingsError);
    if (module.empty()) {
        module = settings.tokenModule;
        missing = OperatingSystem::IfMissing::MapNothing;
        setupError =
            haveSettings ? vellum::host::RecordedModule::refusalToMap(settings) : settingsError;
    }
    vellum::host::TokenLock tokenLock(module.empty() ? kTokenModulePath : module);
    if (!tokenLock.usable()) {
        complain("warning: token operations are not kept apart from other hosts': " +
                 tokenLock.lockProblem());
    }
    // Before the plug-in loads: it binds to the redirected fixed path. A token without a PIN
    // pad is asked its PIN through pinentry, naming the page that asks (announceOrigin).
    if (setupError.empty() && !module.empty()) {
        PinModuleFront::announceSite("");
        const std::string pinentry = haveSettings ? settings.pinentry : std::string();
        if (commandLine.noPinDialog) {
            OperatingSystem::mapTokenModule(module, missing, setupError);
        } else {
            OperatingSystem::mapTokenModuleBehindPinDialog(module, missing, pinentry, setupError);
        }
    }
    return vellum::host::NativeMessagingHost(pluginPath, setupError, &tokenLock,
                                             PinModuleFront::announceSite)
        .run(complain);
}

int bridge(const CommandLine& commandLine) {
    BridgePlaces places;
    std::string error;
    if (!BridgePlaces::fromEnvironment(places, error)) {
        complain("bridge: " + error);
        return kExitBroken;
    }
    const std::string program = vellum::host::PluginLocator::programPath();
    if (program.empty()) {
        complain("bridge: cannot tell the path of this program");
        return kExitBroken;
    }
    StepOutcome outcome = vellum::host::BridgeCommand(commandLine.bridge, places, program).run();
    if (commandLine.bridge.json) {
        Json json = Json::object();
        json["ok"] = outcome.succeeded();
        for (const auto& member : outcome.json.items()) {
            json[member.key()] = member.value();
        }
        if (!outcome.succeeded()) {
            json["error"] = outcome.error;
        }
        write(stdout, JsonText::line(json) + "\n");
    } else {
        write(stdout, outcome.output);
    }
    if (!outcome.note.empty()) {
        complain("bridge: " + outcome.note);
    }
    if (outcome.succeeded()) {
        return 0;
    }
    complain("bridge: " + outcome.error);
    return outcome.status == StepOutcome::Status::Broken ? kExitBroken : kExitFailed;
}

bool hasDoctorStep(const CommandLine& commandLine) {
    for (const auto& step : commandLine.steps) {
        if (step.kind == vellum::host::StepKind::Doctor) {
            return true;
        }
    }
    return false;
}

// doctor with nothing at the fixed path and no --token-module looks at the module the bridge
// recorded, as the native host would map it.
std::string doctorTokenModule(const CommandLine& commandLine) {
    const bool doctor = hasDoctorStep(commandLine);
    std::error_code code;
    std::string module;
    std::string error;
    if (!doctor || !commandLine.tokenModulePath.empty() ||
        std::filesystem::symlink_status(kTokenModulePath, code).type() !=
            std::filesystem::file_type::not_found ||
        !recordedTokenModule(module, error)) {
        return commandLine.tokenModulePath;
    }
    return module;
}

// --token-module (or the recorded module doctor looks at) at the fixed path. On Linux the steps
// get the PIN module in front of it, which asks the PIN of a token without a PIN pad and leaves
// never-initialised tokens out of the slot list; doctor gets it too, so that its getCertList is
// the one pages get (it never logs in), and inspects the module itself.
bool mapTokenModule(const CommandLine& commandLine, const std::string& module,
                    OperatingSystem::IfMissing missing, std::string& error) {
    BridgeSettings settings;
    std::string unreadable;  // doctor reports unreadable settings itself
    bridgeSettings(settings, unreadable);
    if (commandLine.noPinDialog) {
        PinModuleFront::configure(module, settings.pinentry);
        return OperatingSystem::mapTokenModule(module, missing, error);
    }
    PinModuleFront::announceSite("vellum-host");
    return OperatingSystem::mapTokenModuleBehindPinDialog(module, missing, settings.pinentry,
                                                          error);
}

int run(const std::vector<std::string>& words) {
    CommandLine commandLine;
    std::string error;
    if (!commandLine.parse(words, error)) {
        // One line: the whole usage would bury the reason.
        complain(error + " (try 'vellum-host --help')");
        return kExitUsage;
    }
    if (commandLine.help) {
        write(stdout, CommandLine::usage());
        return 0;
    }

    if (commandLine.mode == CommandLine::Mode::NativeMessaging) {
        return nativeMessaging(commandLine);
    }
    if (commandLine.mode == CommandLine::Mode::Bridge) {
        return bridge(commandLine);
    }

    std::string pluginPath;
    if (!vellum::host::PluginLocator::locate(commandLine.pluginPath, pluginPath, error)) {
        return broken(commandLine, error);
    }
    // Before the plug-in loads: it binds to the redirected fixed path.
    const std::string tokenModule = doctorTokenModule(commandLine);
    vellum::host::TokenLock tokenLock(tokenModule.empty() ? kTokenModulePath : tokenModule);
    if (!tokenLock.usable()) {
        complain("warning: token operations are not kept apart from other hosts': " +
                 tokenLock.lockProblem());
    }
    const auto missing = tokenModule == commandLine.tokenModulePath
                             ? OperatingSystem::IfMissing::Fail
                             : OperatingSystem::IfMissing::MapNothing;
    if (!tokenModule.empty() && !mapTokenModule(commandLine, tokenModule, missing, error)) {
        return broken(commandLine, error);
    }

    vellum::pluginhost::PluginHost host(pluginPath);
    if (!host.start(error)) {
        host.stop();
        return broken(commandLine, "cannot start the plug-in " + pluginPath + ": " + error);
    }

    int status = 0;
    vellum::host::StepRunner runner(host, pluginPath, tokenModule, &tokenLock);
    for (const auto& step : commandLine.steps) {
        StepOutcome outcome = runner.run(step);
        write(stdout, commandLine.json ? JsonText::line(outcome.json) + "\n" : outcome.output);
        if (!outcome.note.empty()) {
            complain(outcome.note);
        }
        if (!outcome.succeeded()) {
            complain(outcome.error);
        }
        if (!outcome.hint.empty()) {
            complain("hint: " + outcome.hint);
        }
        if (!outcome.succeeded() && status == 0) {
            status = outcome.status == StepOutcome::Status::Broken ? kExitBroken : kExitFailed;
        }
        if (!outcome.succeeded() && !commandLine.keepGoing) {
            break;
        }
    }

    host.stop();
    if (!host.clean()) {
        // Not the caller's failure, but a fault of the module worth seeing.
        complain("warning: the plug-in did not leave the host clean: " + host.report());
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        complain(std::string("internal error: ") + e.what());
    } catch (...) {
        complain("internal error");
    }
    return kExitBroken;
}
