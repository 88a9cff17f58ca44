#include "install/BridgeFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vellum::host {

bool BridgeFiles::read(const std::filesystem::path& file, std::string& text, std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in && !in.eof()) {
        error = "cannot read " + file.string();
        return false;
    }
    return true;
}

bool BridgeFiles::makeFolders(const std::filesystem::path& folder, std::string& error) {
    std::filesystem::path at = folder.root_path();
    for (const std::filesystem::path& part : folder.relative_path()) {
        at /= part;
        if (::mkdir(at.c_str(), kFolderMode) == 0) {
            // mkdir honours the umask; the folder is new and ours, so chmod reaches it.
            if (::chmod(at.c_str(), kFolderMode) != 0) {
                error = "cannot set the mode of " + at.string() + ": " + std::strerror(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            error = "cannot create " + at.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool BridgeFiles::replace(const std::filesystem::path& file, const std::string& text,
                          std::string& error, bool* unchanged) {
    if (unchanged != nullptr) {
        *unchanged = false;
    }
    if (!makeFolders(file.parent_path(), error)) {
        return false;
    }
    std::error_code code;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(file, code))) {
        // A package links the system folders' manifests to its own copy: the same text there
        // needs no writing, and nothing is written through the link.
        std::string present;
        std::string unreadable;
        if (std::filesystem::is_regular_file(file, code) && read(file, present, unreadable) &&
            present == text) {
            if (unchanged != nullptr) {
                *unchanged = true;
            }
            return true;
        }
        error = "refusing to write " + file.string() +
                ": it is a symbolic link (remove it if it is not planted)";
        return false;
    }
    // O_CREAT|O_EXCL: a new file of ours, never a link or a file planted under that name.
    std::string temporary = file.string() + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error =
            "cannot create a file in " + file.parent_path().string() + ": " + std::strerror(errno);
        return false;
    }
    bool written = ::fchmod(fd, kFileMode) == 0;
    for (size_t sent = 0; written && sent < text.size();) {
        const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        sent += written ? static_cast<size_t>(n) : 0;
    }
    written = written && ::fsync(fd) == 0;
    const int failure = errno;
    written = ::close(fd) == 0 && written;
    // rename replaces the name itself: a link swapped in meanwhile is replaced, not followed.
    if (!written || ::rename(temporary.c_str(), file.c_str()) != 0) {
        error = "cannot write " + file.string() + ": " + std::strerror(written ? errno : failure);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool BridgeFiles::remove(const std::filesystem::path& file, bool& removed, std::string& error) {
    std::error_code code;
    removed = std::filesystem::remove(file, code);
    if (code) {
        error = "cannot remove " + file.string() + ": " + code.message();
        return false;
    }
    return true;
}

}  // namespace vellum::host
