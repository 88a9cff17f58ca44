// Script access of the TestHost: what page script does with the object, by name.
#include <new>

#include "testhost/ArgumentList.h"
#include "testhost/TestHost.h"

namespace vellum::testhost {

NPVariant TestHost::freshResult() const noexcept {
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
ScriptResult TestHost::takeResult(bool ok, NPVariant& result, const char* call) {
    bool malformed = false;
    ScriptResult taken{ok, ScriptValue::fromVariant(result, &malformed)};
    if (malformed) {
        record_.addProblem(std::string(call) + ": malformed result variant");
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

NPIdentifier TestHost::identifier(const std::string& name) {
    return identifiers_.stringIdentifier(name.c_str());
}

bool TestHost::hasProperty(const std::string& name) {
    return hasProperty(scriptObject_, name);
}

bool TestHost::hasMethod(const std::string& name) {
    return hasMethod(scriptObject_, name);
}

ScriptResult TestHost::getProperty(const std::string& name) {
    return getProperty(scriptObject_, name);
}

bool TestHost::setProperty(const std::string& name, const ScriptValue& value) {
    return setProperty(scriptObject_, name, value);
}

ScriptResult TestHost::invoke(const std::string& method, const std::vector<ScriptValue>& args) {
    return invoke(scriptObject_, method, args);
}

ScriptResult TestHost::invokeDefault(const std::vector<ScriptValue>& args) {
    return invokeDefault(scriptObject_, args);
}

bool TestHost::hasProperty(NPObject* object, const std::string& name) {
    return objects_.hasProperty(object, identifier(name));
}

bool TestHost::hasMethod(NPObject* object, const std::string& name) {
    return objects_.hasMethod(object, identifier(name));
}

ScriptResult TestHost::getProperty(NPObject* object, const std::string& name) {
    NPVariant result = freshResult();
    bool ok = objects_.getProperty(object, identifier(name), &result);
    return takeResult(ok, result, "getProperty");
}

bool TestHost::setProperty(NPObject* object, const std::string& name, const ScriptValue& value) {
    ArgumentList argument({value});
    return objects_.setProperty(object, identifier(name), argument.data());
}

ScriptResult TestHost::invoke(NPObject* object, const std::string& method,
                              const std::vector<ScriptValue>& args) {
    ArgumentList arguments(args);
    NPVariant result = freshResult();
    bool ok =
        objects_.invoke(object, identifier(method), arguments.data(), arguments.count(), &result);
    return takeResult(ok, result, "invoke");
}

ScriptResult TestHost::invokeDefault(NPObject* object, const std::vector<ScriptValue>& args) {
    ArgumentList arguments(args);
    NPVariant result = freshResult();
    bool ok = objects_.invokeDefault(object, arguments.data(), arguments.count(), &result);
    return takeResult(ok, result, "invokeDefault");
}

}  // namespace vellum::testhost
