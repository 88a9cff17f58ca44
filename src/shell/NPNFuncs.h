#pragma once

#include "npapi/npfunctions.h"

// The process-wide copy of the host's function table, filled by NP_Initialize. Every call to
// the host goes through it, either by a gate (NPN_GetValue, ...) or by an entry directly.
extern NPNetscapeFuncs NPNFuncs;

// The copy of a host table that the module keeps: `size`, `version` and every entry up to
// `setexception`, except the two Java entries, which stay null, as do all entries after
// `setexception`. An entry that does not lie wholly within the host's `size` bytes is not read
// and stays null.
NPNetscapeFuncs copyHostFunctions(const NPNetscapeFuncs& host) noexcept;
