#include "PluginSession.h"

namespace vellum::reliability {

using pluginhost::ScriptValue;

PluginSession::PluginSession(const std::string& modulePath)
    : host_(std::make_unique<pluginhost::PluginHost>(modulePath)) {
    // A failed call must say void itself, not leave the host's initial value standing.
    host_->setResultMarker(true);
}

PluginSession::~PluginSession() {
    host_->stop();
}

bool PluginSession::start(std::string& error) {
    return host_->start(error);
}

bool PluginSession::configure(const std::string& serial, const std::string& data) {
    return host_->setProperty("CN", ScriptValue::string(serial)) &&
           host_->setProperty("SignData", ScriptValue::string(data));
}

OperationOutcome PluginSession::perform(TokenOperation operation) {
    OperationOutcome outcome;
    outcome.result = operation == TokenOperation::ReadSignature
                         ? host_->getProperty(scriptName(operation))
                         : host_->invoke(scriptName(operation));
    outcome.status = host_->invoke("LastError").value.stringValue();
    outcome.blocksOutstanding = host_->blocksOutstanding();
    for (const std::string& problem : host_->record().problems()) {
        outcome.problems += problem + "; ";
    }
    return outcome;
}

bool PluginSession::stop(std::string& report) {
    host_->stop();
    report = host_->report();
    return host_->clean();
}

}  // namespace vellum::reliability
