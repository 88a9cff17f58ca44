// The host's function table (NPNetscapeFuncs) handed to NP_Initialize: size and version of
// API 0.27 and every entry filled with a plain C function. NPAPI's host calls carry no pointer
// back to a host object (NPN_MemAlloc has only a size), so every entry acts on
// PluginHost::current(), the most recently constructed host still alive. One host at a time can
// therefore serve a module; with no host alive the entries answer failure and touch nothing.
//
// Entries for memory, the model questions, identifiers, objects and variants do real work;
// NPN_SetException is recorded; everything else (URLs, streams, timers, drawing, ...) is
// recorded as an "other call" and answered with a harmless failure.
#pragma once

#include "npapi/npfunctions.h"

namespace vellum::pluginhost {

// (0 << 8) | 27: major version 0, minor version 27.
constexpr uint16_t kHostApiVersion = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;

NPNetscapeFuncs hostFunctionTable() noexcept;

}  // namespace vellum::pluginhost
