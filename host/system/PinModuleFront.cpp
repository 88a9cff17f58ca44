#include "system/PinModuleFront.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "pin/PinSettings.h"
#include "pin/PinentryProgram.h"
#include "system/PluginLocator.h"

namespace vellum::host {
namespace {

bool isRegularFile(const std::string& path) {
    std::error_code failed;
    return std::filesystem::is_regular_file(path, failed);
}

}  // namespace

std::string PinModuleFront::locate() {
#if defined(VELLUM_HOST_PIN_RELATIVE) && defined(VELLUM_HOST_BUILD_PIN_MODULE)
    const std::string directory = PluginLocator::programDirectory();
    if (!directory.empty() && isRegularFile(directory + "/" + VELLUM_HOST_PIN_RELATIVE)) {
        std::error_code failed;
        return std::filesystem::canonical(directory + "/" + VELLUM_HOST_PIN_RELATIVE, failed)
            .string();
    }
    // Like the plug-in: never a build tree's module in an installed program.
    if (PluginLocator::runsFromBuildTree() && isRegularFile(VELLUM_HOST_BUILD_PIN_MODULE)) {
        return VELLUM_HOST_BUILD_PIN_MODULE;
    }
#endif
    return std::string();
}

void PinModuleFront::configure(const std::string& tokenModule, const std::string& pinentry) {
    std::error_code failed;
    const std::string absolute =
        std::filesystem::absolute(tokenModule, failed).lexically_normal().string();
    ::setenv(pin::PinSettings::kTokenModuleVariable,
             failed ? tokenModule.c_str() : absolute.c_str(), 1);
    if (!pinentry.empty()) {
        ::setenv(pin::PinSettings::kPinentryVariable, pinentry.c_str(), 1);
    }
}

void PinModuleFront::announceSite(const std::string& site) {
    ::setenv(pin::PinSettings::kSiteVariable, site.c_str(), 1);
}

std::string PinModuleFront::pinentryForBrowsers() {
    const char* named = std::getenv(pin::PinSettings::kPinentryVariable);
    const std::string program =
        pin::PinentryProgram::choose(named != nullptr ? named : "", std::getenv("PATH"), false);
    return !program.empty() && ::access(program.c_str(), X_OK) == 0 ? program : std::string();
}

}  // namespace vellum::host
