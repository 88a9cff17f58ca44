#pragma once

#include <cstdint>
#include <string>

#include "npapi/npruntime.h"
#include "script/ScriptArguments.h"
#include "service/ServiceBase.h"

// The script interface of the signing object: 7 properties and 19 methods, each name beside
// the service operation it reaches. The host's identifiers for the names are shared by every
// object of the process.
class SigningScriptApi {
public:
    // What reading and writing a property do; null where the property cannot be read or
    // written.
    struct Property {
        std::string (ServiceBase::*read)();
        void (ServiceBase::*write)(std::string);
    };

    // A method: the argument count it insists on (kAnyArgumentCount when it only uses the
    // arguments it needs), and the call, which answers false when an argument it uses is missing
    // or of the wrong kind, or when the result cannot be handed over.
    struct Method {
        int32_t requiredArgumentCount;
        bool (*call)(ServiceBase& service, const ScriptArguments& args, NPVariant* result);
    };
    static constexpr int32_t kAnyArgumentCount = -1;

    // Asks the host for the identifiers of the property names, then of the method names, and
    // keeps them for every object.
    static void internNames() noexcept;

    // The property or method whose identifier `name` is; null if there is none.
    static const Property* findProperty(NPIdentifier name) noexcept;
    static const Method* findMethod(NPIdentifier name) noexcept;
};
