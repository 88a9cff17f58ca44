#include "FakeHost.h"

#include <cstdlib>
#include <stdexcept>

#include "AllocationFaults.h"

FakeHost* FakeHost::instance = nullptr;

FakeHost::FakeHost() {
    if (instance != nullptr) {
        throw std::logic_error("one FakeHost at a time");
    }
    instance = this;
}

FakeHost::~FakeHost() {
    instance = nullptr;
}

FakeHost& FakeHost::current() {
    return *instance;
}

NPNetscapeFuncs FakeHost::table() const {
    NPNetscapeFuncs table = {};
    table.size = sizeof table;
    table.version = (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR;
    table.memalloc = &memAlloc;
    table.memfree = &memFree;
    table.getvalue = &getValue;
    table.setvalue = &setValue;
    table.getstringidentifier = &getStringIdentifier;
    table.getstringidentifiers = &getStringIdentifiers;
    table.createobject = &createObject;
    table.retainobject = &retainObject;
    table.releaseobject = &releaseObjectEntry;
    table.releasevariantvalue = &releaseVariantValue;
    return table;
}

std::size_t FakeHost::bytesOutstanding() const {
    std::size_t bytes = 0;
    for (const auto& block : blocks) {
        bytes += block.second;
    }
    return bytes;
}

NPIdentifier FakeHost::identifier(const std::string& name) {
    AllocationFaults::Pause pause;
    return const_cast<std::string*>(&*names.insert(name).first);
}

void FakeHost::releaseValue(NPVariant& value) {
    releaseVariantValue(&value);
}

void FakeHost::releaseObject(NPObject* object) {
    releaseObjectEntry(object);
}

NPError FakeHost::getValue(NPP, NPNVariable variable, void* value) {
    AllocationFaults::Pause pause;
    FakeHost& host = current();
    host.queries.push_back(variable);
    Answer answer;
    switch (variable) {
        case NPNVsupportsCoreGraphicsBool:
            answer = host.coreGraphics;
            break;
        case NPNVsupportsCocoaBool:
            answer = host.cocoaEvents;
            break;
        default:
            return NPERR_GENERIC_ERROR;
    }
    if (answer == Answer::Error) {
        return NPERR_GENERIC_ERROR;
    }
    *static_cast<NPBool*>(value) = answer == Answer::Yes;
    return NPERR_NO_ERROR;
}

NPError FakeHost::setValue(NPP, NPPVariable variable, void* value) {
    AllocationFaults::Pause pause;
    current().selections.emplace_back(variable, reinterpret_cast<intptr_t>(value));
    return NPERR_NO_ERROR;
}

void* FakeHost::memAlloc(uint32_t size) {
    AllocationFaults::Pause pause;
    FakeHost& host = current();
    if (host.failMemAlloc > 0) {
        --host.failMemAlloc;
        return nullptr;
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) {
        host.blocks[block] = size;
    }
    return block;
}

void FakeHost::memFree(void* block) {
    AllocationFaults::Pause pause;
    FakeHost& host = current();
    if (host.blocks.erase(block) == 0) {
        ++host.unknownFrees;
        return;
    }
    std::free(block);
}

NPIdentifier FakeHost::getStringIdentifier(const NPUTF8* name) {
    return current().identifier(name);
}

void FakeHost::getStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
    AllocationFaults::Pause pause;
    FakeHost& host = current();
    std::vector<std::string> list;
    for (int32_t i = 0; i < count; ++i) {
        list.emplace_back(names[i]);
        ids[i] = host.identifier(names[i]);
    }
    host.internedLists.push_back(std::move(list));
}

NPObject* FakeHost::createObject(NPP npp, NPClass* aClass) {
    FakeHost& host = current();
    {
        AllocationFaults::Pause pause;
        if (host.failCreateObject > 0) {
            --host.failCreateObject;
            return nullptr;
        }
    }
    // The class's own allocator is the plug-in's code: faults may reach it.
    NPObject* object = aClass->allocate != nullptr
                           ? aClass->allocate(npp, aClass)
                           : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (object == nullptr) {
        return nullptr;
    }
    AllocationFaults::Pause pause;
    object->_class = aClass;
    object->referenceCount = 1;
    host.objects.insert(object);
    return object;
}

NPObject* FakeHost::retainObject(NPObject* object) {
    FakeHost& host = current();
    if (!host.isAlive(object)) {
        ++host.unknownReleases;
        return object;
    }
    ++object->referenceCount;
    return object;
}

void FakeHost::releaseObjectEntry(NPObject* object) {
    FakeHost& host = current();
    if (!host.isAlive(object)) {
        ++host.unknownReleases;
        return;
    }
    if (--object->referenceCount > 0) {
        return;
    }
    host.objects.erase(object);
    if (object->_class->deallocate != nullptr) {
        object->_class->deallocate(object);
    } else {
        std::free(object);
    }
}

void FakeHost::releaseVariantValue(NPVariant* value) {
    if (NPVARIANT_IS_STRING(*value)) {
        memFree(const_cast<NPUTF8*>(NPVARIANT_TO_STRING(*value).UTF8Characters));
    } else if (NPVARIANT_IS_OBJECT(*value)) {
        releaseObjectEntry(NPVARIANT_TO_OBJECT(*value));
    }
    VOID_TO_NPVARIANT(*value);
}
