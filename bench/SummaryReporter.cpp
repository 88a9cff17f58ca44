#include "SummaryReporter.h"

namespace vellum::bench {
namespace {

using Run = benchmark::BenchmarkReporter::Run;

double realMilliseconds(const Run& run) {
    return run.GetAdjustedRealTime() * 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
}

// Google Benchmark counts this thread's CPU time; a benchmark that runs other processes adds
// theirs as the counter kChildCpuCounter (milliseconds per iteration).
double cpuMilliseconds(const Run& run) {
    double own = run.GetAdjustedCPUTime() * 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    auto child = run.counters.find(SummaryReporter::kChildCpuCounter);
    return own + (child != run.counters.end() ? child->second.value : 0.0);
}

}  // namespace

std::string SummaryReporter::baseName(const Run& run) {
    const std::string& args = run.run_name.args;
    return run.run_name.function_name + (args.empty() ? "" : "/" + args);
}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
    // The console shows each benchmark once: its median and spread over the repetitions, or
    // the single run without repetitions. The summary takes one sample per repetition.
    std::vector<Run> shown;
    for (const Run& run : runs) {
        if (run.run_type == Run::RT_Iteration) {
            if (run.error_occurred) {
                timings_.markFailed(baseName(run));
            } else {
                timings_.add(baseName(run), realMilliseconds(run), cpuMilliseconds(run));
                for (const auto& [counter, value] : run.counters) {
                    timings_.addCounter(baseName(run), counter, value.value);
                }
            }
            if (run.repetitions <= 1 || run.error_occurred) {
                shown.push_back(run);
            }
        } else if (run.aggregate_name == "median" || run.aggregate_name == "cv") {
            shown.push_back(run);
        }
    }
    if (!shown.empty()) {
        ConsoleReporter::ReportRuns(shown);
    }
}

void SummaryReporter::Finalize() {
    ConsoleReporter::Finalize();
    summarize_(timings_);
}

}  // namespace vellum::bench
