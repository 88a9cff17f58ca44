// Makes one chosen malloc or calloc, or the next dlopen, of the code linked into this test program
// fail. The program is linked with --wrap=malloc, --wrap=calloc and --wrap=dlopen, so the
// service's own calls pass through here, while those inside shared libraries (libstdc++,
// OpenSSL, the token module) do not.
#pragma once

#include <cstddef>

namespace service_test {

// The next allocation of exactly `size` bytes (calloc: count × size) after `skip` others of that
// size returns null. One failure per arming.
void failAllocationOfSize(size_t size, int skip = 0);
void disarmAllocationFailure();
// Whether the armed failure has happened.
bool allocationFailed();

// The next dlopen returns null, as for a module that cannot be loaded; one failure per arming.
void failNextLoad();

}  // namespace service_test
