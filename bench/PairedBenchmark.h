// The plug-in and its floor in one benchmark, taken in turns: each iteration runs one operation
// of each, the order alternating from one iteration to the next so that neither always runs on
// what the other left in the caches. A busy spell of the machine then falls on both alike, and
// their ratio holds still where the times of two separate benchmarks move by 10-30%.
//
// Counters of each repetition: plugin_ms and floor_ms, the mean real time of one operation;
// ratio, the plug-in's real time over the floor's, both summed over the repetition's pairs (a
// single pair delayed by the machine moves a ratio of sums less than a mean of pair ratios);
// cpu_ratio, the same on this thread's CPU time; difference_us, the plug-in's mean real time
// per operation minus the floor's, in microseconds (what the first adds, when both do the same
// work by different ways). Google Benchmark's aggregates (_median, _stddev, _cv) give them
// across the repetitions.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>

namespace vellum::bench {

class PairedBenchmark {
public:
    // One whole operation; false with the reason in `error`.
    using Operation = std::function<bool(std::string& error)>;

    static constexpr const char* kPluginMs = "plugin_ms";
    static constexpr const char* kFloorMs = "floor_ms";
    static constexpr const char* kRatio = "ratio";
    static constexpr const char* kCpuRatio = "cpu_ratio";
    static constexpr const char* kDifferenceUs = "difference_us";

    PairedBenchmark(Operation plugin, Operation floor)
        : plugin_(std::move(plugin)), floor_(std::move(floor)) {}

    // The benchmark's body; a failing operation stops the benchmark with its reason.
    void operator()(benchmark::State& state) const;

private:
    Operation plugin_;
    Operation floor_;
};

}  // namespace vellum::bench
