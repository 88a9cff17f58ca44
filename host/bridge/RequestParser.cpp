#include "bridge/RequestParser.h"

namespace vellum::host {
namespace {

// The library's own tree builder, behind a depth count. Every event may stop the parse by
// answering false; the builder never throws (its exceptions are off).
class DepthLimitedBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    explicit DepthLimitedBuilder(Json& root) : builder_(root, false) {}

    bool null() { return builder_.null(); }
    bool boolean(bool value) { return builder_.boolean(value); }
    bool number_integer(number_integer_t value) { return builder_.number_integer(value); }
    bool number_unsigned(number_unsigned_t value) { return builder_.number_unsigned(value); }
    bool number_float(number_float_t value, const string_t& text) {
        return builder_.number_float(value, text);
    }
    bool string(string_t& value) { return builder_.string(value); }
    bool binary(binary_t& value) { return builder_.binary(value); }
    bool start_object(std::size_t elements) { return enter() && builder_.start_object(elements); }
    bool key(string_t& value) { return builder_.key(value); }
    bool end_object() {
        --depth_;
        return builder_.end_object();
    }
    bool start_array(std::size_t elements) { return enter() && builder_.start_array(elements); }
    bool end_array() {
        --depth_;
        return builder_.end_array();
    }
    bool parse_error(std::size_t position, const std::string& /*token*/,
                     const nlohmann::detail::exception& failure) {
        // 406: a number out of range; the others: not JSON. The bytes themselves may be
        // anything, so only the position is told.
        outcome_ = failure.id == 406 ? RequestParser::Outcome::Unreadable
                                     : RequestParser::Outcome::NotJson;
        problem_ = failure.id == 406
                       ? "a number no double can hold ends at byte " + std::to_string(position)
                       : "the frame is not UTF-8 JSON (at byte " + std::to_string(position) + ")";
        return false;
    }

    RequestParser::Outcome outcome() const { return outcome_; }
    const std::string& problem() const { return problem_; }

private:
    bool enter() {
        if (++depth_ <= RequestParser::kMaxDepth) {
            return true;
        }
        outcome_ = RequestParser::Outcome::Unreadable;
        problem_ = "the request is nested deeper than " + std::to_string(RequestParser::kMaxDepth) +
                   " levels";
        return false;
    }

    nlohmann::detail::json_sax_dom_parser<Json> builder_;
    size_t depth_ = 0;
    RequestParser::Outcome outcome_ = RequestParser::Outcome::Parsed;
    std::string problem_;
};

}  // namespace

RequestParser::Outcome RequestParser::parse(const std::string& frame, Json& value,
                                            std::string& problem) {
    value = nullptr;
    Json parsed;
    DepthLimitedBuilder builder(parsed);
    const bool complete = Json::sax_parse(frame, &builder);
    if (complete && builder.outcome() == Outcome::Parsed) {
        value = std::move(parsed);
        return Outcome::Parsed;
    }
    problem = builder.problem();
    return builder.outcome() == Outcome::Parsed ? Outcome::NotJson : builder.outcome();
}

}  // namespace vellum::host
