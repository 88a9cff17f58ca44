#include "cli/CommandLine.h"

#include <unistd.h>

#include <cstddef>

#include "install/BridgeManifest.h"

namespace vellum::host {

const char* stepName(StepKind kind) noexcept {
    switch (kind) {
        case StepKind::Info:
            return "info";
        case StepKind::List:
            return "list";
        case StepKind::Cert:
            return "cert";
        case StepKind::Sign:
            return "sign";
        case StepKind::Get:
            return "get";
        case StepKind::Set:
            return "set";
        case StepKind::Call:
            return "call";
        case StepKind::Doctor:
            return "doctor";
    }
    return "?";
}

namespace {

constexpr const char* kSeparator = "--";

// Walks the words of the command line; every parse error names the word it stopped at.
class WordReader {
public:
    explicit WordReader(const std::vector<std::string>& words) : words_(words) {}

    bool atEnd() const { return next_ >= words_.size(); }
    bool atSeparator() const { return !atEnd() && words_[next_] == kSeparator; }
    const std::string& peek() const { return words_[next_]; }
    const std::string& take() { return words_[next_++]; }

    // The value after an option; any word is taken, "--" included, so that a value may look
    // like anything.
    bool takeValue(const std::string& option, std::string& value, std::string& error) {
        if (atEnd()) {
            error = option + " needs a value";
            return false;
        }
        value = take();
        return true;
    }

    // A path after an option: as takeValue, and never empty.
    bool takePath(const std::string& option, std::string& path, std::string& error) {
        if (!takeValue(option, path, error)) {
            return false;
        }
        if (path.empty()) {
            error = option + " needs a path";
            return false;
        }
        return true;
    }

