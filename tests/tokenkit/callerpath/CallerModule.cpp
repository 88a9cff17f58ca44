// A module that opens libraries itself, as a token module opens its own helpers: its dlopen
// reference is bound when it loads, so it reaches the test program's dlopen, and a bare name is
// searched by this module's RUNPATH ($ORIGIN: its own folder), not the program's.
#include <dlfcn.h>

extern "C" __attribute__((visibility("default"))) void* vellum_caller_open(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}
