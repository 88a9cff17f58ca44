// The bridge's settings file, written by 'bridge install' and read by the native host at start,
// which a browser starts with no options of ours: {"tokenModule": "/usr/lib/.../module.so"}, the
// token module to map at the plug-in's fixed path (Linux). The user's file wins over the
// system's.
#pragma once

#include <filesystem>
#include <string>

#include "install/BridgePlaces.h"

namespace vellum::host {

struct BridgeSettings {
    std::string tokenModule;     // empty: none recorded
    std::filesystem::path file;  // where the token module was read from, or empty
    // The pinentry program the PIN module runs (Linux), named by hand in the file:
    // {"tokenModule": "...", "pinentry": "/usr/bin/pinentry-gnome3"}; empty: pinentry on PATH.
    std::string pinentry;

    // The settings in effect, each from the user's file, else the system's. False with the reason
    // when a file exists but cannot be read or is not a settings file.
    static bool load(const BridgePlaces& places, BridgeSettings& settings, std::string& error);
    // One file; a missing file is no settings (true, empty).
    static bool read(const std::filesystem::path& file, BridgeSettings& settings,
                     std::string& error);
    static bool write(const std::filesystem::path& file, const std::string& tokenModule,
                      std::string& error);
};

}  // namespace vellum::host
