// Script that the host runs from inside a token module call, as a browser delivers script calls
// and events from the nested event loop of a modal PIN dialog that the token module shows inside
// C_Login. The forwarding token module (VELLUM_P11FWD_MODAL_LOOP) enters the loop through the
// C function vellum_host_modal_loop of the process, which it finds with dlsym: a program using
// this must export its symbols (CMake ENABLE_EXPORTS).
//
//     pluginhost::ModalLoop loop([&](const std::string& function) {
//         nested = host.invoke("getCertList");
//     });
//     host.getProperty("Signature");   // the module runs the loop inside its C_Login
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace vellum::pluginhost {

class ModalLoop {
public:
    // What runs in the loop; the argument names the PKCS#11 call the module is inside.
    using Step = std::function<void(const std::string& function)>;

    // Runs `step` in every loop the module enters while this object lives; loops entered with
    // no ModalLoop alive, or from inside the step, do nothing. One at a time.
    explicit ModalLoop(Step step);
    ~ModalLoop();
    ModalLoop(const ModalLoop&) = delete;
    ModalLoop& operator=(const ModalLoop&) = delete;

    // Loops run so far, and the call the last one ran inside ("" before the first).
    size_t runs() const noexcept { return runs_; }
    const std::string& lastFunction() const noexcept { return lastFunction_; }

    // Called by the entry point; runs the step of the live loop.
    static void enter(const char* function) noexcept;

private:
    Step step_;
    size_t runs_ = 0;
    std::string lastFunction_;
    bool running_ = false;
};

}  // namespace vellum::pluginhost

// The entry point the token module calls.
extern "C" void vellum_host_modal_loop(const char* function);
