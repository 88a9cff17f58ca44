#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "npapi/npfunctions.h"

// An in-process browser for the plug-in: a complete host function table whose entries keep real
// books (memory handed out, objects and their reference counts, interned identifiers) and record
// what the plug-in asked. The entries are plain C functions, so they reach the one host that
// exists at a time; creating a second one while another lives is a test error.
class FakeHost {
public:
    enum class Answer { Yes, No, Error };

    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    // The table handed to NP_Initialize: every entry the plug-in may use, version 0.27.
    NPNetscapeFuncs table() const;

    // How the host answers the two capability queries of NPP_New.
    Answer coreGraphics = Answer::Yes;
    Answer cocoaEvents = Answer::Yes;
    // The next so many createobject / memalloc calls fail (answer null).
    int failCreateObject = 0;
    int failMemAlloc = 0;

    // What the plug-in asked for.
    std::vector<NPNVariable> queries;                          // getvalue
    std::vector<std::pair<NPPVariable, intptr_t>> selections;  // setvalue
    std::vector<std::vector<std::string>> internedLists;       // getstringidentifiers

    // The books.
    std::size_t blocksOutstanding() const { return blocks.size(); }
    std::size_t bytesOutstanding() const;
    std::size_t objectsAlive() const { return objects.size(); }
    bool isAlive(NPObject* object) const { return objects.count(object) != 0; }
    int unknownFrees = 0;     // memfree of memory this host did not hand out
    int unknownReleases = 0;  // retain or release of an object that is not alive

    // The identifier of a name, as the plug-in receives it.
    NPIdentifier identifier(const std::string& name);

    // What a browser does with a result it is done with: frees its text, drops its object.
    void releaseValue(NPVariant& value);
    void releaseObject(NPObject* object);
    bool ownsBlock(const void* block) const { return blocks.count(const_cast<void*>(block)) != 0; }

private:
    static FakeHost& current();

    static NPError getValue(NPP instance, NPNVariable variable, void* value);
    static NPError setValue(NPP instance, NPPVariable variable, void* value);
    static void* memAlloc(uint32_t size);
    static void memFree(void* block);
    static NPIdentifier getStringIdentifier(const NPUTF8* name);
    static void getStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids);
    static NPObject* createObject(NPP npp, NPClass* aClass);
    static NPObject* retainObject(NPObject* object);
    static void releaseObjectEntry(NPObject* object);
    static void releaseVariantValue(NPVariant* value);

    static FakeHost* instance;

    std::map<void*, std::size_t> blocks;
    std::set<NPObject*> objects;
    std::set<std::string> names;  // an identifier is the address of its interned name
};
