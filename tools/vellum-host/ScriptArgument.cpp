#include "vellum-host/ScriptArgument.h"

#include <cstdint>
#include <limits>

namespace vellum::host {
namespace {

// Decimal without leading zeros, as a script literal is written: "0", "42", "-7".
bool parseInt32(const std::string& word, int32_t& value) {
    size_t i = word.size() > 1 && word[0] == '-' ? 1 : 0;
    if (i == word.size() || (word[i] == '0' && word.size() - i > 1) || word == "-0") {
        return false;
    }
    int64_t magnitude = 0;
    for (; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') {
            return false;
        }
        magnitude = magnitude * 10 + (word[i] - '0');
        if (magnitude > int64_t{std::numeric_limits<int32_t>::max()} + 1) {
            return false;
        }
    }
    int64_t signedValue = word[0] == '-' ? -magnitude : magnitude;
    if (signedValue > std::numeric_limits<int32_t>::max()) {
        return false;
    }
    value = static_cast<int32_t>(signedValue);
    return true;
}

}  // namespace

pluginhost::ScriptValue ScriptArgument::fromWord(const std::string& word) {
    const std::string prefix = kStringPrefix;
    if (word.compare(0, prefix.size(), prefix) == 0) {
        return pluginhost::ScriptValue::string(word.substr(prefix.size()));
    }
    int32_t value = 0;
    if (parseInt32(word, value)) {
        return pluginhost::ScriptValue::int32(value);
    }
    return pluginhost::ScriptValue::string(word);
}

}  // namespace vellum::host
