#include "modulemapping/TokenModuleMapping.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "modulemapping/FixedModulePath.h"

namespace vellum::modulemapping {
namespace {

bool listEntries(const std::string& directory, std::vector<std::string>& names,
                 std::string& error) {
    struct DirCloser {
        void operator()(DIR* dir) const noexcept { ::closedir(dir); }
    };
    std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
    if (!dir) {
        error = "cannot read " + directory + ": " + std::strerror(errno);
        return false;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    return true;
}

// The first line of a /proc/sys file, or empty.
std::string systemSetting(const char* path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    return value;
}

// Which system setting keeps an unprivileged process out of a user namespace, and what to do;
// `failure` is the errno of the failed unshare().
std::string userNamespaceAdvice(int failure) {
    if (failure == ENOSPC) {
        return "The limit on user namespaces is reached: sysctl user.max_user_namespaces (here " +
               systemSetting("/proc/sys/user/max_user_namespaces") +
               ", or lower in an enclosing namespace). Raise it or run as root.";
    }
    if (systemSetting("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
        return "Unprivileged user namespaces are off: sysctl kernel.unprivileged_userns_clone=0. "
               "Enable them (sudo sysctl kernel.unprivileged_userns_clone=1) or run as root.";
    }
    if (systemSetting("/proc/sys/user/max_user_namespaces") == "0") {
        return "User namespaces are off: sysctl user.max_user_namespaces=0. Raise it or run as "
               "root.";
    }
    if (systemSetting("/proc/sys/kernel/apparmor_restrict_unprivileged_userns") == "1") {
        return "AppArmor restricts unprivileged user namespaces "
               "(kernel.apparmor_restrict_unprivileged_userns=1); run as root or allow them.";
    }
    return "Unprivileged user namespaces may be disabled here: see the sysctls "
           "kernel.unprivileged_userns_clone and user.max_user_namespaces, or run as root.";
}

}  // namespace

bool TokenModuleMapping::install(const std::string& module, std::string& error, Missing missing) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(module.c_str(), nullptr),
                                                         &std::free);
    std::string target = resolved ? resolved.get() : "";
    struct stat info {};
    const bool isFile = resolved && ::stat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (!isFile && missing == Missing::Fail) {
        error = "token module " + module + ": " + (resolved ? "not a file" : std::strerror(errno));
        return false;
    }

    // Opened before the tmpfs hides the directory, and kept open for the life of the process:
    // /proc/self/fd/N/NAME reaches NAME in the hidden directory from then on.
    const FixedModulePath::CoveredDirectory covered = FixedModulePath::coveredDirectory();
    std::vector<std::string> names;
    std::string passage;
    if (!covered.path.empty()) {
        if (!listEntries(covered.path, names, error)) {
            return false;
        }
        int fd = ::open(covered.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + covered.path + ": " + std::strerror(errno);
            return false;
        }
        passage = "/proc/self/fd/" + std::to_string(fd);
    }

    std::string why;
    if (!FixedModulePath::enter(why)) {
        const int failure = errno;
        error = "mapping the token module " + module +
                " needs a private mount namespace, and entering one failed: " + why;
        if (::geteuid() != 0) {
            error += ". " + userNamespaceAdvice(failure);
        }
        return false;
    }

    const std::string fixedName = std::strrchr(FixedModulePath::kPath, '/') + 1;
    for (const std::string& name : names) {
        if (name == covered.ownEntry || name == fixedName) {
            continue;
        }
        std::string link = covered.path + "/" + name;
        if (::symlink((passage + "/" + name).c_str(), link.c_str()) != 0) {
            error = "cannot link " + link + " back into the namespace: " + std::strerror(errno);
            return false;
        }
    }
    if (!isFile) {
        return true;
    }
    const std::string prefix = covered.path + "/";
    if (!covered.path.empty() && target.compare(0, prefix.size(), prefix) == 0) {
        target = passage + target.substr(covered.path.size());
    }
    if (!FixedModulePath::pointAt(target, why)) {
        error =
            "cannot map the token module at " + std::string(FixedModulePath::kPath) + ": " + why;
        return false;
    }
    return true;
}

}  // namespace vellum::modulemapping
