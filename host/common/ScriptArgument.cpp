#include "common/ScriptArgument.h"

#include <cmath>
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

namespace vellum::host {

namespace {

// The tagged doubles, by their tag.
struct TaggedDouble {
    const char* text;
    double number;
};
const TaggedDouble kTaggedDoubles[] = {
    {"NaN", std::numeric_limits<double>::quiet_NaN()},
    {"Infinity", std::numeric_limits<double>::infinity()},
    {"-Infinity", -std::numeric_limits<double>::infinity()},
    {"-0", -0.0},
};

bool taggedDouble(const Json& json, double& number) {
    if (json.size() != 1 || !json.contains(ScriptArgument::kNumberTag)) {
        return false;
    }
    const Json& tag = json[ScriptArgument::kNumberTag];
    for (const TaggedDouble& tagged : kTaggedDoubles) {
        if (tag.is_string() && tag.get_ref<const std::string&>() == tagged.text) {
            number = tagged.number;
            return true;
        }
    }
    return false;
}

}  // namespace

Json ScriptArgument::jsonOfDouble(double number) {
    const char* tag = std::isnan(number)   ? "NaN"
                      : std::isinf(number) ? (number > 0 ? "Infinity" : "-Infinity")
                      : number == 0 && std::signbit(number) ? "-0"
                                                            : nullptr;
    if (tag == nullptr) {
        return number;
    }
    return Json{{kNumberTag, tag}};
}

bool ScriptArgument::fromJson(Json json, pluginhost::ScriptValue& value) {
    using pluginhost::ScriptValue;
    constexpr double kLowest = std::numeric_limits<int32_t>::min();
    constexpr double kHighest = std::numeric_limits<int32_t>::max();
    switch (json.type()) {
        case Json::value_t::string:
            value = ScriptValue::string(std::move(json.get_ref<std::string&>()));
            return true;
        case Json::value_t::object: {
            double number = 0;
            if (!taggedDouble(json, number)) {
                return false;
            }
            value = ScriptValue::number(number);
            return true;
        }
        case Json::value_t::boolean:
            value = ScriptValue::boolean(json.get<bool>());
            return true;
        case Json::value_t::null:
            value = ScriptValue::makeNull();
            return true;
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: {
            const double number = json.get<double>();
            // -0 is a double in script, as is every integer the int32 range cannot hold.
            const bool int32 = std::trunc(number) == number && number >= kLowest &&
                               number <= kHighest && !(number == 0 && std::signbit(number));
            if (json.is_number_integer() && int32) {
                value = ScriptValue::int32(static_cast<int32_t>(json.get<int64_t>()));
            } else if (int32) {
                value = ScriptValue::int32(static_cast<int32_t>(number));
            } else {
                value = ScriptValue::number(number);
            }
            return true;
        }
        default:
            return false;
    }
}

}  // namespace vellum::host
