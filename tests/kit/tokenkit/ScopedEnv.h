// Sets or unsets environment variables and puts the previous values back when it goes, so
// that a test's settings of the forwarding module (VELLUM_P11FWD_*) do not leak into the
// next test.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vellum::tokenkit {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    void set(const std::string& name, const std::string& value);
    void unset(const std::string& name);
    // Unsets every variable whose name starts with `prefix` (all of VELLUM_P11FWD_*, say, so
    // that a setting added to the module later cannot leak in from the caller).
    void unsetWithPrefix(const std::string& prefix);

private:
    void remember(const std::string& name);

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vellum::tokenkit
