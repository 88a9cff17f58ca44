#include "hostkit/ExtraInstance.h"

#include <string>

namespace vellum::pluginhost {

ExtraInstance::ExtraInstance(PluginHost& host) : host_(host) {}

ExtraInstance::~ExtraInstance() {
    destroy();
}

NPError ExtraInstance::start() {
    const NPPluginFuncs& plugin = host_.pluginFunctions();
    if (plugin.newp == nullptr || plugin.getvalue == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    if (!instance_) {
        return NPERR_INVALID_INSTANCE_ERROR;
    }
    std::string mimeType = PluginHost::kMimeType;
    NPError result =
        plugin.newp(&mimeType[0], instance_.get(), NP_EMBED, 0, nullptr, nullptr, nullptr);
    if (result != NPERR_NO_ERROR) {
        return result;
    }
    live_ = true;
    NPObject* received = nullptr;
    result = plugin.getvalue(instance_.get(), NPPVpluginScriptableNPObject, &received);
    if (result == NPERR_NO_ERROR && received == nullptr) {
        return NPERR_GENERIC_ERROR;
    }
    scriptObject_ = received;
    return result;
}

NPError ExtraInstance::destroy() {
    if (scriptObject_ != nullptr) {
        host_.objects().release(scriptObject_);
        scriptObject_ = nullptr;
    }
    if (!live_) {
        return NPERR_NO_ERROR;
    }
    live_ = false;
    const NPPluginFuncs& plugin = host_.pluginFunctions();
    if (plugin.destroy == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    NPSavedData* saved = nullptr;
    const NPError result = plugin.destroy(instance_.get(), &saved);
    instance_.reset();
    return result;
}

}  // namespace vellum::pluginhost
