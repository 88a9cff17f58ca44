// Reads a request frame into JSON without ever building more than a request can hold. Page
// values are flat (strings, numbers, booleans, null; arguments in one array), so a frame nested
// deeper than kMaxDepth, or holding more than kMaxValues values in all, is refused as soon as the
// parser gets there, before any more is built. Texts are decoded straight into their place in
// the tree, so a request's memory stays its frame plus its texts. Refused as what they are, not
// read as something else: an object naming one member twice (which of the two would count?), a
// number no double can hold, too large ("1e400") or too small to be anything but 0 ("1e-400").
#pragma once

#include <cstddef>
#include <string>

#include "common/JsonText.h"

namespace vellum::host {

class RequestParser {
public:
    // A request is an object holding an array of values: two levels, and room to spare.
    static constexpr size_t kMaxDepth = 8;
    // Every value counts, containers and members included: a request has a handful of members
    // and a plug-in method takes at most 6 arguments.
    static constexpr size_t kMaxValues = 64;

    enum class Outcome {
        Parsed,     // `value` holds the frame's JSON
        NotJson,    // not UTF-8 JSON
        Unreadable  // JSON, but too deep, too many values, a member twice or a number out of range
    };

    // On anything but Parsed, `problem` says what, at which byte; `value` is null.
    static Outcome parse(const std::string& frame, Json& value, std::string& problem);
};

}  // namespace vellum::host
