#include "install/WriteAccess.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "system/OperatingSystem.h"

namespace vellum::host {
namespace {

std::string octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Why accounts outside `trusted` can write the entry `info` describes, or empty.
std::string judge(const OperatingSystem::FileFacts& info, const std::vector<uid_t>& trusted) {
    if (std::find(trusted.begin(), trusted.end(), info.owner) == trusted.end()) {
        return "owned by uid " + std::to_string(info.owner);
    }
    // Group root's members are trusted as root is.
    const bool groupWrites = (info.mode & S_IWGRP) != 0 && info.group != 0;
    const bool othersWrite = (info.mode & S_IWOTH) != 0;
    if (!groupWrites && !othersWrite) {
        return "";
    }
    if (S_ISDIR(info.mode) && (info.mode & S_ISVTX) != 0) {
        return "";
    }
    return std::string("mode ") + octal(info.mode) + ", writable by " +
           (othersWrite ? std::string("everyone") : "group " + std::to_string(info.group));
}

// Each existing entry from / down to `path`; `sawLink` tells whether a symbolic link is on the
// way (links themselves cannot be written, only replaced through their folder).
std::string walk(const std::filesystem::path& path, const std::vector<uid_t>& trusted,
                 bool& sawLink) {
    std::filesystem::path at = "/";
    OperatingSystem::FileFacts info;
    if (!OperatingSystem::fileFacts("/", false, info)) {
        return "";
    }
    std::string why = judge(info, trusted);
    if (!why.empty()) {
        return "/ (" + why + ")";
    }
    for (const std::filesystem::path& part : path.relative_path()) {
        at /= part;
        if (!OperatingSystem::fileFacts(at.string(), false, info)) {
            return "";
        }
        if (S_ISLNK(info.mode)) {
            sawLink = true;
            continue;
        }
        why = judge(info, trusted);
        if (!why.empty()) {
            return at.string() + " (" + why + ")";
        }
    }
    return "";
}

}  // namespace

std::vector<uid_t> WriteAccess::trusted(bool systemWide) {
    std::vector<uid_t> accounts{0};
    if (!systemWide && ::geteuid() != 0) {
        accounts.push_back(::geteuid());
    }
    return accounts;
}

std::string WriteAccess::untrusted(const std::filesystem::path& path,
                                   const std::vector<uid_t>& trusted) {
    std::error_code code;
    const std::filesystem::path absolute = std::filesystem::absolute(path, code).lexically_normal();
    if (code) {
        return path.string() + " (cannot be told: " + code.message() + ")";
    }
    bool sawLink = false;
    std::string found = walk(absolute, trusted, sawLink);
    if (!found.empty() || !sawLink) {
        return found;
    }
    const std::filesystem::path real = std::filesystem::weakly_canonical(absolute, code);
    if (code) {
        return absolute.string() + " (cannot be resolved: " + code.message() + ")";
    }
    bool again = false;
    return walk(real, trusted, again);
}

}  // namespace vellum::host
