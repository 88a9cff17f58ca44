// What vellum-host needs of the system it runs on beyond the C++ library: the only code of the
// program that differs between Linux and macOS. CMake compiles one of OperatingSystemLinux.cpp
// and OperatingSystemDarwin.cpp; everything else is written once, against libc++/libstdc++ and
// POSIX calls that take no system structure.
#pragma once

#include <sys/types.h>

#include <string>

namespace vellum::host {

class OperatingSystem {
public:
    // What mapTokenModule() does when `module` is not a file.
    enum class IfMissing {
        Fail,        // fail with the reason (a module named on the command line)
        MapNothing,  // the fixed path loads nothing (a module recorded earlier and removed since)
    };

    // --token-module, or the module bridge install recorded: from here on the plug-in and
    // doctor, loading the fixed token module path, load `module` (resolved through its links
    // now), in this process only. Only Linux does that (the program's own dlopen,
    // host/fixedpath); elsewhere this refuses. Call before the plug-in is loaded. False with the
    // reason, one line, in `error`.
    static bool mapTokenModule(const std::string& module, IfMissing ifMissing, std::string& error);
    // The same, with the product's PIN module (PinModuleFront) at the fixed path in front of
    // `module`: a token without a PIN pad is then asked its PIN through pinentry (`pinentry`, or
    // pinentry on PATH when empty). A `module` that is not a file is treated as mapTokenModule()
    // treats it. Linux only; elsewhere this refuses as mapTokenModule() does.
    static bool mapTokenModuleBehindPinDialog(const std::string& module, IfMissing ifMissing,
                                              const std::string& pinentry, std::string& error);

    // The running program's file as the system names it, or empty when it cannot be told.
    static std::string executablePath();

    // What the system records of a file: its type and permission bits (st_mode), its owner and
    // group. With `followLinks` false a link is described itself (lstat), else what it names.
    // False when there is nothing at `path` or it cannot be looked at.
    struct FileFacts {
        mode_t mode = 0;
        uid_t owner = 0;
        gid_t group = 0;
    };
    static bool fileFacts(const std::string& path, bool followLinks, FileFacts& facts) noexcept;

    // Whether this is macOS (else Linux): which folders and settings the browser bridge uses.
    static bool isMacOS() noexcept;
};

}  // namespace vellum::host
