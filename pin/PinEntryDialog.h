// One PIN dialog through a pinentry program, the PIN dialog of Linux desktops, over its Assuan
// protocol (libassuan runs the program with its standard input and output as the two pipes):
// OPTION, SETTITLE, SETDESC, SETPROMPT, SETERROR, SETTIMEOUT, then GETPIN (or CONFIRM: OK or
// Cancel, no PIN), BYE. The typed PIN goes only into a SecretBuffer; libassuan is in
// confidential mode while it is read, so it wipes its own line buffer and logs nothing of it.
// The pinentry ends with the process that started it.
#pragma once

#include <string>

#include "PinDialogText.h"
#include "SecretBuffer.h"

namespace vellum::pin {

class PinEntryDialog {
public:
    enum class Outcome {
        Entered,      // `pin` holds what was typed (possibly nothing)
        Confirmed,    // OK was pressed in a confirmation
        Cancelled,    // the user closed the dialog or pressed Cancel
        TimedOut,     // nobody answered within the timeout
        Unavailable,  // no dialog could be shown; `problem` says why
    };

    // `timeoutSeconds`: how long the dialog waits for an answer; 0, for ever.
    static Outcome ask(const std::string& program, const PinDialogText& text,
                       unsigned timeoutSeconds, SecretBuffer& pin, std::string& problem);
    static Outcome confirm(const std::string& program, const PinDialogText& text,
                           unsigned timeoutSeconds, std::string& problem);

    // `text` as one argument of a protocol line: '%', control characters (newlines too) and
    // nothing else percent-escaped.
    static std::string escaped(const std::string& text);

private:
    // GETPIN into `pin`, or CONFIRM when it is null.
    static Outcome converse(const std::string& program, const PinDialogText& text,
                            unsigned timeoutSeconds, SecretBuffer* pin, std::string& problem);
};

}  // namespace vellum::pin
