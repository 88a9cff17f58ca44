#include "cli/BridgeCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "PluginIdentity.h"
#include "install/BridgeFiles.h"
#include "install/BridgeSettings.h"
#include "install/BridgeSurvey.h"
#include "install/RecordedModule.h"
#include "install/WriteAccess.h"
#include "system/PluginLocator.h"

namespace vellum::host {
namespace {

void fail(StepOutcome& outcome, const std::string& error,
          StepOutcome::Status status = StepOutcome::Status::Broken) {
    outcome.status = status;
    outcome.error = error;
}

// The nearest folder of `path` (itself or above) that exists.
std::filesystem::path existingFolder(std::filesystem::path path) {
    struct stat info {};
    while (path.has_relative_path() && ::stat(path.c_str(), &info) != 0) {
        path = path.parent_path();
    }
    return path;
}

}  // namespace

std::string BridgeCommand::refusal(const std::vector<Target>& targets,
                                   const std::string& module) const {
    const bool systemWide = scope() == ManifestScope::System && options_.userDataDir.empty();
    if (!systemWide && ::geteuid() == 0) {
        // Root writing into a folder another user owns would leave that user files of root's
        // choosing in places that user controls (and could be led through links there): the
        // user installs for themselves instead.
        const std::filesystem::path home =
            options_.userDataDir.empty()
                ? places_.home
                : existingFolder(std::filesystem::absolute(options_.userDataDir));
        struct stat info {};
        if (::stat(home.c_str(), &info) == 0 && info.st_uid != 0) {
            return "refusing to install as root into " + home.string() + ", which uid " +
                   std::to_string(info.st_uid) +
                   " owns: run 'vellum-host bridge install' as that user";
        }
    }
    const std::vector<uid_t> trusted = WriteAccess::trusted(systemWide);
    const std::string whom = systemWide ? "anyone but root" : "anyone but you or root";
    std::string plugin;
    std::string error;
    if (!PluginLocator::locate("", plugin, error)) {
        return "refusing to install: " + error;
    }
    const std::pair<const char*, std::string> runs[] = {
        {"the program", program_}, {"its plug-in module", plugin}, {"the token module", module}};
    for (const auto& [what, path] : runs) {
        const std::string found = path.empty() ? "" : WriteAccess::untrusted(path, trusted);
        if (!found.empty()) {
            return std::string("refusing to install: ") + what + " " + path +
                   " can be changed by " + whom + ": " + found;
        }
    }
    std::vector<std::filesystem::path> files;
    for (const Target& target : targets) {
        files.push_back(target.file);
    }
    if (!module.empty()) {
        files.push_back(places_.settingsFile(scope()));
    }
    for (const std::filesystem::path& file : files) {
        const std::string found = WriteAccess::untrusted(file, trusted);
        if (!found.empty()) {
            return "refusing to install " + file.string() + ": it can be changed by " + whom +
                   ": " + found;
        }
    }
    return "";
}

std::vector<BridgeCommand::Target> BridgeCommand::targets(bool bothScopes) const {
    std::vector<Browser> browsers = options_.browsers;
    if (browsers.empty()) {
        browsers = options_.userDataDir.empty() ? BridgeManifest::allBrowsers()
                                                : std::vector<Browser>{Browser::Chromium};
    }
    std::vector<Target> found;
    if (!options_.userDataDir.empty()) {
        // One folder serves whichever Chromium-family browser runs with that profile.
        const std::filesystem::path file = std::filesystem::absolute(options_.userDataDir) /
                                           BridgeManifest::kUserDataFolder /
                                           BridgeManifest::kFileName;
        found.push_back({browsers.front(), "user-data-dir", file});
        return found;
    }
    std::vector<ManifestScope> scopes{scope()};
    if (bothScopes && !options_.scope) {
        scopes = {ManifestScope::User, ManifestScope::System};
    }
    for (ManifestScope each : scopes) {
        for (Browser browser : browsers) {
            found.push_back(
                {browser, BridgeManifest::name(each), places_.manifestFile(browser, each)});
        }
    }
    return found;
}

StepOutcome BridgeCommand::run() {
    switch (options_.action) {
        case BridgeOptions::Action::Install:
            return install();
        case BridgeOptions::Action::Uninstall:
            return uninstall();
        case BridgeOptions::Action::Status:
            break;
    }
    return status();
}

StepOutcome BridgeCommand::install() {
    StepOutcome outcome;
    std::string module;
    if (!options_.tokenModule.empty()) {
        if (places_.platform == Platform::MacOS) {
            fail(outcome,
                 std::string("--token-module is for Linux: on macOS the vendor installs its "
                             "module at the plug-in's fixed path ") +
                     kTokenModulePath,
                 StepOutcome::Status::Failed);
            return outcome;
        }
        std::error_code code;
        module = std::filesystem::absolute(options_.tokenModule, code).lexically_normal().string();
        if (!std::filesystem::is_regular_file(module, code)) {
            fail(outcome, "token module " + options_.tokenModule + ": no such file");
            return outcome;
        }
    }
    const std::vector<Target> chosen = targets(false);
    const std::string refused = refusal(chosen, module);
    if (!refused.empty()) {
        fail(outcome, refused, StepOutcome::Status::Failed);
        return outcome;
    }
    Json installed = Json::array();
    for (const Target& target : chosen) {
        std::string error;
        const Json manifest = BridgeManifest::content(target.browser, program_);
        if (!BridgeFiles::replace(target.file, manifest.dump(2) + "\n", error)) {
            fail(outcome, error);
            return outcome;
        }
        outcome.output += "installed " + target.file.string() + " (" +
                          BridgeManifest::name(target.browser) + ", " + target.scope + ")\n";
        installed.push_back({{"browser", BridgeManifest::name(target.browser)},
                             {"scope", target.scope},
                             {"path", target.file.string()}});
    }
    outcome.json["installed"] = std::move(installed);
    outcome.json["program"] = program_;
    if (!module.empty()) {
        const std::filesystem::path file = places_.settingsFile(scope());
        std::string error;
        if (!BridgeSettings::write(file, module, error)) {
            fail(outcome, error);
            return outcome;
        }
        outcome.output += "token module " + module + " recorded in " + file.string() + "\n";
        outcome.json["tokenModule"] = {{"path", module}, {"file", file.string()}};
    }
    return outcome;
}

StepOutcome BridgeCommand::uninstall() {
    StepOutcome outcome;
    Json removed = Json::array();
    std::vector<std::filesystem::path> files;
    for (const Target& target : targets(false)) {
        files.push_back(target.file);
    }
    // What install recorded for the native host goes with the manifests.
    if (options_.userDataDir.empty()) {
        files.push_back(places_.settingsFile(scope()));
    }
    for (const std::filesystem::path& file : files) {
        bool gone = false;
        std::string error;
        if (!BridgeFiles::remove(file, gone, error)) {
            fail(outcome, error);
            return outcome;
        }
        if (gone) {
            outcome.output += "removed " + file.string() + "\n";
            removed.push_back(file.string());
        }
    }
    if (removed.empty()) {
        outcome.output += "nothing to remove\n";
    }
    outcome.json["removed"] = std::move(removed);
    return outcome;
}

StepOutcome BridgeCommand::status() {
    StepOutcome outcome;
    // What this vellum-host loads when a browser starts it (no --plugin then).
    std::string plugin;
    std::string problem;
    const bool found = PluginLocator::locate("", plugin, problem);
    outcome.output +=
        "program: " + program_ + "\nplug-in module: " + (found ? plugin : problem) + "\n";
    outcome.json["program"] = program_;
    outcome.json["plugin"] = found ? Json(plugin) : Json(nullptr);
    Json manifests = Json::array();
    for (const Target& target : targets(true)) {
        const ManifestState state =
            BridgeSurvey::inspect(target.browser, target.scope, target.file);
        outcome.output += state.text() + "\n";
        manifests.push_back(state.json());
    }
    outcome.json["manifests"] = std::move(manifests);
    BridgeSettings settings;
    std::string error;
    if (!BridgeSettings::load(places_, settings, error)) {
        fail(outcome, error);
        return outcome;
    }
    const RecordedModule recorded = RecordedModule::inspect(settings);
    outcome.output += recorded.text() + "\n";
    outcome.json["tokenModule"] = recorded.json();
    return outcome;
}

}  // namespace vellum::host
