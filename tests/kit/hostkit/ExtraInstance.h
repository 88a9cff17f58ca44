// One more instance of the module that a PluginHost runs, as a second embedding element on the
// same page: NPP_New with its own host instance record, its script object, and NPP_Destroy.
// Script access to it goes through the host's object calls (host.invoke(scriptObject(), ...)).
//
// It must go before the host stops the module; its destructor gives back its reference to the
// script object and destroys the instance if that is still due.
//
// Like a browser, it frees its instance record once NPP_Destroy has returned: a module that
// still reaches for the record afterwards reads freed memory, which ASan and valgrind report.
#pragma once

#include <memory>

#include "npapi/npfunctions.h"
#include "pluginhost/PluginHost.h"

namespace vellum::pluginhost {

class ExtraInstance {
public:
    // Needs the host's entry points (after PluginHost::getEntryPoints).
    explicit ExtraInstance(PluginHost& host);
    ~ExtraInstance();
    ExtraInstance(const ExtraInstance&) = delete;
    ExtraInstance& operator=(const ExtraInstance&) = delete;

    // NPP_New, then NPP_GetValue for the script object; the first failing result, or
    // NPERR_NO_ERROR with the object held.
    NPError start();
    // Gives back the reference, then NPP_Destroy, then frees the record.
    NPError destroy();

    // The instance record; null once destroy() has freed it.
    NPP npp() noexcept { return instance_.get(); }
    NPObject* scriptObject() const noexcept { return scriptObject_; }

private:
    PluginHost& host_;
    std::unique_ptr<NPP_t> instance_ = std::make_unique<NPP_t>();
    bool live_ = false;
    NPObject* scriptObject_ = nullptr;
};

}  // namespace vellum::pluginhost
