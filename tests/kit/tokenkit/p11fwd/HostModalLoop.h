// Runs the host's modal event loop from inside a PKCS#11 call, as a token module that shows its
// own PIN dialog does inside C_Login: the host may deliver script calls from that loop, and so
// call the module again while the outer call is still in it.
//
// The host offers the loop as a C function of its process, kEntryPoint, found with
// dlsym(RTLD_DEFAULT) (an executable must export its symbols for that). A dialog is not opened
// again from inside its own loop: calls made from the loop run no loop of their own.
#pragma once

namespace vellum::p11fwd {

class HostModalLoop {
public:
    static constexpr const char* kEntryPoint = "vellum_host_modal_loop";
    using EntryPoint = void (*)(const char* function);

    // Runs the loop for `function`, logging "@modal-loop-begin/-end function=NAME"; logs
    // "@modal-loop-missing" when the process offers no loop, "@modal-loop-nested" from inside
    // one.
    static void run(const char* function);
};

}  // namespace vellum::p11fwd
