#include "tokenkit/FixedPathMount.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace vellum::tokenkit {
namespace {

bool namespaceEntered = false;

bool isDirectory(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool failure(std::string& message, const std::string& what) {
    message = what + ": " + std::strerror(errno);
    return false;
}

bool writeFile(const char* path, const std::string& text, std::string& message) {
    std::ofstream out(path);
    out << text;
    out.flush();
    if (!out) {
        message = std::string("cannot write ") + path;
        return false;
    }
    return true;
}

// Becomes root of a new user namespace that owns a new mount namespace.
bool enterAsUser(std::string& message) {
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        return failure(message, "unshare(CLONE_NEWUSER|CLONE_NEWNS)");
    }
    return writeFile("/proc/self/setgroups", "deny", message) &&
           writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n", message) &&
           writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n", message);
}

}  // namespace

FixedPathMount::CoveredDirectory FixedPathMount::coveredDirectory() {
    if (isDirectory("/usr/local/lib")) {
        return {"/usr/local/lib", ""};
    }
    if (isDirectory("/usr/local")) {
        return {"/usr/local", "lib"};
    }
    return {};
}

bool FixedPathMount::enter(std::string& message) {
    if (namespaceEntered) {
        return true;
    }
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0) {
            return failure(message, "unshare(CLONE_NEWNS)");
        }
    } else if (!enterAsUser(message)) {
        return false;
    }
    // Nothing mounted from here on may reach the machine's own mount table.
    if (::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failure(message, "making / private");
    }
    const CoveredDirectory covered = coveredDirectory();
    if (covered.path.empty()) {
        message = "/usr/local does not exist; not creating it";
        return false;
    }
    if (::mount("tmpfs", covered.path.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        return failure(message, "mounting a tmpfs over " + covered.path);
    }
    if (!covered.ownEntry.empty() &&
        ::mkdir((covered.path + "/" + covered.ownEntry).c_str(), 0755) != 0) {
        return failure(message, "mkdir /usr/local/lib in the tmpfs");
    }
    namespaceEntered = true;
    return true;
}

bool FixedPathMount::entered() {
    return namespaceEntered;
}

bool FixedPathMount::pointAt(const std::string& module, std::string& message) {
    if (!namespaceEntered) {
        message = "FixedPathMount::enter() has not succeeded";
        return false;
    }
    if (module.empty() || module[0] != '/') {
        message = "module path must be absolute: " + module;
        return false;
    }
    if (!remove(message)) {
        return false;
    }
    if (::symlink(module.c_str(), kPath) != 0) {
        return failure(message, std::string("symlink ") + kPath + " -> " + module);
    }
    return true;
}

bool FixedPathMount::remove(std::string& message) {
    if (!namespaceEntered) {
        message = "FixedPathMount::enter() has not succeeded";
        return false;
    }
    if (::unlink(kPath) != 0 && errno != ENOENT) {
        return failure(message, std::string("unlink ") + kPath);
    }
    return true;
}

}  // namespace vellum::tokenkit
