// vellum-host bridge install|uninstall|status: writes, removes and shows the browsers' native
// messaging host manifests for this vellum-host, and the token module the native host maps.
#pragma once

#include <string>

#include "common/StepOutcome.h"
#include "install/BridgeOptions.h"
#include "install/BridgePlaces.h"

namespace vellum::host {

class BridgeCommand {
public:
    // `program`: the absolute path the manifests name.
    BridgeCommand(BridgeOptions options, BridgePlaces places, std::string program)
        : options_(std::move(options)), places_(std::move(places)), program_(std::move(program)) {}

    StepOutcome run();

private:
    struct Target {
        Browser browser;
        std::string scope;
        std::filesystem::path file;
        // The outermost folder install may have made for the file, which uninstall removes
        // again when it is left empty: the browser's own folder, or a profile's manifest folder.
        std::filesystem::path ownFolder;
    };
    std::vector<Target> targets(bool bothScopes) const;
    // Without a second target for a file an earlier one names: Brave and Vivaldi read
    // Chromium's system-wide folder, where one manifest serves all three.
    static std::vector<Target> distinct(std::vector<Target> targets);
    // Without --browser or --user-data-dir, the browsers present on this machine; `skipped`
    // names the others.
    std::vector<Target> installTargets(std::string& skipped) const;
    // With no --token-module: what the browser's native host will give the plug-in.
    void warnWithoutModule(StepOutcome& outcome) const;
    ManifestScope scope() const { return options_.scope.value_or(ManifestScope::User); }
    // The system's manifests, not one user's (a profile folder is always a user's).
    bool systemWide() const {
        return scope() == ManifestScope::System && options_.userDataDir.empty();
    }

    // Why `action` (install or uninstall) must not touch a user's own files: it runs as root
    // in a home or profile folder another user owns. Empty when it may.
    std::string othersFolderAsRoot(const std::string& action) const;
    // Why install must not write: run as root for another user, or something the browser would
    // run, or a folder the manifests go to, that others can change. Empty when it may.
    std::string refusal(const std::vector<Target>& targets, const std::string& module) const;
    // Why `action` ("install", "uninstall") must not touch one of `files`: someone not trusted
    // for this scope can change it or a folder (or link) on its way; empty when no one can.
    std::string changeableByOthers(const std::vector<std::filesystem::path>& files,
                                   const std::string& action) const;

    StepOutcome install();
    StepOutcome uninstall();
    StepOutcome status();

    BridgeOptions options_;
    BridgePlaces places_;
    std::string program_;
};

}  // namespace vellum::host
