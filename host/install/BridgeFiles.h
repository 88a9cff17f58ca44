// Reading and writing the bridge's small files (host manifests, settings): a file is replaced
// whole through a temporary file and a rename, so a browser never reads half a manifest. The
// temporary file is created new under a unique name in the target's own folder (never through a
// link, never a file someone else made), so nothing planted there is written through.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vellum::host {

class BridgeFiles {
public:
    static constexpr mode_t kFolderMode = 0755;
    static constexpr mode_t kFileMode = 0644;

    static bool read(const std::filesystem::path& file, std::string& text, std::string& error);
    // Creates the folders on the way (each new one kFolderMode whatever the umask); the file gets
    // kFileMode. A target that is a symbolic link is refused, and left as it is, unless it already
    // shows exactly `text` (a package's link to its own copy): then nothing is written, and
    // `unchanged`, when given, says so.
    static bool replace(const std::filesystem::path& file, const std::string& text,
                        std::string& error, bool* unchanged = nullptr);
    // True when there was nothing to remove as well; `removed` tells which.
    static bool remove(const std::filesystem::path& file, bool& removed, std::string& error);

private:
    static bool makeFolders(const std::filesystem::path& folder, std::string& error);
};

}  // namespace vellum::host
