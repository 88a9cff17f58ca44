#include "install/BridgePlaces.h"

#include <cstdlib>

namespace vellum::host {

bool BridgePlaces::fromEnvironment(BridgePlaces& places, std::string& error) {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        error = "HOME is not set to an absolute path";
        return false;
    }
    places.home = home;
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    places.configHome = configHome != nullptr ? configHome : "";
    const char* searchPath = std::getenv("PATH");
    places.searchPath = searchPath != nullptr ? searchPath : "";
    return true;
}

std::filesystem::path BridgePlaces::browserFolder(Browser browser, ManifestScope scope) const {
    const std::filesystem::path folder = manifestFolder(browser, scope).parent_path();
    return browser == Browser::Brave && scope == ManifestScope::User ? folder.parent_path()
                                                                     : folder;
}

std::filesystem::path BridgePlaces::configFolder() const {
    return !configHome.empty() && configHome[0] == '/' ? std::filesystem::path(configHome)
                                                       : home / ".config";
}

std::filesystem::path BridgePlaces::settingsFile(ManifestScope scope) const {
    if (scope == ManifestScope::System) {
        return "/etc/vellum/bridge.json";
    }
    return configFolder() / "vellum/bridge.json";
}

}  // namespace vellum::host
