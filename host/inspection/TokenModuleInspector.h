// Loads the token module the way the plug-in does (dlopen of the fixed path, C_GetFunctionList,
// C_Initialize) and reads what it shows without a login: its own description, every slot with a
// token, their flags and mechanisms, and the certificate objects. Never logs in and never
// handles a PIN. The module is finalised and unloaded again before inspect() returns.
#pragma once

#include <string>

#include "inspection/TokenFacts.h"

namespace vellum::host {

class TokenModuleInspector {
public:
    // The plug-in reads at most this many certificate objects per slot.
    static constexpr unsigned long kPluginSearchLimit = 64;

    static ModuleFacts inspect(const std::string& path);
};

}  // namespace vellum::host
