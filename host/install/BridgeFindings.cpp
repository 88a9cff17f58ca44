#include "install/BridgeFindings.h"

#include <algorithm>

namespace vellum::host {
namespace {

std::string expectedEntry(Browser browser) {
    return BridgeManifest::chromiumFamily(browser)
               ? std::string("chrome-extension://") + BridgeManifest::kChromiumExtensionId + "/"
               : BridgeManifest::kFirefoxExtensionId;
}

}  // namespace

BridgeFindings BridgeFindings::survey() {
    BridgeFindings findings;
    BridgePlaces places;
    std::string error;
    if (!BridgePlaces::fromEnvironment(places, error)) {
        findings.warnings.push_back("The browser bridge cannot be looked for: " + error + ".");
        return findings;
    }
    for (const ManifestState& state : BridgeSurvey::all(places)) {
        if (state.present) {
            findings.installed_.push_back(state);
        }
    }
    BridgeSettings settings;
    if (!BridgeSettings::load(places, settings, error)) {
        findings.problems.push_back("The browser bridge's settings cannot be used: " + error + ".");
    }
    findings.recorded_ = RecordedModule::inspect(settings);
    findings.judge();
    return findings;
}

void BridgeFindings::judge() {
    if (installed_.empty()) {
        warnings.push_back(
            "No browser bridge manifest is installed: browsers without NPAPI reach the token "
            "only after 'vellum-host bridge install'.");
    }
    for (const ManifestState& state : installed_) {
        const std::string manifest = std::string("The ") + BridgeManifest::name(state.browser) +
                                     " bridge manifest " + state.path.string();
        if (!state.error.empty()) {
            problems.push_back(manifest + " is unusable (" + state.error +
                               "): run 'vellum-host bridge install' again.");
        } else if (!state.programRuns) {
            problems.push_back(manifest + " starts " + state.program +
                               ", which is missing or not executable: run 'vellum-host bridge "
                               "install' with the vellum-host to use.");
        } else if (!state.unsafe.empty()) {
            problems.push_back(manifest + " is unsafe: others can change " + state.unsafe +
                               ", and the browser runs what it names.");
        } else if (state.otherProgram) {
            problems.push_back(manifest + " starts " + state.program +
                               ", not this vellum-host: if you did not put it there, run "
                               "'vellum-host bridge install' again.");
        } else if (std::find(state.allowed.begin(), state.allowed.end(),
                             expectedEntry(state.browser)) == state.allowed.end()) {
            warnings.push_back(manifest + " does not allow the vellum extension (" +
                               expectedEntry(state.browser) + ").");
        }
    }
    if (!recorded_.path.empty() && !recorded_.loads && !recorded_.notLoaded) {
        problems.push_back("The token module recorded for the browser bridge in " + recorded_.file +
                           ", " + recorded_.path + ", does not load: " + recorded_.error + ".");
    }
    if (!recorded_.path.empty() && !recorded_.unsafe.empty()) {
        problems.push_back("The token module recorded for the browser bridge in " + recorded_.file +
                           ", " + recorded_.path + ", is unsafe: others can change " +
                           recorded_.unsafe + ".");
    }
}

std::string BridgeFindings::text() const {
    std::string out = "Browser bridge\n";
    if (installed_.empty()) {
        out += "  no host manifest installed\n";
    }
    for (const ManifestState& state : installed_) {
        std::string lines = state.text();
        for (size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 3) {
            lines.insert(at + 1, "  ");
        }
        out += "  " + lines + "\n";
    }
    return out + "  " + recorded_.text() + "\n";
}

Json BridgeFindings::json() const {
    Json manifests = Json::array();
    for (const ManifestState& state : installed_) {
        manifests.push_back(state.json());
    }
    Json json = Json::object();
    json["manifests"] = std::move(manifests);
    json["tokenModule"] = recorded_.json();
    json["problems"] = problems;
    json["warnings"] = warnings;
    return json;
}

}  // namespace vellum::host
