#include <filesystem>
#include <system_error>

#include "modulemapping/TokenModuleMapping.h"
#include "system/OperatingSystem.h"

namespace vellum::host {

bool OperatingSystem::mapTokenModule(const std::string& module, IfMissing ifMissing,
                                     std::string& error) {
    using modulemapping::TokenModuleMapping;
    return TokenModuleMapping::install(module, error,
                                       ifMissing == IfMissing::Fail
                                           ? TokenModuleMapping::Missing::Fail
                                           : TokenModuleMapping::Missing::LeaveEmpty);
}

std::string OperatingSystem::executablePath() {
    std::error_code failed;
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", failed);
    return failed ? std::string() : program.string();
}

bool OperatingSystem::isMacOS() noexcept {
    return false;
}

}  // namespace vellum::host
