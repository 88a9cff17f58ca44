#include "tokenkit/ScopedEnv.h"

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace vellum::tokenkit {

ScopedEnv::~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (it->second) {
            ::setenv(it->first.c_str(), it->second->c_str(), 1);
        } else {
            ::unsetenv(it->first.c_str());
        }
    }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
    remember(name);
    ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
    remember(name);
    ::unsetenv(name.c_str());
}

void ScopedEnv::unsetWithPrefix(const std::string& prefix) {
    // Names first: unsetting while walking environ would skip entries.
    std::vector<std::string> names;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (equals != nullptr && std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0) {
            names.emplace_back(*entry, static_cast<size_t>(equals - *entry));
        }
    }
    for (const std::string& name : names) {
        unset(name);
    }
}

void ScopedEnv::remember(const std::string& name) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
}

}  // namespace vellum::tokenkit
