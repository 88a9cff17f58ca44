// Who besides the accounts trusted with it can change what a path names: the file itself, any
// folder on the way to it, or any symbolic link on the way, since whoever can write a folder can
// put another file in its place and whoever owns a link can point it elsewhere. The browser runs
// what a host manifest names, with the user's rights, so the program, the plug-in module it
// loads and the token module it maps must be changeable only by root (for system-wide
// manifests) or by root and the user (for the user's own).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vellum::host {

class WriteAccess {
public:
    // How a folder that others may write, but whose sticky bit is set, is judged. In it others
    // cannot remove or rename what a trusted account owns, which is enough for a file that is
    // looked at now. A path recorded to be opened again later (the token module every native
    // host maps) is not: once the file is gone (removed by its owner, or by a cleaner of /tmp)
    // anyone may put theirs under the same name.
    enum class SharedFolders { StickyFine, Refused };

    // Root, and for a user's own install that user (this process's effective user).
    static std::vector<uid_t> trusted(bool systemWide);

    // The owner this process is shown for accounts its user namespace does not map (the
    // kernel's overflow uid), when it runs in a user namespace that leaves that uid unmapped;
    // none otherwise. Inside a sandbox that maps only the user (bubblewrap, Flatpak) root's
    // files show with it, and so do other users': from inside, the two cannot be told apart.
    static std::optional<uid_t> unseenOwner();

    // The first file, folder or symbolic link on the way to `path` that an account outside
    // `trusted` can change, as "PATH (why)"; empty when there is none. The path is resolved one
    // name at a time from /, each link followed where it points, so every link on the way and
    // every folder above the file it leads to is judged. Only what exists is judged: a missing
    // file is judged by the folders above it.
    static std::string untrusted(const std::filesystem::path& path,
                                 const std::vector<uid_t>& trusted,
                                 SharedFolders shared = SharedFolders::StickyFine);
};

}  // namespace vellum::host
