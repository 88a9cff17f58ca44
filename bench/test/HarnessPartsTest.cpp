// The parts of the run that the benchmarks rely on: the tokens it provisions, the pkcs11-tool
// command it times, and the benchmark that takes the plug-in and the floor in turns.
#include <benchmark/benchmark.h>
#include <gtest/gtest.h>
#include <time.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BenchTokens.h"
#include "DirectCertificateList.h"
#include "DirectSignature.h"
#include "PairedBenchmark.h"
#include "Pkcs11ToolSignature.h"
#include "tokenkit/ScopedEnv.h"

namespace vellum::bench {
namespace {

size_t entriesOf(const std::string& list) {
    size_t entries = 0;
    for (char c : list) {
        entries += c == ';' ? 1 : 0;
    }
    return entries;
}

class HarnessPartsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tokens_ = new BenchTokens();
        std::string error;
        provisioned_ = tokens_->provision(error);
        provisionError_ = error;
    }
    static void TearDownTestSuite() {
        delete tokens_;
        tokens_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(provisioned_) << provisionError_;
        env.set("VELLUM_P11FWD_PIN", tokens_->pin());
        env.set("VELLUM_P11FWD_NO_TTY", "1");
        env.set("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1");
        env.unset("VELLUM_P11FWD_LOG");
        env.unset("VELLUM_P11FWD_FAIL");
    }

    std::string floorSignatureHex() {
        DirectSignature::Settings settings;
        settings.modulePath = VELLUM_P11FWD_PATH;
        settings.serial = tokens_->signer().serial;
        std::string envelope;
        std::string error;
        EXPECT_TRUE(DirectSignature(settings).sign(data, envelope, error)) << error;
        return envelope.size() > 16 ? envelope.substr(16) : std::string();
    }

    Pkcs11ToolSignature::Settings toolSettings(const std::string& module) {
        std::string error;
        Pkcs11ToolSignature::Settings settings;
        settings.modulePath = module;
        settings.pin = tokens_->pin();
        settings.keyId = tokens_->signer().id;
        settings.dataPath = tokens_->writeDataFile(data, error);
        EXPECT_FALSE(settings.dataPath.empty()) << error;
        settings.signaturePath = tokens_->directory() + "/test-signature.bin";
        return settings;
    }

    static BenchTokens* tokens_;
    static bool provisioned_;
    static std::string provisionError_;
    tokenkit::ScopedEnv env;
    const std::string data = "paired data";
};

BenchTokens* HarnessPartsTest::tokens_ = nullptr;
bool HarnessPartsTest::provisioned_ = false;
std::string HarnessPartsTest::provisionError_;

TEST_F(HarnessPartsTest, EachTokenHoldsItsCountOfCertificates) {
    for (size_t count : BenchTokens::kCounts) {
        tokens_->use(count);
        std::string list;
        std::string error;
        ASSERT_TRUE(DirectCertificateList(VELLUM_P11FWD_PATH).list(list, error)) << error;
        EXPECT_EQ(entriesOf(list), count) << list;
    }
    EXPECT_TRUE(tokens_->signer().hasPrivateKey);
    EXPECT_EQ(tokens_->signerTokenLabel(), "bench1");
}

TEST_F(HarnessPartsTest, DataFileHoldsTheDataExactly) {
    std::string error;
    const std::string path = tokens_->writeDataFile(data, error);
    ASSERT_FALSE(path.empty()) << error;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              data);
}

TEST_F(HarnessPartsTest, Pkcs11ToolMakesTheFloorsSignature) {
    tokens_->use(1);
    const std::string expected = floorSignatureHex();
    ASSERT_EQ(expected.size(), 512u);

    std::string hex;
    std::string error;
#ifndef VELLUM_BENCH_SANITIZED
    Pkcs11ToolSignature viaForwarding(toolSettings(VELLUM_P11FWD_PATH));
    ASSERT_TRUE(viaForwarding.sign(error)) << error;
    ASSERT_TRUE(viaForwarding.lastSignatureHex(hex, error)) << error;
    EXPECT_EQ(hex, expected);
#endif

    // SoftHSM2 itself also lists its empty slot; the token label picks the right one.
    Pkcs11ToolSignature::Settings direct = toolSettings(VELLUM_SOFTHSM2_PATH);
    direct.tokenLabel = tokens_->signerTokenLabel();
    Pkcs11ToolSignature viaSoftHsm(direct);
    ASSERT_TRUE(viaSoftHsm.sign(error)) << error;
    ASSERT_TRUE(viaSoftHsm.lastSignatureHex(hex, error)) << error;
    EXPECT_EQ(hex, expected);
}

TEST_F(HarnessPartsTest, Pkcs11ToolFailureCarriesItsOutput) {
    tokens_->use(1);
    Pkcs11ToolSignature::Settings settings = toolSettings(VELLUM_SOFTHSM2_PATH);
    settings.tokenLabel = tokens_->signerTokenLabel();
    settings.pin = "0000";
    std::string error;
    EXPECT_FALSE(Pkcs11ToolSignature(settings).sign(error));
    EXPECT_NE(error.find("pkcs11-tool"), std::string::npos) << error;
    EXPECT_NE(error.find("exit"), std::string::npos) << error;
}

