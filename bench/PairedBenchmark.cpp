#include "PairedBenchmark.h"

#include <time.h>

#include <chrono>

namespace vellum::bench {
namespace {

struct Elapsed {
    double realMs = 0;
    double cpuMs = 0;
};

double threadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Runs the operation once and adds its times on both clocks to `total`.
bool timed(const PairedBenchmark::Operation& operation, Elapsed& total, std::string& error) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const double cpuStart = threadCpuMs();
    const bool ok = operation(error);
    total.cpuMs += threadCpuMs() - cpuStart;
    total.realMs += std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return ok;
}

}  // namespace

void PairedBenchmark::operator()(benchmark::State& state) const {
    Elapsed plugin;
    Elapsed floor;
    std::string error;
    bool pluginFirst = true;
    for (auto _ : state) {
        const bool ok = pluginFirst ? timed(plugin_, plugin, error) && timed(floor_, floor, error)
                                    : timed(floor_, floor, error) && timed(plugin_, plugin, error);
        if (!ok) {
            state.SkipWithError(error.c_str());
            return;
        }
        pluginFirst = !pluginFirst;
    }
    using benchmark::Counter;
    state.counters[kPluginMs] = Counter(plugin.realMs, Counter::kAvgIterations);
    state.counters[kFloorMs] = Counter(floor.realMs, Counter::kAvgIterations);
    state.counters[kRatio] = plugin.realMs / floor.realMs;
    state.counters[kCpuRatio] = plugin.cpuMs / floor.cpuMs;
    state.counters[kDifferenceUs] =
        Counter((plugin.realMs - floor.realMs) * 1e3, Counter::kAvgIterations);
}

}  // namespace vellum::bench
