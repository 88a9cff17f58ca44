// Runs the steps of the command line on a started PluginHost, through the script object only,
// as page script would: properties are set and read and methods called by name.
#pragma once

#include <string>

#include "cli/Step.h"
#include "common/StepOutcome.h"
#include "pluginhost/PluginHost.h"
#include "system/SigningHandOver.h"
#include "system/TokenLock.h"

namespace vellum::host {

class StepRunner {
public:
    // The fixed text of every failed token operation.
    static constexpr const char* kFailureResult = "E:1000";

    // `tokenModule`: the module the fixed path loads (--token-module), or empty.
    // `tokenLock`: held around every step that reaches the token (list, cert, sign, and a get or
    // call of a name in TokenCalls), or null. Doctor only looks whether another host holds it.
    StepRunner(pluginhost::PluginHost& host, std::string pluginPath, std::string tokenModule,
               TokenLock* tokenLock = nullptr)
        : host_(host),
          pluginPath_(std::move(pluginPath)),
          tokenModule_(std::move(tokenModule)),
          tokenLock_(tokenLock) {}

    StepOutcome run(const Step& step);

private:
    // Who asks, as the PIN module's dialog of a signature names it.
    static constexpr const char* kSite = "vellum-host";

    StepOutcome info();
    StepOutcome list();
    StepOutcome cert(const Step& step);
    StepOutcome sign(const Step& step);
    StepOutcome get(const Step& step);
    StepOutcome set(const Step& step);
    StepOutcome call(const Step& step);
    StepOutcome doctor();

    // Sets a property to a string; on refusal marks `outcome` failed.
    bool setText(const std::string& name, const std::string& text, StepOutcome& outcome);
    // Calls a method without arguments that answers a string; on refusal or a non-string
    // answer marks `outcome` failed.
    bool invokeText(const std::string& method, std::string& text, StepOutcome& outcome);
    // True when `result` is the failure text; then `outcome` carries it and LastError.
    bool failedOperation(const std::string& result, StepOutcome& outcome,
                         const std::string& hash = "");
    // The hint for a LastError text, or empty.
    std::string hintFor(const std::string& lastError, const std::string& hash = "") const;
    std::string lastError();

    pluginhost::PluginHost& host_;
    std::string pluginPath_;
    std::string tokenModule_;
    TokenLock* tokenLock_;
    SigningHandOver handOver_;
};

}  // namespace vellum::host
