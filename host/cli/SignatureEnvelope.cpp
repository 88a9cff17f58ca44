#include "cli/SignatureEnvelope.h"

#include <cstdint>

namespace vellum::host {
namespace {

constexpr char kSignaturePrefix[] = "US65001:";
constexpr char kDataPrefix[] = "UD65001:";
constexpr size_t kPrefixLength = sizeof(kSignaturePrefix) - 1;
constexpr size_t kCountDigits = 8;
// A data length of more than 10 digits cannot be held in the 32-bit count the plug-in prints.
constexpr size_t kMaxCountDigits = 10;

bool readCount(const std::string& text, size_t at, size_t digits, uint64_t& count) {
    if (at + digits > text.size()) {
        return false;
    }
    count = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        count = count * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool SignatureEnvelope::parseSignature(const std::string& text, size_t at, std::string& problem) {
    uint64_t count = 0;
    if (!readCount(text, at, kCountDigits, count)) {
        problem = "no 8-digit signature length at offset " + std::to_string(at);
        return false;
    }
    at += kCountDigits;
    if (count != text.size() - at) {
        problem = "signature length says " + std::to_string(count) + " hex digits, " +
                  std::to_string(text.size() - at) + " follow";
        return false;
    }
    if (count % 2 != 0) {
        problem = "odd number of hex digits in the signature";
        return false;
    }
    hex_ = text.substr(at);
    signature_.clear();
    signature_.reserve(hex_.size() / 2);
    for (size_t i = 0; i < hex_.size(); i += 2) {
        int high = hexValue(hex_[i]);
        int low = hexValue(hex_[i + 1]);
        if (high < 0 || low < 0) {
            problem = "signature holds a character that is not an upper-case hex digit at offset " +
                      std::to_string(at + i + (high < 0 ? 0 : 1));
            return false;
        }
        signature_.push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

bool SignatureEnvelope::parse(const std::string& text, std::string& problem) {
    carriesData_ = false;
    data_.clear();
    hex_.clear();
    signature_.clear();
    if (text.compare(0, kPrefixLength, kSignaturePrefix) == 0) {
        return parseSignature(text, kPrefixLength, problem);
    }
    if (text.compare(0, kPrefixLength, kDataPrefix) != 0) {
        problem = "neither a US65001: nor a UD65001: envelope";
        return false;
    }
    carriesData_ = true;
    // The data may begin with digits, so its length field is read at each possible width and
    // taken where the rest of the text fits behind it; the reason given is that of the usual
    // 8-digit reading.
    problem = "no 8-digit data length after the prefix";
    for (size_t digits = kCountDigits; digits <= kMaxCountDigits; ++digits) {
        uint64_t length = 0;
        if (!readCount(text, kPrefixLength, digits, length)) {
            break;
        }
        if (digits > kCountDigits && text[kPrefixLength] == '0') {
            break;  // a wider field is never zero-padded
        }
        const size_t dataStart = kPrefixLength + digits;
        std::string reason;
        if (length > text.size() - dataStart) {
            reason = "data length " + std::to_string(length) + " runs past the end";
        } else if (parseSignature(text, dataStart + static_cast<size_t>(length), reason)) {
            data_ = text.substr(dataStart, static_cast<size_t>(length));
            return true;
        }
        if (digits == kCountDigits) {
            problem = reason;
        }
    }
    hex_.clear();
    signature_.clear();
    return false;
}

}  // namespace vellum::host
