// Makes this process's loads of the plug-in's fixed token module path open a chosen module,
// without touching the file system and without any privilege: nothing is mounted, no namespace
// is entered, and children started with exec see the machine as it is.
//
// A program that links this room defines and exports dlopen (the link option comes with the
// room), so the plug-in's dlopen, bound by name at load time, reaches the program's definition
// before the C library's. A call naming exactly kFixedPath opens the chosen module; every other
// call goes on to the next dlopen (the C library's, or a sanitizer's in front of it) as if the
// caller had made it: on x86_64 the definition jumps there, so the loader still sees the
// caller's return address and searches the caller's own RUNPATH and $ORIGIN for a bare name.
//
// Each target is an immutable string, published atomically and never freed, so a load on any
// thread reads a whole one. The program points the path once, before the plug-in loads; tests
// may point it again between their cases. Linux only, and built only there.
#pragma once

#include <string>

#include "PluginIdentity.h"

namespace vellum::fixedpath {

class TokenModuleRedirect {
public:
    static constexpr const char* kFixedPath = kTokenModulePath;

    // Loads of kFixedPath open `module` (an absolute path) from now on. False, with the reason
    // in `error`, for a relative path or when this program's dlopen is not the one the plug-in
    // binds to (the program was linked without the room's export).
    static bool pointAt(const std::string& module, std::string& error);
    // Loads of kFixedPath load nothing from now on: dlopen returns null, as for a missing file,
    // and dlerror names the fixed path and says that no token module is chosen for it. False,
    // with the target in force kept, only when there is no memory for the new one.
    [[nodiscard]] static bool pointAtNothing() noexcept;
    // Loads of kFixedPath open whatever the machine has there, as when the process started.
    // False as pointAtNothing().
    [[nodiscard]] static bool clear() noexcept;

    // What a load of kFixedPath opens now: the chosen module, a path that cannot exist (after
    // pointAtNothing), or kFixedPath itself.
    static const char* target() noexcept;
    // Whether the dlopen that code loaded into this process binds to is this program's.
    static bool inForce() noexcept;
};

}  // namespace vellum::fixedpath
