#pragma once

#include <cstdint>

#include "npapi/npapi.h"
#include "shell/nsPluginCreateData.h"

// What the NPP_ gates call on the plug-in instance kept in the host record's `pdata`. The
// operations without a default are the instance's own; the others answer as a plug-in that
// takes no stream, prints nothing and ignores notifications.
//
// There is no virtual destructor: instances are destroyed only by NS_DestroyPluginInstance,
// which knows the concrete class, and the protected destructor keeps anyone else from trying.
class nsPluginInstanceBase {
public:
    virtual bool init(NPWindow* aWindow) = 0;
    virtual void shut() = 0;
    virtual bool isInitialized() = 0;
    virtual NPError SetWindow(NPP instance, NPWindow* pNPWindow) = 0;
    virtual NPError NewStream(NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype);
    virtual NPError DestroyStream(NPStream* stream, NPReason reason);
    virtual void StreamAsFile(NPStream* stream, const char* fname);
    virtual int32_t WriteReady(NPStream* stream);
    virtual int32_t Write(NPStream* stream, int32_t offset, int32_t len, void* buffer);
    virtual void Print(NPPrint* printInfo);
    virtual int16_t HandleEvent(NPP instance, void* event) = 0;
    virtual void URLNotify(const char* url, NPReason reason, void* notifyData);
    virtual NPError GetValue(NPPVariable variable, void* value) = 0;
    virtual NPError SetValue(NPNVariable variable, void* value);

protected:
    nsPluginInstanceBase() = default;
    ~nsPluginInstanceBase() = default;
    nsPluginInstanceBase(const nsPluginInstanceBase&) = delete;
    nsPluginInstanceBase& operator=(const nsPluginInstanceBase&) = delete;
};

// What WriteReady answers when the plug-in will take any amount of stream data.
inline constexpr int32_t kWriteReadyAnything = 0x0FFFFFFF;

// A new instance for the host record in `aCreateDataStruct`; null for null data and when memory
// for the instance or its service runs out (NPP_New then answers NPERR_OUT_OF_MEMORY_ERROR).
nsPluginInstanceBase* NS_NewPluginInstance(nsPluginCreateData* aCreateDataStruct) noexcept;

// Destroys an instance made by NS_NewPluginInstance; null does nothing.
void NS_DestroyPluginInstance(nsPluginInstanceBase* aPlugin) noexcept;
