#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "fixedpath/TokenModuleRedirect.h"
#include "system/OperatingSystem.h"
#include "system/PinModuleFront.h"

namespace vellum::host {
namespace {

// Whether `module` loads, tried in a child process so that this one loads nothing yet (and a
// module that crashes on loading takes only the child).
bool loadsInAChild(const std::string& module) {
    const pid_t child = ::fork();
    if (child < 0) {
        return true;  // cannot tell: the PIN module will say so if it does not load
    }
    if (child == 0) {
        void* library = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        // Unloaded again, as the plug-in unloads it: the module's own destructors run.
        if (library == nullptr || ::dlclose(library) != 0) {
            ::_exit(1);
        }
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool OperatingSystem::mapTokenModule(const std::string& module, IfMissing ifMissing,
                                     std::string& error) {
    using fixedpath::TokenModuleRedirect;
    // Resolved now: the file the host runs is the one named at its start, whatever a link on
    // the way is made to name later.
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(module.c_str(), nullptr),
                                                         &std::free);
    struct stat info {};
    if (resolved == nullptr || ::stat(resolved.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        if (ifMissing == IfMissing::Fail) {
            error = "token module " + module + ": " +
                    (resolved != nullptr ? "not a file" : std::strerror(errno));
            return false;
        }
        if (!TokenModuleRedirect::pointAtNothing()) {
            error = "out of memory";
            return false;
        }
        return true;
    }
    return TokenModuleRedirect::pointAt(resolved.get(), error);
}

bool OperatingSystem::mapTokenModuleBehindPinDialog(const std::string& module, IfMissing ifMissing,
                                                    const std::string& pinentry,
                                                    std::string& error) {
    std::error_code failed;
    // A module that is missing or does not load is mapped itself, so that the plug-in gives
    // its own answer ("Load pkcs11 lib fail") rather than the PIN module's failure to load it.
    if (!std::filesystem::is_regular_file(module, failed) || !loadsInAChild(module)) {
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
