#include "common/JsonText.h"

#include <cstdint>

namespace vellum::host {
namespace {}  // namespace

size_t JsonText::utf8SequenceLength(const std::string& bytes, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t codePoint = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    // Overlong forms, surrogates and values above U+10FFFF are not valid UTF-8.
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
        codePoint > 0x10FFFF) {
        return 0;
    }
    return length;
}

namespace {

// The library refuses to write invalid UTF-8, so every text is made valid first.
Json withValidTexts(const Json& value) {
    if (value.is_string()) {
        return JsonText::validUtf8(value.get_ref<const std::string&>());
    }
    if (value.is_array()) {
        Json copy = Json::array();
        for (const Json& item : value) {
            copy.push_back(withValidTexts(item));
        }
        return copy;
    }
    if (value.is_object()) {
        Json copy = Json::object();
        for (const auto& member : value.items()) {
            copy[JsonText::validUtf8(member.key())] = withValidTexts(member.value());
        }
        return copy;
    }
    return value;
}

}  // namespace

std::string JsonText::validUtf8(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        size_t length = utf8SequenceLength(bytes, i);
        if (length > 0) {
            out.append(bytes, i, length);
            i += length;
            continue;
        }
        // The code point of the byte's value, U+0080 to U+00FF, in two bytes.
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
        ++i;
    }
    return out;
}

std::string JsonText::line(const Json& value) {
    return withValidTexts(value).dump();
}

}  // namespace vellum::host
