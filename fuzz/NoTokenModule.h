// The fuzzers drive a real plug-in instance with no token behind it: with a module at the fixed
// path its token operations would do real work, and what the fuzzers check would not hold. Each
// calls this from LLVMFuzzerInitialize.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "PluginIdentity.h"

namespace vellum::fuzz {

inline void requireNoTokenModule(const char* fuzzer) {
    if (::access(kTokenModulePath, F_OK) == 0 || errno != ENOENT) {
        std::fprintf(stderr, "%s exists (or cannot be checked); the %s fuzzer needs it absent\n",
                     kTokenModulePath, fuzzer);
        std::abort();
    }
}

}  // namespace vellum::fuzz
