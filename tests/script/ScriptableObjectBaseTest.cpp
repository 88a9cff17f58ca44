#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "script/ScriptableObjectBase.h"

namespace {

int identifierTargets[2];
const NPIdentifier kName = &identifierTargets[0];
const NPIdentifier kOtherName = &identifierTargets[1];

// Placed before the binding base so that neither the ScriptableObjectBase part nor its NPObject
// part starts at the object's own address.
struct Leading {
    virtual ~Leading() = default;
    std::uint64_t tag = 0x1EAD1EAD1EAD1EADull;
};

// Overrides every operation and records which object was reached and with what.
class RecordingObject : public Leading, public ScriptableObjectBase {
public:
    explicit RecordingObject(int* destroyed = nullptr) : destroyed_(destroyed) {}
    ~RecordingObject() override {
        if (destroyed_ != nullptr) {
            ++*destroyed_;
        }
    }

    void Invalidate() override { note("Invalidate"); }
    bool HasMethod(NPIdentifier name) override { return note("HasMethod") && name == kName; }
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount,
                NPVariant* result) override {
        note("Invoke");
        seenArgs = args;
        seenCount = argCount;
        INT32_TO_NPVARIANT(11, *result);
        return name == kName;
    }
    bool InvokeDefault(const NPVariant* args, uint32_t argCount, NPVariant* result) override {
        note("InvokeDefault");
        seenArgs = args;
        seenCount = argCount;
        INT32_TO_NPVARIANT(12, *result);
        return true;
    }
    bool HasProperty(NPIdentifier name) override { return note("HasProperty") && name == kName; }
    bool GetProperty(NPIdentifier name, NPVariant* result) override {
        note("GetProperty");
        INT32_TO_NPVARIANT(13, *result);
        return name == kName;
    }
    bool SetProperty(NPIdentifier name, const NPVariant* value) override {
        note("SetProperty");
        seenArgs = value;
        return name == kName;
    }
    bool RemoveProperty(NPIdentifier name) override {
        return note("RemoveProperty") && name == kName;
    }
    bool Enumerate(NPIdentifier** identifier, uint32_t* count) override {
        note("Enumerate");
        *identifier = const_cast<NPIdentifier*>(&kName);
        *count = 1;
        return true;
    }
    bool Construct(const NPVariant* args, uint32_t argCount, NPVariant* result) override {
        note("Construct");
        seenArgs = args;
        seenCount = argCount;
        INT32_TO_NPVARIANT(14, *result);
        return true;
    }

    std::string operations;  // "Name@same-object" per call; "@other" if `this` were wrong
    const NPVariant* seenArgs = nullptr;
    uint32_t seenCount = 0;

private:
    bool note(const char* operation) {
        operations += operation;
        operations += tag == 0x1EAD1EAD1EAD1EADull ? ";" : "@other;";
        return true;
    }
    int* destroyed_;
};

class PlainObject : public ScriptableObjectBase {};

class ThrowingObject : public ScriptableObjectBase {
public:
    bool HasMethod(NPIdentifier) override { throw std::runtime_error("no"); }
    bool GetProperty(NPIdentifier, NPVariant*) override { throw std::bad_alloc(); }
    void Invalidate() override { throw 1; }
};

int destroyedCount = 0;

NPObject* allocateRecordingObject(NPP, NPClass*) {
    return new RecordingObject(&destroyedCount);
}

const NPClass recordingClass = ScriptableObjectBase::ClassWithAllocator(allocateRecordingObject);

// What the host's createobject does: allocate through the class, then fill the header.
NPObject* createObject(const NPClass& npClass) {
    NPObject* npobj = npClass.allocate(nullptr, const_cast<NPClass*>(&npClass));
    npobj->_class = const_cast<NPClass*>(&npClass);
    npobj->referenceCount = 1;
    return npobj;
}

TEST(ScriptableObjectBaseTest, HooksReachTheObjectBehindItsNPObjectPart) {
    destroyedCount = 0;
    NPObject* npobj = createObject(recordingClass);
    auto* object = static_cast<RecordingObject*>(static_cast<ScriptableObjectBase*>(npobj));
    ASSERT_NE(static_cast<void*>(npobj), static_cast<void*>(object));
    ASSERT_EQ(recordingClass.structVersion, NP_CLASS_STRUCT_VERSION);

    NPVariant args[3] = {};
    NPVariant result = {};
    NPIdentifier* identifiers = nullptr;
    uint32_t count = 0;

    EXPECT_TRUE(recordingClass.hasMethod(npobj, kName));
    EXPECT_FALSE(recordingClass.hasMethod(npobj, kOtherName));
    EXPECT_TRUE(recordingClass.invoke(npobj, kName, args, 3, &result));
    EXPECT_EQ(object->seenArgs, args);
    EXPECT_EQ(object->seenCount, 3u);
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 11);
    EXPECT_TRUE(recordingClass.invokeDefault(npobj, args, 2, &result));
    EXPECT_EQ(object->seenCount, 2u);
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 12);
    EXPECT_TRUE(recordingClass.hasProperty(npobj, kName));
    EXPECT_FALSE(recordingClass.getProperty(npobj, kOtherName, &result));
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 13);
    EXPECT_TRUE(recordingClass.setProperty(npobj, kName, &args[1]));
    EXPECT_EQ(object->seenArgs, &args[1]);
    EXPECT_TRUE(recordingClass.removeProperty(npobj, kName));
    EXPECT_TRUE(recordingClass.enumerate(npobj, &identifiers, &count));
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(identifiers[0], kName);
    EXPECT_TRUE(recordingClass.construct(npobj, args, 1, &result));
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 14);
    recordingClass.invalidate(npobj);

    EXPECT_EQ(object->operations,
              "HasMethod;HasMethod;Invoke;InvokeDefault;HasProperty;GetProperty;SetProperty;"
              "RemoveProperty;Enumerate;Construct;Invalidate;");
    recordingClass.deallocate(npobj);
    EXPECT_EQ(destroyedCount, 1);
}

