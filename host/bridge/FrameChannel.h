// The native messaging stream: each frame is a 4-byte length in the machine's byte order, then
// that many bytes (UTF-8 JSON, which this class does not look at). Frames in are read whole or
// not at all; a frame out is handed to write() in one buffer, so a frame is either all on the
// stream or, when the reader has gone, absent from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vellum::host {

class FrameChannel {
public:
    // What a browser may send: Chromium's cap on a message from a page.
    static constexpr uint32_t kMaxIncoming = 64u * 1024u * 1024u;
    // What a browser accepts from the host; one byte more and it closes the port.
    static constexpr size_t kMaxOutgoing = 1024u * 1024u;

    enum class Read {
        Frame,     // `frame` holds the next frame
        End,       // the stream ended between frames
        TooLong,   // a length above kMaxIncoming: the stream cannot be followed further
        CutShort,  // the stream ended inside a frame
        Failed,    // read() failed
    };

    FrameChannel(int in, int out) noexcept : in_(in), out_(out) {}

    // On anything but Frame, `problem` says what happened, in one line.
    Read read(std::string& frame, std::string& problem);
    // False when `body` exceeds kMaxOutgoing (nothing written) or the stream is closed.
    bool write(const std::string& body, std::string& problem);

private:
    // Bytes read into `buffer`, fewer than `size` only at the end of the stream; -1 on error.
    long readFully(char* buffer, size_t size);

    int in_;
    int out_;
};

}  // namespace vellum::host
