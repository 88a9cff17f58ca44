// JSON output of vellum-host: objects keep their members in the order they were added, and each
// is written as a single line. Texts from the plug-in and the token are bytes; valid UTF-8 passes
// through, and every byte that is not part of a valid UTF-8 sequence becomes the code point of
// the same value (0xFF reads back as U+00FF), so the output is always valid JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vellum::host {

using Json = nlohmann::ordered_json;

class JsonText {
public:
    // `value` on one line, without a newline.
    static std::string line(const Json& value);

    // The bytes as valid UTF-8, by the rule above.
    static std::string validUtf8(const std::string& bytes);

    // Length of the valid UTF-8 sequence that starts at byte `at`, or 0 when none does.
    static size_t utf8SequenceLength(const std::string& bytes, size_t at);
};

}  // namespace vellum::host
