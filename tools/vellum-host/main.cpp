// vellum-host: the plug-in's page-script API on the command line. See CommandLine::usage().
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "modulemapping/TokenModuleMapping.h"
#include "pluginhost/PluginHost.h"
#include "vellum-host/CommandLine.h"
#include "vellum-host/NativeMessagingHost.h"
#include "vellum-host/PluginLocator.h"
#include "vellum-host/StepRunner.h"

namespace {

using vellum::host::CommandLine;
using vellum::host::Json;
using vellum::host::JsonText;
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

// The browser reads nothing but frames: a failure to set up is told to each request instead.
int nativeMessaging(const CommandLine& commandLine) {
    std::string pluginPath;
    std::string setupError;
    if (!vellum::host::PluginLocator::locate(commandLine.pluginPath, pluginPath, setupError)) {
        complain(setupError);
        return kExitBroken;
    }
    // Before the plug-in loads, while the process still has one thread.
    if (!commandLine.tokenModulePath.empty()) {
        vellum::modulemapping::TokenModuleMapping::install(commandLine.tokenModulePath, setupError);
    }
    return vellum::host::NativeMessagingHost(pluginPath, setupError).run(complain);
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

    std::string pluginPath;
    if (!vellum::host::PluginLocator::locate(commandLine.pluginPath, pluginPath, error)) {
        return broken(commandLine, error);
    }
    // Before anything else runs, while the process still has one thread.
    if (!commandLine.tokenModulePath.empty() &&
        !vellum::modulemapping::TokenModuleMapping::install(commandLine.tokenModulePath, error)) {
        return broken(commandLine, error);
    }

    vellum::pluginhost::PluginHost host(pluginPath);
    if (!host.start(error)) {
        host.stop();
        return broken(commandLine, "cannot start the plug-in " + pluginPath + ": " + error);
    }

    int status = 0;
    vellum::host::StepRunner runner(host, pluginPath, commandLine.tokenModulePath);
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
        if (!outcome.succeeded()) {
            status = outcome.status == StepOutcome::Status::Broken ? kExitBroken : kExitFailed;
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
