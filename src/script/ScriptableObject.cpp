#include "script/ScriptableObject.h"

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "script/ScriptArguments.h"
#include "script/ScriptValues.h"
#include "script/SigningScriptApi.h"
#include "shell/nsPluginInstance.h"

namespace {

constexpr char kDefaultMethodResult[] = "default method return val";

}  // namespace

NPClass sScriptableObject_NPClass =
    ScriptableObjectBase::ClassWithAllocator(&AllocateScriptableObject);

NPObject* AllocateScriptableObject(NPP npp, NPClass* /*aClass*/) {
    // Called by the host, which cannot take an exception.
    return new (std::nothrow) ScriptableObject(npp);
}

ScriptableObject::ScriptableObject(NPP npp) : npp(npp) {
    SigningScriptApi::internNames();
}

ScriptableObject::~ScriptableObject() = default;

void ScriptableObject::DetachFromInstance(NPObject* npobj) noexcept {
    if (npobj != nullptr && npobj->_class == &sScriptableObject_NPClass) {
        static_cast<ScriptableObject*>(static_cast<ScriptableObjectBase*>(npobj))->npp = nullptr;
    }
}

std::shared_ptr<ServiceBase> ScriptableObject::findService() const noexcept {
    if (npp == nullptr || npp->pdata == nullptr) {
        return nullptr;
    }
    // `pdata` holds what NPP_New stored: the record's nsPluginInstance.
    auto* instance = static_cast<nsPluginInstance*>(static_cast<nsPluginInstanceBase*>(npp->pdata));
    return instance->GetService();
}

bool ScriptableObject::HasMethod(NPIdentifier name) {
    return SigningScriptApi::findMethod(name) != nullptr;
}

bool ScriptableObject::HasProperty(NPIdentifier name) {
    return SigningScriptApi::findProperty(name) != nullptr;
}

bool ScriptableObject::GetProperty(NPIdentifier name, NPVariant* result) {
    setVoidResult(result);
    try {
        const std::shared_ptr<ServiceBase> service = findService();
        const SigningScriptApi::Property* property = SigningScriptApi::findProperty(name);
        if (service == nullptr || property == nullptr || property->read == nullptr) {
            return false;
        }
        return setTextResult(((*service).*(property->read))(), result);
    } catch (...) {
        setVoidResult(result);
        return false;
    }
}

bool ScriptableObject::SetProperty(NPIdentifier name, const NPVariant* value) {
    try {
        const std::shared_ptr<ServiceBase> service = findService();
        const SigningScriptApi::Property* property = SigningScriptApi::findProperty(name);
        if (service == nullptr || value == nullptr || property == nullptr ||
            property->write == nullptr) {
            return false;
        }
        std::optional<std::string> text = textFromValue(*value);
        if (!text) {
            return false;
        }
        ((*service).*(property->write))(std::move(*text));
        return true;
    } catch (...) {
        return false;
    }
}

bool ScriptableObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                              NPVariant* result) {
    setVoidResult(result);
    try {
        const std::shared_ptr<ServiceBase> service = findService();
        const SigningScriptApi::Method* method = SigningScriptApi::findMethod(name);
        if (service == nullptr || method == nullptr) {
            return false;
        }
        if (method->requiredArgumentCount != SigningScriptApi::kAnyArgumentCount &&
            static_cast<int64_t>(argCount) != method->requiredArgumentCount) {
            return false;
        }
        if (!method->call(*service, ScriptArguments(args, argCount), result)) {
            setVoidResult(result);
            return false;
        }
        return true;
    } catch (...) {
        setVoidResult(result);
        return false;
    }
}

bool ScriptableObject::InvokeDefault(const NPVariant*, uint32_t, NPVariant* result) {
    return setTextResult(kDefaultMethodResult, sizeof kDefaultMethodResult - 1, result);
}
