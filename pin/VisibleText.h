// Bytes a page chose, made safe to show a person: whatever would act instead of being seen is
// shown as its code. A line feed stays a line break; every other control character, DEL and a
// byte that is not part of valid UTF-8 shows as \xHH; C1 controls, bidirectional embeddings,
// overrides and isolates, zero-width and other invisible format characters, the line and
// paragraph separators and the byte order mark show as \u{HHHH}; a backslash shows doubled, so
// that every escape reads back as exactly one thing. Everything else is shown as it is.
#pragma once

#include <string>

namespace vellum::pin {

class VisibleText {
public:
    static std::string of(const std::string& bytes);

    // Whether the code point is shown as its code rather than as itself.
    static bool hidden(char32_t codePoint);
};

}  // namespace vellum::pin
