#include "install/BridgeManifest.h"

#include "system/OperatingSystem.h"

namespace vellum::host {

Platform BridgeManifest::currentPlatform() noexcept {
    return OperatingSystem::isMacOS() ? Platform::MacOS : Platform::Linux;
}

std::vector<Browser> BridgeManifest::allBrowsers() {
    return {Browser::Chromium, Browser::Chrome,  Browser::Edge,
            Browser::Brave,    Browser::Vivaldi, Browser::Firefox};
}

const char* BridgeManifest::name(Browser browser) noexcept {
    switch (browser) {
        case Browser::Chromium:
            return "chromium";
        case Browser::Chrome:
            return "chrome";
        case Browser::Edge:
            return "edge";
        case Browser::Brave:
            return "brave";
        case Browser::Vivaldi:
            return "vivaldi";
        case Browser::Firefox:
            return "firefox";
    }
    return "?";
}

const char* BridgeManifest::name(ManifestScope scope) noexcept {
    return scope == ManifestScope::User ? "user" : "system";
}

bool BridgeManifest::parseBrowser(const std::string& word, Browser& browser) {
    for (Browser candidate : allBrowsers()) {
        if (word == name(candidate)) {
            browser = candidate;
            return true;
        }
    }
    return false;
}

bool BridgeManifest::chromiumFamily(Browser browser) noexcept {
    return browser != Browser::Firefox;
}

std::filesystem::path BridgeManifest::folder(Platform platform, Browser browser,
                                             ManifestScope scope, const std::filesystem::path& home,
                                             const std::string& configHome) {
    const bool user = scope == ManifestScope::User;
    if (platform == Platform::MacOS) {
        const std::filesystem::path support =
            user ? home / "Library/Application Support" : "/Library/Application Support";
        switch (browser) {
            case Browser::Chromium:
                return support / "Chromium/NativeMessagingHosts";
            case Browser::Chrome:
                return user ? support / "Google/Chrome/NativeMessagingHosts"
                            : "/Library/Google/Chrome/NativeMessagingHosts";
            case Browser::Edge:
                return user ? support / "Microsoft Edge/NativeMessagingHosts"
                            : "/Library/Microsoft/Edge/NativeMessagingHosts";
            case Browser::Brave:
                return support / (user ? "BraveSoftware/Brave-Browser/NativeMessagingHosts"
                                       : "Chromium/NativeMessagingHosts");
            case Browser::Vivaldi:
                return support /
                       (user ? "Vivaldi/NativeMessagingHosts" : "Chromium/NativeMessagingHosts");
            case Browser::Firefox:
                return support / "Mozilla/NativeMessagingHosts";
        }
    }
    // Chromium-family browsers follow XDG_CONFIG_HOME only when it is an absolute path.
    const std::filesystem::path config = !configHome.empty() && configHome[0] == '/'
                                             ? std::filesystem::path(configHome)
                                             : home / ".config";
    switch (browser) {
        case Browser::Chromium:
            return user ? config / "chromium/NativeMessagingHosts"
                        : "/etc/chromium/native-messaging-hosts";
        case Browser::Chrome:
            return user ? config / "google-chrome/NativeMessagingHosts"
                        : "/etc/opt/chrome/native-messaging-hosts";
        case Browser::Edge:
            return user ? config / "microsoft-edge/NativeMessagingHosts"
                        : "/etc/opt/edge/native-messaging-hosts";
        case Browser::Brave:
            return user ? config / "BraveSoftware/Brave-Browser/NativeMessagingHosts"
                        : "/etc/chromium/native-messaging-hosts";
        case Browser::Vivaldi:
            return user ? config / "vivaldi/NativeMessagingHosts"
                        : "/etc/chromium/native-messaging-hosts";
        case Browser::Firefox:
            return user ? home / ".mozilla/native-messaging-hosts"
                        : "/usr/lib/mozilla/native-messaging-hosts";
    }
    return {};
}

Json BridgeManifest::content(Browser browser, const std::string& program) {
    Json manifest = Json::object();
    manifest["name"] = kHostName;
    manifest["description"] = "vellum token bridge";
    manifest["path"] = program;
    manifest["type"] = "stdio";
    if (chromiumFamily(browser)) {
        manifest["allowed_origins"] = {std::string("chrome-extension://") + kChromiumExtensionId +
                                       "/"};
    } else {
        manifest["allowed_extensions"] = {kFirefoxExtensionId};
    }
    return manifest;
}

std::vector<std::string> BridgeManifest::allowed(const Json& manifest) {
    std::vector<std::string> entries;
    for (const char* key : {"allowed_origins", "allowed_extensions"}) {
        auto list = manifest.find(key);
        if (list == manifest.end() || !list->is_array()) {
            continue;
        }
        for (const Json& entry : *list) {
            if (entry.is_string()) {
                entries.push_back(entry.get<std::string>());
            }
        }
    }
    return entries;
}

}  // namespace vellum::host
