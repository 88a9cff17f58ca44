#include "VisibleText.h"

#include <cstdio>

namespace vellum::pin {
namespace {

void appendByteCode(std::string& out, unsigned char byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02X", byte);
    out += code;
}

void appendCodePoint(std::string& out, char32_t codePoint) {
    char code[16];
    std::snprintf(code, sizeof code, "\\u{%04X}", static_cast<unsigned>(codePoint));
    out += code;
}

// The length of the well-formed UTF-8 sequence at `at` (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF) with its code point, or 0.
size_t decode(const std::string& bytes, size_t at, char32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
    const unsigned char lead = byte(0);
    size_t length = 0;
    char32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    if (codePoint < lowest || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

bool VisibleText::hidden(char32_t c) {
    return (c >= 0x80 && c <= 0x9F) ||               // C1 controls
           c == 0xAD || c == 0x34F || c == 0x61C ||  // soft hyphen, joiner, Arabic mark
           c == 0x115F || c == 0x1160 || c == 0x17B4 || c == 0x17B5 || c == 0x180E ||
           (c >= 0x180B && c <= 0x180F) ||                 // Mongolian selectors
           (c >= 0x200B && c <= 0x200F) ||                 // zero-width, LRM, RLM
           (c >= 0x2028 && c <= 0x202E) ||                 // separators, embeddings, overrides
           (c >= 0x2060 && c <= 0x206F) ||                 // word joiner, isolates, ...
           c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) ||  // Hangul filler, selectors
           c == 0xFEFF || c == 0xFFA0 || (c >= 0xFFF0 && c <= 0xFFFB) ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
           (c >= 0xE0000 && c <= 0xE0FFF);  // tags, selectors supplement
}

std::string VisibleText::of(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[at]);
        if (c == '\n') {
            out += '\n';
            ++at;
        } else if (c == '\\') {
            out += "\\\\";
            ++at;
        } else if (c < 0x20 || c == 0x7F) {
            appendByteCode(out, c);
            ++at;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++at;
        } else {
            char32_t codePoint = 0;
            const size_t length = decode(bytes, at, codePoint);
            if (length == 0) {
                appendByteCode(out, c);
                ++at;
            } else if (hidden(codePoint)) {
                appendCodePoint(out, codePoint);
                at += length;
            } else {
                out.append(bytes, at, length);
                at += length;
            }
        }
    }
    return out;
}

}  // namespace vellum::pin
