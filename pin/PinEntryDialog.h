// One PIN dialog through a pinentry program, the PIN dialog of Linux desktops, over its Assuan
// protocol (libassuan runs the program with its standard input and output as the two pipes):
// OPTION, SETTITLE, SETDESC, SETPROMPT, SETERROR, GETPIN, BYE. The typed PIN goes only into a
// SecretBuffer; libassuan is in confidential mode while it is read, so it wipes its own line
// buffer and logs nothing of it.
#pragma once

#include <string>

#include "PinDialogText.h"
#include "SecretBuffer.h"

namespace vellum::pin {

class PinEntryDialog {
public:
    enum class Outcome {
        Entered,      // `pin` holds what was typed (possibly nothing)
        Cancelled,    // the user closed the dialog or pressed Cancel
        Unavailable,  // no dialog could be shown; `problem` says why
    };

    static Outcome ask(const std::string& program, const PinDialogText& text, SecretBuffer& pin,
                       std::string& problem);

    // `text` as one argument of a protocol line: '%', control characters (newlines too) and
    // nothing else percent-escaped.
    static std::string escaped(const std::string& text);
};

}  // namespace vellum::pin
