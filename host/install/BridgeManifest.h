// The native messaging host manifest of the browser bridge: where each browser looks for it
// and what it says. The manifest names the host "vellum.bridge", the program the browser starts
// (this vellum-host, by absolute path) and the one extension allowed to start it: Chromium-family
// browsers by origin, Firefox by add-on id. The folders are those of Linux or of macOS as asked,
// whatever this program runs on, so that both can be checked anywhere.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "common/JsonText.h"

namespace vellum::host {

enum class Browser { Chromium, Chrome, Edge, Brave, Vivaldi, Firefox };
enum class Platform { Linux, MacOS };
enum class ManifestScope { User, System };

class BridgeManifest {
public:
    static constexpr const char* kHostName = "vellum.bridge";
    static constexpr const char* kFileName = "vellum.bridge.json";
    // Pinned by the public key in the extension's manifest, or, in a build that packs the
    // extension as a crx with a key of its own (VELLUM_EXTENSION_KEY), that key's.
    static constexpr const char* kChromiumExtensionId = VELLUM_CHROMIUM_EXTENSION_ID;
    static constexpr const char* kFirefoxExtensionId = "bridge@vellum.example";
    // Chromium-family browsers started with --user-data-dir DIR read DIR/<this>/ only.
    static constexpr const char* kUserDataFolder = "NativeMessagingHosts";

    static Platform currentPlatform() noexcept;
    static std::vector<Browser> allBrowsers();
    static const char* name(Browser browser) noexcept;
    static const char* name(ManifestScope scope) noexcept;
    static bool parseBrowser(const std::string& word, Browser& browser);
    static bool chromiumFamily(Browser browser) noexcept;

    // The folder `browser` reads host manifests from. `home`: the user's home folder;
    // `configHome`: XDG_CONFIG_HOME as set, or empty (Linux Chromium-family browsers keep their
    // per-user settings there, ~/.config by default). Brave and Vivaldi read the per-user
    // folder of their own profile folder, and system-wide Chromium's folder: both are built
    // without Google's brand, for which Chromium's code names that folder, and neither changes
    // it.
    static std::filesystem::path folder(Platform platform, Browser browser, ManifestScope scope,
                                        const std::filesystem::path& home,
                                        const std::string& configHome);

    // The manifest for `browser` pointing at `program`.
    static Json content(Browser browser, const std::string& program);
    // The entries a manifest allows: its allowed_origins or allowed_extensions.
    static std::vector<std::string> allowed(const Json& manifest);
};

}  // namespace vellum::host
