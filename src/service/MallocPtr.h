#pragma once

#include <cstdlib>
#include <memory>

// Owner of a block from malloc, released with free: the blocks handed to and from the PKCS#11
// and OpenSSL work are malloc'd by convention.
struct FreeBlock {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <class T>
using MallocPtr = std::unique_ptr<T, FreeBlock>;
