// What this process holds from the system at one moment: resident memory, open file
// descriptors and mapped regions, read from /proc/self (Linux).
#pragma once

#include <cstddef>
#include <string>

namespace vellum::reliability {

struct ProcessFootprint {
    size_t residentKiB = 0;      // VmRSS of /proc/self/status
    size_t openDescriptors = 0;  // entries of /proc/self/fd
    size_t mappedRegions = 0;    // lines of /proc/self/maps

    // Zeroes when /proc cannot be read.
    static ProcessFootprint now();

    // "rss 12345 KiB, 9 fds, 321 maps"
    std::string describe() const;
};

}  // namespace vellum::reliability
