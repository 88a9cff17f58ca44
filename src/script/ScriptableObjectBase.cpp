#include "script/ScriptableObjectBase.h"

namespace {

// Runs one operation on the object behind an NPObject pointer, answering false for a null
// object and for an operation that throws: the host is C and must not be unwound through.
template <typename Operation>
bool answer(NPObject* npobj, Operation operation) noexcept {
    if (npobj == nullptr) {
        return false;
    }
    try {
        return operation(*static_cast<ScriptableObjectBase*>(npobj));
    } catch (...) {
        return false;
    }
}

}  // namespace

ScriptableObjectBase::~ScriptableObjectBase() = default;

void ScriptableObjectBase::Invalidate() {}

bool ScriptableObjectBase::HasMethod(NPIdentifier) {
    return false;
}

bool ScriptableObjectBase::Invoke(NPIdentifier, const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

bool ScriptableObjectBase::InvokeDefault(const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

bool ScriptableObjectBase::HasProperty(NPIdentifier) {
    return false;
}

bool ScriptableObjectBase::GetProperty(NPIdentifier, NPVariant*) {
    return false;
}

bool ScriptableObjectBase::SetProperty(NPIdentifier, const NPVariant*) {
    return false;
}

bool ScriptableObjectBase::RemoveProperty(NPIdentifier) {
    return false;
}

bool ScriptableObjectBase::Enumerate(NPIdentifier**, uint32_t*) {
    return false;
}

bool ScriptableObjectBase::Construct(const NPVariant*, uint32_t, NPVariant*) {
    return false;
}

void ScriptableObjectBase::_Deallocate(NPObject* npobj) noexcept {
    // The module's own deallocator frees the whole derived object; the host's is not involved.
    delete static_cast<ScriptableObjectBase*>(npobj);
}

void ScriptableObjectBase::_Invalidate(NPObject* npobj) noexcept {
    answer(npobj, [](ScriptableObjectBase& object) {
        object.Invalidate();
        return true;
    });
}

bool ScriptableObjectBase::_HasMethod(NPObject* npobj, NPIdentifier name) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) { return object.HasMethod(name); });
}

bool ScriptableObjectBase::_Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                                   uint32_t argCount, NPVariant* result) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) {
        return object.Invoke(name, args, argCount, result);
    });
}

bool ScriptableObjectBase::_InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                          NPVariant* result) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) {
        return object.InvokeDefault(args, argCount, result);
    });
}

bool ScriptableObjectBase::_HasProperty(NPObject* npobj, NPIdentifier name) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) { return object.HasProperty(name); });
}

bool ScriptableObjectBase::_GetProperty(NPObject* npobj, NPIdentifier name,
                                        NPVariant* result) noexcept {
    return answer(npobj,
                  [&](ScriptableObjectBase& object) { return object.GetProperty(name, result); });
}

bool ScriptableObjectBase::_SetProperty(NPObject* npobj, NPIdentifier name,
                                        const NPVariant* value) noexcept {
    return answer(npobj,
                  [&](ScriptableObjectBase& object) { return object.SetProperty(name, value); });
}

bool ScriptableObjectBase::_RemoveProperty(NPObject* npobj, NPIdentifier name) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) { return object.RemoveProperty(name); });
}

bool ScriptableObjectBase::_Enumerate(NPObject* npobj, NPIdentifier** identifier,
                                      uint32_t* count) noexcept {
    return answer(
        npobj, [&](ScriptableObjectBase& object) { return object.Enumerate(identifier, count); });
}

bool ScriptableObjectBase::_Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                      NPVariant* result) noexcept {
    return answer(npobj, [&](ScriptableObjectBase& object) {
        return object.Construct(args, argCount, result);
    });
}
