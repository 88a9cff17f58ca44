#include "install/RecordedModule.h"

#include "inspection/TokenModuleInspector.h"
#include "install/WriteAccess.h"

namespace vellum::host {

RecordedModule RecordedModule::inspect(const BridgeSettings& settings) {
    RecordedModule recorded;
    recorded.path = settings.tokenModule;
    recorded.file = settings.file.string();
    if (recorded.path.empty()) {
        return recorded;
    }
    // Settings under /etc are root's; the user's own are the user's and root's.
    const bool systemWide = settings.file.string().rfind("/etc/", 0) == 0;
    recorded.unsafe = WriteAccess::untrusted(recorded.path, WriteAccess::trusted(systemWide));
    recorded.loads = moduleLoads(recorded.path, recorded.error);
    return recorded;
}

bool RecordedModule::moduleLoads(const std::string& path, std::string& error) {
    const ModuleFacts facts = TokenModuleInspector::inspect(path);
    const bool usable = facts.loaded && facts.functionList == "OK";
    error = !facts.loaded ? facts.error : usable ? "" : facts.functionList;
    return usable;
}

Json RecordedModule::json() const {
    if (path.empty()) {
        return nullptr;
    }
    return Json{{"path", path},
                {"file", file},
                {"loads", loads},
                {"error", error.empty() ? Json(nullptr) : Json(error)},
                {"unsafe", unsafe.empty() ? Json(nullptr) : Json(unsafe)}};
}

std::string RecordedModule::text() const {
    if (path.empty()) {
        return "token module: none recorded (the plug-in's fixed path is used as it stands)";
    }
    return "token module: " + path + " (recorded in " + file +
           "): " + (loads ? std::string("loads") : "does not load: " + error) +
           (unsafe.empty() ? "" : "\n  unsafe: others can change " + unsafe);
}

}  // namespace vellum::host
