#include "pluginhost/FaultPause.h"

namespace vellum::pluginhost {
namespace {

FaultPause::Hook installedHook = nullptr;

}  // namespace

void FaultPause::setHook(Hook hook) noexcept {
    installedHook = hook;
}

// The hook in place at the start is the one told of the end, so the two always pair.
FaultPause::FaultPause() noexcept : hook_(installedHook) {
    if (hook_ != nullptr) {
        hook_(true);
    }
}

FaultPause::~FaultPause() {
    if (hook_ != nullptr) {
        hook_(false);
    }
}

}  // namespace vellum::pluginhost
