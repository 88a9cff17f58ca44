#pragma once

#include <cstdint>

#include "npapi/npruntime.h"

// A script-visible object: the NPClass hooks that the host calls with the object's NPObject
// pointer become virtual operations. The defaults answer false and write none of their
// out-arguments, so a derived class overrides only what its script interface offers.
//
// The host only ever holds the address of the NPObject part, which, the class being
// polymorphic, is not the object's own address; the hooks go from one to the other by the
// derived-to-base conversion.
class ScriptableObjectBase : public NPObject {
public:
    // The NPObject header is the host's to fill once the allocate hook returns.
    ScriptableObjectBase() noexcept : NPObject{nullptr, 0} {}
    virtual ~ScriptableObjectBase();

    ScriptableObjectBase(const ScriptableObjectBase&) = delete;
    ScriptableObjectBase& operator=(const ScriptableObjectBase&) = delete;

    virtual void Invalidate();
    virtual bool HasMethod(NPIdentifier name);
    virtual bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                        NPVariant* result);
    virtual bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result);
    virtual bool HasProperty(NPIdentifier name);
    virtual bool GetProperty(NPIdentifier name, NPVariant* result);
    virtual bool SetProperty(NPIdentifier name, const NPVariant* value);
    virtual bool RemoveProperty(NPIdentifier name);
    virtual bool Enumerate(NPIdentifier** identifier, uint32_t* count);
    virtual bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result);

    // The hooks. Each forwards to its operation and returns the answer unchanged; a null object
    // answers false, and an exception from an operation answers false rather than unwinding
    // into the host.
    static void _Deallocate(NPObject* npobj) noexcept;
    static void _Invalidate(NPObject* npobj) noexcept;
    static bool _HasMethod(NPObject* npobj, NPIdentifier name) noexcept;
    static bool _Invoke(NPObject* npobj, NPIdentifier name, const NPVariant* args,
                        uint32_t argCount, NPVariant* result) noexcept;
    static bool _InvokeDefault(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                               NPVariant* result) noexcept;
    static bool _HasProperty(NPObject* npobj, NPIdentifier name) noexcept;
    static bool _GetProperty(NPObject* npobj, NPIdentifier name, NPVariant* result) noexcept;
    static bool _SetProperty(NPObject* npobj, NPIdentifier name, const NPVariant* value) noexcept;
    static bool _RemoveProperty(NPObject* npobj, NPIdentifier name) noexcept;
    static bool _Enumerate(NPObject* npobj, NPIdentifier** identifier, uint32_t* count) noexcept;
    static bool _Construct(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                           NPVariant* result) noexcept;

    // A class record (NP_CLASS_STRUCT_VERSION) holding `allocate` and the hooks above, each in
    // its own field.
    static constexpr NPClass ClassWithAllocator(NPAllocateFunctionPtr allocate) noexcept {
        return NPClass{NP_CLASS_STRUCT_VERSION,
                       allocate,
                       &_Deallocate,
                       &_Invalidate,
                       &_HasMethod,
                       &_Invoke,
                       &_InvokeDefault,
                       &_HasProperty,
                       &_GetProperty,
                       &_SetProperty,
                       &_RemoveProperty,
                       &_Enumerate,
                       &_Construct};
    }
};
