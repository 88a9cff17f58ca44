// The entry points of the plug-in module linked into this program, for PluginHost's in-process
// mode. Only for programs that link the module's libraries (CMake target
// vellum_pluginhost_inprocess):
//
//     vellum::pluginhost::PluginHost host(vellum::pluginhost::linkedPlugin());
#pragma once

#include "npapi/npfunctions.h"
#include "pluginhost/PluginLibrary.h"

namespace vellum::pluginhost {

inline PluginEntryPoints linkedPlugin() noexcept {
    PluginEntryPoints entryPoints;
    entryPoints.initialize = &NP_Initialize;
    entryPoints.getEntryPoints = &NP_GetEntryPoints;
    entryPoints.getValue = &NP_GetValue;
    entryPoints.shutdown = &NP_Shutdown;
    return entryPoints;
}

}  // namespace vellum::pluginhost
