#include "install/BridgeSettings.h"

#include <system_error>

#include "install/BridgeFiles.h"

namespace vellum::host {

bool BridgeSettings::read(const std::filesystem::path& file, BridgeSettings& settings,
                          std::string& error) {
    std::error_code code;
    if (!std::filesystem::exists(file, code)) {
        return true;
    }
    std::string text;
    if (!BridgeFiles::read(file, text, error)) {
        return false;
    }
    Json json = Json::parse(text, nullptr, false);
    auto module = json.is_object() ? json.find("tokenModule") : json.end();
    auto pinentry = json.is_object() ? json.find("pinentry") : json.end();
    if (json.is_discarded() || !json.is_object() ||
        (module != json.end() && !module->is_string()) ||
        (pinentry != json.end() && !pinentry->is_string())) {
        error = file.string() + " is not a bridge settings file";
        return false;
    }
    settings.file = file;
    settings.tokenModule = module != json.end() ? module->get<std::string>() : "";
    settings.pinentry = pinentry != json.end() ? pinentry->get<std::string>() : "";
    return true;
}

bool BridgeSettings::load(const BridgePlaces& places, BridgeSettings& settings,
                          std::string& error) {
    for (ManifestScope scope : {ManifestScope::User, ManifestScope::System}) {
        BridgeSettings found;
        if (!read(places.settingsFile(scope), found, error)) {
            return false;
        }
        // Each setting from the first file that has it: the user's, else the system's.
        if (settings.tokenModule.empty() && !found.tokenModule.empty()) {
            settings.tokenModule = found.tokenModule;
            settings.file = found.file;
        }
        if (settings.pinentry.empty()) {
            settings.pinentry = found.pinentry;
        }
    }
    return true;
}

bool BridgeSettings::write(const std::filesystem::path& file, const std::string& tokenModule,
                           std::string& error) {
    // A pinentry named in the file stays.
    BridgeSettings kept;
    std::string unreadable;
    read(file, kept, unreadable);
    Json json = Json::object();
    json["tokenModule"] = tokenModule;
    if (!kept.pinentry.empty()) {
        json["pinentry"] = kept.pinentry;
    }
    return BridgeFiles::replace(file, json.dump(2) + "\n", error);
}

}  // namespace vellum::host
