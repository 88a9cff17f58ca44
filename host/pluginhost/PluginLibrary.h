// A plug-in module loaded with dlopen, or linked into this program, and its four entry points.
#pragma once

#include <string>

#include "npapi/npfunctions.h"

namespace vellum::pluginhost {

// The four entry points of a module linked into this program (see LinkedPlugin.h).
struct PluginEntryPoints {
    NP_InitializeFunc initialize = nullptr;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_GetValueFunc getValue = nullptr;
    NP_ShutdownFunc shutdown = nullptr;
};

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
    // Takes the entry points of a module linked in; nothing is loaded or unloaded.
    void link(const PluginEntryPoints& entryPoints) noexcept;
    void close() noexcept;
    bool isOpen() const noexcept { return handle_ != nullptr || linked_; }

    // Any other symbol of a loaded module, or null (always null for a linked one).
    void* symbol(const char* name) const noexcept;

    NP_InitializeFunc initialize = nullptr;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_GetValueFunc getValue = nullptr;
    NP_ShutdownFunc shutdown = nullptr;

private:
    void* handle_ = nullptr;
    bool linked_ = false;
};

}  // namespace vellum::pluginhost
