#include <sys/stat.h>

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

bool OperatingSystem::fileFacts(const std::string& path, bool followLinks,
                                FileFacts& facts) noexcept {
    struct stat info {};
    if ((followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
        return false;
    }
    facts.mode = info.st_mode;
    facts.owner = info.st_uid;
    facts.group = info.st_gid;
    return true;
}

bool OperatingSystem::isMacOS() noexcept {
    return false;
}

}  // namespace vellum::host
