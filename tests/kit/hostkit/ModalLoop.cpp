#include "hostkit/ModalLoop.h"

#include <utility>

namespace vellum::pluginhost {
namespace {

ModalLoop* liveLoop = nullptr;

}  // namespace

ModalLoop::ModalLoop(Step step) : step_(std::move(step)) {
    liveLoop = this;
}

ModalLoop::~ModalLoop() {
    if (liveLoop == this) {
        liveLoop = nullptr;
    }
}

void ModalLoop::enter(const char* function) noexcept {
    ModalLoop* loop = liveLoop;
    // Not from inside itself either. The token module keeps the same rule, but a copy of it
    // that was unloaded and mapped again under a running loop has forgotten it.
    if (loop == nullptr || loop->running_) {
        return;
    }
    // Nothing may unwind into the token module: a failing step ends the loop, which the test
    // sees in what the step did not record.
    try {
        ++loop->runs_;
        loop->lastFunction_ = function != nullptr ? function : "";
        loop->running_ = true;
        loop->step_(loop->lastFunction_);
    } catch (...) {
    }
    loop->running_ = false;
}

}  // namespace vellum::pluginhost

extern "C" void vellum_host_modal_loop(const char* function) {
    vellum::pluginhost::ModalLoop::enter(function);
}
