#include <filesystem>
#include <system_error>

#include "modulemapping/TokenModuleMapping.h"
#include "system/OperatingSystem.h"
#include "system/PinModuleFront.h"

namespace vellum::host {

bool OperatingSystem::mapTokenModule(const std::string& module, IfMissing ifMissing,
                                     std::string& error) {
    using modulemapping::TokenModuleMapping;
    return TokenModuleMapping::install(module, error,
                                       ifMissing == IfMissing::Fail
                                           ? TokenModuleMapping::Missing::Fail
                                           : TokenModuleMapping::Missing::LeaveEmpty);
}

bool OperatingSystem::mapTokenModuleBehindPinDialog(const std::string& module, IfMissing ifMissing,
                                                    const std::string& pinentry,
                                                    std::string& error) {
    std::error_code failed;
    if (!std::filesystem::is_regular_file(module, failed)) {
        return mapTokenModule(module, ifMissing, error);
    }
    const std::string pinModule = PinModuleFront::locate();
    if (pinModule.empty()) {
        error =
            "the PIN module libvellum_pin.so, which asks the PIN of a token without a PIN "
            "pad, is not installed beside the plug-in";
        return false;
    }
    PinModuleFront::configure(module, pinentry);
    return mapTokenModule(pinModule, IfMissing::Fail, error);
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
