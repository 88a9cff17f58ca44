#include "SummaryTable.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

#include "BenchTokens.h"
#include "BenchmarkNames.h"

namespace vellum::bench {
namespace {

std::string format(const char* pattern, double a, double b = 0, double c = 0, double d = 0,
                   double e = 0) {
    char line[160];
    std::snprintf(line, sizeof line, pattern, a, b, c, d, e);
    return line;
}

class Writer {
public:
    Writer(const Timings& timings, std::ostream& out) : timings_(timings), out_(out) {}

    // One row: label, median, spread, and the ratio to `base` when both ran.
    void row(const char* label, const std::string& name, const std::string& base,
             const std::string& note = std::string()) {
        char line[200];
        if (!timings_.has(name)) {
            std::snprintf(line, sizeof line, "  %-46s %10s\n", label, "not run");
            out_ << line;
            return;
        }
        std::string ratio = timings_.has(base)
                                ? format("%8.3f", timings_.median(name) / timings_.median(base))
                                : std::string(8, ' ');
        std::snprintf(line, sizeof line, "  %-46s %10.3f %7.1f%% %s%s\n", label,
                      timings_.median(name), 100 * timings_.spread(name), ratio.c_str(),
                      note.c_str());
        out_ << line;
    }

    void heading(const char* text) {
        char line[200];
        std::snprintf(line, sizeof line, "%-48s %10s %8s %8s\n", text, "ms", "spread", "ratio");
        out_ << line;
    }

private:
    const Timings& timings_;
    std::ostream& out_;
};

void printSignature(const Timings& timings, std::ostream& out) {
    Writer writer(timings, out);
    std::string verdict;
    if (timings.has(names::kSignaturePlugin) && timings.has(names::kSignatureFloor)) {
        const double ratio =
            timings.median(names::kSignaturePlugin) / timings.median(names::kSignatureFloor);
        verdict = format("   target <= %.2f: ", SummaryTable::kTargetRatio) +
                  (ratio <= SummaryTable::kTargetRatio ? "met" : "NOT met");
    }
    writer.heading("Reading Signature (RSA-2048, sha256)");
    writer.row("floor: direct PKCS#11 calls, forwarding module", names::kSignatureFloor,
               names::kSignatureFloor);
    writer.row("plug-in in the test host", names::kSignaturePlugin, names::kSignatureFloor,
               verdict);
    writer.row("pkcs11-tool, new process, forwarding module", names::kSignatureTool,
               names::kSignatureFloor);
    out << "\n";
    writer.heading("What the test kit's forwarding module adds");
    writer.row("floor: SoftHSM2 directly, PIN in C_Login", names::kSignatureFloorSoftHsm,
               names::kSignatureFloorSoftHsm);
    writer.row("floor: forwarding module, PIN supplied by it", names::kSignatureFloor,
               names::kSignatureFloorSoftHsm);
    writer.row("pkcs11-tool, new process, SoftHSM2 directly", names::kSignatureToolSoftHsm,
               names::kSignatureFloorSoftHsm);
    writer.row("pkcs11-tool, forwarding module (to row above)", names::kSignatureTool,
               names::kSignatureToolSoftHsm);
}

void printCertList(const Timings& timings, std::ostream& out) {
    char line[200];
    std::snprintf(line, sizeof line, "%-26s %11s %9s %11s %9s %9s\n", "getCertList", "plug-in ms",
                  "per cert", "floor ms", "per cert", "ratio");
    out << line;
    const std::string plugin = names::kCertListPlugin;
    const std::string floor = names::kCertListFloor;
    for (size_t count : BenchTokens::kCounts) {
        const std::string suffix = "/" + std::to_string(count);
        if (!timings.has(plugin + suffix) || !timings.has(floor + suffix)) {
            std::snprintf(line, sizeof line, "  %3zu certificate(s)        not run\n", count);
            out << line;
            continue;
        }
        const double p = timings.median(plugin + suffix);
        const double f = timings.median(floor + suffix);
        const double n = static_cast<double>(count);
        std::snprintf(line, sizeof line,
                      "  %3zu certificate(s)       %11.3f %9.3f %11.3f %9.3f %9.3f\n", count, p,
                      p / n, f, f / n, p / f);
        out << line;
    }
    const std::string first = "/" + std::to_string(BenchTokens::kCounts[0]);
    const size_t lastCount = BenchTokens::kCounts[std::size(BenchTokens::kCounts) - 1];
    const std::string last = "/" + std::to_string(lastCount);
    if (timings.has(plugin + first) && timings.has(plugin + last) && timings.has(floor + first) &&
        timings.has(floor + last)) {
        const double further = static_cast<double>(lastCount - BenchTokens::kCounts[0]);
        const double p = (timings.median(plugin + last) - timings.median(plugin + first)) / further;
        const double f = (timings.median(floor + last) - timings.median(floor + first)) / further;
        std::snprintf(line, sizeof line, "  each further certificate %11s %9.3f %11s %9.3f %9.3f\n",
                      "", p, "", f, f > 0 ? p / f : 0.0);
        out << line;
    }
}

}  // namespace

void SummaryTable::print(const Timings& timings, std::ostream& out) {
    size_t repetitions =
        std::max(timings.samples(names::kSignaturePlugin), timings.samples(names::kSignatureFloor));
    out << "\n== Summary: median real time per operation over " << repetitions
        << " repetition(s); spread = standard deviation / mean; ratio = to the first row of its "
           "block\n\n";
    printSignature(timings, out);
    out << "\n";
    printCertList(timings, out);
    out << std::flush;
}

}  // namespace vellum::bench
