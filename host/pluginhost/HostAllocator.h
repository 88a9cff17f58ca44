// The memory that the host hands to the module through NPN_MemAlloc and takes back through
// NPN_MemFree. Every block is counted, so that a test sees how much the module still holds,
// and allocations can be refused on request to drive the module's out-of-memory paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace vellum::pluginhost {

class HostAllocator {
public:
    HostAllocator() = default;
    // Frees what is left; by then the owner has read the balance and unloaded the module.
    ~HostAllocator();
    HostAllocator(const HostAllocator&) = delete;
    HostAllocator& operator=(const HostAllocator&) = delete;

    // A block of `size` bytes (a zero-byte request still gets a distinct block), or null when
    // a refusal is pending or memory ran out.
    void* allocate(uint32_t size) noexcept;
    // False, and nothing freed, when `block` did not come from here or was freed already.
    // Null is accepted and ignored, as free() does.
    bool release(void* block) noexcept;

    // Refuses the next `count` allocations (replaces any refusals still pending).
    void failNext(size_t count) noexcept { pendingFailures_ = count; }
    size_t pendingFailures() const noexcept { return pendingFailures_; }

    bool owns(const void* block) const noexcept;
    // Size of a block handed out and not yet freed; 0 for anything else.
    size_t sizeOf(const void* block) const noexcept;

    size_t bytesOutstanding() const noexcept { return bytesOutstanding_; }
    size_t blocksOutstanding() const noexcept { return blocks_.size(); }
    size_t allocations() const noexcept { return allocations_; }
    size_t refusals() const noexcept { return refusals_; }

private:
    std::unordered_map<void*, size_t> blocks_;
    size_t bytesOutstanding_ = 0;
    size_t allocations_ = 0;
    size_t refusals_ = 0;
    size_t pendingFailures_ = 0;
};

}  // namespace vellum::pluginhost
