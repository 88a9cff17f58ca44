#include "vellum-host/JsonObject.h"

#include <cmath>
#include <cstdio>

namespace vellum::host {
namespace {

// Length of the valid UTF-8 sequence starting at `at`, or 0.
size_t utf8SequenceLength(const std::string& bytes, size_t at) {
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

void appendEscape(std::string& out, unsigned value) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04X", value);
    out += escape;
}

}  // namespace

std::string JsonObject::quote(const std::string& bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            appendEscape(out, c);
        } else if (c >= 0x80) {
            size_t length = utf8SequenceLength(bytes, i);
            if (length == 0) {
                appendEscape(out, c);
            } else {
                out.append(bytes, i, length);
                i += length;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
    return out;
}

JsonObject& JsonObject::addRaw(const std::string& key, const std::string& json) {
    if (!members_.empty()) {
        members_ += ',';
    }
    members_ += quote(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::addString(const std::string& key, const std::string& value) {
    return addRaw(key, quote(value));
}

JsonObject& JsonObject::addInteger(const std::string& key, int64_t value) {
    return addRaw(key, std::to_string(value));
}

JsonObject& JsonObject::addNumber(const std::string& key, double value) {
    if (!std::isfinite(value)) {
        return addNull(key);  // JSON has no NaN or infinity
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return addRaw(key, text);
}

JsonObject& JsonObject::addBool(const std::string& key, bool value) {
    return addRaw(key, value ? "true" : "false");
}

JsonObject& JsonObject::addNull(const std::string& key) {
    return addRaw(key, "null");
}

JsonObject& JsonObject::addStrings(const std::string& key, const std::vector<std::string>& values) {
    std::string json = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        json += (i == 0 ? "" : ",") + quote(values[i]);
    }
    return addRaw(key, json + "]");
}

JsonObject& JsonObject::addMembers(const JsonObject& other) {
    if (!members_.empty() && !other.members_.empty()) {
        members_ += ',';
    }
    members_ += other.members_;
    return *this;
}

JsonObject& JsonObject::addObjects(const std::string& key, const std::vector<JsonObject>& values) {
    std::string json = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        json += (i == 0 ? "" : ",") + values[i].text();
    }
    return addRaw(key, json + "]");
}

}  // namespace vellum::host
