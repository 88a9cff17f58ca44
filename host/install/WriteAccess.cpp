#include "install/WriteAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <sstream>
#include <system_error>

#include "system/OperatingSystem.h"

namespace vellum::host {
namespace {

// As the kernel allows (MAXSYMLINKS): a loop of links ends here instead of running forever.
constexpr int kMostLinks = 40;

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// "uid N", and what an owner that a sandbox hides means.
std::string ownerText(uid_t owner) {
    std::string text = "uid " + std::to_string(owner);
    if (WriteAccess::unseenOwner() == owner) {
        text +=
            ", the owner this user namespace shows for any account it does not map, root "
            "or another user: run it outside the sandbox";
    }
    return text;
}

bool isTrusted(uid_t owner, const std::vector<uid_t>& trusted) {
    return std::find(trusted.begin(), trusted.end(), owner) != trusted.end();
}

// Why accounts outside `trusted` can change the file or folder `info` describes, or empty.
// `sharedOnly` tells that the reason is only a sticky folder others may write (refused).
std::string judge(const OperatingSystem::FileFacts& info, const std::vector<uid_t>& trusted,
                  WriteAccess::SharedFolders shared, bool& sharedOnly) {
    sharedOnly = false;
    if (!isTrusted(info.owner, trusted)) {
        return "owned by " + ownerText(info.owner);
    }
    // Group root's members are trusted as root is.
    const bool groupWrites = (info.mode & S_IWGRP) != 0 && info.group != 0;
    const bool othersWrite = (info.mode & S_IWOTH) != 0;
    if (!groupWrites && !othersWrite) {
        return "";
    }
    if (S_ISDIR(info.mode) && (info.mode & S_ISVTX) != 0) {
        if (shared == WriteAccess::SharedFolders::StickyFine) {
            return "";
        }
        sharedOnly = true;
    }
    return std::string("mode ") + octal(info.mode) + ", writable by " +
           (othersWrite ? std::string("everyone") : "group " + std::to_string(info.group));
}

void pushFront(std::deque<std::filesystem::path>& names, const std::filesystem::path& path) {
    const std::filesystem::path relative = path.relative_path();
    const std::vector<std::filesystem::path> parts(relative.begin(), relative.end());
    names.insert(names.begin(), parts.begin(), parts.end());
}

}  // namespace

std::vector<uid_t> WriteAccess::trusted(bool systemWide) {
    std::vector<uid_t> accounts{0};
    if (!systemWide && ::geteuid() != 0) {
        accounts.push_back(::geteuid());
    }
    return accounts;
}

std::optional<uid_t> WriteAccess::unseenOwner() {
    std::ifstream overflow("/proc/sys/kernel/overflowuid");
    uid_t shown = 0;
    if (!(overflow >> shown)) {
        return std::nullopt;
    }
    // Each line of uid_map: the first id inside, the first id outside, how many. The initial
    // namespace maps every id ("0 0 4294967295"), and then nothing is unseen.
    std::ifstream map("/proc/self/uid_map");
    std::string line;
    while (std::getline(map, line)) {
        std::istringstream fields(line);
        unsigned long inside = 0;
        unsigned long outside = 0;
        unsigned long count = 0;
        if (!(fields >> inside >> outside >> count)) {
            return std::nullopt;
        }
        if (shown >= inside && shown - inside < count) {
            return std::nullopt;
        }
    }
    return shown;
}

std::string WriteAccess::untrusted(const std::filesystem::path& path,
                                   const std::vector<uid_t>& trusted, SharedFolders shared) {
    std::error_code code;
    const std::filesystem::path absolute = std::filesystem::absolute(path, code);
    if (code) {
        return path.string() + " (cannot be told: " + code.message() + ")";
    }
    OperatingSystem::FileFacts info;
    if (!OperatingSystem::fileFacts("/", false, info)) {
        return "";
    }
    // A sticky folder others may write is told only when nothing further on is worse: a link in
    // /tmp that another user owns is named as that, not as /tmp.
    std::string sharedFolder;
    bool sharedOnly = false;
    std::string why = judge(info, trusted, shared, sharedOnly);
    if (!why.empty()) {
        if (!sharedOnly) {
            return "/ (" + why + ")";
        }
        sharedFolder = "/ (" + why + ")";
    }
    // `at` is always a real path (no link on it) whose every entry has been judged.
    std::filesystem::path at = "/";
    std::deque<std::filesystem::path> names;
    pushFront(names, absolute);
    int links = 0;
    while (!names.empty()) {
        const std::filesystem::path name = names.front();
        names.pop_front();
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            at = at.parent_path();
            continue;
        }
        const std::filesystem::path next = at / name;
        if (!OperatingSystem::fileFacts(next.string(), false, info)) {
            return sharedFolder;
        }
        if (S_ISLNK(info.mode)) {
            // A link's own mode means nothing; its owner may replace it with another.
            if (!isTrusted(info.owner, trusted)) {
                return next.string() + " (a symbolic link owned by " + ownerText(info.owner) + ")";
            }
            if (++links > kMostLinks) {
                return next.string() + " (too many symbolic links)";
            }
            const std::filesystem::path target = std::filesystem::read_symlink(next, code);
            if (code) {
                return next.string() + " (cannot be read: " + code.message() + ")";
            }
            if (target.is_absolute()) {
                at = "/";
            }
            pushFront(names, target);
            continue;
        }
        why = judge(info, trusted, shared, sharedOnly);
        if (!why.empty()) {
            if (!sharedOnly) {
                return next.string() + " (" + why + ")";
            }
            if (sharedFolder.empty()) {
                sharedFolder = next.string() + " (" + why + ")";
            }
        }
        at = next;
    }
    return sharedFolder;
}

}  // namespace vellum::host
