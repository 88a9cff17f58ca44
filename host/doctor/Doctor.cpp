#include "doctor/Doctor.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>
#include <system_error>

#include "PluginIdentity.h"
#include "doctor/DoctorFindings.h"
#include "doctor/DoctorReport.h"
#include "doctor/IsolatedRun.h"
#include "inspection/TokenModuleInspector.h"
#include "install/BridgeFindings.h"
#include "pin/PinentryProgram.h"
#include "system/OperatingSystem.h"
#include "system/PinModuleFront.h"

namespace vellum::host {
namespace {

// What a child running the module's calls sends: each tag is followed by its values as separate
// messages, at the places the child's work fixes.
constexpr const char* kInspected = "inspected";
constexpr const char* kCertList = "getCertList";  // result, LastError
constexpr const char* kOutcome = "outcome";       // status, output, error, JSON

std::string invokeText(pluginhost::PluginHost& host, const char* method) {
    pluginhost::ScriptResult result = host.invoke(method);
    return result.ok && result.value.isString() ? result.value.stringValue()
                                                : "(" + std::string(method) + " gave no text)";
}

CertListRun runCertList(pluginhost::PluginHost& host) {
    CertListRun run;
    run.result = invokeText(host, "getCertList");
    run.lastError = invokeText(host, "LastError");
    return run;
}

void sendCertList(const IsolatedRun::Send& send, const CertListRun& run) {
    send(kCertList);
    send(run.result);
    send(run.lastError);
}

bool tagged(const std::vector<std::string>& messages, size_t at, const char* tag, size_t values) {
    return messages.size() > at + values && messages[at] == tag;
}

std::optional<CertListRun> receivedCertList(const std::vector<std::string>& messages, size_t at) {
    if (!tagged(messages, at, kCertList, 2)) {
        return std::nullopt;
    }
    return CertListRun{messages[at + 1], messages[at + 2]};
}

void sendOutcome(const IsolatedRun::Send& send, const StepOutcome& outcome) {
    send(kOutcome);
    send(std::to_string(static_cast<int>(outcome.status)));
    send(outcome.output);
    send(outcome.error);
    send(JsonText::line(outcome.json));
}

std::optional<StepOutcome> receivedOutcome(const std::vector<std::string>& messages, size_t at) {
    if (!tagged(messages, at, kOutcome, 4)) {
        return std::nullopt;
    }
    StepOutcome outcome;
    outcome.status = static_cast<StepOutcome::Status>(std::stoi(messages[at + 1]));
    outcome.output = messages[at + 2];
    outcome.error = messages[at + 3];
    outcome.json = Json::parse(messages[at + 4]);
    return outcome;
}

StepOutcome broken(const std::string& error) {
    StepOutcome outcome;
    outcome.status = StepOutcome::Status::Broken;
    outcome.error = error;
    return outcome;
}

}  // namespace

ModuleFacts Doctor::inspect(bool loadModule) const {
    ModuleFacts facts;
    if (loadModule) {
        // The module is finalised and unloaded again before the plug-in loads it. A mapped one
        // is read as it is, not through the PIN module in front of it at the fixed path.
        std::error_code failed;
        const std::string direct = mappedModule_.empty()
                                       ? std::string(kTokenModulePath)
                                       : std::filesystem::absolute(mappedModule_, failed).string();
        facts = TokenModuleInspector::inspect(failed ? mappedModule_ : direct);
        facts.path = kTokenModulePath;
    } else {
        facts.path = kTokenModulePath;
    }
    if (!mappedModule_.empty()) {
        std::error_code failed;
        const std::filesystem::path resolved = std::filesystem::canonical(mappedModule_, failed);
        facts.mappedFrom = failed ? mappedModule_ : resolved.string();
    }
    // What the steps, the native host and doctor's getCertList get in front of a mapped module
    // (doctor never logs in, so only its slot list matters here).
    facts.pinDialog = !mappedModule_.empty() && !OperatingSystem::isMacOS();
    if (facts.pinDialog) {
        // The PIN module leaves never-initialised tokens out of the slot list the plug-in sees.
        facts.slots.erase(std::remove_if(facts.slots.begin(), facts.slots.end(),
                                         [](const SlotFacts& slot) {
                                             return slot.tokenInfo == "OK" &&
                                                    !slot.flags.tokenInitialized;
                                         }),
                          facts.slots.end());
    }
    facts.pinentry = facts.pinDialog ? PinModuleFront::pinentryForBrowsers() : std::string();
    facts.pinentryTerminalOnly =
        !facts.pinentry.empty() && pin::PinentryProgram::terminalOnly(facts.pinentry);
    return facts;
}

StepOutcome Doctor::report(const ModuleFacts& facts, const CertListRun& certList) const {
    DoctorFindings findings = DoctorFindings::judge(facts, static_cast<int64_t>(std::time(nullptr)),
                                                    BridgeManifest::currentPlatform());
    const BridgeFindings bridge = BridgeFindings::survey();
    findings.problems.insert(findings.problems.end(), bridge.problems.begin(),
                             bridge.problems.end());
    findings.warnings.insert(findings.warnings.end(), bridge.warnings.begin(),
                             bridge.warnings.end());
    Json lock = nullptr;
    if (tokenLock_ != nullptr && tokenLock_->usable()) {
        const pid_t holder = tokenLock_->holder();
        lock = Json{{"path", tokenLock_->path()},
                    {"heldBy", holder > 0   ? Json(holder)
                               : holder < 0 ? Json("?")
                                            : Json(nullptr)}};
        if (holder != 0) {
            findings.warnings.push_back(
                "A vellum-host" + (holder > 0 ? " (process " + std::to_string(holder) + ")" : "") +
                " is in a token operation on this module (it holds " + tokenLock_->path() +
                "), perhaps waiting for a PIN: other hosts' operations wait for it, and doctor "
                "did not, so its own token calls may have failed because of it.");
        }
    } else if (tokenLock_ != nullptr) {
        findings.warnings.push_back(
            "Token operations of several vellum-host processes are not "
            "kept apart: " +
            tokenLock_->lockProblem() + ".");
    }
    const DoctorReport report(host_.modulePath(), facts, findings, certList, bridge);
    StepOutcome outcome;
    outcome.output = report.text();
    outcome.json = report.json();
    outcome.json["tokenLock"] = std::move(lock);
    if (!findings.problems.empty()) {
        outcome.status = StepOutcome::Status::Failed;
        outcome.error = std::to_string(findings.problems.size()) +
                        (findings.problems.size() == 1 ? " problem" : " problems") + " found";
    }
    return outcome;
}

StepOutcome Doctor::run() {
    // A browser runs a page's operations in one process, loading the module afresh for each;
    // doctor does the same (its own inspection, getCertList through the plug-in, and getCertList
    // again), but in a child, so that a module that crashes takes only the child with it. This
    // process never loads the module.
    const IsolatedRun together = IsolatedRun::run([this](const IsolatedRun::Send& send) {
        const ModuleFacts facts = inspect(true);
        send(kInspected);
        const CertListRun certList = runCertList(host_);
        sendCertList(send, certList);
        runCertList(host_);
        sendOutcome(send, report(facts, certList));
    });
    if (!together.started) {
        return broken(together.death);
    }
    // At 0 the inspection's tag, at 1 getCertList, at 4 the report.
    if (together.completed) {
        if (std::optional<StepOutcome> outcome = receivedOutcome(together.messages, 4)) {
            return *outcome;
        }
    }

    // The module took the process down. What a page's first operation gets, each step in a
    // process of its own: a load of the module that is the first in its process.
    const bool firstLoad = !tagged(together.messages, 0, kInspected, 0);
    const std::string death =
        together.completed ? "exit status 0 without a report" : together.death;
    std::optional<CertListRun> certList = receivedCertList(together.messages, 1);
    if (!certList) {
        const IsolatedRun alone = IsolatedRun::run(
            [this](const IsolatedRun::Send& send) { sendCertList(send, runCertList(host_)); });
        certList = receivedCertList(alone.messages, 0);
        if (!certList) {
            certList = CertListRun{"(no answer: the process died of " + alone.death + ")", ""};
        }
    }
    const IsolatedRun reported = IsolatedRun::run([&](const IsolatedRun::Send& send) {
        // After a crash at the first load there is nothing to inspect without crashing again.
        ModuleFacts facts = inspect(!firstLoad);
        facts.crash = death;
        facts.crashedOnFirstLoad = firstLoad;
        sendOutcome(send, report(facts, *certList));
    });
    if (std::optional<StepOutcome> outcome = receivedOutcome(reported.messages, 0)) {
        return *outcome;
    }
    return broken("the token module crashed the process (" + death +
                  ") and then its inspection alone (" + reported.death + ")");
}

}  // namespace vellum::host
