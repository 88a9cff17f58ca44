// Reads a request frame into JSON without ever building more than a request can hold. Page
// values are flat (strings, numbers, booleans, null; arguments in one array), so a frame nested
// deeper than kMaxDepth is refused as soon as the parser gets there, before the nesting is
// built: a request's memory stays a small multiple of its frame. A number no double can hold
// ("1e400") is refused the same way, as what it is, instead of escaping as an exception.
#pragma once

#include <cstddef>
#include <string>

#include "common/JsonText.h"

namespace vellum::host {

class RequestParser {
public:
    // A request is an object holding an array of values: two levels, and room to spare.
    static constexpr size_t kMaxDepth = 8;

    enum class Outcome {
        Parsed,     // `value` holds the frame's JSON
        NotJson,    // not UTF-8 JSON
        Unreadable  // JSON, but too deep or with a number out of range
    };

    // On anything but Parsed, `problem` says what, at which byte; `value` is null.
    static Outcome parse(const std::string& frame, Json& value, std::string& problem);
};

}  // namespace vellum::host
