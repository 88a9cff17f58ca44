#include "install/BridgeSurvey.h"

#include <unistd.h>

#include <system_error>

#include "install/BridgeFiles.h"

namespace vellum::host {

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
    return state;
}

std::vector<ManifestState> BridgeSurvey::all(const BridgePlaces& places) {
    std::vector<ManifestState> states;
    for (ManifestScope scope : {ManifestScope::User, ManifestScope::System}) {
        for (Browser browser : BridgeManifest::allBrowsers()) {
            states.push_back(
                inspect(browser, BridgeManifest::name(scope), places.manifestFile(browser, scope)));
        }
    }
    return states;
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
    return json;
}

std::string ManifestState::text() const {
    std::string out =
        std::string(BridgeManifest::name(browser)) + " (" + scope + "): " + path.string();
    if (!present) {
        return out + ": not installed";
    }
    if (!error.empty()) {
        return out + ": " + error;
    }
    out += "\n    starts " + program + (programRuns ? "" : " (missing or not executable)");
    out += "\n    allows";
    for (const std::string& entry : allowed) {
        out += " " + entry;
    }
    return out + (allowed.empty() ? " nothing" : "");
}

}  // namespace vellum::host
