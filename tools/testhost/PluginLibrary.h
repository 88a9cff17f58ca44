// A plug-in module loaded with dlopen, and its four entry points.
#pragma once

#include <string>

#include "npapi/npfunctions.h"

namespace vellum::testhost {

class PluginLibrary {
public:
    PluginLibrary() = default;
    ~PluginLibrary() { close(); }
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Loads the module (its symbols kept local to it) and resolves NP_Initialize,
    // NP_GetEntryPoints, NP_GetValue and NP_Shutdown; false, with nothing left loaded, when
    // the module does not load or lacks one of them.
    bool open(const std::string& path, std::string& error);
    void close() noexcept;
    bool isOpen() const noexcept { return handle_ != nullptr; }

    // Any other symbol of the module, or null.
    void* symbol(const char* name) const noexcept;

    NP_InitializeFunc initialize = nullptr;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_GetValueFunc getValue = nullptr;
    NP_ShutdownFunc shutdown = nullptr;

private:
    void* handle_ = nullptr;
};

}  // namespace vellum::testhost
