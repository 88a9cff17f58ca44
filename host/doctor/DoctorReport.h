// doctor's output: the facts, the findings and what getCertList returned, as text for people
// and as one JSON object for support scripts.
#pragma once

#include <string>

#include "common/JsonText.h"
#include "doctor/DoctorFindings.h"
#include "inspection/TokenFacts.h"
#include "install/BridgeFindings.h"

namespace vellum::host {

struct CertListRun {
    std::string result;
    std::string lastError;
};

class DoctorReport {
public:
    // `plugin`: the plug-in module file this vellum-host loaded.
    DoctorReport(std::string plugin, const ModuleFacts& facts, const DoctorFindings& findings,
                 const CertListRun& certList, const BridgeFindings& bridge)
        : plugin_(std::move(plugin)),
          facts_(facts),
          findings_(findings),
          certList_(certList),
          bridge_(bridge) {}

    std::string text() const;
    // The members doctor adds to its step object.
    Json json() const;

private:
    std::string plugin_;
    const ModuleFacts& facts_;
    const DoctorFindings& findings_;
    const CertListRun& certList_;
    const BridgeFindings& bridge_;
};

}  // namespace vellum::host
