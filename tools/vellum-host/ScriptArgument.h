// Turns a word of the command line into the script value page script would pass: a decimal
// integer in the int32 range becomes an int32, "str:TEXT" the string TEXT, anything else the
// string as written. "0102" stays a string (serial numbers often look like that), as does any
// number out of range.
#pragma once

#include <string>

#include "pluginhost/ScriptValue.h"

namespace vellum::host {

class ScriptArgument {
public:
    static constexpr const char* kStringPrefix = "str:";

    static pluginhost::ScriptValue fromWord(const std::string& word);
};

}  // namespace vellum::host
