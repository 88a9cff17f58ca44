#include "PinEntryDialog.h"

#include <assuan.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <type_traits>
#include <vector>

#include "BlockedSigpipe.h"

namespace vellum::pin {
namespace {

struct ReleaseContext {
    void operator()(assuan_context_t context) const { assuan_release(context); }
};
using Context = std::unique_ptr<std::remove_pointer_t<assuan_context_t>, ReleaseContext>;

gpg_error_t collectPin(void* opaque, const void* data, size_t length) {
    // libassuan hands over data lines already unescaped.
    return static_cast<SecretBuffer*>(opaque)->append(data, length) ? 0
                                                                    : gpg_error(GPG_ERR_TOO_LARGE);
}

gpg_error_t command(assuan_context_t context, const std::string& line) {
    return assuan_transact(context, line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr);
}

// The terminal a text-mode pinentry should use: GnuPG's GPG_TTY, else the one this process
// talks to, if any (a browser-started host has none; a desktop pinentry needs none).
std::string terminalName() {
    if (const char* named = std::getenv("GPG_TTY"); named != nullptr && *named != '\0') {
        return named;
    }
    for (int fd : {STDIN_FILENO, STDERR_FILENO, STDOUT_FILENO}) {
        if (const char* name = ::ttyname(fd)) {
            return name;
        }
    }
    return std::string();
}

std::string failure(const char* what, gpg_error_t error) {
    return std::string(what) + ": " + gpg_strerror(error);
}

// In the pinentry's process, between fork and exec: it ends when the process that started it
// does (SIGTERM, so that a text-mode pinentry gives the terminal back), or at once when that
// process has already gone.
void endWithParent(void* parent, int /*reserved*/) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != *static_cast<pid_t*>(parent)) {
        ::_exit(1);
    }
}

}  // namespace

PinEntryDialog::Outcome PinEntryDialog::ask(const std::string& program, const PinDialogText& text,
                                            unsigned timeoutSeconds, SecretBuffer& pin,
                                            std::string& problem) {
    pin.clear();
    return converse(program, text, timeoutSeconds, &pin, problem);
}

PinEntryDialog::Outcome PinEntryDialog::confirm(const std::string& program,
                                                const PinDialogText& text, unsigned timeoutSeconds,
                                                std::string& problem) {
    return converse(program, text, timeoutSeconds, nullptr, problem);
}

PinEntryDialog::Outcome PinEntryDialog::converse(const std::string& program,
                                                 const PinDialogText& text, unsigned timeoutSeconds,
                                                 SecretBuffer* pin, std::string& problem) {
    if (program.empty()) {
        problem = "no pinentry program: none is named and there is no 'pinentry' on PATH";
        return Outcome::Unavailable;
    }
    BlockedSigpipe quietPipe;
    assuan_context_t raw = nullptr;
    gpg_error_t error = assuan_new(&raw);
    if (error != 0) {
        problem = failure("cannot start a pinentry conversation", error);
        return Outcome::Unavailable;
    }
    Context context(raw);
    // The application's signal dispositions are its own; no log of the conversation.
    assuan_set_flag(raw, ASSUAN_NO_FIXSIGNALS, 1);
    assuan_set_flag(raw, ASSUAN_NO_LOGGING, 1);
    const char* argv[] = {program.c_str(), nullptr};
    // The child keeps standard error, where a pinentry says why it cannot show a dialog.
    assuan_fd_t keep[] = {STDERR_FILENO, ASSUAN_INVALID_FD};
    pid_t self = ::getpid();
    error = assuan_pipe_connect(raw, program.c_str(), argv, keep, endWithParent, &self, 0);
    if (error != 0) {
        problem = failure(("cannot run the pinentry program " + program).c_str(), error);
        return Outcome::Unavailable;
    }
    // Options a pinentry does not know are refused, which is harmless.
    const std::string terminal = terminalName();
    if (!terminal.empty()) {
        command(raw, "OPTION ttyname=" + escaped(terminal));
        if (const char* type = std::getenv("TERM"); type != nullptr && *type != '\0') {
            command(raw, "OPTION ttytype=" + escaped(type));
        }
    }
    std::vector<std::string> lines = {"SETTITLE " + escaped(text.title),
                                      "SETDESC " + escaped(text.description)};
    if (pin != nullptr) {
        lines.push_back("SETPROMPT " + escaped(text.prompt));
    }
    for (const std::string& line : lines) {
        if ((error = command(raw, line)) != 0) {
            problem = failure(
                ("pinentry " + program + " refused " + line.substr(0, line.find(' '))).c_str(),
                error);
            return Outcome::Unavailable;
        }
    }
    if (!text.error.empty() && (error = command(raw, "SETERROR " + escaped(text.error))) != 0) {
        problem = failure(("pinentry " + program + " refused SETERROR").c_str(), error);
        return Outcome::Unavailable;
    }
    // A dialog nobody answers ends; a pinentry that cannot time out is refused here only.
    if (timeoutSeconds > 0) {
        command(raw, "SETTIMEOUT " + std::to_string(timeoutSeconds));
    }
    if (pin != nullptr) {
        assuan_begin_confidential(raw);
        error = assuan_transact(raw, "GETPIN", collectPin, pin, nullptr, nullptr, nullptr, nullptr);
        assuan_end_confidential(raw);
    } else {
        error = command(raw, "CONFIRM");
    }
    command(raw, "BYE");
    if (error == 0) {
        return pin != nullptr ? Outcome::Entered : Outcome::Confirmed;
    }
    if (pin != nullptr) {
        pin->clear();
    }
    const gpg_err_code_t code = gpg_err_code(error);
    if (code == GPG_ERR_CANCELED || code == GPG_ERR_FULLY_CANCELED ||
        code == GPG_ERR_NOT_CONFIRMED) {
        return Outcome::Cancelled;
    }
    if (code == GPG_ERR_TIMEOUT) {
        return Outcome::TimedOut;
    }
    problem = failure(("pinentry " + program + " showed no dialog").c_str(), error);
    return Outcome::Unavailable;
}

std::string PinEntryDialog::escaped(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            char code[4];
            std::snprintf(code, sizeof(code), "%%%02X", c);
            line += code;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

}  // namespace vellum::pin
