#include "SummaryReporter.h"

namespace vellum::bench {
namespace {

double milliseconds(const benchmark::BenchmarkReporter::Run& run) {
    return run.GetAdjustedRealTime() * 1e3 / benchmark::GetTimeUnitMultiplier(run.time_unit);
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
                timings_.add(baseName(run), milliseconds(run));
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
