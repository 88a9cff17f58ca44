#include <mach-o/dyld.h>

#include <cstdint>

#include "PluginIdentity.h"
#include "system/OperatingSystem.h"

namespace vellum::host {
namespace {

// Darwin's struct stat with 64-bit inode numbers (x86_64 and arm64), as its SDK lays it out, and
// the calls that fill it. Declared here because the macOS cross-build compiles against glibc's
// headers, whose struct stat is another; the members after st_rdev are not read.
struct DarwinStat {
    int32_t dev;
    uint16_t mode;
    uint16_t links;
    uint64_t inode;
    uint32_t owner;
    uint32_t group;
    int32_t rdev;
    unsigned char rest[256];  // 144 bytes in all; room to spare
};
extern "C" int darwinStat(const char* path, DarwinStat* info) __asm__("_stat$INODE64");
extern "C" int darwinLstat(const char* path, DarwinStat* info) __asm__("_lstat$INODE64");

}  // namespace

bool OperatingSystem::mapTokenModule(const std::string& module, IfMissing /*ifMissing*/,
                                     std::string& error) {
    // The redirect of the fixed path (host/fixedpath) is built on the GNU loader's dlopen;
    // anything written at the path here would change the machine for every program on it.
    error = "--token-module " + module +
            " is refused: it is for Linux only; on macOS install the module at " +
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

bool OperatingSystem::fileFacts(const std::string& path, bool followLinks,
                                FileFacts& facts) noexcept {
    DarwinStat info{};
    if ((followLinks ? darwinStat(path.c_str(), &info) : darwinLstat(path.c_str(), &info)) != 0) {
        return false;
    }
    facts.mode = info.mode;
    facts.owner = info.owner;
    facts.group = info.group;
    return true;
}

bool OperatingSystem::isMacOS() noexcept {
    return true;
}

}  // namespace vellum::host
