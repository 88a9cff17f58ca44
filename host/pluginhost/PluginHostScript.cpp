// Script access of the PluginHost: what page script does with the object, by name.
#include <new>
#include <optional>

#include "pluginhost/ArgumentList.h"
#include "pluginhost/FaultPause.h"
#include "pluginhost/PluginHost.h"

namespace vellum::pluginhost {

NPVariant PluginHost::freshResult() const noexcept {
    NPVariant result;
    if (resultMarker_) {
        INT32_TO_NPVARIANT(kResultMarker, result);
    } else {
        VOID_TO_NPVARIANT(result);
    }
    return result;
}

// The host owns a result once the call returns: string bytes go back to the allocator, object
// references are held until releaseScriptObject(). A failed call should leave nothing to own.
ScriptResult PluginHost::takeResult(bool ok, NPVariant& result, const char* call) {
    FaultPause pause;
    bool malformed = false;
    ScriptResult taken{ok, ScriptValue::fromVariant(result, &malformed)};
    if (malformed) {
        record_.addProblem(std::string(call) + ": malformed result variant");
    }
    if (result.type == NPVariantType_String) {
        const NPString& text = result.value.stringValue;
        lastStringTerminated_ = allocator_.sizeOf(text.UTF8Characters) > text.UTF8Length &&
                                text.UTF8Characters[text.UTF8Length] == '\0';
    }
    if (!ok && (result.type == NPVariantType_String || result.type == NPVariantType_Object)) {
        record_.addProblem(std::string(call) + ": failed, yet left " +
                           kindName(taken.value.kind()) + " in its result");
    }
    if (result.type == NPVariantType_Object) {
        if (objects_.isAlive(result.value.objectValue)) {
            resultObjects_.push_back(result.value.objectValue);
        } else {
            record_.addProblem(std::string(call) + ": result object is not alive");
        }
        VOID_TO_NPVARIANT(result);
    } else {
        releaseVariant(result, call);
    }
    return taken;
}

NPIdentifier PluginHost::identifier(const std::string& name) {
    FaultPause pause;
    return identifiers_.stringIdentifier(name.c_str());
}

bool PluginHost::hasProperty(const std::string& name) {
    return hasProperty(scriptObject_, name);
}

bool PluginHost::hasMethod(const std::string& name) {
    return hasMethod(scriptObject_, name);
}

ScriptResult PluginHost::getProperty(const std::string& name) {
    return getProperty(scriptObject_, name);
}

bool PluginHost::setProperty(const std::string& name, const ScriptValue& value) {
    return setProperty(scriptObject_, name, value);
}

ScriptResult PluginHost::invoke(const std::string& method, const std::vector<ScriptValue>& args) {
    return invoke(scriptObject_, method, args);
}

ScriptResult PluginHost::invokeDefault(const std::vector<ScriptValue>& args) {
    return invokeDefault(scriptObject_, args);
}

bool PluginHost::hasProperty(NPObject* object, const std::string& name) {
    return objects_.hasProperty(object, identifier(name));
}

bool PluginHost::hasMethod(NPObject* object, const std::string& name) {
    return objects_.hasMethod(object, identifier(name));
}

ScriptResult PluginHost::getProperty(NPObject* object, const std::string& name) {
    NPVariant result = freshResult();
    bool ok = objects_.getProperty(object, identifier(name), &result);
    return takeResult(ok, result, "getProperty");
}

bool PluginHost::setProperty(NPObject* object, const std::string& name, const ScriptValue& value) {
    const NPIdentifier property = identifier(name);
    std::optional<ArgumentList> argument;
    {
        FaultPause pause;
        argument.emplace(value);
    }
    return objects_.setProperty(object, property, argument->data());
}

ScriptResult PluginHost::invoke(NPObject* object, const std::string& method,
                                const std::vector<ScriptValue>& args) {
    const NPIdentifier name = identifier(method);
    std::optional<ArgumentList> arguments;
    {
        FaultPause pause;
        arguments.emplace(args);
    }
    NPVariant result = freshResult();
    bool ok = objects_.invoke(object, name, arguments->data(), arguments->count(), &result);
    return takeResult(ok, result, "invoke");
}

ScriptResult PluginHost::invokeDefault(NPObject* object, const std::vector<ScriptValue>& args) {
    std::optional<ArgumentList> arguments;
    {
        FaultPause pause;
        arguments.emplace(args);
    }
    NPVariant result = freshResult();
    bool ok = objects_.invokeDefault(object, arguments->data(), arguments->count(), &result);
    return takeResult(ok, result, "invokeDefault");
}

}  // namespace vellum::pluginhost
