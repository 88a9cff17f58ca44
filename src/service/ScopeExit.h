#pragma once

#include <utility>

// Runs a release step when the scope ends, on every path out of it, unless dismissed. Used where
// the order of release steps matters: guards run in reverse order of their declaration.
template <class Step>
class ScopeExit {
public:
    explicit ScopeExit(Step step) : step(std::move(step)) {}
    ~ScopeExit() {
        if (armed) {
            step();
        }
    }

    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    void dismiss() noexcept { armed = false; }

private:
    Step step;
    bool armed = true;
};
