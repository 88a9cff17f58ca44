// Reading and writing the bridge's small files (host manifests, settings): a file is replaced
// whole through a temporary file and a rename, so a browser never reads half a manifest.
#pragma once

#include <filesystem>
#include <string>

namespace vellum::host {

class BridgeFiles {
public:
    static bool read(const std::filesystem::path& file, std::string& text, std::string& error);
    // Creates the folders on the way; the file gets mode 0644.
    static bool replace(const std::filesystem::path& file, const std::string& text,
                        std::string& error);
    // True when there was nothing to remove as well; `removed` tells which.
    static bool remove(const std::filesystem::path& file, bool& removed, std::string& error);
};

}  // namespace vellum::host
