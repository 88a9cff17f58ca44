#include "bridge/AnswerFrames.h"

#include "bridge/FrameChannel.h"

namespace vellum::host {
namespace {

// Bytes that `byte` takes inside a JSON string as the library writes it.
size_t escapedSize(unsigned char byte) {
    switch (byte) {
        case '"':
        case '\\':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
            return 2;
        default:
            return byte < 0x20 ? 6 : 1;
    }
}

bool continuesCharacter(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

std::vector<std::string> AnswerFrames::of(const Json& answer) {
    std::string text = JsonText::line(answer);
    if (text.size() <= kSplitAbove) {
        return {std::move(text)};
    }
    // The envelope of a part with the largest numbers a part can have.
    Json widest = Json::object();
    widest["id"] = answer.at("id");
    widest["part"] = text.size();
    widest["parts"] = text.size();
    widest["data"] = "";
    const size_t room = FrameChannel::kMaxOutgoing - JsonText::line(widest).size();

    std::vector<std::pair<size_t, size_t>> pieces;  // offset, length
    size_t start = 0;
    while (start < text.size()) {
        size_t end = start;
        size_t escaped = 0;
        while (end < text.size() &&
               escaped + escapedSize(static_cast<unsigned char>(text[end])) <= room) {
            escaped += escapedSize(static_cast<unsigned char>(text[end]));
            ++end;
        }
        while (end < text.size() && end > start && continuesCharacter(text[end])) {
            --end;
        }
        pieces.emplace_back(start, end - start);
        start = end;
    }

    std::vector<std::string> frames;
    frames.reserve(pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
        Json part = Json::object();
        part["id"] = answer.at("id");
        part["part"] = i + 1;
        part["parts"] = pieces.size();
        part["data"] = text.substr(pieces[i].first, pieces[i].second);
        frames.push_back(part.dump());
    }
    return frames;
}

}  // namespace vellum::host
