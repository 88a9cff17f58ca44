// vellum-host native-messaging driven as a browser drives it: one host process with its port
// kept open, a request frame written to its standard input and the answer frame read back, so
// a benchmark can time a token operation through the browser bridge against the same operation
// on the plug-in in this process.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "bridge/FrameChannel.h"
#include "common/JsonText.h"

namespace vellum::bench {

class NativeHostClient {
public:
    // `home`: the HOME the host runs with (one without bridge settings); `tokenModule`: the
    // module it runs as --token-module, itself, without the PIN module in front of it.
    NativeHostClient(std::string program, std::string home, std::string tokenModule);
    ~NativeHostClient();
    NativeHostClient(const NativeHostClient&) = delete;
    NativeHostClient& operator=(const NativeHostClient&) = delete;

    bool start(std::string& error);
    // One request and its answer; false when the host fails or answers an error.
    bool request(const host::Json& request, host::Json& answer, std::string& error);
    // Sets a property to a string.
    bool write(const std::string& property, const std::string& text, std::string& error);
    // Reads Signature; false unless a "US65001:" envelope comes.
    bool readSignature(std::string& envelope, std::string& error);
    // Calls getVersion: a request that reaches the plug-in and not the token.
    bool version(std::string& text, std::string& error);
    // CPU time the host process has used so far, in milliseconds (0 when it cannot be read).
    double cpuMs() const;
    // Closes the port; false unless the host exits with status 0.
    bool stop(std::string& error);

private:
    std::string program_;
    std::string home_;
    std::string tokenModule_;
    pid_t pid_ = -1;
    int toHost_ = -1;
    int fromHost_ = -1;
    std::unique_ptr<host::FrameChannel> channel_;
    long next_ = 0;
};

}  // namespace vellum::bench
