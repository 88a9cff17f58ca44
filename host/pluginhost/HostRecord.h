// What the host saw while the module ran: the names it was asked to intern, exceptions the module
// raised, calls of host functions that the host answers only with a harmless default, and misuse of
// the host's interface (freeing memory the host never gave, using an object that is gone, ...),
// which is always a fault of the module.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellum::pluginhost {

class HostRecord {
public:
    void addException(const char* message) noexcept;
    void addOtherCall(const char* function) noexcept;
    void addProblem(const std::string& what) noexcept;
    // One NPN_GetStringIdentifiers call: the names asked for, in order.
    void addIdentifierRequest(const char* const* names, int32_t count) noexcept;

    const std::vector<std::string>& exceptions() const noexcept { return exceptions_; }
    const std::vector<std::string>& otherCalls() const noexcept { return otherCalls_; }
    const std::vector<std::string>& problems() const noexcept { return problems_; }
    const std::vector<std::vector<std::string>>& identifierRequests() const noexcept {
        return identifierRequests_;
    }

    void clear() noexcept;

private:
    std::vector<std::string> exceptions_;
    std::vector<std::string> otherCalls_;
    std::vector<std::string> problems_;
    std::vector<std::vector<std::string>> identifierRequests_;
};

}  // namespace vellum::pluginhost
