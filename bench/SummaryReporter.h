// The console output of Google Benchmark as usual, and the real times gathered into Timings for
// the summary printed when the run ends.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <vector>

#include "Timings.h"

namespace vellum::bench {

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    using Summarize = std::function<void(const Timings&)>;

    // Counter of the CPU time of child processes, milliseconds per iteration.
    static constexpr const char* kChildCpuCounter = "child_cpu_ms";

    explicit SummaryReporter(Summarize summarize) : summarize_(std::move(summarize)) {}

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

    // "Signature/plugin", "CertList/floor/16": the benchmark's name without the decorations
    // that Google Benchmark adds ("/real_time", "/repeats:5", "_median").
    static std::string baseName(const Run& run);

private:
    Summarize summarize_;
    Timings timings_;
};

}  // namespace vellum::bench
