// Holds off a test's fault injection while the host does its own work. The host stands for the
// browser: its books (memory, objects, identifiers, what it records) are not under test and must
// not fail when a test makes the plug-in's allocations fail. Such a test installs a hook, which
// the host calls with true when a piece of its own work begins and with false when it ends;
// pauses may nest. Without a hook a pause does nothing.
#pragma once

namespace vellum::pluginhost {

class FaultPause {
public:
    using Hook = void (*)(bool paused);

    // Replaces the hook (null: none). Set it while no pause exists.
    static void setHook(Hook hook) noexcept;

    FaultPause() noexcept;
    ~FaultPause();
    FaultPause(const FaultPause&) = delete;
    FaultPause& operator=(const FaultPause&) = delete;

private:
    Hook hook_;
};

}  // namespace vellum::pluginhost
