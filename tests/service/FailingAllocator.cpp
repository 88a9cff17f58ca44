#include "FailingAllocator.h"

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void* __real_dlopen(const char* path, int flags);

namespace service_test {
namespace {

bool armed = false;
bool failed = false;
size_t failingSize = 0;
int skipsLeft = 0;
bool loadFails = false;

bool failNow(size_t size) {
    if (!armed || size != failingSize) {
        return false;
    }
    if (skipsLeft > 0) {
        --skipsLeft;
        return false;
    }
    armed = false;
    failed = true;
    return true;
}

}  // namespace

void failAllocationOfSize(size_t size, int skip) {
    failingSize = size;
    skipsLeft = skip;
    failed = false;
    armed = true;
}

void disarmAllocationFailure() {
    armed = false;
}

bool allocationFailed() {
    return failed;
}

void failNextLoad() {
    loadFails = true;
}

bool loadFailsNow() {
    const bool fails = loadFails;
    loadFails = false;
    return fails;
}

}  // namespace service_test

extern "C" void* __wrap_malloc(size_t size) {
    return service_test::failNow(size) ? nullptr : __real_malloc(size);
}

extern "C" void* __wrap_dlopen(const char* path, int flags) {
    return service_test::loadFailsNow() ? nullptr : __real_dlopen(path, flags);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    return service_test::failNow(count * size) ? nullptr : __real_calloc(count, size);
}
