#include "pluginhost/ObjectTable.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "pluginhost/FaultPause.h"

namespace vellum::pluginhost {
namespace {

std::string describe(const char* call, const void* object) {
    char text[160];
    std::snprintf(text, sizeof text, "%s on an object that is not alive (%p)", call, object);
    return text;
}

}  // namespace

NPObject* ObjectTable::create(NPP npp, NPClass* aClass) noexcept {
    if (aClass == nullptr) {
        return nullptr;
    }
    if (pendingFailures_ > 0) {
        --pendingFailures_;
        return nullptr;
    }
    NPObject* object = aClass->allocate != nullptr
                           ? aClass->allocate(npp, aClass)
                           : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (object == nullptr) {
        return nullptr;
    }
    try {
        FaultPause pause;
        alive_.insert(object);
    } catch (const std::bad_alloc&) {
        if (aClass->deallocate != nullptr) {
            aClass->deallocate(object);
        } else {
            std::free(object);
        }
        return nullptr;
    }
    object->_class = aClass;
    object->referenceCount = 1;
    ++created_;
    return object;
}

NPObject* ObjectTable::retain(NPObject* object) noexcept {
    if (object == nullptr) {
        return nullptr;
    }
    if (!isAlive(object)) {
        record_.addProblem(describe("NPN_RetainObject", object));
        return object;
    }
    ++object->referenceCount;
    return object;
}

void ObjectTable::release(NPObject* object) noexcept {
    if (object == nullptr) {
        return;
    }
    if (!isAlive(object)) {
        record_.addProblem(describe("NPN_ReleaseObject", object));
        return;
    }
    if (--object->referenceCount > 0) {
        return;
    }
    alive_.erase(object);
    ++deallocated_;
    NPClass* aClass = object->_class;
    if (aClass != nullptr && aClass->deallocate != nullptr) {
        aClass->deallocate(object);
    } else {
        std::free(object);
    }
}

bool ObjectTable::isAlive(const NPObject* object) const noexcept {
    return object != nullptr && alive_.count(object) != 0;
}

uint32_t ObjectTable::referenceCount(const NPObject* object) const noexcept {
    return isAlive(object) ? object->referenceCount : 0;
}

NPClass* ObjectTable::classOf(NPObject* object, const char* call) noexcept {
    if (!isAlive(object)) {
        record_.addProblem(describe(call, object));
        return nullptr;
    }
    return object->_class;
}

bool ObjectTable::hasMethod(NPObject* object, NPIdentifier name) noexcept {
    NPClass* aClass = classOf(object, "hasMethod");
    return aClass != nullptr && aClass->hasMethod != nullptr && aClass->hasMethod(object, name);
}

bool ObjectTable::invoke(NPObject* object, NPIdentifier name, const NPVariant* args,
                         uint32_t argCount, NPVariant* result) noexcept {
    NPClass* aClass = classOf(object, "invoke");
    return aClass != nullptr && aClass->invoke != nullptr &&
           aClass->invoke(object, name, args, argCount, result);
}

bool ObjectTable::invokeDefault(NPObject* object, const NPVariant* args, uint32_t argCount,
                                NPVariant* result) noexcept {
    NPClass* aClass = classOf(object, "invokeDefault");
    return aClass != nullptr && aClass->invokeDefault != nullptr &&
           aClass->invokeDefault(object, args, argCount, result);
}

bool ObjectTable::hasProperty(NPObject* object, NPIdentifier name) noexcept {
    NPClass* aClass = classOf(object, "hasProperty");
    return aClass != nullptr && aClass->hasProperty != nullptr && aClass->hasProperty(object, name);
}

bool ObjectTable::getProperty(NPObject* object, NPIdentifier name, NPVariant* result) noexcept {
    NPClass* aClass = classOf(object, "getProperty");
    return aClass != nullptr && aClass->getProperty != nullptr &&
           aClass->getProperty(object, name, result);
}

bool ObjectTable::setProperty(NPObject* object, NPIdentifier name,
                              const NPVariant* value) noexcept {
    NPClass* aClass = classOf(object, "setProperty");
    return aClass != nullptr && aClass->setProperty != nullptr &&
           aClass->setProperty(object, name, value);
}

bool ObjectTable::removeProperty(NPObject* object, NPIdentifier name) noexcept {
    NPClass* aClass = classOf(object, "removeProperty");
    return aClass != nullptr && aClass->removeProperty != nullptr &&
           aClass->removeProperty(object, name);
}

bool ObjectTable::enumerate(NPObject* object, NPIdentifier** identifiers,
                            uint32_t* count) noexcept {
    NPClass* aClass = classOf(object, "enumerate");
    return aClass != nullptr && NP_CLASS_STRUCT_VERSION_HAS_ENUM(aClass) &&
           aClass->enumerate != nullptr && aClass->enumerate(object, identifiers, count);
}

bool ObjectTable::construct(NPObject* object, const NPVariant* args, uint32_t argCount,
                            NPVariant* result) noexcept {
    NPClass* aClass = classOf(object, "construct");
    return aClass != nullptr && NP_CLASS_STRUCT_VERSION_HAS_CTOR(aClass) &&
           aClass->construct != nullptr && aClass->construct(object, args, argCount, result);
}

}  // namespace vellum::pluginhost
