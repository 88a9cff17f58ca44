#include "install/BridgeSurvey.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "install/BridgeFiles.h"
#include "install/WriteAccess.h"
#include "system/PluginLocator.h"

namespace vellum::host {
namespace {

// What of `state`'s install others can change, or empty.
std::string unsafePart(const ManifestState& state) {
    const std::vector<uid_t> trusted = WriteAccess::trusted(state.scope == "system");
    std::vector<std::string> paths{state.path.string(), state.program};
    std::string plugin;
    std::string error;
    if (!state.otherProgram && PluginLocator::locate("", plugin, error)) {
        paths.push_back(plugin);
    }
    for (const std::string& path : paths) {
        const std::string found = path.empty() ? "" : WriteAccess::untrusted(path, trusted);
        if (!found.empty()) {
            return found;
        }
    }
    return "";
}

}  // namespace

ManifestState BridgeSurvey::inspect(Browser browser, std::string scope,
                                    const std::filesystem::path& path) {
    ManifestState state;
    state.browser = browser;
    state.scope = std::move(scope);
    state.path = path;
    std::error_code code;
    if (!std::filesystem::exists(path, code)) {
        return state;
    }
    state.present = true;
    std::string text;
    if (!BridgeFiles::read(path, text, state.error)) {
        return state;
    }
    const Json manifest = Json::parse(text, nullptr, false);
    auto program = manifest.is_object() ? manifest.find("path") : manifest.end();
    if (manifest.is_discarded() || !manifest.is_object() || program == manifest.end() ||
        !program->is_string()) {
        state.error = "not a host manifest (no \"path\")";
        return state;
    }
    state.program = program->get<std::string>();
    state.allowed = BridgeManifest::allowed(manifest);
    state.programRuns = std::filesystem::is_regular_file(state.program, code) &&
                        ::access(state.program.c_str(), X_OK) == 0;
    const std::string self = PluginLocator::programPath();
    state.otherProgram =
        state.programRuns && !std::filesystem::equivalent(self, state.program, code);
    state.unsafe = unsafePart(state);
    return state;
}

std::vector<ManifestState> BridgeSurvey::all(const BridgePlaces& places) {
    std::vector<ManifestState> states;
    for (ManifestScope scope : {ManifestScope::User, ManifestScope::System}) {
        for (Browser browser : BridgeManifest::allBrowsers()) {
            const std::filesystem::path file = places.manifestFile(browser, scope);
            // Brave and Vivaldi read Chromium's system-wide folder: that file is told once.
            if (std::none_of(states.begin(), states.end(),
                             [&](const ManifestState& s) { return s.path == file; })) {
                states.push_back(inspect(browser, BridgeManifest::name(scope), file));
            }
        }
    }
    return states;
}

void BridgeSurvey::noteServedBySystem(std::vector<ManifestState>& states) {
    for (ManifestState& user : states) {
        if (user.scope != "user" || user.present) {
            continue;
        }
        for (const ManifestState& system : states) {
            if (system.scope == "system" && system.browser == user.browser && system.present &&
                system.error.empty() && system.programRuns) {
                user.servedBy = system.path;
            }
        }
    }
}

Json ManifestState::json() const {
    Json json = Json::object();
    json["browser"] = BridgeManifest::name(browser);
    json["scope"] = scope;
    json["path"] = path.string();
    json["installed"] = present;
    json["error"] = error.empty() ? Json(nullptr) : Json(error);
    json["program"] = program.empty() ? Json(nullptr) : Json(program);
    json["programRuns"] = programRuns;
    json["allowed"] = allowed;
    json["otherProgram"] = otherProgram;
    json["unsafe"] = unsafe.empty() ? Json(nullptr) : Json(unsafe);
    json["servedBy"] = servedBy.empty() ? Json(nullptr) : Json(servedBy.string());
    return json;
}

std::string ManifestState::text() const {
    std::string out =
        std::string(BridgeManifest::name(browser)) + " (" + scope + "): " + path.string();
    if (!present && !servedBy.empty()) {
        return out + ": not needed, the system-wide " + servedBy.string() + " serves every user";
    }
    if (!present) {
        return out + ": not installed";
    }
    if (!error.empty()) {
        return out + ": " + error;
    }
    out += "\n    starts " + program + (programRuns ? "" : " (missing or not executable)") +
           (otherProgram ? " (not this vellum-host)" : "");
    if (!unsafe.empty()) {
        out += "\n    unsafe: others can change " + unsafe;
    }
    out += "\n    allows";
    for (const std::string& entry : allowed) {
        out += " " + entry;
    }
    return out + (allowed.empty() ? " nothing" : "");
}

}  // namespace vellum::host
