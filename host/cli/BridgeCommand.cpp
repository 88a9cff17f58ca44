#include "cli/BridgeCommand.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "PluginIdentity.h"
#include "install/BridgeFiles.h"
#include "install/BridgeSettings.h"
#include "install/BridgeSurvey.h"
#include "install/BrowserPresence.h"
#include "install/RecordedModule.h"
#include "install/WriteAccess.h"
#include "system/OperatingSystem.h"
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
    std::error_code code;
    while (path.has_relative_path() && !std::filesystem::exists(path, code)) {
        path = path.parent_path();
    }
    return path;
}

// How a user gives the plug-in a token module that loads: on Linux the native host maps the one
// bridge install records; on macOS the vendor installs it at the fixed path.
std::string moduleAdvice(Platform platform) {
    return platform == Platform::Linux
               ? "record your token's PKCS#11 module with 'vellum-host bridge install "
                 "--token-module PATH'"
               : std::string("install the token vendor's module at ") + kTokenModulePath;
}

// Removes `folder`, then its parents up to and including `last`, while they are empty: the
// folders install made on the way to a file it wrote. A folder holding anything stays, and so
// does one that is a link.
void removeEmptyFolders(std::filesystem::path folder, const std::filesystem::path& last,
                        Json& removed, std::string& output) {
    while (folder.has_relative_path()) {
        std::error_code code;
        if (!std::filesystem::is_directory(std::filesystem::symlink_status(folder, code)) ||
            !std::filesystem::is_empty(folder, code) || code ||
            !std::filesystem::remove(folder, code) || code) {
            return;
        }
        output += "removed " + folder.string() + "/\n";
        removed.push_back(folder.string() + "/");
        if (folder == last) {
            return;
        }
        folder = folder.parent_path();
    }
}

}  // namespace

std::string BridgeCommand::othersFolderAsRoot(const std::string& action) const {
    if (systemWide() || ::geteuid() != 0) {
        return "";
    }
    // Root writing into, or removing from, a folder another user owns would be led by links
    // that user planted there to files of root's (and would leave that user files of root's
    // choosing): the user runs the command for themselves instead.
    const std::filesystem::path home =
        options_.userDataDir.empty()
            ? places_.home
            : existingFolder(std::filesystem::absolute(options_.userDataDir));
    OperatingSystem::FileFacts info;
    if (OperatingSystem::fileFacts(home.string(), true, info) && info.owner != 0) {
        return "refusing to " + action + " as root " + (action == "install" ? "into " : "in ") +
               home.string() + ", which uid " + std::to_string(info.owner) +
               " owns: run 'vellum-host bridge " + action + "' as that user";
    }
    return "";
}

std::string BridgeCommand::refusal(const std::vector<Target>& targets,
                                   const std::string& module) const {
    const std::string asRoot = othersFolderAsRoot("install");
    if (!asRoot.empty()) {
        return asRoot;
    }
    const std::vector<uid_t> trusted = WriteAccess::trusted(systemWide());
    const std::string whom = systemWide() ? "anyone but root" : "anyone but you or root";
    std::string plugin;
    std::string error;
    if (!PluginLocator::locate("", plugin, error)) {
        return "refusing to install: " + error;
    }
    const std::pair<const char*, std::string> runs[] = {{"the program", program_},
                                                        {"its plug-in module", plugin}};
    for (const auto& [what, path] : runs) {
        const std::string found = WriteAccess::untrusted(path, trusted);
        if (!found.empty()) {
            return std::string("refusing to install: ") + what + " " + path +
                   " can be changed by " + whom + ": " + found;
        }
    }
    const std::string moduleFound =
        module.empty() ? "" : RecordedModule::othersCanChange(module, systemWide());
    if (!moduleFound.empty()) {
        return "refusing to install: the token module " + module + " can be changed by " + whom +
               ": " + moduleFound;
    }
    std::vector<std::filesystem::path> files;
    for (const Target& target : targets) {
        files.push_back(target.file);
    }
    if (!module.empty()) {
        files.push_back(places_.settingsFile(scope()));
    }
    return changeableByOthers(files, "install");
}

