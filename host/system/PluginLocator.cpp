#include "system/PluginLocator.h"

#include <filesystem>
#include <system_error>

#include "system/OperatingSystem.h"

namespace vellum::host {
namespace {

// Empty, with the reason in `failed`, when `path` does not exist.
std::string absolutePath(const std::string& path, std::error_code& failed) {
    const std::filesystem::path resolved = std::filesystem::canonical(path, failed);
    return failed ? std::string() : resolved.string();
}

std::string absolutePath(const std::string& path) {
    std::error_code failed;
    return absolutePath(path, failed);
}

bool isRegularFile(const std::string& path) {
    std::error_code failed;
    return std::filesystem::is_regular_file(path, failed);
}

}  // namespace

std::string PluginLocator::programPath() {
    const std::string named = OperatingSystem::executablePath();
    return named.empty() ? named : absolutePath(named);
}

std::string PluginLocator::programDirectory() {
    const std::string program = programPath();
    size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

bool PluginLocator::locate(const std::string& requested, std::string& path, std::string& error) {
    if (!requested.empty()) {
        std::error_code failed;
        path = absolutePath(requested, failed);
        if (path.empty() || !isRegularFile(path)) {
            error = "plug-in module " + requested + ": " +
                    (path.empty() ? failed.message() : "not a file");
            return false;
        }
        return true;
    }
    std::string installed;
    std::string directory = programDirectory();
    if (!directory.empty()) {
        installed = directory + "/" + VELLUM_HOST_PLUGIN_RELATIVE;
        if (isRegularFile(installed)) {
            path = absolutePath(installed);
            return true;
        }
    }
    if (isRegularFile(VELLUM_HOST_BUILD_PLUGIN)) {
        path = absolutePath(VELLUM_HOST_BUILD_PLUGIN);
        return true;
    }
    error = "no plug-in module at " + (installed.empty() ? "" : installed + " or ") +
            VELLUM_HOST_BUILD_PLUGIN + "; name one with --plugin PATH";
    return false;
}

}  // namespace vellum::host
