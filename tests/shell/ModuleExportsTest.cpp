// The plug-in module's dynamic symbol table holds exactly the entry points, the gates, the
// plug-in table's functions and the decorated module-level functions: nothing of OpenSSL, the
// C++ library or our own internals. The module's own calls to those names (NPP_New to its gates,
// NP_GetEntryPoints to its NPP_ functions) stay inside it, whoever else exports the same names.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "hostkit/RecordingHost.h"

namespace {

using vellum::pluginhost::RecordingHost;

using Symbols = std::set<std::string>;

// Defined dynamic symbols of the module, as nm lists them.
Symbols exportedSymbols() {
    const std::string command =
        std::string(VELLUM_NM) + " -D --defined-only -P '" + VELLUM_PLUGIN_PATH + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    Symbols symbols;
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return symbols;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        std::string text(line);
        symbols.insert(text.substr(0, text.find(' ')));
    }
    return symbols;
}

const Symbols kEntryPointsAndGates = {
    "NP_Initialize",
    "NP_GetValue",
    "NP_Shutdown",
    "NPN_Version",
    "NPN_GetURL",
    "NPN_GetURLNotify",
    "NPN_PostURL",
    "NPN_PostURLNotify",
    "NPN_RequestRead",
    "NPN_NewStream",
    "NPN_Write",
    "NPN_DestroyStream",
    "NPN_Status",
    "NPN_UserAgent",
    "NPN_MemAlloc",
    "NPN_MemFree",
    "NPN_MemFlush",
    "NPN_ReloadPlugins",
    "NPN_GetValue",
    "NPN_SetValue",
    "NPN_InvalidateRect",
    "NPN_InvalidateRegion",
    "NPN_ForceRedraw",
    "NPN_GetStringIdentifier",
    "NPN_UTF8FromIdentifier",
    "NPN_RetainObject",
    "NPN_ReleaseObject",
    "NPN_Invoke",
    "NPN_InvokeDefault",
    "NPN_GetProperty",
    "NPN_ReleaseVariantValue",
};

// Decorated names of NPP_GetMIMEDescription(), NS_PluginInitialize(), NS_PluginShutdown() and
// NS_PluginGetValue(NPPVariable, void*).
const Symbols kDecoratedModuleFunctions = {
    "_Z22NPP_GetMIMEDescriptionv",
    "_Z19NS_PluginInitializev",
    "_Z17NS_PluginShutdownv",
    "_Z17NS_PluginGetValue11NPPVariablePv",
};

const Symbols kPlainNamesNotExported = {
    "NPP_GetMIMEDescription",
    "NS_PluginInitialize",
    "NS_PluginShutdown",
    "NS_PluginGetValue",
};

// NP_GetEntryPoints and the functions of the plug-in table it fills.
const Symbols kPluginTable = {
    "NP_GetEntryPoints", "NPP_New",          "NPP_Destroy",    "NPP_SetWindow", "NPP_NewStream",
    "NPP_DestroyStream", "NPP_StreamAsFile", "NPP_WriteReady", "NPP_Write",     "NPP_Print",
    "NPP_HandleEvent",   "NPP_URLNotify",    "NPP_GetValue",   "NPP_SetValue",
};

Symbols unite(std::initializer_list<const Symbols*> parts) {
    Symbols all;
    for (const Symbols* part : parts) {
        all.insert(part->begin(), part->end());
    }
    return all;
}

TEST(ModuleExportsTest, ExportsExactlyTheEntryPointsGatesPluginTableAndModuleFunctions) {
    const Symbols expected =
        unite({&kEntryPointsAndGates, &kDecoratedModuleFunctions, &kPluginTable});
    ASSERT_EQ(expected.size(), 49u);
    const Symbols exported = exportedSymbols();
    for (const std::string& name : expected) {
        EXPECT_EQ(exported.count(name), 1u) << name << " is not exported";
    }
    for (const std::string& name : exported) {
        EXPECT_EQ(expected.count(name), 1u) << "unexpected export " << name;
    }
    for (const std::string& name : kPlainNamesNotExported) {
        EXPECT_EQ(exported.count(name), 0u) << name << " must be exported only decorated";
    }
}

