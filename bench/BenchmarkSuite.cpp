#include "BenchmarkSuite.h"

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "BenchmarkNames.h"
#include "SummaryReporter.h"

namespace vellum::bench {
namespace {

// What the plug-in is given to sign; the token hashes it (SHA-256) and signs the hash.
const char* const kData =
    "vellum benchmark: order 2024-0117, 3 items, total 1 234.50 EUR, delivery to "
    "Musterstrasse 12, 10115 Berlin; signed by the account holder.";

constexpr const char* kHashAlgorithm = "sha256";

DirectSignature::Settings floorSettings(const std::string& module, const std::string& pin,
                                        const BenchTokens& tokens) {
    DirectSignature::Settings settings;
    settings.modulePath = module;
    settings.pin = pin;
    settings.serial = tokens.signer().serial;
    settings.mechanism = CKM_SHA256_RSA_PKCS;
    return settings;
}

// The entries of a certificate list text, sorted: SoftHSM2 returns its objects in no fixed
// order, so two operations may list the same certificates differently.
std::vector<std::string> entriesOf(const std::string& list) {
    std::vector<std::string> entries;
    for (size_t start = 0, end; (end = list.find(';', start)) != std::string::npos;
         start = end + 1) {
        entries.push_back(list.substr(start, end - start));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// CPU time of the child processes waited for so far (pkcs11-tool), user and system.
double childCpuMilliseconds() {
    rusage usage{};
    if (::getrusage(RUSAGE_CHILDREN, &usage) != 0) {
        return 0;
    }
    auto ms = [](const timeval& time) { return time.tv_sec * 1e3 + time.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void configure(benchmark::internal::Benchmark* benchmark) {
    benchmark->Unit(benchmark::kMillisecond)->UseRealTime();
}

}  // namespace

const std::string& BenchmarkSuite::data() {
    static const std::string text(kData);
    return text;
}

BenchmarkSuite::BenchmarkSuite(const BenchTokens& tokens, Paths paths)
    : tokens_(tokens),
      paths_(std::move(paths)),
      plugin_(paths_.plugin),
      floor_(floorSettings(paths_.forwardingModule, std::string(), tokens)),
      floorSoftHsm_(floorSettings(paths_.softHsmModule, tokens.pin(), tokens)),
      listFloor_(paths_.forwardingModule) {}

bool BenchmarkSuite::prepare(std::string& error) {
    std::string dataPath = tokens_.writeDataFile(data(), error);
    if (dataPath.empty()) {
        return false;
    }
    Pkcs11ToolSignature::Settings tool;
    tool.modulePath = paths_.forwardingModule;
    tool.pin = tokens_.pin();
    tool.keyId = tokens_.signer().id;
    tool.dataPath = dataPath;
    tool.signaturePath = tokens_.directory() + "/signature-fwd.bin";
#ifndef VELLUM_BENCH_SANITIZED
    // pkcs11-tool is not built with the sanitizers and cannot load a forwarding module that is.
    tool_ = std::make_unique<Pkcs11ToolSignature>(tool);
#endif
    tool.modulePath = paths_.softHsmModule;
    tool.signaturePath = tokens_.directory() + "/signature-softhsm.bin";
    tool.tokenLabel = tokens_.signerTokenLabel();
    toolSoftHsm_ = std::make_unique<Pkcs11ToolSignature>(tool);

    return plugin_.start(error) && plugin_.write("CN", tokens_.signer().serial, error) &&
           plugin_.write("SignData", data(), error) &&
           plugin_.write("HashAlgorithm", kHashAlgorithm, error) && checkSignatures(error) &&
           checkCertificateLists(error);
}

bool BenchmarkSuite::checkSignatures(std::string& error) {
    tokens_.use(1);
    std::string fromPlugin;
    std::string fromFloor;
    std::string fromFloorSoftHsm;
    std::string fromTool;
    std::string fromToolSoftHsm;
    if (!plugin_.readSignature(fromPlugin, error) || !floor_.sign(data(), fromFloor, error) ||
        !floorSoftHsm_.sign(data(), fromFloorSoftHsm, error) ||
        (tool_ && (!tool_->sign(error) || !tool_->lastSignatureHex(fromTool, error))) ||
        !toolSoftHsm_->sign(error) || !toolSoftHsm_->lastSignatureHex(fromToolSoftHsm, error)) {
        return false;
    }
    // An RSA-2048 signature: 256 bytes, 512 hexadecimal characters.
    const std::string expected = "US65001:00000512" + fromToolSoftHsm;
    if (fromToolSoftHsm.size() != 512 || fromPlugin != expected || fromFloor != expected ||
        fromFloorSoftHsm != expected || (tool_ && fromTool != fromToolSoftHsm)) {
        error = "the signatures differ:\n  plug-in        " + fromPlugin + "\n  floor          " +
                fromFloor + "\n  floor softhsm  " + fromFloorSoftHsm + "\n  pkcs11-tool    " +
                fromTool + "\n  tool softhsm   " + fromToolSoftHsm;
        return false;
    }
    return true;
}

bool BenchmarkSuite::checkCertificateLists(std::string& error) {
    for (size_t count : BenchTokens::kCounts) {
        tokens_.use(count);
        std::string fromPlugin;
        std::string fromFloor;
        if (!plugin_.certList(fromPlugin, error) || !listFloor_.list(fromFloor, error)) {
            return false;
        }
        const std::vector<std::string> entries = entriesOf(fromPlugin);
        if (entries != entriesOf(fromFloor) || entries.size() != count) {
            error = "getCertList on " + std::to_string(count) +
                    " certificates differs:\n  plug-in " + fromPlugin + "\n  floor   " + fromFloor;
            return false;
        }
    }
    return true;
}

bool BenchmarkSuite::finish(std::string& error) {
    return plugin_.stop(error);
}

void BenchmarkSuite::registerAll() {
    // Each benchmark repeats one whole operation; a failure stops it with the reason.
    auto signature = [this](const char* name, auto&& signOnce) {
        configure(benchmark::RegisterBenchmark(name, [this, signOnce](benchmark::State& state) {
            tokens_.use(1);
            std::string envelope;
            std::string error;
            const double childrenBefore = childCpuMilliseconds();
            for (auto _ : state) {
                if (!signOnce(envelope, error)) {
                    state.SkipWithError(error.c_str());
                    break;
                }
            }
            const double children = childCpuMilliseconds() - childrenBefore;
            if (children > 0) {
                state.counters[SummaryReporter::kChildCpuCounter] =
                    benchmark::Counter(children, benchmark::Counter::kAvgIterations);
            }
        }));
    };
    signature(names::kSignaturePlugin, [this](std::string& envelope, std::string& error) {
        return plugin_.readSignature(envelope, error);
    });
    signature(names::kSignatureFloor, [this](std::string& envelope, std::string& error) {
        return floor_.sign(data(), envelope, error);
    });
    signature(names::kSignatureFloorSoftHsm, [this](std::string& envelope, std::string& error) {
        return floorSoftHsm_.sign(data(), envelope, error);
    });
    if (tool_) {
        signature(names::kSignatureTool,
                  [this](std::string&, std::string& error) { return tool_->sign(error); });
    }
    signature(names::kSignatureToolSoftHsm,
              [this](std::string&, std::string& error) { return toolSoftHsm_->sign(error); });

    registerPaired();

    auto certList = [this](const char* name, auto&& listOnce) {
        auto* benchmark =
            benchmark::RegisterBenchmark(name, [this, listOnce](benchmark::State& state) {
                const auto count = static_cast<size_t>(state.range(0));
                tokens_.use(count);
                std::string text;
                std::string error;
                for (auto _ : state) {
                    if (!listOnce(text, error)) {
                        state.SkipWithError(error.c_str());
                        break;
                    }
                }
                state.counters["per_cert"] = benchmark::Counter(
                    static_cast<double>(count),
                    benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
            });
        configure(benchmark);
        for (size_t count : BenchTokens::kCounts) {
            benchmark->Arg(static_cast<int64_t>(count));
        }
    };
    certList(names::kCertListPlugin, [this](std::string& text, std::string& error) {
        return plugin_.certList(text, error);
    });
    certList(names::kCertListFloor, [this](std::string& text, std::string& error) {
        return listFloor_.list(text, error);
    });
}

void BenchmarkSuite::registerPaired() {
    // On a busy machine the load changes from one second to the next; taking the plug-in and
    // the floor in turns, and the ratio pair by pair, exposes both to the same spell. The order
    // alternates as well, so that neither always runs on what the other left in the caches.
    configure(
        benchmark::RegisterBenchmark(names::kSignaturePaired, [this](benchmark::State& state) {
            using Clock = std::chrono::steady_clock;
            auto ms = [](Clock::duration d) {
                return std::chrono::duration<double, std::milli>(d).count();
            };
            tokens_.use(1);
            std::vector<double> pluginTimes;
            std::vector<double> floorTimes;
            std::vector<double> ratios;
            std::string envelope;
            std::string error;
            bool pluginFirst = true;
            for (auto _ : state) {
                double times[2] = {0, 0};  // plug-in, floor
                for (int turn = 0; turn < 2; ++turn) {
                    const bool plugin = (turn == 0) == pluginFirst;
                    const Clock::time_point start = Clock::now();
                    const bool ok = plugin ? plugin_.readSignature(envelope, error)
                                           : floor_.sign(data(), envelope, error);
                    times[plugin ? 0 : 1] = ms(Clock::now() - start);
                    if (!ok) {
                        state.SkipWithError(error.c_str());
                        return;
                    }
                }
                pluginTimes.push_back(times[0]);
                floorTimes.push_back(times[1]);
                ratios.push_back(times[0] / times[1]);
                pluginFirst = !pluginFirst;
            }
            state.counters[names::kPairedPlugin] = Timings::medianOf(pluginTimes);
            state.counters[names::kPairedFloor] = Timings::medianOf(floorTimes);
            state.counters[names::kPairedRatio] = Timings::medianOf(ratios);
        }));
}

}  // namespace vellum::bench