std::string BridgeCommand::changeableByOthers(const std::vector<std::filesystem::path>& files,
                                              const std::string& action) const {
    const std::vector<uid_t> trusted = WriteAccess::trusted(systemWide());
    const std::string whom = systemWide() ? "anyone but root" : "anyone but you or root";
    for (const std::filesystem::path& file : files) {
        const std::string found = WriteAccess::untrusted(file, trusted);
        if (!found.empty()) {
            return "refusing to " + action + " " + file.string() + ": it can be changed by " +
                   whom + ": " + found;
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
        // The profile folder is the user's: only the manifest folder is the bridge's.
        found.push_back({browsers.front(), "user-data-dir", file, file.parent_path()});
        return found;
    }
    std::vector<ManifestScope> scopes{scope()};
    if (bothScopes && !options_.scope) {
        scopes = {ManifestScope::User, ManifestScope::System};
    }
    for (ManifestScope each : scopes) {
        for (Browser browser : browsers) {
            found.push_back({browser, BridgeManifest::name(each),
                             places_.manifestFile(browser, each),
                             places_.browserFolder(browser, each)});
        }
    }
    return found;
}

std::vector<BridgeCommand::Target> BridgeCommand::distinct(std::vector<Target> targets) {
    std::vector<Target> kept;
    for (Target& target : targets) {
        if (std::none_of(kept.begin(), kept.end(),
                         [&](const Target& k) { return k.file == target.file; })) {
            kept.push_back(std::move(target));
        }
    }
    return kept;
}

std::vector<BridgeCommand::Target> BridgeCommand::installTargets(std::string& skipped) const {
    std::vector<Target> found = targets(false);
    // Browsers named on the command line, or the one of a profile folder, get a manifest
    // whether they are here or not.
    if (!options_.browsers.empty() || !options_.userDataDir.empty()) {
        return distinct(std::move(found));
    }
    std::vector<Target> present;
    for (const Target& target : found) {
        if (BrowserPresence::present(places_, target.browser, scope())) {
            present.push_back(target);
        } else {
            skipped +=
                std::string(skipped.empty() ? "" : ", ") + BridgeManifest::name(target.browser);
        }
    }
    return distinct(std::move(present));
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
    std::string skipped;
    const std::vector<Target> chosen = installTargets(skipped);
    if (chosen.empty()) {
        fail(outcome,
             "no browser found (looked for " + BrowserPresence::lookedFor(places_) +
                 "): name one with --browser chromium|chrome|edge|brave|vivaldi|firefox",
             StepOutcome::Status::Failed);
        return outcome;
    }
    if (!skipped.empty()) {
        outcome.output += "not installed for " + skipped + ": not found on this machine\n";
    }
    const std::string refused = refusal(chosen, module);
    if (!refused.empty()) {
        fail(outcome, refused, StepOutcome::Status::Failed);
        return outcome;
    }
    Json installed = Json::array();
    for (const Target& target : chosen) {
        std::string error;
        const Json manifest = BridgeManifest::content(target.browser, program_);
        bool unchanged = false;
        if (!BridgeFiles::replace(target.file, manifest.dump(2) + "\n", error, &unchanged)) {
            fail(outcome, error);
            return outcome;
        }
        // A package's link that already says the same is left as it is, and said so.
        outcome.output += (unchanged ? "unchanged " : "installed ") + target.file.string() + " (" +
                          BridgeManifest::name(target.browser) + ", " + target.scope +
                          (unchanged ? "; a link to the same manifest" : "") + ")\n";
        installed.push_back({{"browser", BridgeManifest::name(target.browser)},
                             {"scope", target.scope},
                             {"path", target.file.string()},
                             {"unchanged", unchanged}});
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
    } else {
        warnWithoutModule(outcome);
    }
    return outcome;
}

void BridgeCommand::warnWithoutModule(StepOutcome& outcome) const {
    // A module recorded by an earlier install stays in force.
    BridgeSettings settings;
    std::string error;
    if (BridgeSettings::load(places_, settings, error) && !settings.tokenModule.empty()) {
        outcome.output += "token module " + settings.tokenModule + " (recorded in " +
                          settings.file.string() + ")\n";
        return;
    }
    if (RecordedModule::moduleLoads(kTokenModulePath, error)) {
        return;
    }
    outcome.note = std::string(
                       "warning: no token module is recorded and none loads at the "
                       "plug-in's fixed path ") +
                   kTokenModulePath + " (" + error + "), so pages will get \"E:1000\"; " +
                   moduleAdvice(places_.platform) + ".";
    outcome.json["warning"] = outcome.note;
}

StepOutcome BridgeCommand::uninstall() {
    StepOutcome outcome;
    const std::string asRoot = othersFolderAsRoot("uninstall");
    if (!asRoot.empty()) {
        fail(outcome, asRoot, StepOutcome::Status::Failed);
        return outcome;
    }
    Json removed = Json::array();
    // Each file with the last folder install may have made for it.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> files;
    for (const Target& target : distinct(targets(false))) {
        files.emplace_back(target.file, target.ownFolder);
    }
    // What install recorded for the native host goes with the manifests.
    if (options_.userDataDir.empty()) {
        const std::filesystem::path settings = places_.settingsFile(scope());
        files.emplace_back(settings, settings.parent_path());
    }
    // Removing through a link or in a folder someone else controls removes what they chose:
    // refused before anything is removed, as install refuses to write there.
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : files) {
        paths.push_back(entry.first);
    }
    const std::string refused = changeableByOthers(paths, "uninstall");
    if (!refused.empty()) {
        fail(outcome, refused, StepOutcome::Status::Failed);
        return outcome;
    }
    for (const auto& [file, last] : files) {
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
        removeEmptyFolders(file.parent_path(), last, removed, outcome.output);
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
    // Every browser's own targets are judged, so that a user's manifest is known to be served by
    // the system-wide file its browser shares with another (Brave's and Vivaldi's are
    // Chromium's); each file is then shown once.
    std::vector<ManifestState> states;
    for (const Target& target : targets(true)) {
        states.push_back(BridgeSurvey::inspect(target.browser, target.scope, target.file));
    }
    BridgeSurvey::noteServedBySystem(states);
    std::vector<ManifestState> shown;
    for (ManifestState& state : states) {
        if (std::none_of(shown.begin(), shown.end(),
                         [&](const ManifestState& s) { return s.path == state.path; })) {
            shown.push_back(std::move(state));
        }
    }
    Json manifests = Json::array();
    for (const ManifestState& state : shown) {
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
    outcome.json["fixedPath"] = nullptr;
    // The module the native host gives the plug-in: the recorded one, or with none recorded
    // whatever is at the fixed path. A page gets "E:1000" from every operation when it does
    // not load.
    if (!recorded.path.empty()) {
        // The native host refuses to map it, so pages get a setup error.
        const std::string refused = RecordedModule::refusalToMap(settings);
        if (!refused.empty()) {
            fail(outcome, refused, StepOutcome::Status::Failed);
        } else if (!recorded.unsafe.empty()) {
            fail(outcome,
                 "the recorded token module " + recorded.path +
                     " is not loaded: others can change " + recorded.unsafe,
                 StepOutcome::Status::Failed);
        } else if (!recorded.loads) {
            fail(outcome,
                 "the recorded token module " + recorded.path + " does not load: " + recorded.error,
                 StepOutcome::Status::Failed);
        }
        return outcome;
    }
    const bool loads = RecordedModule::moduleLoads(kTokenModulePath, error);
    outcome.output += std::string("plug-in's fixed path ") + kTokenModulePath + ": " +
                      (loads ? "loads" : "does not load: " + error) + "\n";
    outcome.json["fixedPath"] = {{"path", kTokenModulePath},
                                 {"loads", loads},
                                 {"error", loads ? Json(nullptr) : Json(error)}};
    if (!loads) {
        fail(outcome,
             std::string("no token module is recorded and none loads at the plug-in's fixed "
                         "path ") +
                 kTokenModulePath + ", so pages get \"E:1000\": " + moduleAdvice(places_.platform),
             StepOutcome::Status::Failed);
    }
    return outcome;
}

}  // namespace vellum::host
