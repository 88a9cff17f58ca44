#include "hostkit/RecordingHost.h"

namespace vellum::pluginhost {
namespace {

char userAgent[] = "recording host";
char memory[64];
int identifierTarget;
char utf8[] = "name";

template <typename R, typename... Args>
R answer(const char* entry, R value, Args... args) {
    RecordingHost::calls().push_back(RecordingHost::call(entry, args...));
    return value;
}

template <typename... Args>
void note(const char* entry, Args... args) {
    RecordingHost::calls().push_back(RecordingHost::call(entry, args...));
}

}  // namespace

const char* const RecordingHost::kUserAgent = userAgent;
void* const RecordingHost::kMemory = memory;
const NPIdentifier RecordingHost::kIdentifier = &identifierTarget;
NPUTF8* const RecordingHost::kUTF8 = utf8;

std::vector<std::string>& RecordingHost::calls() {
    static std::vector<std::string> recorded;
    return recorded;
}

NPNetscapeFuncs RecordingHost::table(uint16_t version) {
    NPNetscapeFuncs t = {};
    t.size = sizeof(NPNetscapeFuncs);
    t.version = version;
    t.geturl = [](NPP i, const char* u, const char* w) {
        return answer("geturl", kError, i, u, w);
    };
    t.posturl = [](NPP i, const char* u, const char* w, uint32_t l, const char* b, NPBool f) {
        return answer("posturl", kError, i, u, w, l, b, f);
    };
    t.requestread = [](NPStream* s, NPByteRange* r) { return answer("requestread", kError, s, r); };
    t.newstream = [](NPP i, NPMIMEType m, const char* w, NPStream** s) {
        return answer("newstream", kError, i, m, w, s);
    };
    t.write = [](NPP i, NPStream* s, int32_t l, void* b) {
        return answer("write", kWritten, i, s, l, b);
    };
    t.destroystream = [](NPP i, NPStream* s, NPReason r) {
        return answer("destroystream", kError, i, s, r);
    };
    t.status = [](NPP i, const char* m) { note("status", i, m); };
    t.uagent = [](NPP i) { return answer("uagent", kUserAgent, i); };
    t.memalloc = [](uint32_t n) { return answer("memalloc", kMemory, n); };
    t.memfree = [](void* p) { note("memfree", p); };
    t.memflush = [](uint32_t n) { return answer("memflush", kFlushed, n); };
    t.reloadplugins = [](NPBool r) { note("reloadplugins", r); };
    t.getJavaEnv = []() { return answer("getJavaEnv", static_cast<void*>(nullptr)); };
    t.getJavaPeer = [](NPP i) { return answer("getJavaPeer", static_cast<void*>(nullptr), i); };
    t.geturlnotify = [](NPP i, const char* u, const char* w, void* d) {
        return answer("geturlnotify", kError, i, u, w, d);
    };
    t.posturlnotify = [](NPP i, const char* u, const char* w, uint32_t l, const char* b, NPBool f,
                         void* d) { return answer("posturlnotify", kError, i, u, w, l, b, f, d); };
    t.getvalue = [](NPP i, NPNVariable v, void* p) { return answer("getvalue", kError, i, v, p); };
    t.setvalue = [](NPP i, NPPVariable v, void* p) { return answer("setvalue", kError, i, v, p); };
    t.invalidaterect = [](NPP i, NPRect* r) { note("invalidaterect", i, r); };
    t.invalidateregion = [](NPP i, NPRegion r) { note("invalidateregion", i, r); };
    t.forceredraw = [](NPP i) { note("forceredraw", i); };
    t.getstringidentifier = [](const NPUTF8* n) {
        return answer("getstringidentifier", kIdentifier, n);
    };
    t.getstringidentifiers = [](const NPUTF8** n, int32_t c, NPIdentifier* ids) {
        note("getstringidentifiers", n, c, ids);
    };
    t.getintidentifier = [](int32_t v) { return answer("getintidentifier", kIdentifier, v); };
    t.identifierisstring = [](NPIdentifier id) { return answer("identifierisstring", kBool, id); };
    t.utf8fromidentifier = [](NPIdentifier id) { return answer("utf8fromidentifier", kUTF8, id); };
    t.intfromidentifier = [](NPIdentifier id) { return answer("intfromidentifier", 7, id); };
    t.createobject = [](NPP i, NPClass* c) {
        return answer("createobject", static_cast<NPObject*>(nullptr), i, c);
    };
    t.retainobject = [](NPObject* o) { return answer("retainobject", o, o); };
    t.releaseobject = [](NPObject* o) { note("releaseobject", o); };
    t.invoke = [](NPP i, NPObject* o, NPIdentifier m, const NPVariant* a, uint32_t c,
                  NPVariant* r) { return answer("invoke", kBool, i, o, m, a, c, r); };
    t.invokeDefault = [](NPP i, NPObject* o, const NPVariant* a, uint32_t c, NPVariant* r) {
        return answer("invokeDefault", kBool, i, o, a, c, r);
    };
    t.evaluate = [](NPP i, NPObject* o, NPString* s, NPVariant* r) {
        return answer("evaluate", kBool, i, o, s, r);
    };
    t.getproperty = [](NPP i, NPObject* o, NPIdentifier n, NPVariant* r) {
        return answer("getproperty", kBool, i, o, n, r);
    };
    t.setproperty = [](NPP i, NPObject* o, NPIdentifier n, const NPVariant* v) {
        return answer("setproperty", kBool, i, o, n, v);
    };
    t.removeproperty = [](NPP i, NPObject* o, NPIdentifier n) {
        return answer("removeproperty", kBool, i, o, n);
    };
    t.hasproperty = [](NPP i, NPObject* o, NPIdentifier n) {
        return answer("hasproperty", kBool, i, o, n);
    };
    t.hasmethod = [](NPP i, NPObject* o, NPIdentifier n) {
        return answer("hasmethod", kBool, i, o, n);
    };
    t.releasevariantvalue = [](NPVariant* v) { note("releasevariantvalue", v); };
    t.setexception = [](NPObject* o, const NPUTF8* m) { note("setexception", o, m); };
    return t;
}

}  // namespace vellum::pluginhost
