#include "HostModalLoop.h"

#include <dlfcn.h>

#include <string>

#include "FwdLog.h"

namespace vellum::p11fwd {
namespace {

bool loopRunning = false;

}  // namespace

void HostModalLoop::run(const char* function) {
    const std::string name = std::string("function=") + function;
    if (loopRunning) {
        FwdLog::write("@modal-loop-nested " + name);
        return;
    }
    auto entry = reinterpret_cast<EntryPoint>(dlsym(RTLD_DEFAULT, kEntryPoint));
    if (entry == nullptr) {
        FwdLog::write("@modal-loop-missing " + name);
        return;
    }
    FwdLog::write("@modal-loop-begin " + name);
    loopRunning = true;
    entry(function);
    loopRunning = false;
    FwdLog::write("@modal-loop-end " + name);
}

}  // namespace vellum::p11fwd
