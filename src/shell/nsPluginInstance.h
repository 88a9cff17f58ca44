#pragma once

#include <cstdint>
#include <memory>

#include "npapi/npruntime.h"
#include "service/ServiceBase.h"
#include "shell/nsPluginInstanceBase.h"

// The plug-in instance of one embedding element. It draws nothing and takes no input; it owns
// the signing service and one reference to the scriptable object that page script uses, which
// reaches the service through GetService().
//
// The service is shared with the script call in flight: a token module that runs a dialog loop
// inside its own call lets the browser deliver NPP_Destroy from there, and the instance goes at
// once, while the service, with the certificate context and the module the call is using, stays
// until that call has returned (see ScriptableObject).
class nsPluginInstance final : public nsPluginInstanceBase {
public:
    // Makes the service an instance owns.
    using ServiceFactory = std::unique_ptr<ServiceBase> (*)();

    // Asks the host for the scriptable object, then creates the token service (PKCS11Impl).
    explicit nsPluginInstance(nsPluginCreateData* data);
    // The same with another service, so the script interface can be exercised on its own.
    nsPluginInstance(nsPluginCreateData* data, ServiceFactory makeService);
    // Gives back the instance's reference to the scriptable object and its share of the service,
    // which goes with it unless a script call in flight still holds it.
    ~nsPluginInstance();

    bool init(NPWindow* aWindow) override;
    void shut() override;
    bool isInitialized() override;
    NPError SetWindow(NPP instance, NPWindow* pNPWindow) override;
    int16_t HandleEvent(NPP instance, void* event) override;
    NPError GetValue(NPPVariable variable, void* value) override;

    // The scriptable object with one more reference, which the caller owns; null if the host
    // cannot create it (each call tries again).
    NPObject* GetScriptableObject();

    // The service, held by the caller as well for as long as it keeps the pointer.
    std::shared_ptr<ServiceBase> GetService() const noexcept { return service; }

private:
    void createScriptableObject() noexcept;

    NPP npp;
    bool initialized;
    NPWindow* npWindow;
    NPObject* scriptableObject;
    std::shared_ptr<ServiceBase> service;
};
