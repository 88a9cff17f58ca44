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

bool PluginLocator::runsFromBuildTree() {
    // The program the build tree made, at the place it was made, and nothing else: a copy or
    // an installed program never looks into a build tree, whatever is there now.
    const std::string program = programPath();
    return !program.empty() && program == absolutePath(VELLUM_HOST_BUILD_PROGRAM);
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
    const std::string program = programPath();
    const size_t slash = program.rfind('/');
    if (slash == std::string::npos) {
        error =
            "cannot tell where this program is, so not where its plug-in module is; name "
            "one with --plugin PATH";
        return false;
    }
    if (runsFromBuildTree()) {
        path = absolutePath(VELLUM_HOST_BUILD_PLUGIN);
        if (path.empty() || !isRegularFile(path)) {
            error = std::string("no plug-in module at ") + VELLUM_HOST_BUILD_PLUGIN +
                    " (this build tree's); build it, or name one with --plugin PATH";
            return false;
        }
        return true;
    }
    const std::string installed = program.substr(0, slash) + "/" + VELLUM_HOST_PLUGIN_RELATIVE;
    if (!isRegularFile(installed)) {
        error = "no plug-in module at " + installed +
                " (beside this program); name one with "
                "--plugin PATH";
        return false;
    }
    path = absolutePath(installed);
    return true;
}

}  // namespace vellum::host
