#include "vellum-host/PluginLocator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

namespace vellum::host {
namespace {

std::string absolutePath(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string PluginLocator::programPath() {
    std::string program;
#ifdef __APPLE__
    uint32_t size = 0;
    _NSGetExecutablePath(nullptr, &size);
    std::string buffer(size, '\0');
    if (_NSGetExecutablePath(buffer.data(), &size) == 0) {
        program = absolutePath(buffer.c_str());
    }
#else
    program = absolutePath("/proc/self/exe");
#endif
    return program;
}

std::string PluginLocator::programDirectory() {
    const std::string program = programPath();
    size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

bool PluginLocator::locate(const std::string& requested, std::string& path, std::string& error) {
    if (!requested.empty()) {
        path = absolutePath(requested);
        if (path.empty() || !isRegularFile(path)) {
            error = "plug-in module " + requested + ": " +
                    (path.empty() ? std::strerror(errno) : "not a file");
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
