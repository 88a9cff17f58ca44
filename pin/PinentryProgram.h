// Which pinentry program the PIN module runs. A host a browser starts has no terminal, where a
// text-mode pinentry (pinentry-curses, pinentry-tty) shows nothing; Debian's `pinentry` is an
// alternative that often points at pinentry-curses even where a desktop one is installed. So
// without a terminal, `pinentry` found to be a text-mode one gives way to a graphical pinentry
// on the same PATH, if there is one.
#pragma once

#include <string>

namespace vellum::pin {

class PinentryProgram {
public:
    // `named`, when not empty, as it is; else `pinentry` on `path` (PATH's syntax), or without
    // a terminal, when that is a text-mode one, the first graphical one there. Empty: none.
    static std::string choose(const std::string& named, const char* path, bool terminal);

    // Whether this process has a terminal a text-mode pinentry could use: GnuPG's GPG_TTY, or
    // standard input, error or output on one.
    static bool terminalAttached();

    // Whether `program`, followed through its links, is a pinentry that asks only in a terminal.
    static bool terminalOnly(const std::string& program);

    // The graphical pinentry programs looked for, in order of preference.
    static const char* const kGraphical[];
};

}  // namespace vellum::pin
