#include "cli/StepRunner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>
#include <vector>

#include "PluginIdentity.h"
#include "cli/CertificateList.h"
#include "cli/FailureHint.h"
#include "cli/PemText.h"
#include "cli/SignatureEnvelope.h"
#include "common/ScriptArgument.h"
#include "common/TokenCalls.h"
#include "doctor/Doctor.h"

namespace vellum::host {
namespace {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

// The module-level function is exported only under its C++ name.
constexpr const char* kMimeDescriptionSymbol = "_Z22NPP_GetMIMEDescriptionv";

void fail(StepOutcome& outcome, const std::string& error,
          StepOutcome::Status status = StepOutcome::Status::Failed) {
    outcome.status = status;
    outcome.error = error;
}

// A value as text for standard output (nothing for void) and as "type" and "value" members.
std::string valueText(const ScriptValue& value, Json& json) {
    switch (value.kind()) {
        case ScriptValue::Kind::Void:
            json["type"] = "void";
            json["value"] = nullptr;
            return "";
        case ScriptValue::Kind::Null:
            json["type"] = "null";
            json["value"] = nullptr;
            return "null";
        case ScriptValue::Kind::Bool:
            json["type"] = "bool";
            json["value"] = value.boolValue();
            return value.boolValue() ? "true" : "false";
        case ScriptValue::Kind::Int32:
            json["type"] = "int32";
            json["value"] = value.int32Value();
            return std::to_string(value.int32Value());
        case ScriptValue::Kind::Double: {
            json["type"] = "double";
            json["value"] = value.doubleValue();
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", value.doubleValue());
            return text;
        }
        case ScriptValue::Kind::String:
            json["type"] = "string";
            json["value"] = value.stringValue();
            return value.stringValue();
        case ScriptValue::Kind::Object:
            json["type"] = "object";
            json["value"] = nullptr;
            return "[object]";
    }
    return "";
}

// "(it went as int32 42; write str:42 to pass text)" when a word became a number.
std::string int32Hint(const std::string& word, const ScriptValue& value) {
    if (value.kind() != ScriptValue::Kind::Int32) {
        return "";
    }
    return " (" + word + " went as an int32; write " + ScriptArgument::kStringPrefix + word +
           " to pass it as text)";
}

bool readFile(const std::string& path, std::string& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes,
               std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// "sign 01A2B3", "get JSCB", "list": what the failure line names.
std::string stepLabel(const Step& step) {
    std::string label = stepName(step.kind);
    if (step.kind == StepKind::Cert || step.kind == StepKind::Sign) {
        label += " " + step.serial;
    } else if (!step.name.empty()) {
        label += " " + step.name;
    }
    return label;
}

}  // namespace

StepOutcome StepRunner::run(const Step& step) {
    StepOutcome outcome;
    // Another host's operation on the token waits for this step to end, and this one for it.
    // Only what reaches the token waits for it: not info, set, nor a get or call of a name
    // that answers from the plug-in's own state (getVersion while another host's dialog is up).
    std::optional<TokenLock::Hold> held;
    const bool reaches = step.kind == StepKind::List || step.kind == StepKind::Cert ||
                         step.kind == StepKind::Sign ||
                         (step.kind == StepKind::Get && TokenCalls::readReaches(step.name)) ||
                         (step.kind == StepKind::Call && TokenCalls::callReaches(step.name));
    if (reaches) {
        held.emplace(tokenLock_);
    }
    switch (step.kind) {
        case StepKind::Info:
            outcome = info();
            break;
        case StepKind::List:
            outcome = list();
            break;
        case StepKind::Cert:
            outcome = cert(step);
            break;
        case StepKind::Sign:
            outcome = sign(step);
            break;
        case StepKind::Get:
            outcome = get(step);
            break;
        case StepKind::Set:
            outcome = set(step);
            break;
        case StepKind::Call:
            outcome = call(step);
            break;
        case StepKind::Doctor:
            outcome = doctor();
            break;
    }
    Json json = Json::object();
    json["step"] = stepName(step.kind);
    json["ok"] = outcome.succeeded();
    for (const auto& member : outcome.json.items()) {
        json[member.key()] = member.value();
    }
    if (!outcome.succeeded()) {
        json["error"] = outcome.error;
    }
    if (!outcome.hint.empty()) {
        json["hint"] = outcome.hint;
    }
    outcome.json = std::move(json);
    if (!outcome.succeeded()) {
        outcome.error = stepLabel(step) + " failed: " + outcome.error;
    }
    return outcome;
}

std::string StepRunner::lastError() {
    ScriptResult result = host_.invoke("LastError");
    return result.ok && result.value.isString() ? result.value.stringValue()
                                                : "(LastError gave no text)";
}

std::string StepRunner::hintFor(const std::string& lastError, const std::string& hash) const {
    FailureHint::Context context;
    // The file the plug-in's load of the fixed path opens: --token-module's, redirected in this
    // process only, or whatever is at the fixed path itself.
    context.modulePath = tokenModule_.empty() ? std::string(kTokenModulePath) : tokenModule_;
    std::error_code failed;
    context.moduleExists = std::filesystem::exists(context.modulePath, failed);
    context.hash = hash;
    return FailureHint::forStatus(lastError, context);
}

bool StepRunner::failedOperation(const std::string& result, StepOutcome& outcome,
                                 const std::string& hash) {
    if (result != kFailureResult) {
        return false;
    }
    std::string status = lastError();
    outcome.hint = hintFor(status, hash);
    outcome.json["result"] = result;
    outcome.json["lastError"] = status;
    fail(outcome, result + ", LastError \"" + status + "\"");
    return true;
}

bool StepRunner::setText(const std::string& name, const std::string& text, StepOutcome& outcome) {
    if (host_.setProperty(name, ScriptValue::string(text))) {
        handOver_.noteWritten(name, &text);
        return true;
    }
    fail(outcome, "the script object refused to set " + name);
    return false;
}

bool StepRunner::invokeText(const std::string& method, std::string& text, StepOutcome& outcome) {
    ScriptResult result = host_.invoke(method);
    if (!result.ok) {
        fail(outcome, "the script object refused the call of " + method);
        return false;
    }
    if (!result.value.isString()) {
        fail(outcome, method + " answered " + result.value.describe() + ", not a string");
        return false;
    }
    text = result.value.stringValue();
    return true;
}

StepOutcome StepRunner::info() {
    StepOutcome outcome;
    const char* name = nullptr;
    NPError nameError = host_.library().getValue(nullptr, NPPVpluginNameString, &name);
    std::string nameText = nameError == NPERR_NO_ERROR && name != nullptr
                               ? name
                               : "(NP_GetValue answered " + std::to_string(nameError) + ")";
    using MimeDescriptionFunction = const char* (*)();
    auto mimeDescription =
        reinterpret_cast<MimeDescriptionFunction>(host_.library().symbol(kMimeDescriptionSymbol));
    const char* mime = mimeDescription != nullptr ? mimeDescription() : nullptr;
    std::string mimeText = mime != nullptr ? mime : "(NPP_GetMIMEDescription not found)";

    std::string version;
    std::string provider;
    if (!invokeText("getVersion", version, outcome) ||
        !invokeText("getProviderName", provider, outcome)) {
        return outcome;
    }
    outcome.output = "module: " + pluginPath_ + "\nname: " + nameText +
                     "\nMIME description: " + mimeText + "\nversion: " + version +
                     "\nprovider: " + provider + "\n";
    outcome.json["module"] = pluginPath_;
    outcome.json["name"] = nameText;
    outcome.json["mimeDescription"] = mimeText;
    outcome.json["version"] = version;
    outcome.json["providerName"] = provider;
    return outcome;
}

StepOutcome StepRunner::list() {
    StepOutcome outcome;
    std::string text;
    if (!invokeText("getCertList", text, outcome) || failedOperation(text, outcome)) {
        return outcome;
    }
    outcome.json["result"] = text;
    std::vector<CertificateEntry> entries;
    if (!CertificateList::parse(text, entries)) {
        outcome.output = text + "\n";
        fail(outcome, "getCertList answered text that is not a certificate list");
        return outcome;
    }
    Json certificates = Json::array();
    for (const CertificateEntry& entry : entries) {
        outcome.output += (entry.serial.empty() ? "(no serial)" : entry.serial) + "  " +
                          (entry.name.empty() ? "(no name)" : entry.name) + "\n";
        certificates.push_back({{"name", entry.name}, {"serial", entry.serial}});
    }
    outcome.json["certificates"] = std::move(certificates);
    if (entries.empty()) {
        std::string status = lastError();
        outcome.json["lastError"] = status;
        outcome.note = "list: no certificate found, LastError \"" + status + "\"";
        outcome.hint = hintFor(status);
    }
    return outcome;
}

StepOutcome StepRunner::cert(const Step& step) {
    StepOutcome outcome;
    outcome.json["serial"] = step.serial;
    std::string base64;
    if (!setText("CN", step.serial, outcome) || !invokeText("SignCert", base64, outcome) ||
        failedOperation(base64, outcome)) {
        return outcome;
    }
    outcome.output = step.pem ? PemText::fromBase64(base64) : base64 + "\n";
    outcome.json["certificate"] = base64;
    if (step.pem) {
        outcome.json["pem"] = outcome.output;
    }
    return outcome;
}

StepOutcome StepRunner::sign(const Step& step) {
    StepOutcome outcome;
    const std::string property = step.dataEnvelope ? "SignData" : "Signature";
    outcome.json["serial"] = step.serial;
    outcome.json["hash"] = step.hash;
    outcome.json["envelope"] = step.dataEnvelope ? "data" : "signature";

    std::string data;
    std::string error;
    if (step.file) {
        if (!readFile(*step.file, data, error)) {
            fail(outcome, error, StepOutcome::Status::Broken);
            return outcome;
        }
        // Script strings end at a zero byte on their way into the plug-in: only the part
        // before it would be signed, and the signature would not match the file.
        size_t zero = data.find('\0');
        if (zero != std::string::npos) {
            fail(outcome, *step.file + " holds a zero byte at offset " + std::to_string(zero) +
                              "; the plug-in signs text, which ends at the first zero byte");
            return outcome;
        }
    } else {
        data = *step.data;
    }

    if (!setText("CN", step.serial, outcome) || !setText("HashAlgorithm", step.hash, outcome) ||
        !setText("SignData", data, outcome)) {
        return outcome;
    }
    ScriptResult result;
    {
        SigningHandOver::Offer offer(handOver_, kSite, "");
        result = host_.getProperty(property);
    }
    if (!result.ok || !result.value.isString()) {
        fail(outcome, "reading " + property + " gave " + result.describe());
        return outcome;
    }
    const std::string& text = result.value.stringValue();
    if (failedOperation(text, outcome, step.hash)) {
        return outcome;
    }
    outcome.json["result"] = text;

    SignatureEnvelope envelope;
    std::string problem;
    if (!envelope.parse(text, problem) || envelope.carriesData() != step.dataEnvelope) {
        outcome.output = text + "\n";
        fail(outcome, property + " answered a malformed envelope: " +
                          (problem.empty() ? "wrong kind of envelope" : problem));
        return outcome;
    }
    if (envelope.carriesData() && envelope.data() != data) {
        outcome.output = text + "\n";
        fail(outcome, "the envelope carries other data than was given to sign");
        return outcome;
    }
    outcome.json["signature"] = envelope.hex();
    outcome.json["signatureBytes"] = envelope.signature().size();
    if (!step.rawOutput) {
        outcome.output = text + "\n";
        return outcome;
    }
    if (!writeFile(*step.rawOutput, envelope.signature(), error)) {
        fail(outcome, error, StepOutcome::Status::Broken);
        return outcome;
    }
    outcome.json["rawFile"] = *step.rawOutput;
    outcome.output = "signature: " + std::to_string(envelope.signature().size()) +
                     " bytes written to " + *step.rawOutput + "\n";
    return outcome;
}

StepOutcome StepRunner::get(const Step& step) {
    StepOutcome outcome;
    outcome.json["name"] = step.name;
    ScriptResult result;
    {
        std::optional<SigningHandOver::Offer> offer;
        if (SigningHandOver::signs(step.name)) {
            offer.emplace(handOver_, kSite, "");
        }
        result = host_.getProperty(step.name);
    }
    if (!result.ok) {
        fail(outcome, host_.hasProperty(step.name) ? "the property is not readable"
                                                   : "the script object has no such property");
        return outcome;
    }
    if (result.value.isString() && failedOperation(result.value.stringValue(), outcome)) {
        return outcome;
    }
    std::string text = valueText(result.value, outcome.json);
    outcome.output = result.value.isVoid() ? "" : text + "\n";
    return outcome;
}

StepOutcome StepRunner::set(const Step& step) {
    StepOutcome outcome;
    const std::string& word = step.arguments.at(0);
    ScriptValue value = ScriptArgument::fromWord(word);
    outcome.json["name"] = step.name;
    valueText(value, outcome.json);
    if (host_.setProperty(step.name, value)) {
        handOver_.noteWritten(step.name, value.isString() ? &value.stringValue() : nullptr);
    } else {
        fail(outcome, host_.hasProperty(step.name)
                          ? "the property refused the value" + int32Hint(word, value)
                          : "the script object has no such property");
    }
    return outcome;
}

StepOutcome StepRunner::call(const Step& step) {
    StepOutcome outcome;
    outcome.json["name"] = step.name;
    std::vector<ScriptValue> arguments;
    std::string hints;
    for (const std::string& word : step.arguments) {
        arguments.push_back(ScriptArgument::fromWord(word));
        hints += int32Hint(word, arguments.back());
    }
    ScriptResult result = host_.invoke(step.name, arguments);
    if (!result.ok) {
        fail(outcome, host_.hasMethod(step.name)
                          ? "the method refused the call with " + std::to_string(arguments.size()) +
                                " argument(s)" + hints
                          : "the script object has no such method");
        return outcome;
    }
    if (result.value.isString() && failedOperation(result.value.stringValue(), outcome)) {
        return outcome;
    }
    std::string text = valueText(result.value, outcome.json);
    outcome.output = result.value.isVoid() ? "" : text + "\n";
    return outcome;
}

}  // namespace vellum::host

namespace vellum::host {

StepOutcome StepRunner::doctor() {
    return Doctor(host_, tokenModule_, tokenLock_).run();
}

}  // namespace vellum::host
