// One step of a vellum-host run, as parsed from the command line. Several steps run one after
// the other on the same plug-in instance, so a step sees what the earlier ones set.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vellum::host {

enum class StepKind { Info, List, Cert, Sign, Get, Set, Call, Doctor };

struct Step {
    StepKind kind = StepKind::Info;

    // cert, sign
    std::string serial;
    // cert
    bool pem = false;
    // sign
    std::string hash;
    std::optional<std::string> data;
    std::optional<std::string> file;
    bool dataEnvelope = false;  // --envelope data: read SignData instead of Signature
    std::optional<std::string> rawOutput;

    // get, set, call: the property or method name, then set's value or call's arguments, as
    // typed (ScriptArgument turns them into script values).
    std::string name;
    std::vector<std::string> arguments;
};

const char* stepName(StepKind kind) noexcept;

}  // namespace vellum::host
