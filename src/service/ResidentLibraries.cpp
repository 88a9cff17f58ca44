#include "service/ResidentLibraries.h"

#include <dlfcn.h>

namespace {

constexpr const char* kRuntimes[] = {
    "libitm.so.1",
};

}  // namespace

void ResidentLibraries::keepLoaded() noexcept {
    for (const char* name : kRuntimes) {
        // RTLD_NOLOAD finds the library only when something has loaded it already; RTLD_NODELETE
        // then keeps it mapped when its last reference goes.
        if (void* handle = dlopen(name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) {
            dlclose(handle);
        }
    }
}
