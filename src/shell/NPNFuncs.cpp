#include "shell/NPNFuncs.h"

#include <cstddef>
#include <cstring>

NPNetscapeFuncs NPNFuncs = {};

namespace {

// Copies one entry if the host's table reaches past its last byte; offsets are taken on a
// complete local record, and the host's bytes are read only within `size`.
class HostTableReader {
public:
    explicit HostTableReader(const NPNetscapeFuncs& host) noexcept
        : bytes_(reinterpret_cast<const unsigned char*>(&host)), size_(host.size) {}

    template <typename... Entries>
    void copy(NPNetscapeFuncs& copy, Entries NPNetscapeFuncs::*... entries) const noexcept {
        (copyEntry(copy, entries), ...);
    }

private:
    template <typename Entry>
    void copyEntry(NPNetscapeFuncs& copy, Entry NPNetscapeFuncs::*entry) const noexcept {
        const unsigned char* field = reinterpret_cast<const unsigned char*>(&(copy.*entry));
        const std::size_t offset =
            static_cast<std::size_t>(field - reinterpret_cast<const unsigned char*>(&copy));
        if (offset + sizeof(Entry) <= size_) {
            std::memcpy(&(copy.*entry), bytes_ + offset, sizeof(Entry));
        }
    }

    const unsigned char* bytes_;
    std::size_t size_;
};

}  // namespace

NPNetscapeFuncs copyHostFunctions(const NPNetscapeFuncs& host) noexcept {
    NPNetscapeFuncs copy = {};
    copy.size = host.size;
    copy.version = host.version;

    using F = NPNetscapeFuncs;
    const HostTableReader reader(host);
    reader.copy(copy, &F::geturl, &F::posturl, &F::requestread, &F::newstream, &F::write,
                &F::destroystream, &F::status, &F::uagent, &F::memalloc, &F::memfree, &F::memflush,
                &F::reloadplugins);
    // getJavaEnv and getJavaPeer: the module offers no Java bridge, so they stay null.
    reader.copy(copy, &F::geturlnotify, &F::posturlnotify);
    reader.copy(copy, &F::getvalue, &F::setvalue, &F::invalidaterect, &F::invalidateregion,
                &F::forceredraw, &F::getstringidentifier, &F::getstringidentifiers,
                &F::getintidentifier, &F::identifierisstring, &F::utf8fromidentifier,
                &F::intfromidentifier, &F::createobject, &F::retainobject, &F::releaseobject,
                &F::invoke, &F::invokeDefault, &F::evaluate, &F::getproperty, &F::setproperty,
                &F::removeproperty, &F::hasproperty, &F::hasmethod, &F::releasevariantvalue,
                &F::setexception);
    // Entries after setexception are not used by the module and stay null.
    return copy;
}
