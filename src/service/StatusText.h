#pragma once

#include <cstring>
#include <string>
#include <utility>

// The status text of the service's last token operation: a fixed text of static storage, or one
// built from a message and a PKCS#11 result. A fixed text is held by its pointer, so setting one
// never allocates and even running out of memory can always be told.
class StatusText {
public:
    // `fixed` must be of static storage (a literal), as for setFixed.
    explicit StatusText(const char* fixed = "") noexcept : fixed(fixed) {}

    void setFixed(const char* text) noexcept { fixed = text; }
    void setBuilt(std::string text) noexcept {
        built = std::move(text);
        fixed = nullptr;
    }
    const char* text() const noexcept { return fixed ? fixed : built.c_str(); }
    bool equals(const char* other) const noexcept { return std::strcmp(text(), other) == 0; }
    void swap(StatusText& other) noexcept {
        std::swap(fixed, other.fixed);
        built.swap(other.built);
    }

private:
    const char* fixed;  // null while the built text is the status text
    std::string built;
};
