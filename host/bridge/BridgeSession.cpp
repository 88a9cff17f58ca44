#include "bridge/BridgeSession.h"

#include <cmath>
#include <initializer_list>
#include <optional>
#include <vector>

#include "bridge/RequestParser.h"
#include "common/ScriptArgument.h"
#include "common/TokenCalls.h"

namespace vellum::host {
namespace {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

// The members of an answer for what the host itself could not do.
Json error(const char* code, const std::string& message) {
    return Json{{"error", {{"code", code}, {"message", message}}}};
}

// The answer: the id first, then the members.
Json answerWith(Json id, Json members) {
    Json answer = Json::object();
    answer["id"] = std::move(id);
    for (auto& member : members.items()) {
        answer[member.key()] = std::move(member.value());
    }
    return answer;
}

// The members of an answer for what the plug-in gave back.
Json resultOf(const ScriptValue& value, const std::string& what) {
    switch (value.kind()) {
        case ScriptValue::Kind::Void:
            return Json::object();
        case ScriptValue::Kind::Null:
            return Json{{"result", nullptr}};
        case ScriptValue::Kind::Bool:
            return Json{{"result", value.boolValue()}};
        case ScriptValue::Kind::Int32:
            return Json{{"result", value.int32Value()}};
        case ScriptValue::Kind::Double:
            return Json{{"result", ScriptArgument::jsonOfDouble(value.doubleValue())}};
        case ScriptValue::Kind::String:
            return Json{{"result", value.stringValue()}};
        case ScriptValue::Kind::Object:
            break;
    }
    return error("bad-arguments", what + " answered an object, which the bridge cannot carry");
}

// "string, int32" for a message.
std::string kinds(const std::vector<ScriptValue>& values) {
    std::string text;
    for (const ScriptValue& value : values) {
        text += (text.empty() ? "" : ", ") + std::string(kindName(value.kind()));
    }
    return text.empty() ? "no arguments" : text;
}

const char* jsonKind(const Json& json) {
    return json.is_array() ? "an array" : json.is_object() ? "an object" : "not a script value";
}

// The members a request of `op` may have, besides id and op; empty when `op` is unknown.
bool membersOf(const std::string& op, std::vector<std::string>& required,
               std::vector<std::string>& optional) {
    if (op == "hello") {
        return true;
    }
    if (op == "get") {
        required = {"name"};
        return true;
    }
    if (op == "set") {
        required = {"name", "value"};
        return true;
    }
    if (op == "call") {
        required = {"name"};
        optional = {"args"};
        return true;
    }
    return false;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& candidate : names) {
        if (candidate == name) {
            return true;
        }
    }
    return false;
}

// The id of a request, or null with `problem` set.
Json readId(const Json& request, std::string& problem) {
    auto id = request.find("id");
    if (id == request.end()) {
        problem = "the request has no id";
        return nullptr;
    }
    if (!id->is_string() && !id->is_number()) {
        problem = "the id must be a string or a number";
        return nullptr;
    }
    if (JsonText::line(*id).size() > BridgeSession::kMaxIdLength) {
        problem = "the id is longer than " + std::to_string(BridgeSession::kMaxIdLength) + " bytes";
        return nullptr;
    }
    return *id;
}

// What is wrong with the members of a request, or empty.
std::string checkMembers(const Json& request, const std::string& op) {
    std::vector<std::string> required;
    std::vector<std::string> optional;
    if (!membersOf(op, required, optional)) {
        return "unknown op '" + op + "' (hello, get, set or call)";
    }
    for (const auto& member : request.items()) {
        const std::string& key = member.key();
        if (key != "id" && key != "op" && key != "origin" && key != "top" &&
            !contains(required, key) && !contains(optional, key)) {
            return "unexpected member '" + key + "' in a " + op + " request";
        }
    }
    for (const std::string& name : required) {
        if (!request.contains(name)) {
            return "a " + op + " request needs '" + name + "'";
        }
    }
    // A name or an origin is a C string to the plug-in and the PIN dialog: one holding a NUL
    // would be read as its part before it.
    for (const char* text : {"name", "origin"}) {
        if (request.contains(text) && request[text].is_string() &&
            request[text].get_ref<const std::string&>().find('\0') != std::string::npos) {
            return "'" + std::string(text) + "' holds a NUL character";
        }
    }
    if (request.contains("name") && !request["name"].is_string()) {
        return "'name' must be a string";
    }
    if (request.contains("args") && !request["args"].is_array()) {
        return "'args' must be an array";
    }
    if (request.contains("origin") && !request["origin"].is_string()) {
        return "'origin' must be a string";
    }
    if (request.contains("top") && !request["top"].is_string()) {
        return "'top' must be a string";
    }
    return "";
}

}  // namespace

