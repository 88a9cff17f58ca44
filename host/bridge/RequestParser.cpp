#include "bridge/RequestParser.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale>
#include <sstream>

namespace vellum::host {
namespace {

// One pass over the frame (RFC 8259 JSON, UTF-8), building the tree as it goes. Recursion is as
// deep as the nesting, which stops at kMaxDepth.
class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    RequestParser::Outcome read(Json& value, std::string& problem) {
        skipSpace();
        if (readValue(value, 0)) {
            skipSpace();
            if (at_ == text_.size()) {
                return RequestParser::Outcome::Parsed;
            }
            notJson();
        }
        problem = problem_;
        return outcome_;
    }

private:
    bool fail(RequestParser::Outcome outcome, std::string problem) {
        outcome_ = outcome;
        problem_ = std::move(problem);
        return false;
    }
    // The bytes may be anything, so only the position is told.
    bool notJson() {
        return fail(RequestParser::Outcome::NotJson,
                    "the frame is not UTF-8 JSON (at byte " + std::to_string(at_) + ")");
    }
    bool unreadable(std::string problem) {
        return fail(RequestParser::Outcome::Unreadable, std::move(problem));
    }

    bool more() const { return at_ < text_.size(); }
    char peek() const { return text_[at_]; }

    void skipSpace() {
        while (more() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')) {
            ++at_;
        }
    }

    bool literal(const char* word) {
        for (const char* c = word; *c != '\0'; ++c, ++at_) {
            if (!more() || peek() != *c) {
                return notJson();
            }
        }
        return true;
    }

    bool readValue(Json& value, size_t depth) {
        if (++values_ > RequestParser::kMaxValues) {
            return unreadable("the request holds more than " +
                              std::to_string(RequestParser::kMaxValues) + " values");
        }
        if (!more()) {
            return notJson();
        }
        switch (peek()) {
            case '{':
                return readObject(value, depth + 1);
            case '[':
                return readArray(value, depth + 1);
            case '"': {
                std::string text;
                if (!readString(text)) {
                    return false;
                }
                value = std::move(text);
                return true;
            }
            case 't':
                value = true;
                return literal("true");
            case 'f':
                value = false;
                return literal("false");
            case 'n':
                value = nullptr;
                return literal("null");
            default:
                return readNumber(value);
        }
    }

    bool enter(size_t depth) {
        if (depth <= RequestParser::kMaxDepth) {
            return true;
        }
        return unreadable("the request is nested deeper than " +
                          std::to_string(RequestParser::kMaxDepth) + " levels");
    }

    bool readObject(Json& value, size_t depth) {
        if (!enter(depth)) {
            return false;
        }
        ++at_;
        value = Json::object();
        skipSpace();
        if (more() && peek() == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (!more() || peek() != '"') {
                return notJson();
            }
            std::string key;
            if (!readString(key)) {
                return false;
            }
            if (value.contains(key)) {
                return unreadable((key.size() <= 64
                                       ? "the member '" + JsonText::validUtf8(key) + "'"
                                       : std::string("a member")) +
                                  " appears twice in an object");
            }
            skipSpace();
            if (!more() || peek() != ':') {
                return notJson();
            }
            ++at_;
            skipSpace();
            Json member;
            if (!readValue(member, depth)) {
                return false;
            }
            value[std::move(key)] = std::move(member);
            skipSpace();
            if (more() && peek() == ',') {
                ++at_;
                continue;
            }
            if (more() && peek() == '}') {
                ++at_;
                return true;
            }
            return notJson();
        }
    }

    bool readArray(Json& value, size_t depth) {
        if (!enter(depth)) {
            return false;
        }
        ++at_;
        value = Json::array();
        skipSpace();
        if (more() && peek() == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            skipSpace();
            Json item;
            if (!readValue(item, depth)) {
                return false;
            }
            value.push_back(std::move(item));
            skipSpace();
            if (more() && peek() == ',') {
                ++at_;
                continue;
            }
            if (more() && peek() == ']') {
                ++at_;
                return true;
            }
            return notJson();
        }
    }

