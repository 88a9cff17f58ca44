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

private:
    void remember(const std::string& name);

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace vellum::tokenkit
