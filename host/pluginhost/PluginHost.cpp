#include "pluginhost/PluginHost.h"

#include <cstring>
#include <utility>

#include "pluginhost/FaultPause.h"

namespace vellum::pluginhost {
namespace {

PluginHost* currentHost = nullptr;

std::string stepFailed(const char* step, NPError result) {
    return std::string(step) + " returned " + std::to_string(result);
}

}  // namespace

PluginHost::PluginHost(std::string modulePath)
    : previous_(currentHost),
      modulePath_(std::move(modulePath)),
      hostFunctions_(hostFunctionTable()) {
    window_.window = &platformWindow_;
    window_.width = 300;
    window_.height = 150;
    window_.clipRect = NPRect{0, 0, 150, 300};
    window_.type = NPWindowTypeDrawable;
    currentHost = this;
}

PluginHost::PluginHost(const PluginEntryPoints& linked) : PluginHost(std::string()) {
    linked_ = linked;
    inProcess_ = true;
}

PluginHost::~PluginHost() {
    stop();
    // Hosts are meant to nest; one destroyed out of turn leaves the newer one current.
    if (currentHost == this) {
        currentHost = previous_;
    }
}

PluginHost* PluginHost::current() noexcept {
    return currentHost;
}

bool PluginHost::load(std::string& error) {
    if (inProcess_) {
        library_.link(linked_);
        return true;
    }
    return library_.open(modulePath_, error);
}

NPError PluginHost::initialize() {
    if (library_.initialize == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    NPError result = library_.initialize(&hostFunctions_);
    initialized_ = initialized_ || result == NPERR_NO_ERROR;
    return result;
}

NPError PluginHost::getEntryPoints() {
    if (library_.getEntryPoints == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    pluginFunctions_ = NPPluginFuncs{};
    pluginFunctions_.size = sizeof(NPPluginFuncs);
    return library_.getEntryPoints(&pluginFunctions_);
}

NPError PluginHost::newInstance() {
    if (pluginFunctions_.newp == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    NPError result =
        pluginFunctions_.newp(&mimeType_[0], &instance_, NP_EMBED, 0, nullptr, nullptr, nullptr);
    instanceLive_ = result == NPERR_NO_ERROR;
    return result;
}

NPError PluginHost::setWindow(bool withPlatformWindow) {
    if (pluginFunctions_.setwindow == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    window_.window = withPlatformWindow ? &platformWindow_ : nullptr;
    return pluginFunctions_.setwindow(&instance_, &window_);
}

NPError PluginHost::getScriptObject(NPObject** object) {
    if (pluginFunctions_.getvalue == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    NPObject* received = nullptr;
    NPError result = pluginFunctions_.getvalue(&instance_, NPPVpluginScriptableNPObject, &received);
    if (object != nullptr) {
        *object = received;
    }
    if (result != NPERR_NO_ERROR || received == nullptr) {
        return result;
    }
    FaultPause pause;
    if (!objects_.isAlive(received)) {
        record_.addProblem("NPP_GetValue handed out an object the host did not create");
        return result;
    }
    if (received != scriptObject_) {
        // A different object: the references held on the old one stay held until released.
        for (size_t i = 0; i < scriptReferences_; ++i) {
            resultObjects_.push_back(scriptObject_);
        }
        scriptReferences_ = 0;
        scriptObject_ = received;
    }
    ++scriptReferences_;
    return result;
}

bool PluginHost::start(std::string& error) {
    if (!load(error)) {
        return false;
    }
    NPError result = initialize();
    if (result != NPERR_NO_ERROR) {
        error = stepFailed("NP_Initialize", result);
        return false;
    }
    result = getEntryPoints();
    if (result != NPERR_NO_ERROR) {
        error = stepFailed("NP_GetEntryPoints", result);
        return false;
    }
    result = newInstance();
    if (result != NPERR_NO_ERROR) {
        error = stepFailed("NPP_New", result);
        return false;
    }
    result = setWindow(true);
    if (result != NPERR_NO_ERROR) {
        error = stepFailed("NPP_SetWindow", result);
        return false;
    }
    result = getScriptObject();
    if (result != NPERR_NO_ERROR || scriptObject_ == nullptr) {
        error = stepFailed("NPP_GetValue(NPPVpluginScriptableNPObject)", result) +
                (scriptObject_ == nullptr ? " without an object" : "");
        return false;
    }
    return true;
}

void PluginHost::releaseScriptObject() noexcept {
    for (; scriptReferences_ > 0; --scriptReferences_) {
        objects_.release(scriptObject_);
    }
    scriptObject_ = nullptr;
    std::vector<NPObject*> held;
    held.swap(resultObjects_);
    for (NPObject* object : held) {
        objects_.release(object);
    }
}

NPError PluginHost::destroyInstance() {
    if (pluginFunctions_.destroy == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    savedData_ = nullptr;
    NPError result = pluginFunctions_.destroy(&instance_, &savedData_);
    instanceLive_ = false;
    return result;
}

NPError PluginHost::shutdown() {
    if (library_.shutdown == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    initialized_ = false;
    return library_.shutdown();
}

void PluginHost::unload() noexcept {
    pluginFunctions_ = NPPluginFuncs{};
    library_.close();
}

void PluginHost::stop() noexcept {
    releaseScriptObject();
    if (instanceLive_) {
        destroyInstance();
    }
    if (initialized_) {
        shutdown();
    }
    unload();
}

NPError PluginHost::getValue(NPPVariable variable, void* value) {
    if (pluginFunctions_.getvalue == nullptr) {
        return NPERR_INVALID_PLUGIN_ERROR;
    }
    return pluginFunctions_.getvalue(&instance_, variable, value);
}

int16_t PluginHost::handleEvent(int32_t type) {
    if (pluginFunctions_.event == nullptr) {
        return 0;
    }
    NPCocoaEvent event;
    std::memset(&event, 0, sizeof event);
    // The type is the event's first field; copied as bytes since any 32-bit value may be asked.
    std::memcpy(&event, &type, sizeof type);
    return pluginFunctions_.event(&instance_, &event);
}

NPObject* PluginHost::createHostObject() noexcept {
    static NPClass hostClass{NP_CLASS_STRUCT_VERSION,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr};
    return objects_.create(&instance_, &hostClass);
}

void PluginHost::releaseVariant(NPVariant& variant, const char* who) noexcept {
    if (variant.type == NPVariantType_String) {
        void* bytes = const_cast<NPUTF8*>(variant.value.stringValue.UTF8Characters);
        if (!allocator_.release(bytes)) {
            try {
                record_.addProblem(std::string(who) + ": a string the host did not allocate");
            } catch (...) {
            }
        }
    } else if (variant.type == NPVariantType_Object) {
        objects_.release(variant.value.objectValue);
    }
    VOID_TO_NPVARIANT(variant);
}

bool PluginHost::clean() const noexcept {
    return allocator_.bytesOutstanding() == 0 && allocator_.blocksOutstanding() == 0 &&
           objects_.alive() == 0 && record_.problems().empty();
}

std::string PluginHost::report() const {
    if (clean()) {
        return "clean";
    }
    std::string text;
    auto add = [&text](const std::string& part) {
        if (!text.empty()) {
            text += "; ";
        }
        text += part;
    };
    if (allocator_.blocksOutstanding() != 0) {
        size_t blocks = allocator_.blocksOutstanding();
        add(std::to_string(allocator_.bytesOutstanding()) + " bytes in " + std::to_string(blocks) +
            (blocks == 1 ? " block" : " blocks") + " still allocated");
    }
    if (objects_.alive() != 0) {
        size_t alive = objects_.alive();
        add(std::to_string(alive) + (alive == 1 ? " object" : " objects") + " alive");
    }
    for (const std::string& problem : record_.problems()) {
        add(problem);
    }
    return text;
}

}  // namespace vellum::pluginhost
