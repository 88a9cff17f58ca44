#pragma once

#include <cstdint>
#include <memory>

#include "npapi/npruntime.h"
#include "script/ScriptableObjectBase.h"

class ServiceBase;

// The object page script sees. Each property access or method call finds the plug-in instance
// through the host record, hands the converted values to one operation of its signing service
// and converts the answer back. The object keeps no state beyond the record it belongs to.
class ScriptableObject final : public ScriptableObjectBase {
public:
    // Also (re)interns the script names with the host.
    explicit ScriptableObject(NPP npp);
    ~ScriptableObject() override;

    bool HasMethod(NPIdentifier name) override;
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) override;
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override;
    bool HasProperty(NPIdentifier name) override;
    bool GetProperty(NPIdentifier name, NPVariant* result) override;
    bool SetProperty(NPIdentifier name, const NPVariant* value) override;

    // Called by the plug-in instance as it goes: the object forgets the host record, which may
    // go too, and fails every later call that needs the service. Objects of other classes are
    // left alone.
    static void DetachFromInstance(NPObject* npobj) noexcept;

private:
    // The service of the instance in the record's `pdata`, held for one call; null once there is
    // none. The hold keeps the service alive when the instance is destroyed during the call (from
    // a token module's dialog loop): the call goes on with it and the service goes when the hold
    // does. Nothing of this object or of the record is used after the service call returns, as
    // both may be gone by then.
    std::shared_ptr<ServiceBase> findService() const noexcept;

    NPP npp;
};

// The allocate hook of the class record: a new ScriptableObject for `npp` with the module's own
// allocator, or null when memory runs out. The host fills the NPObject header.
NPObject* AllocateScriptableObject(NPP npp, NPClass* aClass);

// The class record of ScriptableObject (NP_CLASS_STRUCT_VERSION), lives as long as the module.
extern NPClass sScriptableObject_NPClass;
