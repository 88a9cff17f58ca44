// One plug-in instance in a plug-in host of its own, driven as page script drives it: set the
// certificate serial and the data, start a token operation, read the status text. Each
// session starts from a freshly constructed service, so the status text starts as "OK".
#pragma once

#include <memory>
#include <string>

#include "TokenOperation.h"
#include "pluginhost/PluginHost.h"
#include "pluginhost/ScriptResult.h"

namespace vellum::reliability {

// What one operation gave page script, and what it left in the host.
struct OperationOutcome {
    pluginhost::ScriptResult result;
    std::string status;  // LastError() right after the operation
    // Host memory the module still holds once the host has taken back both results.
    size_t blocksOutstanding = 0;
    std::string problems;  // misuse of the host recorded so far; empty when none
};

class PluginSession {
public:
    explicit PluginSession(const std::string& modulePath);
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    // Loads the plug-in and makes the instance and its script object; `error` says which step
    // failed.
    bool start(std::string& error);
    // Writes the CN and SignData properties; false when a write is refused.
    bool configure(const std::string& serial, const std::string& data);
    OperationOutcome perform(TokenOperation operation);
    // Releases the script object, destroys the instance (and with it the service), shuts the
    // module down and unloads it. False, with the host's report, when anything is left over.
    bool stop(std::string& report);

    pluginhost::PluginHost& host() { return *host_; }

private:
    std::unique_ptr<pluginhost::PluginHost> host_;
};

}  // namespace vellum::reliability
