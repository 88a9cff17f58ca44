#include <mach-o/dyld.h>

#include <cstdint>

#include "PluginIdentity.h"
#include "system/OperatingSystem.h"

namespace vellum::host {

bool OperatingSystem::mapTokenModule(const std::string& module, IfMissing /*ifMissing*/,
                                     std::string& error) {
    // Showing a file at a path to one process only takes Linux's private mount namespaces;
    // anything done here would change the machine for every program on it.
    error = "--token-module " + module +
            " is refused: it needs Linux's private mount namespaces; on macOS install the "
            "module at " +
            kTokenModulePath + " and run without --token-module";
    return false;
}

bool OperatingSystem::mapTokenModuleBehindPinDialog(const std::string& module, IfMissing ifMissing,
                                                    const std::string& /*pinentry*/,
                                                    std::string& error) {
    // The vendor's module at the fixed path asks the PIN itself here.
    return mapTokenModule(module, ifMissing, error);
}

std::string OperatingSystem::executablePath() {
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);  // fails, telling the size needed
    std::string buffer(size, '\0');
    if (size == 0 || _NSGetExecutablePath(buffer.data(), &size) != 0) {
        return std::string();
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

bool OperatingSystem::isMacOS() noexcept {
    return true;
}

}  // namespace vellum::host
