#include "install/BrowserPresence.h"

#include <unistd.h>

#include <system_error>

namespace vellum::host {
namespace {

bool runnable(const std::filesystem::path& file) {
    std::error_code code;
    return std::filesystem::is_regular_file(file, code) && ::access(file.c_str(), X_OK) == 0;
}

bool onSearchPath(const std::string& searchPath, const std::string& program) {
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(':', start);
        if (end == std::string::npos) {
            end = searchPath.size();
        }
        const std::string folder = searchPath.substr(start, end - start);
        // An empty or relative entry means wherever bridge install happens to run: not a place
        // a browser is installed in.
        if (!folder.empty() && folder[0] == '/' &&
            runnable(std::filesystem::path(folder) / program)) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool applicationInstalled(const BridgePlaces& places, const std::string& bundle) {
    std::error_code code;
    for (const std::filesystem::path& folder :
         {std::filesystem::path("/Applications"), places.home / "Applications"}) {
        if (std::filesystem::is_directory(folder / bundle, code)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> BrowserPresence::programs(Platform platform, Browser browser) {
    if (platform == Platform::MacOS) {
        switch (browser) {
            case Browser::Chromium:
                return {"Chromium.app"};
            case Browser::Chrome:
                return {"Google Chrome.app"};
            case Browser::Edge:
                return {"Microsoft Edge.app"};
            case Browser::Brave:
                return {"Brave Browser.app"};
            case Browser::Vivaldi:
                return {"Vivaldi.app"};
            case Browser::Firefox:
                return {"Firefox.app"};
        }
    }
    switch (browser) {
        case Browser::Chromium:
            return {"chromium", "chromium-browser"};
        case Browser::Chrome:
            return {"google-chrome", "google-chrome-stable", "google-chrome-beta",
                    "google-chrome-unstable"};
        case Browser::Edge:
            return {"microsoft-edge", "microsoft-edge-stable", "microsoft-edge-beta",
                    "microsoft-edge-dev"};
        case Browser::Brave:
            return {"brave-browser", "brave-browser-stable", "brave-browser-beta",
                    "brave-browser-nightly", "brave"};
        case Browser::Vivaldi:
            return {"vivaldi", "vivaldi-stable", "vivaldi-snapshot"};
        case Browser::Firefox:
            return {"firefox", "firefox-esr"};
    }
    return {};
}

bool BrowserPresence::present(const BridgePlaces& places, Browser browser, ManifestScope scope) {
    std::error_code code;
    if (std::filesystem::is_directory(places.browserFolder(browser, scope), code)) {
        return true;
    }
    // Firefox 153 makes new profiles in XDG_CONFIG_HOME/mozilla (~/.config/mozilla) and leaves
    // ~/.mozilla absent, yet still reads the user's host manifests from
    // ~/.mozilla/native-messaging-hosts: a Firefox that has run shows in either folder.
    if (browser == Browser::Firefox && scope == ManifestScope::User &&
        places.platform == Platform::Linux &&
        std::filesystem::is_directory(places.configFolder() / "mozilla", code)) {
        return true;
    }
    for (const std::string& program : programs(places.platform, browser)) {
        if (places.platform == Platform::MacOS ? applicationInstalled(places, program)
                                               : onSearchPath(places.searchPath, program)) {
            return true;
        }
    }
    return false;
}

std::string BrowserPresence::lookedFor(const BridgePlaces& places) {
    std::string names;
    for (Browser browser : BridgeManifest::allBrowsers()) {
        names += (names.empty() ? "" : ", ") + programs(places.platform, browser).front();
    }
    return names +
           (places.platform == Platform::MacOS ? " in /Applications or ~/Applications"
                                               : " on PATH") +
           ", and the browsers' own folders";
}

}  // namespace vellum::host
