// The host's script objects: NPN_CreateObject, NPN_RetainObject and NPN_ReleaseObject with real
// reference counts, and the calls that reach an object through its NPClass hooks. An object is
// made by its class's allocate hook (or host memory when the class has none) and handed to the
// class's deallocate hook (or freed) when its last reference goes.
//
// Only objects made here and still alive are used: a call on anything else is recorded as a
// problem and answered as a failure, so a module that keeps using a released object is caught
// instead of touching freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>

#include "npapi/npruntime.h"
#include "pluginhost/HostRecord.h"

namespace vellum::pluginhost {

class ObjectTable {
public:
    explicit ObjectTable(HostRecord& record) : record_(record) {}
    // Objects still alive are left alone: their class's code may already be unloaded.
    ~ObjectTable() = default;
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    // Null for a null class, when the allocate hook gives nothing, or when a refusal is pending.
    NPObject* create(NPP npp, NPClass* aClass) noexcept;
    NPObject* retain(NPObject* object) noexcept;
    void release(NPObject* object) noexcept;

    // Makes the next `count` creations fail (the host answers null).
    void failNextCreate(size_t count) noexcept { pendingFailures_ = count; }

    bool isAlive(const NPObject* object) const noexcept;
    // The object's reference count; 0 when it is not alive.
    uint32_t referenceCount(const NPObject* object) const noexcept;
    size_t alive() const noexcept { return alive_.size(); }
    size_t created() const noexcept { return created_; }
    size_t deallocated() const noexcept { return deallocated_; }

    // Calls through the object's class. False when the object is not alive (recorded as a
    // problem) or its class has no such hook (or predates it by its structVersion).
    bool hasMethod(NPObject* object, NPIdentifier name) noexcept;
    bool invoke(NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) noexcept;
    bool invokeDefault(NPObject* object, const NPVariant* args, uint32_t argCount,
                       NPVariant* result) noexcept;
    bool hasProperty(NPObject* object, NPIdentifier name) noexcept;
    bool getProperty(NPObject* object, NPIdentifier name, NPVariant* result) noexcept;
    bool setProperty(NPObject* object, NPIdentifier name, const NPVariant* value) noexcept;
    bool removeProperty(NPObject* object, NPIdentifier name) noexcept;
    bool enumerate(NPObject* object, NPIdentifier** identifiers, uint32_t* count) noexcept;
    bool construct(NPObject* object, const NPVariant* args, uint32_t argCount,
                   NPVariant* result) noexcept;

private:
    // The object's class when the object is alive; records a problem otherwise.
    NPClass* classOf(NPObject* object, const char* call) noexcept;

    HostRecord& record_;
    std::unordered_set<const NPObject*> alive_;
    size_t created_ = 0;
    size_t deallocated_ = 0;
    size_t pendingFailures_ = 0;
};

}  // namespace vellum::pluginhost
