// Finds the plug-in module to load. Without --plugin, the module installed beside the program
// (VELLUM_HOST_PLUGIN_RELATIVE, relative to the program's directory) is preferred, then the one
// of the build tree the program was built in (VELLUM_HOST_BUILD_PLUGIN).
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
    // Directory of the running program, or empty when it cannot be told.
    static std::string programDirectory();
};

}  // namespace vellum::host
