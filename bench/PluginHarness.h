// The shipping plug-in module loaded in the plug-in host as a browser loads it, with the signing
// object's texts written once (CN, SignData, HashAlgorithm); each read of Signature, or call of
// getCertList, is then one whole token operation of the plug-in.
#pragma once

#include <memory>
#include <string>

#include "pluginhost/PluginHost.h"

namespace vellum::bench {

class PluginHarness {
public:
    explicit PluginHarness(std::string modulePath);
    ~PluginHarness();
    PluginHarness(const PluginHarness&) = delete;
    PluginHarness& operator=(const PluginHarness&) = delete;

    // Loads the module, makes the instance and gets the script object.
    bool start(std::string& error);
    // Writes the property as a string; false when the object refuses it.
    bool write(const std::string& property, const std::string& text, std::string& error);

    // Reads Signature; false, with the plug-in's LastError, unless a "US65001:" envelope comes.
    bool readSignature(std::string& envelope, std::string& error);
    // Calls getVersion: a script call that reaches the plug-in and not the token.
    bool version(std::string& text, std::string& error);
    // Calls getCertList; false, with LastError, when it answers "E:1000" or not a string.
    bool certList(std::string& text, std::string& error);

    // Tears down the instance and unloads the module; false with the host's report when memory
    // or objects are left over.
    bool stop(std::string& error);

private:
    bool failed(const char* what, const pluginhost::ScriptResult& result, std::string& error);

    pluginhost::PluginHost host_;
};

}  // namespace vellum::bench
