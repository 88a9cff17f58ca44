// Where the browser bridge's files are for this user: the browsers' host manifest folders and
// the bridge's own settings file, from the platform, the home folder and XDG_CONFIG_HOME.
#pragma once

#include <filesystem>
#include <string>

#include "install/BridgeManifest.h"

namespace vellum::host {

struct BridgePlaces {
    Platform platform = BridgeManifest::currentPlatform();
    std::filesystem::path home;
    std::string configHome;  // XDG_CONFIG_HOME as set, or empty
    std::string searchPath;  // PATH as set, or empty: where browsers' programs are looked for

    // From HOME, XDG_CONFIG_HOME and PATH; false with the reason when HOME is not an absolute path.
    static bool fromEnvironment(BridgePlaces& places, std::string& error);

    std::filesystem::path manifestFolder(Browser browser, ManifestScope scope) const {
        return BridgeManifest::folder(platform, browser, scope, home, configHome);
    }
    std::filesystem::path manifestFile(Browser browser, ManifestScope scope) const {
        return manifestFolder(browser, scope) / BridgeManifest::kFileName;
    }
    // The browser's own folder, which holds its manifest folder: ~/.config/google-chrome,
    // ~/.mozilla, /etc/opt/chrome, ~/Library/Application Support/Google/Chrome, ... For Brave
    // the vendor's folder above its profile folder (~/.config/BraveSoftware), which each of its
    // channels shares and install makes.
    std::filesystem::path browserFolder(Browser browser, ManifestScope scope) const;

    // XDG_CONFIG_HOME when it is an absolute path, else ~/.config.
    std::filesystem::path configFolder() const;

    // The settings the native host reads at start (the token module to map, on Linux):
    // per user in XDG_CONFIG_HOME/vellum/ (~/.config/vellum/), system-wide in /etc/vellum/.
    std::filesystem::path settingsFile(ManifestScope scope) const;
};

}  // namespace vellum::host
