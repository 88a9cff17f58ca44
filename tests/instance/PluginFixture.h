#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "npapi/npfunctions.h"
#include "shell/nsPluginInstance.h"

// A script value handed to the plug-in. String values point into storage that the test keeps:
// a literal, or a string that outlives the call (a temporary would not).
NPVariant stringValue(const char* text);
NPVariant stringValue(const std::string& bytes);
NPVariant stringValue(std::string&& bytes) = delete;
NPVariant int32Value(int32_t number);
NPVariant doubleValue(double number);
NPVariant boolValue(bool value);
NPVariant nullValue();
NPVariant voidValue();
NPVariant objectValue(NPObject* object);

// What a hook answered and the value it produced. Strings are copied out with exactly their
// length, and whether the host memory behind them ends in a zero byte.
struct Outcome {
    bool ok = false;
    NPVariantType type = NPVariantType_Void;
    std::string text;
    bool textTerminated = false;
    int32_t number = 0;

    bool isVoid() const { return type == NPVariantType_Void; }
};

// Everything between a test and the plug-in: the fake browser, the plug-in's function table
// from NP_GetEntryPoints, one host instance record, and helpers that drive the script object
// through its class hooks as a browser does. At the end every test must leave the host's books
// balanced: no memory handed out and still held, no object alive.
class PluginFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // NPP_New for `record` through the plug-in's table, as a browser embeds the element.
    NPError newInstance();
    // NPP_Destroy through the table.
    NPError destroyInstance();
    nsPluginInstance* instance() const;

    // The host's reference to the scriptable object, through NPP_GetValue.
    NPObject* scriptObject();

    bool hasProperty(NPObject* object, const std::string& name);
    bool hasMethod(NPObject* object, const std::string& name);
    Outcome getProperty(NPObject* object, const std::string& name);
    bool setProperty(NPObject* object, const std::string& name, const NPVariant& value);
    Outcome invoke(NPObject* object, const std::string& name, std::vector<NPVariant> args = {});
    Outcome invokeDefault(NPObject* object, std::vector<NPVariant> args = {});

    // Reads a result the way a browser would and gives its memory back to the host.
    Outcome take(bool ok, NPVariant& result);

    FakeHost host;
    NPPluginFuncs plugin = {};
    NPP_t record = {};
    // References the test took and has not given back; released before the books are checked.
    std::vector<NPObject*> heldObjects;
};

// Runs `call` with the process's standard output going to a file, and returns what was written.
template <typename Call>
std::string captureStdout(Call call);

std::string readCapturedStdout(int savedFd, std::FILE* file);
int beginStdoutCapture(std::FILE* file);

template <typename Call>
std::string captureStdout(Call call) {
    std::FILE* file = std::tmpfile();
    const int saved = beginStdoutCapture(file);
    call();
    return readCapturedStdout(saved, file);
}
