// What one step produced: text for standard output, a JSON object for --json, and on failure
// the one line for standard error, with a line of hint when the failure tends to puzzle.
#pragma once

#include <string>

#include "common/JsonText.h"

namespace vellum::host {

struct StepOutcome {
    enum class Status {
        Done,    // exit 0
        Failed,  // exit 1: the plug-in or token answered with a failure, or bad input data
        Broken,  // exit 3: something around the plug-in could not be set up (files, ...)
    };

    Status status = Status::Done;
    std::string output;  // standard output in text mode, newline-terminated or empty
    std::string note;    // a line for standard error that is not a failure, or empty
    std::string error;   // the failure, one line without the program name
    std::string hint;    // what the failure or note most likely means, one line, or empty
    Json json = Json::object();

    bool succeeded() const noexcept { return status == Status::Done; }
};

}  // namespace vellum::host
