// What vellum-host needs of the system it runs on beyond the C++ library: the only code of the
// program that differs between Linux and macOS. CMake compiles one of OperatingSystemLinux.cpp
// and OperatingSystemDarwin.cpp; everything else is written once, against libc++/libstdc++ and
// POSIX calls that take no system structure.
#pragma once

#include <string>

namespace vellum::host {

class OperatingSystem {
public:
    // --token-module: from here on the plug-in and doctor find `module` at the fixed token
    // module path, for this process only. Only Linux can do that (a private mount namespace,
    // tools/modulemapping); elsewhere this refuses. Call while the process has a single thread,
    // before the plug-in is loaded. False with the reason, one line, in `error`.
    static bool mapTokenModule(const std::string& module, std::string& error);

    // The running program's file as the system names it, or empty when it cannot be told.
    static std::string executablePath();
};

}  // namespace vellum::host
