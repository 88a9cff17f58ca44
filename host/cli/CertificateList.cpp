#include "cli/CertificateList.h"

namespace vellum::host {
namespace {

constexpr char kEntryStart[] = "CN=";
constexpr size_t kEntryStartLength = sizeof(kEntryStart) - 1;

bool startsEntry(const std::string& text, size_t at) {
    return text.compare(at, kEntryStartLength, kEntryStart) == 0;
}

bool isUpperHex(const std::string& text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool CertificateList::parse(const std::string& text, std::vector<CertificateEntry>& entries) {
    entries.clear();
    size_t at = 0;
    while (at < text.size()) {
        if (!startsEntry(text, at)) {
            entries.clear();
            return false;
        }
        const size_t nameStart = at + kEntryStartLength;
        bool found = false;
        for (size_t end = text.find(';', nameStart); end != std::string::npos;
             end = text.find(';', end + 1)) {
            size_t comma = text.rfind(',', end);
            if (comma == std::string::npos || comma < nameStart ||
                !isUpperHex(text, comma + 1, end)) {
                continue;
            }
            if (end + 1 != text.size() && !startsEntry(text, end + 1)) {
                continue;
            }
            entries.push_back({text.substr(nameStart, comma - nameStart),
                               text.substr(comma + 1, end - comma - 1)});
            at = end + 1;
            found = true;
            break;
        }
        if (!found) {
            entries.clear();
            return false;
        }
    }
    return true;
}

}  // namespace vellum::host
