#include <filesystem>
#include <system_error>

#include "modulemapping/TokenModuleMapping.h"
#include "vellum-host/OperatingSystem.h"

namespace vellum::host {

bool OperatingSystem::mapTokenModule(const std::string& module, std::string& error) {
    return modulemapping::TokenModuleMapping::install(module, error);
}

std::string OperatingSystem::executablePath() {
    std::error_code failed;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    return failed ? std::string() : program.string();
}

}  // namespace vellum::host
