// Drives the native messaging host's request handling as any page the extension allows could:
// the input is a sequence of frames (separated by NUL bytes, which JSON text never holds raw),
// each answered by the bridge session of one plug-in instance, hosted in process, then cut into
// the frames a browser would get. Frames may be any bytes: JSON or not, requests or not, with
// values of every kind, nested or numbers out of range.
//
// No token work is possible: the fixed token module path must not exist (checked at start), so
// every token operation fails at loading. Each input runs against a fresh host and instance, as
// each port gets a process of its own. Every answer must be a frame a browser takes (at most
// FrameChannel::kMaxOutgoing bytes of valid JSON), carry an id, hold at most one of "result" and
// "error", and name only the protocol's error codes; the host's books must balance at the end.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../FuzzCheck.h"
#include "../NoTokenModule.h"
#include "bridge/AnswerFrames.h"
#include "bridge/BridgeSession.h"
#include "bridge/FrameChannel.h"
#include "hostkit/LinkedPlugin.h"
#include "pluginhost/PluginHost.h"

namespace {

using vellum::host::AnswerFrames;
using vellum::host::BridgeSession;
using vellum::host::FrameChannel;
using vellum::host::Json;
using vellum::pluginhost::PluginHost;

constexpr int kMaxFrames = 64;

const char* const kErrorCodes[] = {"bad-json",      "bad-request", "unknown-name",
                                   "bad-arguments", "refused",     "setup"};

bool knownCode(const std::string& code) {
    for (const char* known : kErrorCodes) {
        if (code == known) {
            return true;
        }
    }
    return false;
}

// The frames that carry `answer`, joined again and read back as a caller would.
void checkAnswer(const Json& answer) {
    const std::vector<std::string> bodies = AnswerFrames::of(answer);
    FUZZ_CHECK(!bodies.empty(), "no frame for an answer");
    std::string joined;
    for (const std::string& body : bodies) {
        FUZZ_CHECK(body.size() <= FrameChannel::kMaxOutgoing, "a frame of %zu bytes", body.size());
        const Json frame = Json::parse(body, nullptr, false);
        FUZZ_CHECK(!frame.is_discarded() && frame.is_object() && frame.contains("id"),
                   "a frame that is not an answer: %.200s", body.c_str());
        if (bodies.size() > 1) {
            joined += frame.at("data").get<std::string>();
        }
    }
    const Json whole = bodies.size() > 1 ? Json::parse(joined, nullptr, false)
                                         : Json::parse(bodies.front(), nullptr, false);
    FUZZ_CHECK(whole.is_object() && whole.begin().key() == "id",
               "the answer does not start "
               "with its id");
    const Json& id = whole["id"];
    FUZZ_CHECK(id.is_null() || id.is_string() || id.is_number(), "an id of another kind");
    const bool result = whole.contains("result");
    const bool error = whole.contains("error");
    FUZZ_CHECK(!(result && error), "an answer with both result and error");
    FUZZ_CHECK(whole.size() == 1u + (result || error), "an answer with other members");
    if (error) {
        const Json& detail = whole["error"];
        FUZZ_CHECK(detail.is_object() && detail.contains("code") && detail["code"].is_string() &&
                       knownCode(detail["code"].get<std::string>()) && detail.contains("message") &&
                       detail["message"].is_string(),
                   "an error the protocol does not have: %.200s", bodies.front().c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vellum::fuzz::requireNoTokenModule("bridge");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // In-process: the module's own entry points, linked into this program, stand in for dlopen.
    PluginHost host(vellum::pluginhost::linkedPlugin());
    std::string error;
    FUZZ_CHECK(host.start(error), "the plug-in does not start: %s", error.c_str());
    BridgeSession session(host, "");
    const char* at = reinterpret_cast<const char*>(data);
    const char* const end = at + size;
    for (int frames = 0; frames < kMaxFrames && at <= end; ++frames) {
        const char* stop = static_cast<const char*>(std::memchr(at, '\0', end - at));
        const std::string frame(at, stop != nullptr ? stop : end);
        checkAnswer(session.answer(frame));
        if (stop == nullptr) {
            break;
        }
        at = stop + 1;
    }
    host.stop();
    FUZZ_CHECK(host.clean(), "host not clean after the instance went: %s", host.report().c_str());
    return 0;
}
