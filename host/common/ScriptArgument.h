// Turns a word of the command line into the script value page script would pass: a decimal
// integer in the int32 range becomes an int32, "str:TEXT" the string TEXT, anything else the
// string as written. "0102" stays a string (serial numbers often look like that), as does any
// number out of range.
//
// The browser bridge passes JSON values instead, by the same rule as a browser turns a page's
// values into NPAPI ones: a string is a string, a number with an integer value in the int32 range
// an int32 (1.0 included: script has one number type), any other number a double, true and false
// a boolean, null null. The doubles JSON has no text for go in a tagged form, the same both ways:
// {"number": "NaN"}, {"number": "Infinity"}, {"number": "-Infinity"}, {"number": "-0"}. Arrays
// and other objects have no NPAPI form here.
#pragma once

#include <string>

#include "common/JsonText.h"
#include "pluginhost/ScriptValue.h"

namespace vellum::host {

class ScriptArgument {
public:
    static constexpr const char* kStringPrefix = "str:";

    static pluginhost::ScriptValue fromWord(const std::string& word);

    static constexpr const char* kNumberTag = "number";

    // False for a JSON value without a script form (array, object but the tagged form). By
    // value: a caller done with its JSON moves it in, and a text moves on instead of being
    // copied (a request's text can be most of its frame).
    static bool fromJson(Json json, pluginhost::ScriptValue& value);

    // A double as JSON: a number, or the tagged form for NaN, the infinities and -0.
    static Json jsonOfDouble(double number);
};

}  // namespace vellum::host
