// The browser bridge's requests on one embed instance: each frame from the extension is one
// request (hello, or a property read or write or a method call on the plug-in's script object by
// name), answered with what the plug-in gave ("result") or with what the host itself could not
// do ("error", with a code). The plug-in's own failure text ("E:1000") is a result like any
// other: the page reads LastError as it would from the plug-in.
#pragma once

#include <string>

#include "common/JsonText.h"
#include "pluginhost/PluginHost.h"
#include "system/SigningHandOver.h"
#include "system/TokenLock.h"

namespace vellum::host {

class BridgeSession {
public:
    static constexpr int kProtocolVersion = 1;
    // Longest id echoed back, as JSON text: every answer frame has to carry it.
    static constexpr size_t kMaxIdLength = 1024;

    // `setupError` empty: `host` is started. Otherwise the plug-in or the token module could
    // not be set up, and every request is answered with that as a "setup" error.
    // `tokenLock`: held around each read and call that reaches the token (TokenCalls), or null.
    // A request's "origin" and "top" (the page the person is on, as the extension has it from
    // the browser) name the sites in the PIN module's dialog of a signature.
    // `announceOrigin`, when not null, is told the origin a request names (the page that makes
    // it) before the request runs.
    using AnnounceOrigin = void (*)(const std::string& origin);
    BridgeSession(pluginhost::PluginHost& host, std::string setupError,
                  TokenLock* tokenLock = nullptr, AnnounceOrigin announceOrigin = nullptr)
        : host_(host),
          setupError_(std::move(setupError)),
          tokenLock_(tokenLock),
          announceOrigin_(announceOrigin) {}

    // The answer to one frame; never throws for any bytes given. The frame is let go of once
    // read, before the plug-in is asked: a caller done with it moves it in.
    Json answer(std::string frame);

private:
    Json hello();
    Json get(const std::string& name);
    Json set(const std::string& name, Json& value);
    Json call(const std::string& name, Json& args);

    pluginhost::PluginHost& host_;
    std::string setupError_;
    TokenLock* tokenLock_;
    AnnounceOrigin announceOrigin_;
    SigningHandOver handOver_;
};

}  // namespace vellum::host
