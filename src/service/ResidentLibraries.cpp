#include "service/ResidentLibraries.h"

#include <dlfcn.h>

#if !defined(__APPLE__)
#include <link.h>

#include <cstring>
#include <string>
#include <vector>
#endif

#if defined(__APPLE__)

// Mach-O: none of the runtimes below exists there.
void ResidentLibraries::keepLoaded() noexcept {}

#else

namespace {

// File names (as loaded, any version suffix) of the runtimes to keep.
constexpr const char* kRuntimes[] = {
    "libitm.so",
};

bool isRuntime(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* name = slash != nullptr ? slash + 1 : path;
    for (const char* runtime : kRuntimes) {
        if (std::strncmp(name, runtime, std::strlen(runtime)) == 0) {
            return true;
        }
    }
    return false;
}

int collectRuntime(dl_phdr_info* info, size_t, void* found) {
    if (info->dlpi_name != nullptr && isRuntime(info->dlpi_name)) {
        static_cast<std::vector<std::string>*>(found)->push_back(info->dlpi_name);
    }
    return 0;
}

}  // namespace

void ResidentLibraries::keepLoaded() noexcept {
    // Only the objects already in the process are looked at: asking the loader for a library
    // by name that is not loaded would make it search the library path on every operation.
    try {
        std::vector<std::string> found;
        dl_iterate_phdr(collectRuntime, &found);
        for (const std::string& path : found) {
            // RTLD_NOLOAD: the object that is there; RTLD_NODELETE keeps it mapped when its last
            // reference goes.
            if (void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) {
                dlclose(handle);
            }
        }
    } catch (...) {
        // Out of memory for a path: the runtime is then unloaded with the module, as before.
    }
}

#endif
