#include "install/RecordedModule.h"

#include <filesystem>
#include <system_error>

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
    recorded.unsafe = othersCanChange(recorded.path, systemWide, true);
    // Loading runs the module's code, here with the rights of whoever asks (root, too): never
    // code someone else could have put there.
    if (!recorded.unsafe.empty()) {
        std::error_code code;
        recorded.notLoaded = std::filesystem::exists(recorded.path, code);
        recorded.error = recorded.notLoaded ? "not loaded, as others can change it"
                                            : recorded.path + ": no such file";
        return recorded;
    }
    recorded.loads = moduleLoads(recorded.path, recorded.error);
    return recorded;
}

std::string RecordedModule::othersCanChange(const std::string& path, bool systemWide,
                                            bool recorded) {
    std::vector<uid_t> trusted = WriteAccess::trusted(systemWide);
    if (recorded) {
        if (const std::optional<uid_t> unseen = WriteAccess::unseenOwner()) {
            trusted.push_back(*unseen);
        }
    }
    return WriteAccess::untrusted(path, trusted, WriteAccess::SharedFolders::Refused);
}

std::string RecordedModule::refusalToMap(const BridgeSettings& settings) {
    const std::string found =
        settings.tokenModule.empty() ? "" : othersCanChange(settings.tokenModule, false, true);
    if (found.empty()) {
        return "";
    }
    return "the token module " + settings.tokenModule + " recorded in " + settings.file.string() +
           " is not mapped: others can change " + found +
           "; record one that only you or root can change with 'vellum-host bridge install "
           "--token-module PATH'";
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
    return "token module: " + path + " (recorded in " + file + "): " +
           (loads       ? std::string("loads")
            : notLoaded ? std::string("not loaded")
                        : "does not load: " + error) +
           (unsafe.empty() ? "" : "\n  unsafe: others can change " + unsafe);
}

}  // namespace vellum::host
