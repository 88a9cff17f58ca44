#include "PluginHarness.h"

namespace vellum::bench {

using pluginhost::ScriptResult;
using pluginhost::ScriptValue;

PluginHarness::PluginHarness(std::string modulePath) : host_(std::move(modulePath)) {}

PluginHarness::~PluginHarness() {
    host_.stop();
}

bool PluginHarness::start(std::string& error) {
    return host_.start(error);
}

bool PluginHarness::write(const std::string& property, const std::string& text,
                          std::string& error) {
    if (!host_.setProperty(property, ScriptValue::string(text))) {
        error = "the script object refused to set " + property;
        return false;
    }
    return true;
}

bool PluginHarness::failed(const char* what, const ScriptResult& result, std::string& error) {
    ScriptResult reason = host_.invoke("LastError");
    error = std::string(what) + " gave " + result.describe() +
            "; LastError: " + reason.value.stringValue();
    return false;
}

bool PluginHarness::readSignature(std::string& envelope, std::string& error) {
    ScriptResult result = host_.getProperty("Signature");
    if (!result.ok || !result.value.isString() ||
        result.value.stringValue().compare(0, 8, "US65001:") != 0) {
        return failed("reading Signature", result, error);
    }
    envelope = result.value.stringValue();
    return true;
}

bool PluginHarness::version(std::string& text, std::string& error) {
    ScriptResult result = host_.invoke("getVersion");
    if (!result.ok || !result.value.isString() || result.value.stringValue().empty()) {
        return failed("getVersion", result, error);
    }
    text = result.value.stringValue();
    return true;
}

bool PluginHarness::certList(std::string& text, std::string& error) {
    ScriptResult result = host_.invoke("getCertList");
    if (!result.ok || !result.value.isString() || result.value.stringValue() == "E:1000") {
        return failed("getCertList", result, error);
    }
    text = result.value.stringValue();
    return true;
}

bool PluginHarness::stop(std::string& error) {
    host_.stop();
    if (!host_.clean()) {
        error = "the plug-in left behind: " + host_.report();
        return false;
    }
    return true;
}

}  // namespace vellum::bench
