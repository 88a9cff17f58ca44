// Turns one answer into the frames that carry it. A browser closes the port on a frame above
// FrameChannel::kMaxOutgoing bytes, and a SignData envelope over a large text is far larger: an
// answer whose JSON text exceeds kSplitAbove bytes goes as numbered parts,
//     {"id": ID, "part": 1, "parts": N, "data": "<piece of the answer's JSON text>"}
// which the caller joins in order and parses as the answer. Pieces end on whole UTF-8
// characters, so each piece is a valid JSON string, and each part frame fits the limit.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/JsonText.h"

namespace vellum::host {

class AnswerFrames {
public:
    static constexpr size_t kSplitAbove = 1000000;

    // `answer` carries its "id" member.
    static std::vector<std::string> of(const Json& answer);
};

}  // namespace vellum::host
