#include "pluginhost/PluginLibrary.h"

#include <dlfcn.h>

namespace vellum::pluginhost {

bool PluginLibrary::open(const std::string& path, std::string& error) {
    close();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = ::dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        return false;
    }
    // dlsym answers void*; POSIX guarantees that it converts to a function pointer.
    initialize = reinterpret_cast<NP_InitializeFunc>(symbol("NP_Initialize"));
    getEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(symbol("NP_GetEntryPoints"));
    getValue = reinterpret_cast<NP_GetValueFunc>(symbol("NP_GetValue"));
    shutdown = reinterpret_cast<NP_ShutdownFunc>(symbol("NP_Shutdown"));
    const char* missing = initialize == nullptr       ? "NP_Initialize"
                          : getEntryPoints == nullptr ? "NP_GetEntryPoints"
                          : getValue == nullptr       ? "NP_GetValue"
                          : shutdown == nullptr       ? "NP_Shutdown"
                                                      : nullptr;
    if (missing != nullptr) {
        error = path + " has no " + missing;
        close();
        return false;
    }
    return true;
}

void PluginLibrary::link(const PluginEntryPoints& entryPoints) noexcept {
    close();
    initialize = entryPoints.initialize;
    getEntryPoints = entryPoints.getEntryPoints;
    getValue = entryPoints.getValue;
    shutdown = entryPoints.shutdown;
    linked_ = true;
}

void PluginLibrary::close() noexcept {
    if (handle_ != nullptr) {
        ::dlclose(handle_);
        handle_ = nullptr;
    }
    linked_ = false;
    initialize = nullptr;
    getEntryPoints = nullptr;
    getValue = nullptr;
    shutdown = nullptr;
}

void* PluginLibrary::symbol(const char* name) const noexcept {
    return handle_ == nullptr ? nullptr : ::dlsym(handle_, name);
}

}  // namespace vellum::pluginhost