using BenchmarkRun = benchmark::BenchmarkReporter::Run;

constexpr int kPairs = 20;

// Busy for `ms` of this thread's CPU time; the real time stretches when the machine is busy.
bool spin(double ms) {
    auto now = [] {
        timespec time{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
        return time.tv_sec * 1e3 + time.tv_nsec / 1e6;
    };
    for (const double end = now() + ms; now() < end;) {
    }
    return true;
}

// Runs the paired benchmark alone for kPairs iterations through Google Benchmark.
BenchmarkRun runPaired(const PairedBenchmark& paired) {
    class Capture : public benchmark::BenchmarkReporter {
    public:
        bool ReportContext(const Context&) override { return true; }
        void ReportRuns(const std::vector<Run>& reported) override {
            runs.insert(runs.end(), reported.begin(), reported.end());
        }
        std::vector<Run> runs;
    };
    benchmark::ClearRegisteredBenchmarks();
    benchmark::RegisterBenchmark("paired", paired)->Iterations(kPairs)->UseRealTime();
    Capture capture;
    benchmark::RunSpecifiedBenchmarks(&capture, "^paired/");
    EXPECT_EQ(capture.runs.size(), 1u);
    return capture.runs.empty() ? BenchmarkRun() : capture.runs.front();
}

TEST(PairedBenchmarkTest, AlternatesTheOrderAndGivesThePluginOverTheFloor) {
    std::string turns;
    const BenchmarkRun run =
        runPaired(PairedBenchmark([&](std::string&) { return turns += 'P', spin(2); },
                                  [&](std::string&) { return turns += 'F', spin(1); }));
    std::string expected;
    for (int pair = 0; pair < kPairs; ++pair) {
        expected += pair % 2 == 0 ? "PF" : "FP";
    }
    EXPECT_EQ(turns, expected);
    ASSERT_FALSE(run.error_occurred) << run.error_message;
    // Twice the floor's CPU time, less what each spin runs past its mark (the same for both:
    // up to a few tenths of a millisecond on a busy machine or under a sanitizer). The faults
    // this names give 0.5 (the two swapped) or 1 (one side counted for both).
    const double cpuRatio = run.counters.at(PairedBenchmark::kCpuRatio).value;
    EXPECT_GT(cpuRatio, 1.4);
    EXPECT_LT(cpuRatio, 2.2);
    // Real time stretches either side by chance on a busy machine, so no bound is put on it;
    // what must hold is that every real-time figure comes from the same sums. The floor over the
    // plug-in breaks the first line, figures summed over the pairs (kPairs times the average)
    // the last: both operations of an iteration fit in its time.
    const double ratio = run.counters.at(PairedBenchmark::kRatio).value;
    const double pluginMs = run.counters.at(PairedBenchmark::kPluginMs).value;
    const double floorMs = run.counters.at(PairedBenchmark::kFloorMs).value;
    EXPECT_NEAR(ratio, pluginMs / floorMs, 1e-9 * ratio);
    EXPECT_GE(pluginMs, 2.0);
    EXPECT_GE(floorMs, 1.0);
    EXPECT_LE(pluginMs + floorMs, run.real_accumulated_time * 1e3 / run.iterations);
    EXPECT_NEAR(run.counters.at(PairedBenchmark::kDifferenceUs).value, (pluginMs - floorMs) * 1e3,
                1.0);
}

TEST(PairedBenchmarkTest, CountsTheCpuTimeOfAnotherProcessWithThePlugin) {
    // A stand-in for the host process: each plug-in operation makes it spend 1 ms.
    double elsewhereMs = 0;
    const BenchmarkRun run = runPaired(
        PairedBenchmark([&](std::string&) { return elsewhereMs += 1.0, spin(1); },
                        [&](std::string&) { return spin(1); }, [&] { return elsewhereMs; }));
    ASSERT_FALSE(run.error_occurred) << run.error_message;
    // The other process's millisecond is counted exactly; the spins on both sides may run past
    // their mark alike, which moves the ratio (1 without the other process's time, about 2 with
    // it) but not the difference.
    const double cpuRatio = run.counters.at(PairedBenchmark::kCpuRatio).value;
    EXPECT_GT(cpuRatio, 1.4);
    EXPECT_LT(cpuRatio, 2.2);
    EXPECT_NEAR(run.counters.at(PairedBenchmark::kCpuDifferenceUs).value, 1000.0, 200.0);
}

TEST(PairedBenchmarkTest, AFailingOperationStopsItWithItsReason) {
    int floors = 0;
    const BenchmarkRun run = runPaired(PairedBenchmark([](std::string&) { return true; },
                                                       [&](std::string& error) {
                                                           error = "C_SignFinal failed: 0x30";
                                                           return ++floors < 3;
                                                       }));
    EXPECT_TRUE(run.error_occurred);
    EXPECT_EQ(run.error_message, "C_SignFinal failed: 0x30");
    EXPECT_EQ(floors, 3);
}

}  // namespace
}  // namespace vellum::bench