    // A positional word of a step: the step's own separator does not count as one.
    bool takeOperand(const char* step, const char* what, std::string& value, std::string& error) {
        if (atEnd() || atSeparator()) {
            error = std::string(step) + ": " + what + " missing";
            return false;
        }
        value = take();
        return true;
    }

private:
    const std::vector<std::string>& words_;
    size_t next_ = 0;
};

bool isHashName(const std::string& name) {
    return name == "md5" || name == "sha1" || name == "sha256" || name == "sm3";
}

bool parseCert(WordReader& in, Step& step, std::string& error) {
    if (!in.takeOperand("cert", "SERIAL", step.serial, error)) {
        return false;
    }
    while (!in.atEnd() && !in.atSeparator()) {
        const std::string& word = in.take();
        if (word != "--pem") {
            error = "cert: unexpected '" + word + "'";
            return false;
        }
        step.pem = true;
    }
    return true;
}

bool parseSign(WordReader& in, Step& step, std::string& error) {
    if (!in.takeOperand("sign", "SERIAL", step.serial, error)) {
        return false;
    }
    std::string envelope;
    while (!in.atEnd() && !in.atSeparator()) {
        std::string option = in.take();
        std::string value;
        if (option != "--hash" && option != "--data" && option != "--file" &&
            option != "--envelope" && option != "--raw") {
            error = "sign: unexpected '" + option + "'";
            return false;
        }
        if (!in.takeValue(option, value, error)) {
            return false;
        }
        bool repeated = false;
        if (option == "--hash") {
            repeated = !step.hash.empty();
            step.hash = value;
        } else if (option == "--data") {
            repeated = step.data.has_value();
            step.data = value;
        } else if (option == "--file") {
            repeated = step.file.has_value();
            step.file = value;
        } else if (option == "--envelope") {
            repeated = !envelope.empty();
            envelope = value;
        } else {
            repeated = step.rawOutput.has_value();
            step.rawOutput = value;
        }
        if (repeated) {
            error = "sign: " + option + " given twice";
            return false;
        }
    }
    if (step.hash.empty()) {
        error = "sign: --hash md5|sha1|sha256|sm3 missing";
        return false;
    }
    if (!isHashName(step.hash)) {
        error = "sign: unknown hash '" + step.hash + "' (md5, sha1, sha256 or sm3)";
        return false;
    }
    if (step.data.has_value() == step.file.has_value()) {
        error = "sign: give exactly one of --data TEXT and --file PATH";
        return false;
    }
    if (!envelope.empty() && envelope != "signature" && envelope != "data") {
        error = "sign: unknown envelope '" + envelope + "' (signature or data)";
        return false;
    }
    step.dataEnvelope = envelope == "data";
    if (step.rawOutput && step.rawOutput->empty()) {
        error = "sign: --raw needs a file name";
        return false;
    }
    return true;
}

// doctor also takes the run's own options after it, as it is mostly run alone.
bool parseDoctor(WordReader& in, CommandLine& commandLine, std::string& error) {
    while (!in.atEnd() && !in.atSeparator()) {
        const std::string option = in.take();
        if (option == "--json") {
            commandLine.json = true;
        } else if (option == "--token-module") {
            if (!commandLine.tokenModulePath.empty()) {
                error = "doctor: --token-module given twice";
                return false;
            }
            if (!in.takePath(option, commandLine.tokenModulePath, error)) {
                return false;
            }
        } else {
            error = "doctor: unexpected '" + option + "'";
            return false;
        }
    }
    return true;
}

bool parseStep(WordReader& in, CommandLine& commandLine, Step& step, std::string& error) {
    const std::string command = in.take();
    if (command == "info" || command == "list") {
        step.kind = command == "info" ? StepKind::Info : StepKind::List;
    } else if (command == "cert") {
        step.kind = StepKind::Cert;
        return parseCert(in, step, error);
    } else if (command == "sign") {
        step.kind = StepKind::Sign;
        return parseSign(in, step, error);
    } else if (command == "get") {
        step.kind = StepKind::Get;
        return in.takeOperand("get", "NAME", step.name, error);
    } else if (command == "set") {
        step.kind = StepKind::Set;
        std::string value;
        if (!in.takeOperand("set", "NAME", step.name, error) ||
            !in.takeOperand("set", "VALUE", value, error)) {
            return false;
        }
        step.arguments.push_back(value);
    } else if (command == "doctor") {
        step.kind = StepKind::Doctor;
        return parseDoctor(in, commandLine, error);
    } else if (command == "call") {
        step.kind = StepKind::Call;
        if (!in.takeOperand("call", "NAME", step.name, error)) {
            return false;
        }
        while (!in.atEnd() && !in.atSeparator()) {
            step.arguments.push_back(in.take());
        }
    } else {
        error = "unknown command '" + command + "'";
        return false;
    }
    if (!in.atEnd() && !in.atSeparator()) {
        error = command + ": unexpected '" + in.peek() + "'";
        return false;
    }
    return true;
}

bool parseBridge(WordReader& in, const CommandLine& commandLine, BridgeOptions& bridge,
                 std::string& error) {
    if (in.atEnd()) {
        error = "bridge: install, uninstall or status missing";
        return false;
    }
    const std::string action = in.take();
    if (action == "install") {
        bridge.action = BridgeOptions::Action::Install;
    } else if (action == "uninstall") {
        bridge.action = BridgeOptions::Action::Uninstall;
    } else if (action == "status") {
        bridge.action = BridgeOptions::Action::Status;
    } else {
        error = "bridge: unknown action '" + action + "' (install, uninstall or status)";
        return false;
    }
    bool allBrowsers = false;
    while (!in.atEnd()) {
        const std::string option = in.take();
        std::string value;
        if (option == "--user" || option == "--system") {
            const ManifestScope scope =
                option == "--user" ? ManifestScope::User : ManifestScope::System;
            if (bridge.scope && *bridge.scope != scope) {
                error = "bridge: --user and --system exclude each other";
                return false;
            }
            bridge.scope = scope;
        } else if (option == "--json") {
            bridge.json = true;
        } else if (option == "--browser") {
            if (!in.takeValue(option, value, error)) {
                return false;
            }
            Browser browser;
            if (value == "all") {
                allBrowsers = true;
            } else if (BridgeManifest::parseBrowser(value, browser)) {
                bridge.browsers.push_back(browser);
            } else {
                error = "bridge: unknown browser '" + value +
                        "' (chromium, chrome, edge, brave, vivaldi, firefox or all)";
                return false;
            }
        } else if (option == "--user-data-dir" || option == "--token-module") {
            std::string& target =
                option == "--user-data-dir" ? bridge.userDataDir : bridge.tokenModule;
            if (!in.takePath(option, target, error)) {
                return false;
            }
        } else {
            error = "bridge " + action + ": unexpected '" + option + "'";
            return false;
        }
    }
    if (allBrowsers) {
        bridge.browsers.clear();
    }
    if (!commandLine.tokenModulePath.empty()) {
        error = "bridge: give --token-module after 'bridge install'";
        return false;
    }
    if (!bridge.tokenModule.empty() && bridge.action != BridgeOptions::Action::Install) {
        error = "bridge " + action + ": --token-module goes with install";
        return false;
    }
    if (!bridge.userDataDir.empty()) {
        if (bridge.scope == ManifestScope::System) {
            error = "bridge: --user-data-dir and --system exclude each other";
            return false;
        }
        bool firefox = false;
        for (Browser browser : bridge.browsers) {
            firefox = firefox || !BridgeManifest::chromiumFamily(browser);
        }
        if (allBrowsers || firefox || bridge.browsers.size() > 1) {
            error =
                "bridge: --user-data-dir is the profile folder of one Chromium-family "
                "browser (Firefox reads its manifests from ~/.mozilla whatever the profile)";
            return false;
        }
    }
    return true;
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// How a browser starts the host named in a manifest: the program alone, with no way to add a
// word of ours. Chromium passes the caller's origin first; Firefox the manifest's path and the
// add-on id (so does the desktop's WebExtensions portal, in the versions that pass anything).
bool startedByBrowser(const std::string& first) {
    return first.compare(0, 19, "chrome-extension://") == 0 ||
           endsWith(first, std::string("/") + BridgeManifest::kFileName);
}

}  // namespace

bool CommandLine::parse(const std::vector<std::string>& words, std::string& error) {
    return parse(words, ::isatty(STDIN_FILENO) == 1, error);
}

bool CommandLine::parse(const std::vector<std::string>& words, bool inputIsTerminal,
                        std::string& error) {
    if (words.empty() && !inputIsTerminal) {
        mode = Mode::NativeMessaging;
        return true;
    }
    WordReader in(words);
    while (!in.atEnd() && in.peek().size() > 1 && in.peek()[0] == '-' && !in.atSeparator()) {
        std::string option = in.take();
        if (option == "--json") {
            json = true;
        } else if (option == "--keep-going") {
            keepGoing = true;
        } else if (option == "--no-pin-dialog") {
            noPinDialog = true;
        } else if (option == "-h" || option == "--help") {
            help = true;
        } else if (option == "--plugin" || option == "--token-module") {
            std::string& target = option == "--plugin" ? pluginPath : tokenModulePath;
            if (!in.takePath(option, target, error)) {
                return false;
            }
        } else {
            error = "unknown option '" + option + "'";
            return false;
        }
    }
    if (help) {
        return true;
    }
    if (in.atEnd()) {
        error = "no command given";
        return false;
    }
    if (in.peek() == "bridge") {
        in.take();
        mode = Mode::Bridge;
        return parseBridge(in, *this, bridge, error);
    }
    if (in.peek() == "native-messaging" || startedByBrowser(in.peek())) {
        mode = Mode::NativeMessaging;
        if (in.peek() == "native-messaging") {
            in.take();
        }
        while (!in.atEnd()) {
            browserArguments.push_back(in.take());
        }
        return true;
    }
    while (true) {
        if (in.atSeparator()) {
            error = "a command is missing before '--'";
            return false;
        }
        Step step;
        if (!parseStep(in, *this, step, error)) {
            return false;
        }
        steps.push_back(std::move(step));
        if (in.atEnd()) {
            return true;
        }
        in.take();  // the separator
        if (in.atEnd()) {
            error = "a command is missing after '--'";
            return false;
        }
    }
}

const char* CommandLine::usage() noexcept {
    return R"(usage: vellum-host [--plugin PATH] [--token-module PATH [--no-pin-dialog]] [--json]
                   [--keep-going] STEP [-- STEP]...

Loads the vellum plug-in module as a browser does and runs its page-script API.

Steps:
  info                          module name, MIME description, getVersion, getProviderName
  list                          the certificates of getCertList, one per line: SERIAL  NAME
  cert SERIAL [--pem]           the certificate with that serial (SignCert), Base64 or PEM
  sign SERIAL --hash md5|sha1|sha256|sm3 (--data TEXT | --file PATH)
       [--envelope signature|data] [--raw OUT]
                                the envelope read from Signature (or SignData); with --raw
                                the signature bytes are written to OUT
  get NAME                      read a property
  set NAME VALUE                write a property
  call NAME [ARG...]            call a method
  native-messaging [ARG...]     serve the browser bridge: frames on standard input and
                                output, one plug-in instance for the whole run; the
                                browser's own arguments are accepted and ignored (the
                                mode is also taken when the first word is an extension
                                origin or a path to vellum.bridge.json, as browsers start
                                the host, and with no word at all when standard input is
                                not a terminal, as a desktop portal may start it)
  bridge install|uninstall|status [--user|--system]
         [--browser chromium|chrome|edge|brave|vivaldi|firefox|all]
         [--user-data-dir DIR] [--token-module PATH] [--json]
                                write, remove or show the browsers' native messaging host
                                manifests that start this vellum-host for the vellum
                                extension (default: install for the browsers found here,
                                uninstall and status every browser, per user; status
                                shows both scopes, and exits 1 when the token module a
                                browser would get does not load). --user-data-dir DIR:
                                a Chromium-family profile folder of its own
                                (DIR/NativeMessagingHosts).
                                install --token-module PATH (Linux): the token module the
                                native host maps at the plug-in's fixed path
  doctor [--token-module PATH] [--json]
                                what the token module reports (module, slots, flags,
                                mechanisms, certificates), which slot getCertList lists and
                                what it returns, and the problems and warnings that explain
                                an "E:1000"; never logs in; exits 1 when it finds a problem
Steps run in order on one plug-in instance and stop at the first that fails (with
--keep-going all of them run).
A VALUE or ARG written as a decimal integer (42, -7, 0) is passed as an int32; anything
else, or anything written as str:TEXT, is passed as the string TEXT.

Options:
  --plugin PATH        the plug-in module (default: the one installed or built beside
                       vellum-host)
  --token-module PATH  run with the plug-in's fixed token module path loading PATH, in this
                       process only, with no privilege (Linux). On macOS it is refused, for
                       doctor too: install the module at the fixed path, which the plug-in
                       and doctor both load. On Linux vellum's PIN module is
                       put in front of PATH (not for doctor): a token without a PIN pad is
                       asked its PIN through pinentry at every login
  --no-pin-dialog      with --token-module: map PATH itself, without the PIN module, so
                       the plug-in's login without a PIN reaches the token module as it is
  --json               one JSON object per step on standard output
  --keep-going         run the steps after a failed one too, as a page goes on after an
                       "E:1000"; the exit status is that of the first failure
  -h, --help           this text

Exit status: 0 done; 1 a step failed (the failure and LastError are printed on standard
error, with a hint for the texts that puzzle), or doctor found a problem; 2 usage error;
3 the plug-in or the token module could not be set up.
)";
}

}  // namespace vellum::host
