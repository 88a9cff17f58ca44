#include "AllocationFaults.h"

#include <cstdlib>
#include <new>

namespace {

// The tests run on one thread, as the plug-in does.
std::size_t countdown = 0;
bool hasFired = false;
int pauses = 0;

void* allocate(std::size_t size) {
    if (AllocationFaults::shouldFail()) {
        throw std::bad_alloc();
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

}  // namespace

void AllocationFaults::failNth(std::size_t nth) noexcept {
    countdown = nth;
    hasFired = false;
}

void AllocationFaults::disarm() noexcept {
    countdown = 0;
}

bool AllocationFaults::fired() noexcept {
    return hasFired;
}

bool AllocationFaults::available() noexcept {
    // Through volatile pointers, so that the compiler neither drops the pair nor inlines the
    // definitions here in place of whatever the process really calls.
    void* (*volatile allocateBlock)(std::size_t) = &::operator new;
    void (*volatile releaseBlock)(void*) noexcept = &::operator delete;
    failNth(1);
    try {
        releaseBlock(allocateBlock(16));
    } catch (const std::bad_alloc&) {
    }
    disarm();
    return fired();
}

void AllocationFaults::pauseHook(bool paused) {
    pauses += paused ? 1 : -1;
}

bool AllocationFaults::shouldFail() noexcept {
    if (countdown == 0 || pauses > 0) {
        return false;
    }
    if (--countdown == 0) {
        hasFired = true;
        return true;
    }
    return false;
}

// Every form the code under test may use, new and delete alike, so that allocation and release
// always pair malloc with free (the sanitizers check the pairing).
void* operator new(std::size_t size) {
    return allocate(size);
}

void* operator new[](std::size_t size) {
    return allocate(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete[](void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    std::free(block);
}
