#include "ProcessFootprint.h"

#include <dirent.h>

#include <fstream>

namespace vellum::reliability {
namespace {

size_t readResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            size_t kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

size_t countOpenDescriptors() {
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return 0;
    }
    size_t count = 0;
    while (const dirent* entry = readdir(directory)) {
        count += entry->d_name[0] != '.';
    }
    closedir(directory);
    // The descriptor of the listing itself is gone again.
    return count > 0 ? count - 1 : 0;
}

size_t countMappedRegions() {
    std::ifstream maps("/proc/self/maps");
    size_t count = 0;
    for (std::string line; std::getline(maps, line);) {
        ++count;
    }
    return count;
}

}  // namespace

ProcessFootprint ProcessFootprint::now() {
    ProcessFootprint footprint;
    footprint.residentKiB = readResidentKiB();
    footprint.openDescriptors = countOpenDescriptors();
    footprint.mappedRegions = countMappedRegions();
    return footprint;
}

std::string ProcessFootprint::describe() const {
    return "rss " + std::to_string(residentKiB) + " KiB, " + std::to_string(openDescriptors) +
           " fds, " + std::to_string(mappedRegions) + " maps";
}

}  // namespace vellum::reliability
