#pragma once

#include <cstdint>
#include <memory>

#include "npapi/npruntime.h"
#include "service/ServiceBase.h"
#include "shell/nsPluginInstanceBase.h"

// The plug-in instance of one embedding element. It draws nothing and takes no input; it owns
// the signing service and one reference to the scriptable object that page script uses, which
// reaches the service through GetService().
class nsPluginInstance final : public nsPluginInstanceBase {
public:
    // Makes the service an instance owns.
    using ServiceFactory = std::unique_ptr<ServiceBase> (*)();

    // Asks the host for the scriptable object, then creates the token service (PKCS11Impl).
    explicit nsPluginInstance(nsPluginCreateData* data);
    // The same with another service, so the script interface can be exercised on its own.
    nsPluginInstance(nsPluginCreateData* data, ServiceFactory makeService);
    // Gives back the instance's reference to the scriptable object and deletes the service.
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

    ServiceBase* GetService() const noexcept { return service.get(); }

private:
    void createScriptableObject() noexcept;

    NPP npp;
    bool initialized;
    NPWindow* npWindow;
    NPObject* scriptableObject;
    std::unique_ptr<ServiceBase> service;
};