    bool hex4(uint32_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            if (!more()) {
                return notJson();
            }
            const char c = peek();
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return notJson();
            }
            unit = unit * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t point) {
        if (point < 0x80) {
            out += static_cast<char>(point);
        } else if (point < 0x800) {
            out += static_cast<char>(0xC0 | (point >> 6));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else if (point < 0x10000) {
            out += static_cast<char>(0xE0 | (point >> 12));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (point >> 18));
            out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (point & 0x3F));
        }
    }

    // A "\u" escape, a surrogate pair as one; a lone surrogate is no character.
    bool escapedCharacter(std::string& out) {
        uint32_t point = 0;
        if (!hex4(point)) {
            return false;
        }
        if (point >= 0xDC00 && point <= 0xDFFF) {
            return notJson();
        }
        if (point >= 0xD800 && point <= 0xDBFF) {
            uint32_t low = 0;
            if (!more() || peek() != '\\' || ++at_ == text_.size() || peek() != 'u') {
                return notJson();
            }
            ++at_;
            if (!hex4(low)) {
                return false;
            }
            if (low < 0xDC00 || low > 0xDFFF) {
                return notJson();
            }
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, point);
        return true;
    }

    // A string, decoded into `out`, which gets its room once: decoding never makes a text longer.
    bool readString(std::string& out) {
        const size_t open = ++at_;
        size_t close = open;
        while (close < text_.size() && text_[close] != '"') {
            close += text_[close] == '\\' ? 2 : 1;
        }
        if (close >= text_.size()) {
            at_ = text_.size();
            return notJson();
        }
        out.reserve(close - open);
        while (at_ < close) {
            const auto c = static_cast<unsigned char>(peek());
            if (c < 0x20) {
                return notJson();
            }
            if (c >= 0x80) {
                const size_t length = JsonText::utf8SequenceLength(text_, at_);
                if (length == 0 || at_ + length > close) {
                    return notJson();
                }
                out.append(text_, at_, length);
                at_ += length;
                continue;
            }
            if (c != '\\') {
                // A run of plain characters at once.
                size_t end = at_;
                while (end < close && text_[end] != '\\' &&
                       static_cast<unsigned char>(text_[end]) >= 0x20 &&
                       static_cast<unsigned char>(text_[end]) < 0x80) {
                    ++end;
                }
                out.append(text_, at_, end - at_);
                at_ = end;
                continue;
            }
            ++at_;
            const char escape = peek();
            ++at_;
            switch (escape) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u':
                    if (!escapedCharacter(out)) {
                        return false;
                    }
                    break;
                default:
                    --at_;
                    return notJson();
            }
        }
        ++at_;  // the closing quote
        return true;
    }

    size_t digits() {
        const size_t from = at_;
        while (more() && peek() >= '0' && peek() <= '9') {
            ++at_;
        }
        return at_ - from;
    }

    // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?: an integer that int64 holds stays an
    // integer; anything else is the nearest double, or refused when that is infinite or a 0 the
    // text is not.
    bool readNumber(Json& value) {
        const size_t from = at_;
        const bool negative = more() && peek() == '-';
        if (negative) {
            ++at_;
        }
        if (!more() || peek() < '0' || peek() > '9') {
            return notJson();
        }
        const size_t integerDigits = peek() == '0' ? (++at_, 1) : digits();
        bool integer = true;
        if (more() && peek() == '.') {
            ++at_;
            if (digits() == 0) {
                return notJson();
            }
            integer = false;
        }
        const size_t mantissaEnd = at_;
        if (more() && (peek() == 'e' || peek() == 'E')) {
            ++at_;
            if (more() && (peek() == '+' || peek() == '-')) {
                ++at_;
            }
            if (digits() == 0) {
                return notJson();
            }
            integer = false;
        }
        const std::string number = text_.substr(from, at_ - from);
        if (integer && integerDigits <= 19) {
            errno = 0;
            const long long whole = std::strtoll(number.c_str(), nullptr, 10);
            if (errno == 0) {
                // "-0" is the double -0, as in script.
                value = whole == 0 && negative ? Json(-0.0) : Json(static_cast<int64_t>(whole));
                return true;
            }
        }
        std::istringstream in(number);
        in.imbue(std::locale::classic());
        double parsed = 0;
        in >> parsed;
        bool zeroText = true;
        for (size_t i = from; i < mantissaEnd; ++i) {
            zeroText = zeroText && (text_[i] < '1' || text_[i] > '9');
        }
        if (in.fail() || !std::isfinite(parsed) || (parsed == 0 && !zeroText)) {
            return unreadable("a number no double can hold ends at byte " + std::to_string(at_));
        }
        value = parsed;
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    size_t values_ = 0;
    RequestParser::Outcome outcome_ = RequestParser::Outcome::NotJson;
    std::string problem_;
};

}  // namespace

RequestParser::Outcome RequestParser::parse(const std::string& frame, Json& value,
                                            std::string& problem) {
    value = nullptr;
    Json parsed;
    const Outcome outcome = Reader(frame).read(parsed, problem);
    if (outcome == Outcome::Parsed) {
        value = std::move(parsed);
    }
    return outcome;
}

}  // namespace vellum::host
