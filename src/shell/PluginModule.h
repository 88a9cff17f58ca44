#pragma once

#include "npapi/npfunctions.h"

// Module-level functions behind the entry points. They have C++ linkage on purpose: they are
// exported only under their decorated names, so a host looking up the plain names finds none.

// The MIME description "type:extensions:description"; constant text that lives with the module.
NP_EXPORT(const char*) NPP_GetMIMEDescription();

// Start-up and shut-down work of the module; there is none.
NP_EXPORT(NPError) NS_PluginInitialize();
NP_EXPORT(void) NS_PluginShutdown();

// The module-level answer to NP_GetValue: the name (also as the description) and whether the
// module needs XEmbed (it does not; nothing is stored).
NP_EXPORT(NPError) NS_PluginGetValue(NPPVariable variable, void* value);
