#include "install/RecordedModule.h"

#include "inspection/TokenModuleInspector.h"

namespace vellum::host {

RecordedModule RecordedModule::inspect(const BridgeSettings& settings) {
    RecordedModule recorded;
    recorded.path = settings.tokenModule;
    recorded.file = settings.file.string();
    if (recorded.path.empty()) {
        return recorded;
    }
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
                {"error", error.empty() ? Json(nullptr) : Json(error)}};
}

std::string RecordedModule::text() const {
    if (path.empty()) {
        return "token module: none recorded (the plug-in's fixed path is used as it stands)";
    }
    return "token module: " + path + " (recorded in " + file +
           "): " + (loads ? std::string("loads") : "does not load: " + error);
}

}  // namespace vellum::host
