#include "pluginhost/HostRecord.h"

#include <new>
#include <utility>

#include "pluginhost/FaultPause.h"

namespace vellum::pluginhost {
namespace {

// Recording must never fail a host call; a record lost to lack of memory is lost.
void append(std::vector<std::string>& list, const std::string& text) noexcept {
    FaultPause pause;
    try {
        list.push_back(text);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void HostRecord::addException(const char* message) noexcept {
    FaultPause pause;
    try {
        append(exceptions_, message == nullptr ? std::string("(null)") : std::string(message));
    } catch (const std::bad_alloc&) {
    }
}

void HostRecord::addOtherCall(const char* function) noexcept {
    FaultPause pause;
    try {
        append(otherCalls_, function);
    } catch (const std::bad_alloc&) {
    }
}

void HostRecord::addProblem(const std::string& what) noexcept {
    append(problems_, what);
}

void HostRecord::addIdentifierRequest(const char* const* names, int32_t count) noexcept {
    FaultPause pause;
    try {
        std::vector<std::string> request;
        for (int32_t i = 0; i < count; ++i) {
            request.emplace_back(names[i] == nullptr ? "(null)" : names[i]);
        }
        identifierRequests_.push_back(std::move(request));
    } catch (const std::bad_alloc&) {
    }
}

void HostRecord::clear() noexcept {
    identifierRequests_.clear();
    exceptions_.clear();
    otherCalls_.clear();
    problems_.clear();
}

}  // namespace vellum::pluginhost
