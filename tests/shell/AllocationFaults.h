#pragma once

#include <cstddef>

// Makes one chosen allocation through operator new (plain, array or nothrow) fail, so tests can
// see that running out of memory is answered and nothing is thrown at the host. The test binary
// replaces the global allocation functions; they allocate normally while nothing is armed.
class AllocationFaults {
public:
    // The `nth` allocation from now (1 = the next one) fails; the others succeed.
    static void failNth(std::size_t nth) noexcept;
    static void disarm() noexcept;
    // True if the armed allocation has been reached (and failed) since the last failNth.
    static bool fired() noexcept;
    // False where a tool (valgrind) puts its own allocation functions in place of the test's,
    // so no fault can be injected.
    static bool available() noexcept;

    // The plug-in host's pause hook (pluginhost/FaultPause.h): while paused, allocations are
    // neither counted nor failed, for the host stands for the browser and is not under test.
    static void pauseHook(bool paused);

    // Whether the next allocation should fail; counts it. Used by the replaced operator new.
    static bool shouldFail() noexcept;
};
