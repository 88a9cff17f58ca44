#include "SummaryTable.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <ostream>
#include <string>

#include "BenchTokens.h"
#include "BenchmarkNames.h"

namespace vellum::bench {
namespace {

class Writer {
public:
    Writer(const Timings& timings, std::ostream& out) : timings_(timings), out_(out) {}

    void heading(const char* title) {
        print("%-46s %9s %7s %7s | %9s %7s %7s\n", title, "real ms", "spread", "ratio", "CPU ms",
              "spread", "ratio");
    }

    // One row: median and spread on both clocks, and the ratios to `base` when both ran.
    void row(const char* label, const std::string& name, const std::string& base) {
        if (!timings_.has(name)) {
            print("  %-44s %9s\n", label, "not run");
            return;
        }
        std::string cells[2];
        for (Clock clock : {Clock::Real, Clock::Cpu}) {
            char ratio[16] = "";
            if (timings_.has(base)) {
                std::snprintf(ratio, sizeof ratio, "%7.3f",
                              timings_.median(name, clock) / timings_.median(base, clock));
            }
            char cell[64];
            std::snprintf(cell, sizeof cell, "%9.3f %6.1f%% %7s", timings_.median(name, clock),
                          100 * timings_.spread(name, clock), ratio);
            cells[clock == Clock::Real ? 0 : 1] = cell;
        }
        print("  %-44s %s | %s\n", label, cells[0].c_str(), cells[1].c_str());
    }

    template <typename... Args>
    void print(const char* pattern, Args... args) {
        char line[256];
        std::snprintf(line, sizeof line, pattern, args...);
        out_ << line;
    }

private:
    const Timings& timings_;
    std::ostream& out_;
};

void printVerdict(const Timings& timings, Writer& writer) {
    if (!timings.has(names::kSignaturePlugin) || !timings.has(names::kSignatureFloor)) {
        return;
    }
    double ratios[2];
    for (Clock clock : {Clock::Real, Clock::Cpu}) {
        ratios[clock == Clock::Real ? 0 : 1] = timings.median(names::kSignaturePlugin, clock) /
                                               timings.median(names::kSignatureFloor, clock);
    }
    auto verdict = [](double ratio) {
        return ratio <= SummaryTable::kTargetRatio ? "met" : "NOT met";
    };
    writer.print(
        "  plug-in / floor: %.3f on CPU time (target <= %.2f: %s), %.3f on real time (%s)\n",
        ratios[1], SummaryTable::kTargetRatio, verdict(ratios[1]), ratios[0], verdict(ratios[0]));
    const std::string paired = names::kSignaturePaired;
    if (timings.hasCounter(paired, names::kPairedRatio)) {
        const double ratio = timings.counterMedian(paired, names::kPairedRatio);
        writer.print(
            "  taken in turns, operation by operation: plug-in %.3f ms, floor %.3f ms real time;\n"
            "  median ratio of the pairs %.3f (%s)\n",
            timings.counterMedian(paired, names::kPairedPlugin),
            timings.counterMedian(paired, names::kPairedFloor), ratio, verdict(ratio));
    }
}

void printSignature(const Timings& timings, Writer& writer) {
    writer.heading("Reading Signature (RSA-2048, sha256)");
    writer.row("floor: direct PKCS#11 calls, forwarding module", names::kSignatureFloor,
               names::kSignatureFloor);
    writer.row("plug-in in the test host", names::kSignaturePlugin, names::kSignatureFloor);
    writer.row("pkcs11-tool, new process, forwarding module", names::kSignatureTool,
               names::kSignatureFloor);
    printVerdict(timings, writer);
    writer.print("\n");
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

void printCertList(const Timings& timings, Writer& writer) {
    writer.print("%-26s %10s %9s %10s %9s %7s | %10s\n", "getCertList, CPU time", "plug-in ms",
                 "per cert", "floor ms", "per cert", "ratio", "real ratio");
    const std::string plugin = names::kCertListPlugin;
    const std::string floor = names::kCertListFloor;
    for (size_t count : BenchTokens::kCounts) {
        const std::string p = plugin + "/" + std::to_string(count);
        const std::string f = floor + "/" + std::to_string(count);
        if (!timings.has(p) || !timings.has(f)) {
            writer.print("  %3zu certificate(s)       %10s\n", count, "not run");
            continue;
        }
        const double pluginMs = timings.median(p, Clock::Cpu);
        const double floorMs = timings.median(f, Clock::Cpu);
        const double n = static_cast<double>(count);
        writer.print("  %3zu certificate(s)       %10.3f %9.3f %10.3f %9.3f %7.3f | %10.3f\n",
                     count, pluginMs, pluginMs / n, floorMs, floorMs / n, pluginMs / floorMs,
                     timings.median(p) / timings.median(f));
    }
    // The cost of one more certificate, without the fixed cost of the operation.
    const size_t first = BenchTokens::kCounts[0];
    const size_t last = BenchTokens::kCounts[std::size(BenchTokens::kCounts) - 1];
    const std::string names[] = {
        plugin + "/" + std::to_string(first), plugin + "/" + std::to_string(last),
        floor + "/" + std::to_string(first), floor + "/" + std::to_string(last)};
    if (std::all_of(std::begin(names), std::end(names),
                    [&](const std::string& name) { return timings.has(name); })) {
        auto further = [&](const std::string& a, const std::string& b, Clock clock) {
            return (timings.median(b, clock) - timings.median(a, clock)) / (last - first);
        };
        const double p = further(names[0], names[1], Clock::Cpu);
        const double f = further(names[2], names[3], Clock::Cpu);
        const double realRatio =
            further(names[0], names[1], Clock::Real) / further(names[2], names[3], Clock::Real);
        writer.print("  each further certificate %10s %9.3f %10s %9.3f %7.3f | %10.3f\n", "", p, "",
                     f, f > 0 ? p / f : 0.0, realRatio);
    }
}

}  // namespace

void SummaryTable::print(const Timings& timings, std::ostream& out) {
    Writer writer(timings, out);
    const size_t repetitions =
        std::max(timings.samples(names::kSignaturePlugin), timings.samples(names::kSignatureFloor));
    writer.print(
        "\n== Summary: medians over %zu repetition(s); spread = standard deviation / mean;\n"
        "   ratio = to the first row of its block; CPU time includes pkcs11-tool's processes\n\n",
        repetitions);
    printSignature(timings, writer);
    writer.print("\n");
    printCertList(timings, writer);
    out << std::flush;
}

}  // namespace vellum::bench