// Loads the module as a host does and talks to it only through the names it looks up.
TEST(ModuleExportsTest, HostLoadsTheModuleAndFindsItsEntryPoints) {
    std::unique_ptr<void, int (*)(void*)> module(dlopen(VELLUM_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL),
                                                 dlclose);
    ASSERT_NE(module, nullptr) << dlerror();
    auto initialize = reinterpret_cast<NP_InitializeFunc>(dlsym(module.get(), "NP_Initialize"));
    auto getValue = reinterpret_cast<NP_GetValueFunc>(dlsym(module.get(), "NP_GetValue"));
    auto version = reinterpret_cast<decltype(&NPN_Version)>(dlsym(module.get(), "NPN_Version"));
    using MIMEDescription = const char* (*)();
    auto mimeDescription =
        reinterpret_cast<MIMEDescription>(dlsym(module.get(), "_Z22NPP_GetMIMEDescriptionv"));
    ASSERT_TRUE(initialize && getValue && version && mimeDescription);
    EXPECT_EQ(dlsym(module.get(), "NPP_GetMIMEDescription"), nullptr);

    NPNetscapeFuncs host = RecordingHost::table(0x0016);
    EXPECT_EQ(initialize(&host), NPERR_NO_ERROR);
    int values[4] = {-1, -1, -1, -1};
    version(&values[0], &values[1], &values[2], &values[3]);
    EXPECT_EQ(values[1], 27);
    EXPECT_EQ(values[3], 0x16);
    const char* name = nullptr;
    EXPECT_EQ(getValue(nullptr, NPPVpluginNameString, &name), NPERR_NO_ERROR);
    EXPECT_STREQ(name, "vellum Plug-in for DEMO");
    EXPECT_STREQ(mimeDescription(), "application/x-vnd-vellum-demo::vellum Plug-in for DEMO");
}

using Module = std::unique_ptr<void, int (*)(void*)>;

Module openModule(const char* path, int mode) {
    return Module(dlopen(path, RTLD_NOW | mode), dlclose);
}

template <typename F>
F entry(const Module& module, const char* name) {
    return reinterpret_cast<F>(dlsym(module.get(), name));
}

// Host answers for NPP_New: both models supported. Counts the calls that reach this table.
int hostGetValueCalls = 0;

NPNetscapeFuncs modelHost() {
    NPNetscapeFuncs host = RecordingHost::table(0x001B);
    host.getvalue = [](NPP, NPNVariable, void* value) {
        ++hostGetValueCalls;
        *static_cast<NPBool*>(value) = true;
        return NPError{NPERR_NO_ERROR};
    };
    return host;
}

// Initialises `module` with `host`, takes its plug-in table and creates and destroys one
// instance. The table must hand out the module's own NPP_New, and that NPP_New must ask the
// module's own gate, which forwards to `host`.
void expectOwnFunctions(const Module& module, NPNetscapeFuncs& host) {
    ASSERT_EQ(entry<NP_InitializeFunc>(module, "NP_Initialize")(&host), NPERR_NO_ERROR);
    NPPluginFuncs table = {};
    table.size = sizeof table;
    ASSERT_EQ(entry<NP_GetEntryPointsFunc>(module, "NP_GetEntryPoints")(&table), NPERR_NO_ERROR);
    EXPECT_EQ(reinterpret_cast<void*>(table.newp), dlsym(module.get(), "NPP_New"));
    EXPECT_EQ(reinterpret_cast<void*>(table.destroy), dlsym(module.get(), "NPP_Destroy"));

    hostGetValueCalls = 0;
    NPP_t instance = {};
    char type[] = "application/x-vnd-vellum-demo";
    ASSERT_EQ(table.newp(type, &instance, NP_EMBED, 0, nullptr, nullptr, nullptr), NPERR_NO_ERROR);
    EXPECT_EQ(hostGetValueCalls, 2) << "NPP_New asked another NPN_GetValue than its own";
    EXPECT_EQ(table.destroy(&instance, nullptr), NPERR_NO_ERROR);
}

// This test program is linked with its exports visible (-rdynamic) and holds its own copy of the
// gates and the NPP_ functions, as a host that defines NPN_GetValue itself does.
TEST(ModuleExportsTest, ModuleCallsItsOwnGatesInAHostThatExportsTheSameNames) {
    Module module = openModule(VELLUM_PLUGIN_PATH, RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    void* hostGate = dlsym(RTLD_DEFAULT, "NPN_GetValue");
    ASSERT_NE(hostGate, nullptr) << "the test program does not export NPN_GetValue";
    ASSERT_NE(hostGate, dlsym(module.get(), "NPN_GetValue"));

    NPNetscapeFuncs host = modelHost();
    expectOwnFunctions(module, host);
}

// A second copy of the module (another file) beside a first one loaded RTLD_GLOBAL.
TEST(ModuleExportsTest, SecondCopyOfTheModuleKeepsToItself) {
    std::string folder = std::filesystem::temp_directory_path() / "vellum-module-copy-XXXXXX";
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    const std::filesystem::path copy = std::filesystem::path(folder) / "libvellum-copy.so";
    std::filesystem::copy_file(VELLUM_PLUGIN_PATH, copy);
    {
        Module first = openModule(VELLUM_PLUGIN_PATH, RTLD_GLOBAL);
        ASSERT_NE(first, nullptr) << dlerror();
        Module second = openModule(copy.c_str(), RTLD_LOCAL);
        ASSERT_NE(second, nullptr) << dlerror();
        ASSERT_NE(dlsym(first.get(), "NPP_New"), dlsym(second.get(), "NPP_New"));

        // Only the second copy is initialised: its NPP_New fails if it reaches the first copy's
        // gate, whose host table is empty.
        NPNetscapeFuncs host = modelHost();
        expectOwnFunctions(second, host);
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
