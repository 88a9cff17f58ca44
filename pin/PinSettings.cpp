#include "PinSettings.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vellum::pin {

PinSettings PinSettings::fromEnvironment() {
    PinSettings settings;
    if (const char* module = std::getenv(kTokenModuleVariable)) {
        settings.tokenModule = module;
    }
    const char* named = std::getenv(kPinentryVariable);
    settings.pinentry =
        named != nullptr && *named != '\0' ? named : findOnPath("pinentry", std::getenv("PATH"));
    if (const char* site = std::getenv(kSiteVariable)) {
        settings.site = site;
    }
    return settings;
}

std::string PinSettings::findOnPath(const std::string& program, const char* path) {
    if (path == nullptr) {
        return std::string();
    }
    std::string directories = path;
    size_t start = 0;
    for (;;) {
        const size_t end = directories.find(':', start);
        std::string directory = directories.substr(start, end - start);
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
        // std::filesystem rather than stat: the same code builds for macOS, whose struct stat
        // is not glibc's.
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            return std::string();
        }
        start = end + 1;
    }
}

}  // namespace vellum::pin
