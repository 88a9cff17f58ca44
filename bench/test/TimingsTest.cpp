#include <gtest/gtest.h>

#include <sstream>

#include "BenchmarkNames.h"
#include "SummaryTable.h"
#include "Timings.h"

namespace vellum::bench {
namespace {

TEST(TimingsTest, MedianAndSpreadOfTheSamples) {
    Timings timings;
    for (double ms : {4.0, 1.0, 3.0}) {
        timings.add("odd", ms, ms / 2);
    }
    for (double ms : {4.0, 1.0, 3.0, 2.0}) {
        timings.add("even", ms, 1.0);
    }
    timings.add("single", 2.5, 2.0);
    EXPECT_DOUBLE_EQ(timings.median("odd"), 3.0);
    EXPECT_DOUBLE_EQ(timings.median("odd", Clock::Cpu), 1.5);
    EXPECT_DOUBLE_EQ(timings.median("even"), 2.5);
    EXPECT_EQ(timings.samples("even"), 4u);
    // Samples 1..4: mean 2.5, sample standard deviation sqrt(5/3).
    EXPECT_NEAR(timings.spread("even"), 0.516398, 1e-6);
    EXPECT_DOUBLE_EQ(timings.spread("even", Clock::Cpu), 0.0);
    EXPECT_DOUBLE_EQ(timings.spread("single"), 0.0);
}

TEST(TimingsTest, CountersHaveTheirOwnMedians) {
    Timings timings;
    timings.add("paired", 4.0, 2.0);
    timings.add("paired", 4.0, 2.0);
    timings.addCounter("paired", "ratio", 1.02);
    timings.addCounter("paired", "ratio", 0.98);
    EXPECT_TRUE(timings.hasCounter("paired", "ratio"));
    EXPECT_FALSE(timings.hasCounter("paired", "other"));
    EXPECT_FALSE(timings.hasCounter("missing", "ratio"));
    EXPECT_DOUBLE_EQ(timings.counterMedian("paired", "ratio"), 1.0);
    EXPECT_DOUBLE_EQ(timings.counterMedian("missing", "ratio"), 0.0);
}

TEST(TimingsTest, FailedOrMissingBenchmarksDoNotCount) {
    Timings timings;
    timings.add("ran", 1.0, 1.0);
    timings.add("broke", 1.0, 1.0);
    timings.markFailed("broke");
    EXPECT_TRUE(timings.has("ran"));
    EXPECT_FALSE(timings.has("broke"));
    EXPECT_FALSE(timings.has("filtered out"));
    EXPECT_DOUBLE_EQ(timings.median("filtered out"), 0.0);
}

TEST(SummaryTableTest, RatiosAgainstTheFloorAndTheVerdict) {
    Timings timings;
    // Real time twice the CPU time, as on a busy machine.
    timings.add(names::kSignatureFloor, 4.0, 2.0);
    timings.add(names::kSignaturePlugin, 4.1, 2.2);
    timings.add(names::kSignaturePaired, 8.0, 4.0);
    timings.addCounter(names::kSignaturePaired, names::kPairedPlugin, 4.2);
    timings.addCounter(names::kSignaturePaired, names::kPairedFloor, 4.0);
    timings.addCounter(names::kSignaturePaired, names::kPairedRatio, 1.06);
    timings.add(std::string(names::kCertListPlugin) + "/1", 1.2, 0.6);
    timings.add(std::string(names::kCertListFloor) + "/1", 1.0, 0.5);
    timings.add(std::string(names::kCertListPlugin) + "/64", 26.4, 13.2);
    timings.add(std::string(names::kCertListFloor) + "/64", 13.6, 6.8);
    std::ostringstream out;
    SummaryTable::print(timings, out);
    const std::string table = out.str();
    EXPECT_NE(table.find("plug-in / floor: 1.100 on CPU time (target <= 1.05: NOT met), 1.025 on "
                         "real time (met)"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("plug-in 4.200 ms, floor 4.000 ms real time;\n"
                         "  median ratio of the pairs 1.060 (NOT met)"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("pkcs11-tool, new process, forwarding module"), std::string::npos);
    EXPECT_NE(table.find("not run"), std::string::npos) << table;
    // 64 certificates: 13.2 / 64 per certificate, 13.2 / 6.8 against the floor; each further
    // certificate (13.2 - 0.6) / 63 = 0.2 against (6.8 - 0.5) / 63 = 0.1.
    EXPECT_NE(table.find("13.200     0.206      6.800     0.106   1.941 |      1.941"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("0.200                0.100   2.000 |      2.000"), std::string::npos)
        << table;
}

}  // namespace
}  // namespace vellum::bench
