#include "PinentryProgram.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "PinSettings.h"

namespace vellum::pin {

const char* const PinentryProgram::kGraphical[] = {
    "pinentry-gnome3", "pinentry-gtk-2", "pinentry-gtk2", "pinentry-qt", "pinentry-fltk", nullptr};

std::string PinentryProgram::choose(const std::string& named, const char* path, bool terminal) {
    if (!named.empty()) {
        return named;
    }
    const std::string found = PinSettings::findOnPath("pinentry", path);
    if (terminal || (!found.empty() && !terminalOnly(found))) {
        return found;
    }
    for (const char* const* name = kGraphical; *name != nullptr; ++name) {
        const std::string graphical = PinSettings::findOnPath(*name, path);
        if (!graphical.empty()) {
            return graphical;
        }
    }
    return found;
}

bool PinentryProgram::terminalAttached() {
    if (const char* named = std::getenv("GPG_TTY"); named != nullptr && *named != '\0') {
        return true;
    }
    for (int fd : {STDIN_FILENO, STDERR_FILENO, STDOUT_FILENO}) {
        if (::isatty(fd) != 0) {
            return true;
        }
    }
    return false;
}

bool PinentryProgram::terminalOnly(const std::string& program) {
    std::error_code failed;
    const std::filesystem::path real = std::filesystem::canonical(program, failed);
    const std::string name = (failed ? std::filesystem::path(program) : real).filename().string();
    return name == "pinentry-curses" || name == "pinentry-tty";
}

}  // namespace vellum::pin
