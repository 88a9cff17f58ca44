#pragma once

#include <cstdint>

#include "npapi/npapi.h"

// The arguments of NPP_New, gathered for the length of one NS_NewPluginInstance call. Only
// `instance` is used: the plug-in reads no attribute of the embedding element.
struct nsPluginCreateData {
    NPP instance;
    NPMIMEType type;
    uint16_t mode;
    int16_t argc;
    char** argn;
    char** argv;
    NPSavedData* saved;
};
