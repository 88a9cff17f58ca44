#include "system/TokenLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "system/OperatingSystem.h"

namespace vellum::host {
namespace {

// A folder of this user's that no one else may enter, made if missing.
bool privateFolder(const std::string& path, std::string& problem) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    OperatingSystem::FileFacts info;
    if (!OperatingSystem::fileFacts(path, false, info) || !S_ISDIR(info.mode) ||
        info.owner != ::geteuid() || (info.mode & 077) != 0) {
        problem = path + " is not a folder of this user's that no one else may enter";
        return false;
    }
    return true;
}

// A folder that only this user (or root) can change, so that no one else can have put or
// replaced anything in it: owned by either, writable by no one else.
bool onlyThisUserChanges(const std::string& path) {
    OperatingSystem::FileFacts info;
    return OperatingSystem::fileFacts(path, false, info) && S_ISDIR(info.mode) &&
           (info.owner == ::geteuid() || info.owner == 0) && (info.mode & 022) == 0;
}

// $XDG_RUNTIME_DIR/vellum when the runtime folder is this user's private one.
std::string runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    OperatingSystem::FileFacts info;
    if (runtime != nullptr && runtime[0] == '/' &&
        OperatingSystem::fileFacts(runtime, true, info) && S_ISDIR(info.mode) &&
        info.owner == ::geteuid() && (info.mode & 077) == 0) {
        return std::string(runtime) + "/vellum";
    }
    return std::string();
}

// vellum in the user's cache folder ($XDG_CACHE_HOME, else ~/.cache, made 0700 if missing),
// when that and the folder above it are this user's alone to change.
std::string cacheFolder(std::string& problem) {
    std::string cache;
    std::string above;
    if (const char* named = std::getenv("XDG_CACHE_HOME"); named != nullptr && named[0] == '/') {
        cache = named;
        above = std::filesystem::path(cache).lexically_normal().parent_path().string();
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        above = home;
        cache = above + "/.cache";
    } else {
        problem = "neither XDG_RUNTIME_DIR nor HOME names a folder of this user's";
        return std::string();
    }
    if (!onlyThisUserChanges(above)) {
        problem = above + " may be changed by another user";
        return std::string();
    }
    if (::mkdir(cache.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot create " + cache + ": " + std::strerror(errno);
        return std::string();
    }
    if (!onlyThisUserChanges(cache)) {
        problem = cache + " may be changed by another user";
        return std::string();
    }
    return cache + "/vellum";
}

// FNV-1a: a stable name for a path, whatever the path holds.
std::string nameOf(const std::string& text) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char name[40];
    std::snprintf(name, sizeof name, "token-%016llx.lock", static_cast<unsigned long long>(hash));
    return name;
}

void lockFully(int fd, int operation) {
    while (::flock(fd, operation) != 0 && errno == EINTR) {
    }
}

}  // namespace

TokenLock::TokenLock(const std::string& module) {
    std::string folder = runtimeFolder();
    if (folder.empty()) {
        folder = cacheFolder(problem_);
    }
    if (folder.empty() || !privateFolder(folder, problem_)) {
        return;
    }
    std::error_code code;
    const std::filesystem::path real = std::filesystem::weakly_canonical(module, code);
    path_ = folder + "/" + nameOf(code ? module : real.string());
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        problem_ = "cannot open " + path_ + ": " + std::strerror(errno);
    }
}

TokenLock::~TokenLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

TokenLock::Hold::Hold(TokenLock* lock) {
    if (lock == nullptr || lock->fd_ < 0) {
        return;
    }
    fd_ = lock->fd_;
    lockFully(fd_, LOCK_EX);
    // Who holds it, for doctor: the file holds the holder's process id while it is held.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        [[maybe_unused]] ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
    }
}

TokenLock::Hold::~Hold() {
    if (fd_ >= 0) {
        lockFully(fd_, LOCK_UN);
    }
}

pid_t TokenLock::holder() const {
    if (path_.empty()) {
        return 0;
    }
    // A descriptor of its own: a lock this process holds through fd_ would not conflict.
    const int probe = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (probe < 0) {
        return 0;
    }
    pid_t pid = 0;
    if (::flock(probe, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        char text[24] = {};
        if (::pread(probe, text, sizeof text - 1, 0) > 0) {
            pid = static_cast<pid_t>(std::strtol(text, nullptr, 10));
        }
        pid = pid > 0 ? pid : -1;
    }
    ::close(probe);
    return pid;
}

}  // namespace vellum::host
