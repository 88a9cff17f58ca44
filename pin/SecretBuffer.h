// A PIN while it is in this process: a fixed buffer that is never copied or reallocated, and
// that is wiped (explicit_bzero, which the compiler may not drop) when it goes.
#pragma once

#include <string.h>

#include <array>
#include <cstddef>

namespace vellum::pin {

class SecretBuffer {
public:
    // Longer than any PIN a token takes; pinentry itself caps an entry below this.
    static constexpr size_t kCapacity = 256;

    SecretBuffer() = default;
    ~SecretBuffer() { clear(); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    // Appends `length` bytes; false, leaving the buffer cleared, when they do not fit.
    bool append(const void* data, size_t length) {
        if (length > kCapacity - length_) {
            clear();
            return false;
        }
        memcpy(bytes_.data() + length_, data, length);
        length_ += length;
        return true;
    }

    void clear() {
        explicit_bzero(bytes_.data(), bytes_.size());
        length_ = 0;
    }

    unsigned char* data() { return bytes_.data(); }
    size_t size() const { return length_; }
    bool empty() const { return length_ == 0; }

private:
    std::array<unsigned char, kCapacity> bytes_{};
    size_t length_ = 0;
};

}  // namespace vellum::pin
