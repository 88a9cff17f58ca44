#include "vellum-host/Doctor.h"

#include <cstdlib>
#include <ctime>
#include <memory>

#include "service/PKCS11Impl.h"
#include "vellum-host/BridgeFindings.h"
#include "vellum-host/DoctorFindings.h"
#include "vellum-host/DoctorReport.h"
#include "vellum-host/TokenModuleInspector.h"

namespace vellum::host {
namespace {

std::string invokeText(pluginhost::PluginHost& host, const char* method) {
    pluginhost::ScriptResult result = host.invoke(method);
    return result.ok && result.value.isString() ? result.value.stringValue()
                                                : "(" + std::string(method) + " gave no text)";
}

}  // namespace

StepOutcome Doctor::run() {
    // The module is finalised and unloaded again before the plug-in loads it.
    ModuleFacts facts = TokenModuleInspector::inspect(PKCS11Impl::kModulePath);
    if (!mappedModule_.empty()) {
        std::unique_ptr<char, decltype(&std::free)> resolved(
            ::realpath(mappedModule_.c_str(), nullptr), &std::free);
        facts.mappedFrom = resolved ? resolved.get() : mappedModule_;
    }
    DoctorFindings findings = DoctorFindings::judge(facts, static_cast<int64_t>(std::time(nullptr)));
    const BridgeFindings bridge = BridgeFindings::survey();
    findings.problems.insert(findings.problems.end(), bridge.problems.begin(),
                             bridge.problems.end());
    findings.warnings.insert(findings.warnings.end(), bridge.warnings.begin(),
                             bridge.warnings.end());

    CertListRun certList;
    certList.result = invokeText(host_, "getCertList");
    certList.lastError = invokeText(host_, "LastError");

    const DoctorReport report(facts, findings, certList, bridge);
    StepOutcome outcome;
    outcome.output = report.text();
    outcome.json = report.json();
    if (!findings.problems.empty()) {
        outcome.status = StepOutcome::Status::Failed;
        outcome.error = std::to_string(findings.problems.size()) +
                        (findings.problems.size() == 1 ? " problem" : " problems") + " found";
    }
    return outcome;
}

}  // namespace vellum::host
