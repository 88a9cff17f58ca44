#include "bridge/FrameChannel.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vellum::host {

long FrameChannel::readFully(char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(in_, buffer + got, size - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<long>(got);
}

FrameChannel::Read FrameChannel::read(std::string& frame, std::string& problem) {
    char header[sizeof(uint32_t)];
    long got = readFully(header, sizeof header);
    if (got < 0) {
        problem = std::string("cannot read standard input: ") + std::strerror(errno);
        return Read::Failed;
    }
    if (got == 0) {
        return Read::End;
    }
    if (got < static_cast<long>(sizeof header)) {
        problem =
            "the input ended inside a frame's length (" + std::to_string(got) + " of 4 bytes)";
        return Read::CutShort;
    }
    uint32_t length = 0;
    std::memcpy(&length, header, sizeof length);
    if (length > kMaxIncoming) {
        problem = "a frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                  std::to_string(kMaxIncoming);
        return Read::TooLong;
    }
    frame.resize(length);
    got = readFully(frame.data(), length);
    if (got < 0) {
        problem = std::string("cannot read standard input: ") + std::strerror(errno);
        return Read::Failed;
    }
    if (got < static_cast<long>(length)) {
        problem = "the input ended inside a frame (" + std::to_string(got) + " of " +
                  std::to_string(length) + " bytes)";
        frame.clear();
        return Read::CutShort;
    }
    return Read::Frame;
}

bool FrameChannel::write(const std::string& body, std::string& problem) {
    if (body.size() > kMaxOutgoing) {
        problem = "an answer frame of " + std::to_string(body.size()) + " bytes exceeds " +
                  std::to_string(kMaxOutgoing);
        return false;
    }
    const auto length = static_cast<uint32_t>(body.size());
    std::string frame(sizeof length, '\0');
    std::memcpy(frame.data(), &length, sizeof length);
    frame += body;
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::write(out_, frame.data() + sent, frame.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            problem = std::string("cannot write standard output: ") + std::strerror(errno);
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace vellum::host
