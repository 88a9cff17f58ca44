#include "fixedpath/TokenModuleRedirect.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace vellum::fixedpath {
namespace {

// One published target. `file` empty: the fixed path as it stands.
struct Target {
    std::string file;
    const Target* previous;  // keeps every target ever published reachable, never freed
};

std::atomic<const Target*> current{nullptr};

// False when there is no memory for it; the target in force then stays.
bool publish(const char* prefix, const char* file) noexcept {
    try {
        auto next = std::make_unique<Target>(Target{std::string(prefix) + file, current.load()});
        while (!current.compare_exchange_weak(next->previous, next.get())) {
        }
        next.release();
        return true;
    } catch (...) {  // no memory for the string or the target
        return false;
    }
}

// Where nothing can be: the kernel creates no file under /proc/self of a name it does not know,
// so the loader's message is "<this path>: cannot open shared object file: No such file or
// directory", and it says why.
constexpr const char* kNothingChosen = "/proc/self/no token module is chosen for ";

using Dlopen = void* (*)(const char*, int);

void* refuse(const char*, int) {
    return nullptr;
}

// The definition after this program's: the C library's, or a sanitizer's that ends there.
Dlopen nextDlopen() noexcept {
    static const Dlopen next = [] {
        void* found = ::dlsym(RTLD_NEXT, "dlopen");
        return found != nullptr ? reinterpret_cast<Dlopen>(found) : &refuse;
    }();
    return next;
}

}  // namespace

bool TokenModuleRedirect::pointAt(const std::string& module, std::string& error) {
    if (module.empty() || module[0] != '/') {
        error = "the token module's path must be absolute: " + module;
        return false;
    }
    if (!inForce()) {
        error =
            "this program's dlopen is not the one loaded code binds to (it must be linked "
            "with --export-dynamic-symbol=dlopen), so " +
            std::string(kFixedPath) + " cannot be pointed at " + module;
        return false;
    }
    if (!publish("", module.c_str())) {
        error = "out of memory pointing " + std::string(kFixedPath) + " at " + module;
        return false;
    }
    return true;
}

bool TokenModuleRedirect::pointAtNothing() noexcept {
    return publish(kNothingChosen, kFixedPath);
}

bool TokenModuleRedirect::clear() noexcept {
    return publish("", "");
}

const char* TokenModuleRedirect::target() noexcept {
    const Target* target = current.load(std::memory_order_acquire);
    return target == nullptr || target->file.empty() ? kFixedPath : target->file.c_str();
}

bool TokenModuleRedirect::inForce() noexcept {
    return ::dlsym(RTLD_DEFAULT, "dlopen") == reinterpret_cast<void*>(&::dlopen);
}

}  // namespace vellum::fixedpath

// The call the program's dlopen makes: which file to open, and the dlopen to open it with.
// Two pointers come back in registers (rax, rdx on x86_64).
struct VellumDlopenCall {
    const char* file;
    void* (*open)(const char*, int);
};

extern "C" __attribute__((visibility("hidden"))) VellumDlopenCall vellum_dlopen_call(
    const char* file) noexcept {
    using vellum::fixedpath::TokenModuleRedirect;
    if (file != nullptr && std::strcmp(file, TokenModuleRedirect::kFixedPath) == 0) {
        file = TokenModuleRedirect::target();
    }
    return {file, vellum::fixedpath::nextDlopen()};
}

#if defined(__x86_64__)
// glibc's dlopen takes its caller from its return address: whose RUNPATH, RPATH and $ORIGIN a
// name without a slash is searched by, and which link-map namespace the object joins. So the
// definition keeps the caller's return address on top of the stack and ends with a jump, never
// a call. It saves the mode (rsi; the push also aligns the stack for the call), asks
// vellum_dlopen_call which file and which dlopen, and jumps there with the caller's frame.
asm(R"(
    .pushsection .text
    .globl dlopen
    .type dlopen, @function
    .p2align 4
dlopen:
    .cfi_startproc
    endbr64
    pushq %rsi
    .cfi_adjust_cfa_offset 8
    call vellum_dlopen_call
    popq %rsi
    .cfi_adjust_cfa_offset -8
    movq %rax, %rdi
    jmp *%rdx
    .cfi_endproc
    .size dlopen, .-dlopen
    .popsection
)");
#else
// Elsewhere a plain forwarding call: the loader then takes this program as the caller, so a
// module named without a slash is searched by this program's RUNPATH, not its caller's. The
// plug-in names its module by an absolute path, which no caller changes.
extern "C" void* dlopen(const char* file, int mode) noexcept {
    const VellumDlopenCall call = vellum_dlopen_call(file);
    return call.open(call.file, mode);
}
#endif
