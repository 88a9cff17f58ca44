// Finds the plug-in module to load. Without --plugin: the program the build tree made, run from
// where it was made (VELLUM_HOST_BUILD_PROGRAM), loads that build tree's module
// (VELLUM_HOST_BUILD_PLUGIN); any other program, an installed copy above all, loads only the
// module installed beside it (VELLUM_HOST_PLUGIN_RELATIVE, from the program's directory), so a
// module planted in a build tree never runs in an installed program.
#pragma once

#include <string>

namespace vellum::host {

class PluginLocator {
public:
    // `requested` empty: the default. The result is an absolute path to an existing file, so
    // that it still names the module after the working directory or the mounts change.
    static bool locate(const std::string& requested, std::string& path, std::string& error);

    // Absolute path of the running program, or empty when it cannot be told.
    static std::string programPath();
    // Whether the running program is the one the build tree made, where it was made: only then
    // are the build tree's modules used.
    static bool runsFromBuildTree();
    // Directory of the running program, or empty when it cannot be told.
    static std::string programDirectory();
};

}  // namespace vellum::host
