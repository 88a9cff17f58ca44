// One JSON object, written as a single line, its members in the order they were added. Texts
// from the plug-in are bytes; valid UTF-8 passes through, and every byte that is not part of a
// valid UTF-8 sequence is written as the code point of the same value (\u00XX), so the output
// is always valid JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellum::host {

class JsonObject {
public:
    JsonObject& addString(const std::string& key, const std::string& value);
    JsonObject& addInteger(const std::string& key, int64_t value);
    JsonObject& addNumber(const std::string& key, double value);
    JsonObject& addBool(const std::string& key, bool value);
    JsonObject& addNull(const std::string& key);
    JsonObject& addStrings(const std::string& key, const std::vector<std::string>& values);
    JsonObject& addObjects(const std::string& key, const std::vector<JsonObject>& values);
    // Appends the members of `other` after this object's own.
    JsonObject& addMembers(const JsonObject& other);

    std::string text() const { return "{" + members_ + "}"; }

    static std::string quote(const std::string& bytes);

private:
    JsonObject& addRaw(const std::string& key, const std::string& json);

    std::string members_;
};

}  // namespace vellum::host