Json BridgeSession::answer(std::string frame) {
    Json request;
    std::string problem;
    const RequestParser::Outcome outcome = RequestParser::parse(frame, request, problem);
    // Its texts are in the request now: a large value is held once, not twice, from here on.
    std::string().swap(frame);
    switch (outcome) {
        case RequestParser::Outcome::Parsed:
            break;
        case RequestParser::Outcome::NotJson:
            return answerWith(nullptr, error("bad-json", problem));
        case RequestParser::Outcome::Unreadable:
            return answerWith(nullptr, error("bad-request", problem));
    }
    if (!request.is_object()) {
        return answerWith(nullptr, error("bad-request", "the request is not a JSON object"));
    }
    Json id = readId(request, problem);
    if (!problem.empty()) {
        return answerWith(nullptr, error("bad-request", problem));
    }
    auto op = request.find("op");
    if (op == request.end() || !op->is_string()) {
        return answerWith(id, error("bad-request", "the request needs 'op', a string"));
    }
    problem = checkMembers(request, op->get<std::string>());
    if (!problem.empty()) {
        return answerWith(id, error("bad-request", problem));
    }
    if (!setupError_.empty()) {
        return answerWith(id, error("setup", setupError_));
    }

    // The page's origin, as the browser recorded it for the extension: the site a token's PIN
    // dialog names for what follows.
    if (request.contains("origin") && announceOrigin_ != nullptr) {
        announceOrigin_(request["origin"].get_ref<const std::string&>());
    }
    // The page the person is on, when the asking frame is not that page itself.
    const std::string origin = request.value("origin", std::string());
    const std::string top = request.value("top", std::string());
    const std::string& kind = op->get_ref<const std::string&>();
    Json members;
    if (kind == "hello") {
        members = hello();
    } else if (kind == "get") {
        const std::string name = request["name"].get<std::string>();
        // Only what reaches the token waits for it. Reading Signature or SignData signs: the
        // PIN module is handed what it shows meanwhile.
        std::optional<TokenLock::Hold> held;
        std::optional<SigningHandOver::Offer> offer;
        if (TokenCalls::readReaches(name)) {
            held.emplace(tokenLock_);
        }
        if (SigningHandOver::signs(name)) {
            offer.emplace(handOver_, origin, top);
        }
        members = get(name);
    } else if (kind == "set") {
        members = set(request["name"].get<std::string>(), request["value"]);
    } else {
        const std::string name = request["name"].get<std::string>();
        std::optional<TokenLock::Hold> held;
        if (TokenCalls::callReaches(name)) {
            held.emplace(tokenLock_);
        }
        // Taken by reference: the call moves the arguments' texts out instead of copying them.
        Json noArguments = Json::array();
        members = call(name, request.contains("args") ? request["args"] : noArguments);
    }
    return answerWith(std::move(id), std::move(members));
}

Json BridgeSession::hello() {
    const char* name = nullptr;
    NPError nameError = host_.library().getValue(nullptr, NPPVpluginNameString, &name);
    ScriptResult version = host_.invoke("getVersion");
    Json result = Json::object();
    result["protocol"] = kProtocolVersion;
    result["name"] = nameError == NPERR_NO_ERROR && name != nullptr ? Json(name) : Json(nullptr);
    result["version"] =
        version.ok && version.value.isString() ? Json(version.value.stringValue()) : Json(nullptr);
    result["mimeType"] = pluginhost::PluginHost::kMimeType;
    return Json{{"result", std::move(result)}};
}

Json BridgeSession::get(const std::string& name) {
    // In the order vellum-host asks, so both see the same hooks run.
    ScriptResult result = host_.getProperty(name);
    if (result.ok) {
        return resultOf(result.value, "reading '" + name + "'");
    }
    if (host_.hasProperty(name)) {
        return error("refused", "the plug-in refused to read '" + name + "'");
    }
    return error("unknown-name",
                 "no property '" + name + "' on the plug-in" +
                     (host_.hasMethod(name) ? " ('" + name + "' is a method)" : ""));
}

Json BridgeSession::set(const std::string& name, Json& value) {
    ScriptValue script;
    const char* kind = jsonKind(value);
    // Moved: the request's text becomes the script value's.
    if (!ScriptArgument::fromJson(std::move(value), script)) {
        return error("bad-arguments", "the value for '" + name + "' is " + kind +
                                          "; a string, number, boolean or null is passed");
    }
    if (host_.setProperty(name, script)) {
        handOver_.noteWritten(name, script.isString() ? &script.stringValue() : nullptr);
        return Json{{"result", nullptr}};
    }
    if (host_.hasProperty(name)) {
        return error("refused", "the plug-in refused a value of kind " +
                                    std::string(kindName(script.kind())) + " for '" + name + "'");
    }
    return error("unknown-name", "no property '" + name + "' on the plug-in");
}

Json BridgeSession::call(const std::string& name, Json& args) {
    std::vector<ScriptValue> arguments;
    for (Json& arg : args) {
        ScriptValue script;
        const char* kind = jsonKind(arg);
        if (!ScriptArgument::fromJson(std::move(arg), script)) {
            return error("bad-arguments", "argument " + std::to_string(arguments.size() + 1) +
                                              " of '" + name + "' is " + kind +
                                              "; a string, number, boolean or null is passed");
        }
        arguments.push_back(std::move(script));
    }
    ScriptResult result = host_.invoke(name, arguments);
    if (result.ok) {
        return resultOf(result.value, "'" + name + "'");
    }
    if (host_.hasMethod(name)) {
        return error("refused",
                     "the plug-in refused the call of '" + name + "' with " + kinds(arguments));
    }
    return error("unknown-name",
                 "no method '" + name + "' on the plug-in" +
                     (host_.hasProperty(name) ? " ('" + name + "' is a property)" : ""));
}

}  // namespace vellum::host
