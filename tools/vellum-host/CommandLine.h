// The command line of vellum-host: options that hold for the whole run, then one or more
// steps separated by "--".
#pragma once

#include <string>
#include <vector>

#include "vellum-host/Step.h"

namespace vellum::host {

struct CommandLine {
    std::string pluginPath;       // empty: the module installed or built beside the program
    std::string tokenModulePath;  // empty: the fixed token module path as it stands
    bool json = false;
    bool keepGoing = false;  // run every step, as a page goes on after an "E:1000"
    bool help = false;
    std::vector<Step> steps;

    // False with a one-line reason in `error` when the words do not form a valid run.
    bool parse(const std::vector<std::string>& words, std::string& error);

    static const char* usage() noexcept;
};

}  // namespace vellum::host
