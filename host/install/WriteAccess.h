// Who besides the accounts trusted with it can change what a path names: the file itself, or any
// folder on the way to it, since whoever can write a folder can put another file in its place.
// The browser runs what a host manifest names, with the user's rights, so the program, the
// plug-in module it loads and the token module it maps must be changeable only by root (for
// system-wide manifests) or by root and the user (for the user's own).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vellum::host {

class WriteAccess {
public:
    // Root, and for a user's own install that user (this process's effective user).
    static std::vector<uid_t> trusted(bool systemWide);

    // The first file or folder on the way to `path` (from / down to the file, and again along
    // the real path when a symbolic link is on the way) that an account outside `trusted` can
    // write, as "PATH (why)"; empty when there is none. Only what exists is judged: a missing
    // file is judged by the folders above it. A folder others may write but whose sticky bit
    // is set is fine: in it they cannot remove or rename what a trusted account owns.
    static std::string untrusted(const std::filesystem::path& path,
                                 const std::vector<uid_t>& trusted);
};

}  // namespace vellum::host
