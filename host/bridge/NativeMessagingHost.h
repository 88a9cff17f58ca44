// vellum-host native-messaging: the browser bridge's host process. The browser starts it for one
// extension port and talks to it in frames on standard input and output (FrameChannel); the
// process hosts one embed instance of the plug-in for as long as the port stays open and answers
// each request on it (BridgeSession), in order. Clean end of input: NPP_Destroy, NP_Shutdown,
// exit 0. A stream that cannot be followed (a length above the limit, a frame cut short): the
// same, with one line on standard error and exit 1.
//
// Standard output carries frames only: before the plug-in loads, the real standard output is
// moved to a descriptor of this class's own and descriptor 1 is pointed at standard error, so
// whatever the plug-in or a token module prints lands there. Standard input is taken the same
// way (descriptor 0 reads /dev/null), so a module that reads it cannot eat a frame.
#pragma once

#include <string>

#include "bridge/BridgeSession.h"
#include "system/TokenLock.h"

namespace vellum::host {

class NativeMessagingHost {
public:
    // `setupError`: why the token module could not be set up (every request is answered with
    // it), or empty.
    // `tokenLock`: the lock of the token module the plug-in reaches, or null.
    // `announceOrigin`: told the origin each request names (BridgeSession), or null.
    NativeMessagingHost(std::string pluginPath, std::string setupError,
                        TokenLock* tokenLock = nullptr,
                        BridgeSession::AnnounceOrigin announceOrigin = nullptr)
        : pluginPath_(std::move(pluginPath)),
          setupError_(std::move(setupError)),
          tokenLock_(tokenLock),
          announceOrigin_(announceOrigin) {}

    // The exit status. Diagnostics go to standard error through `complain`.
    int run(void (*complain)(const std::string& line));

private:
    std::string pluginPath_;
    std::string setupError_;
    TokenLock* tokenLock_;
    BridgeSession::AnnounceOrigin announceOrigin_;
};

}  // namespace vellum::host
