#include "testhost/HostRecord.h"

#include <new>

namespace vellum::testhost {
namespace {

// Recording must never fail a host call; a record lost to lack of memory is lost.
void append(std::vector<std::string>& list, const std::string& text) noexcept {
    try {
        list.push_back(text);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void HostRecord::addException(const char* message) noexcept {
    try {
        append(exceptions_, message == nullptr ? std::string("(null)") : std::string(message));
    } catch (const std::bad_alloc&) {
    }
}

void HostRecord::addOtherCall(const char* function) noexcept {
    try {
        append(otherCalls_, function);
    } catch (const std::bad_alloc&) {
    }
}

void HostRecord::addProblem(const std::string& what) noexcept {
    append(problems_, what);
}

void HostRecord::clear() noexcept {
    exceptions_.clear();
    otherCalls_.clear();
    problems_.clear();
}

}  // namespace vellum::testhost
