// Whether the plug-in released everything it took from the token module during the logged
// operations, judged by the calls it made rather than by what the module answered:
//
//   every load of the module was followed by an unload;
//   a successful C_Initialize (CKR_OK, or 0x191 "already initialised") was followed by a
//   C_Finalize before the unload;
//   every session it opened was closed with C_CloseSession before C_Finalize;
//   every successful login ended (C_Logout, or closing the session) before C_Finalize.
//
// CallLog::balanced asks the module's own accounts instead, which stop agreeing with the plug-in
// once a C_CloseSession or C_Finalize is refused on purpose: the plug-in made the call, the
// module did not carry it out.
#pragma once

#include <string>

#include "tokenkit/CallLog.h"

namespace vellum::reliability {

class ReleaseAudit {
public:
    // True when the log shows everything released; otherwise false with the first problem.
    static bool released(const tokenkit::CallLog& log, std::string* why = nullptr);
};

}  // namespace vellum::reliability
