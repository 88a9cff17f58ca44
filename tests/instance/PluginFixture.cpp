#include "PluginFixture.h"

#include <unistd.h>

#include <cstdio>

namespace {

constexpr char kMimeType[] = "application/x-vnd-vellum-demo";

NPVariant variantOfType(NPVariantType type) {
    NPVariant value;
    value.type = type;
    value.value.objectValue = nullptr;
    return value;
}

}  // namespace

NPVariant stringValue(const char* text) {
    NPVariant value;
    STRINGZ_TO_NPVARIANT(text, value);
    return value;
}

NPVariant stringValue(const std::string& bytes) {
    NPVariant value;
    STRINGN_TO_NPVARIANT(bytes.data(), bytes.size(), value);
    return value;
}

NPVariant int32Value(int32_t number) {
    NPVariant value;
    INT32_TO_NPVARIANT(number, value);
    return value;
}

NPVariant doubleValue(double number) {
    NPVariant value;
    DOUBLE_TO_NPVARIANT(number, value);
    return value;
}

NPVariant boolValue(bool flag) {
    NPVariant value;
    BOOLEAN_TO_NPVARIANT(flag, value);
    return value;
}

NPVariant nullValue() {
    return variantOfType(NPVariantType_Null);
}

NPVariant voidValue() {
    return variantOfType(NPVariantType_Void);
}

NPVariant objectValue(NPObject* object) {
    NPVariant value;
    OBJECT_TO_NPVARIANT(object, value);
    return value;
}

void PluginFixture::SetUp() {
    NPNetscapeFuncs table = host.table();
    ASSERT_EQ(NP_Initialize(&table), NPERR_NO_ERROR);
    plugin.size = sizeof plugin;
    ASSERT_EQ(NP_GetEntryPoints(&plugin), NPERR_NO_ERROR);
}

void PluginFixture::TearDown() {
    for (NPObject* object : heldObjects) {
        host.releaseObject(object);
    }
    heldObjects.clear();
    if (record.pdata != nullptr) {
        EXPECT_EQ(destroyInstance(), NPERR_NO_ERROR);
    }
    EXPECT_EQ(host.objectsAlive(), 0U) << "objects still alive";
    EXPECT_EQ(host.blocksOutstanding(), 0U) << host.bytesOutstanding() << " bytes still held";
    EXPECT_EQ(host.unknownFrees, 0);
    EXPECT_EQ(host.unknownReleases, 0);
    NP_Shutdown();
}

NPError PluginFixture::newInstance() {
    return plugin.newp(const_cast<char*>(kMimeType), &record, NP_EMBED, 0, nullptr, nullptr,
                       nullptr);
}

NPError PluginFixture::destroyInstance() {
    return plugin.destroy(&record, nullptr);
}

nsPluginInstance* PluginFixture::instance() const {
    return static_cast<nsPluginInstance*>(static_cast<nsPluginInstanceBase*>(record.pdata));
}

NPObject* PluginFixture::scriptObject() {
    NPObject* object = nullptr;
    EXPECT_EQ(plugin.getvalue(&record, NPPVpluginScriptableNPObject, &object), NPERR_NO_ERROR);
    if (object != nullptr) {
        heldObjects.push_back(object);
    }
    return object;
}

bool PluginFixture::hasProperty(NPObject* object, const std::string& name) {
    return object->_class->hasProperty(object, host.identifier(name));
}

bool PluginFixture::hasMethod(NPObject* object, const std::string& name) {
    return object->_class->hasMethod(object, host.identifier(name));
}

Outcome PluginFixture::getProperty(NPObject* object, const std::string& name) {
    NPVariant result = int32Value(-7);  // a hook that fails must still say void
    const bool ok = object->_class->getProperty(object, host.identifier(name), &result);
    return take(ok, result);
}

bool PluginFixture::setProperty(NPObject* object, const std::string& name, const NPVariant& value) {
    return object->_class->setProperty(object, host.identifier(name), &value);
}

Outcome PluginFixture::invoke(NPObject* object, const std::string& name,
                              std::vector<NPVariant> args) {
    NPVariant result = int32Value(-7);
    const bool ok = object->_class->invoke(object, host.identifier(name), args.data(),
                                           static_cast<uint32_t>(args.size()), &result);
    return take(ok, result);
}

Outcome PluginFixture::invokeDefault(NPObject* object, std::vector<NPVariant> args) {
    NPVariant result = int32Value(-7);
    const bool ok = object->_class->invokeDefault(object, args.data(),
                                                  static_cast<uint32_t>(args.size()), &result);
    return take(ok, result);
}

Outcome PluginFixture::take(bool ok, NPVariant& result) {
    Outcome outcome;
    outcome.ok = ok;
    outcome.type = result.type;
    if (NPVARIANT_IS_STRING(result)) {
        const NPString& text = NPVARIANT_TO_STRING(result);
        EXPECT_TRUE(host.ownsBlock(text.UTF8Characters)) << "text not in host memory";
        if (host.ownsBlock(text.UTF8Characters)) {
            outcome.text.assign(text.UTF8Characters, text.UTF8Length);
            outcome.textTerminated = text.UTF8Characters[text.UTF8Length] == '\0';
        }
    } else if (NPVARIANT_IS_INT32(result)) {
        outcome.number = NPVARIANT_TO_INT32(result);
    }
    host.releaseValue(result);
    return outcome;
}

int beginStdoutCapture(std::FILE* file) {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(fileno(file), STDOUT_FILENO);
    return saved;
}

std::string readCapturedStdout(int savedFd, std::FILE* file) {
    std::fflush(stdout);
    dup2(savedFd, STDOUT_FILENO);
    close(savedFd);
    std::string text;
    std::rewind(file);
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}
