// What is installed of the browser bridge: for each browser and scope, whether a host manifest
// is there, which program it starts and whether that program can run, and which extensions it
// allows. bridge status and doctor show it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "install/BridgePlaces.h"

namespace vellum::host {

struct ManifestState {
    Browser browser = Browser::Chromium;
    std::string scope;  // "user", "system" or "user-data-dir"
    std::filesystem::path path;
    bool present = false;
    std::string error;         // the file is there but is not a usable manifest, or empty
    std::string program;       // its "path"
    bool programRuns = false;  // an existing, executable file
    std::vector<std::string> allowed;
    // The program is not the vellum-host looking (the one that installs and checks manifests).
    bool otherProgram = false;
    // The manifest, its program or that program's plug-in module, or a folder above them, that
    // others than the install's owners (root; and the user, for the user's own) can change:
    // "PATH (why)", or empty.
    std::string unsafe;
    // For a user's manifest that is not there: the system-wide one of the same browser that
    // serves every user instead (there, usable, starting a program that runs), or empty.
    std::filesystem::path servedBy;

    Json json() const;
    // "chromium (user): PATH -> PROGRAM, allows ..." or "... not installed".
    std::string text() const;
};

class BridgeSurvey {
public:
    // `scope` "system": the manifest is root's alone; otherwise the user's and root's.
    static ManifestState inspect(Browser browser, std::string scope,
                                 const std::filesystem::path& path);
    // Every browser in both scopes, user first.
    static std::vector<ManifestState> all(const BridgePlaces& places);
    // Sets servedBy on each user's missing manifest whose browser has a usable system one.
    static void noteServedBySystem(std::vector<ManifestState>& states);
};

}  // namespace vellum::host