TEST(ScriptableObjectBaseTest, InvalidatedObjectKeepsAnswering) {
    NPObject* npobj = createObject(recordingClass);
    EXPECT_TRUE(ScriptableObjectBase::_HasProperty(npobj, kName));
    ScriptableObjectBase::_Invalidate(npobj);
    EXPECT_TRUE(ScriptableObjectBase::_HasProperty(npobj, kName));
    EXPECT_FALSE(ScriptableObjectBase::_HasProperty(npobj, kOtherName));
    ScriptableObjectBase::_Deallocate(npobj);
}

TEST(ScriptableObjectBaseTest, DeallocateRunsTheDestructorOnceAndIgnoresNull) {
    destroyedCount = 0;
    ScriptableObjectBase::_Deallocate(nullptr);
    EXPECT_EQ(destroyedCount, 0);
    NPObject* npobj = createObject(recordingClass);
    ScriptableObjectBase::_Deallocate(npobj);
    EXPECT_EQ(destroyedCount, 1);
}

TEST(ScriptableObjectBaseTest, DefaultsAnswerFalseAndWriteNothing) {
    PlainObject object;
    NPObject* npobj = &object;
    NPVariant args[1] = {};
    NPVariant result;
    INT32_TO_NPVARIANT(99, result);
    NPIdentifier marker = kOtherName;
    NPIdentifier* identifiers = &marker;
    uint32_t count = 5;

    EXPECT_FALSE(ScriptableObjectBase::_HasMethod(npobj, kName));
    EXPECT_FALSE(ScriptableObjectBase::_Invoke(npobj, kName, args, 1, &result));
    EXPECT_FALSE(ScriptableObjectBase::_InvokeDefault(npobj, args, 1, &result));
    EXPECT_FALSE(ScriptableObjectBase::_HasProperty(npobj, kName));
    EXPECT_FALSE(ScriptableObjectBase::_GetProperty(npobj, kName, &result));
    EXPECT_FALSE(ScriptableObjectBase::_SetProperty(npobj, kName, args));
    EXPECT_FALSE(ScriptableObjectBase::_RemoveProperty(npobj, kName));
    EXPECT_FALSE(ScriptableObjectBase::_Enumerate(npobj, &identifiers, &count));
    EXPECT_FALSE(ScriptableObjectBase::_Construct(npobj, args, 1, &result));
    ScriptableObjectBase::_Invalidate(npobj);

    EXPECT_TRUE(NPVARIANT_IS_INT32(result));
    EXPECT_EQ(NPVARIANT_TO_INT32(result), 99);
    EXPECT_EQ(identifiers, &marker);
    EXPECT_EQ(count, 5u);
}

TEST(ScriptableObjectBaseTest, NullObjectAnswersFalseAndWritesNothing) {
    NPVariant result;
    INT32_TO_NPVARIANT(99, result);
    NPIdentifier* identifiers = nullptr;
    uint32_t count = 5;

    EXPECT_FALSE(ScriptableObjectBase::_HasMethod(nullptr, kName));
    EXPECT_FALSE(ScriptableObjectBase::_Invoke(nullptr, kName, nullptr, 0, &result));
    EXPECT_FALSE(ScriptableObjectBase::_InvokeDefault(nullptr, nullptr, 0, &result));
    EXPECT_FALSE(ScriptableObjectBase::_HasProperty(nullptr, kName));
    EXPECT_FALSE(ScriptableObjectBase::_GetProperty(nullptr, kName, &result));
    EXPECT_FALSE(ScriptableObjectBase::_SetProperty(nullptr, kName, &result));
    EXPECT_FALSE(ScriptableObjectBase::_RemoveProperty(nullptr, kName));
    EXPECT_FALSE(ScriptableObjectBase::_Enumerate(nullptr, &identifiers, &count));
    EXPECT_FALSE(ScriptableObjectBase::_Construct(nullptr, nullptr, 0, &result));
    ScriptableObjectBase::_Invalidate(nullptr);

    EXPECT_EQ(NPVARIANT_TO_INT32(result), 99);
    EXPECT_EQ(identifiers, nullptr);
    EXPECT_EQ(count, 5u);
}

TEST(ScriptableObjectBaseTest, AnOperationThatThrowsAnswersFalseToTheHost) {
    ThrowingObject object;
    NPVariant result = {};
    EXPECT_FALSE(ScriptableObjectBase::_HasMethod(&object, kName));
    EXPECT_FALSE(ScriptableObjectBase::_GetProperty(&object, kName, &result));
    ScriptableObjectBase::_Invalidate(&object);
}

}  // namespace
