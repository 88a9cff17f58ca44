#include "pluginhost/HostAllocator.h"

#include <cstdlib>
#include <new>

namespace vellum::pluginhost {

HostAllocator::~HostAllocator() {
    for (auto& block : blocks_) {
        std::free(block.first);
    }
}

void* HostAllocator::allocate(uint32_t size) noexcept {
    if (pendingFailures_ > 0) {
        --pendingFailures_;
        ++refusals_;
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        ++refusals_;
        return nullptr;
    }
    try {
        blocks_.emplace(block, size);
    } catch (const std::bad_alloc&) {
        std::free(block);
        ++refusals_;
        return nullptr;
    }
    bytesOutstanding_ += size;
    ++allocations_;
    return block;
}

bool HostAllocator::release(void* block) noexcept {
    if (block == nullptr) {
        return true;
    }
    auto found = blocks_.find(block);
    if (found == blocks_.end()) {
        return false;
    }
    bytesOutstanding_ -= found->second;
    blocks_.erase(found);
    std::free(block);
    return true;
}

bool HostAllocator::owns(const void* block) const noexcept {
    return blocks_.count(const_cast<void*>(block)) != 0;
}

size_t HostAllocator::sizeOf(const void* block) const noexcept {
    auto found = blocks_.find(const_cast<void*>(block));
    return found == blocks_.end() ? 0 : found->second;
}

}  // namespace vellum::pluginhost
