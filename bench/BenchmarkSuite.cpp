#include "BenchmarkSuite.h"

#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "PairedBenchmark.h"

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
      native_(paths_.nativeHost, tokens.directory(), paths_.forwardingModule),
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
           plugin_.write("HashAlgorithm", kHashAlgorithm, error) && startNativeHost(error) &&
           native_.write("CN", tokens_.signer().serial, error) &&
           native_.write("SignData", data(), error) &&
           native_.write("HashAlgorithm", kHashAlgorithm, error) && checkSignatures(error) &&
           checkCertificateLists(error);
}

bool BenchmarkSuite::startNativeHost(std::string& error) {
    // The host keeps the environment it starts with: the signing token's.
    tokens_.use(1);
    return native_.start(error);
}

bool BenchmarkSuite::checkSignatures(std::string& error) {
    tokens_.use(1);
    std::string fromPlugin;
    std::string fromFloor;
    std::string fromFloorSoftHsm;
    std::string fromTool;
    std::string fromToolSoftHsm;
    std::string fromNative;
    if (!plugin_.readSignature(fromPlugin, error) || !native_.readSignature(fromNative, error) ||
        !floor_.sign(data(), fromFloor, error) ||
        !floorSoftHsm_.sign(data(), fromFloorSoftHsm, error) ||
        (tool_ && (!tool_->sign(error) || !tool_->lastSignatureHex(fromTool, error))) ||
        !toolSoftHsm_->sign(error) || !toolSoftHsm_->lastSignatureHex(fromToolSoftHsm, error)) {
        return false;
    }
    // An RSA-2048 signature: 256 bytes, 512 hexadecimal characters.
    const std::string expected = "US65001:00000512" + fromToolSoftHsm;
    if (fromToolSoftHsm.size() != 512 || fromPlugin != expected || fromFloor != expected ||
        fromFloorSoftHsm != expected || fromNative != expected ||
        (tool_ && fromTool != fromToolSoftHsm)) {
        error = "the signatures differ:\n  plug-in        " + fromPlugin + "\n  native host    " +
                fromNative + "\n  floor          " + fromFloor + "\n  floor softhsm  " +
                fromFloorSoftHsm + "\n  pkcs11-tool    " + fromTool + "\n  tool softhsm   " +
                fromToolSoftHsm;
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
    return native_.stop(error) && plugin_.stop(error);
}

void BenchmarkSuite::registerAll() {
    using Operation = PairedBenchmark::Operation;
    // Each iteration is one whole operation; a failure stops the benchmark with the reason.
    auto each = [](Operation operation) {
        return [operation](benchmark::State& state) {
            std::string error;
            const double childrenBefore = childCpuMilliseconds();
            for (auto _ : state) {
                if (!operation(error)) {
                    state.SkipWithError(error.c_str());
                    break;
                }
            }
            // Google Benchmark counts this thread's CPU time only; pkcs11-tool's is added here.
            const double children = childCpuMilliseconds() - childrenBefore;
            if (children > 0) {
                state.counters["child_cpu_ms"] =
                    benchmark::Counter(children, benchmark::Counter::kAvgIterations);
            }
        };
    };

    // Reading Signature, with the signing token in place.
    auto signature = [this](const char* name, auto&& body) {
        configure(benchmark::RegisterBenchmark(name, [this, body](benchmark::State& state) {
            tokens_.use(1);
            body(state);
        }));
    };
    const Operation pluginSigns = [this, envelope = std::string()](std::string& error) mutable {
        return plugin_.readSignature(envelope, error);
    };
    const Operation floorSigns = [this, envelope = std::string()](std::string& error) mutable {
        return floor_.sign(data(), envelope, error);
    };
    signature("Signature/plugin", each(pluginSigns));
    signature("Signature/floor", each(floorSigns));
    signature("Signature/floor_softhsm",
              each([this, envelope = std::string()](std::string& error) mutable {
                  return floorSoftHsm_.sign(data(), envelope, error);
              }));
    if (tool_) {
        signature("Signature/pkcs11tool",
                  each([this](std::string& error) { return tool_->sign(error); }));
    }
    signature("Signature/pkcs11tool_softhsm",
              each([this](std::string& error) { return toolSoftHsm_->sign(error); }));
    signature("Signature/paired", PairedBenchmark(pluginSigns, floorSigns));

    // The browser bridge against the plug-in in this process: "plugin" in the counters is the
    // native host, "floor" the in-process plug-in; difference_us is what the channel adds, and
    // cpu_difference_us the same in CPU time, the host process's included.
    const PairedBenchmark::OtherCpu hostCpu = [this] { return native_.cpuMs(); };
    const Operation nativeSigns = [this, envelope = std::string()](std::string& error) mutable {
        return native_.readSignature(envelope, error);
    };
    signature("Native/signature", PairedBenchmark(nativeSigns, pluginSigns, hostCpu));
    // A request that does not reach the token: the channel's cost alone, without the
    // milliseconds of a signature around it.
    signature("Native/version", PairedBenchmark(
                                    [this, text = std::string()](std::string& error) mutable {
                                        return native_.version(text, error);
                                    },
                                    [this, text = std::string()](std::string& error) mutable {
                                        return plugin_.version(text, error);
                                    },
                                    hostCpu));

    // getCertList, once for each token; the argument is its certificate count.
    auto certList = [this](const char* name, auto&& body) {
        auto* benchmark = benchmark::RegisterBenchmark(name, [this, body](benchmark::State& state) {
            tokens_.use(static_cast<size_t>(state.range(0)));
            body(state);
        });
        configure(benchmark);
        for (size_t count : BenchTokens::kCounts) {
            benchmark->Arg(static_cast<int64_t>(count));
        }
    };
    auto listEach = [each](Operation operation) {
        return [body = each(std::move(operation))](benchmark::State& state) {
            body(state);
            state.counters["per_cert"] = benchmark::Counter(
                static_cast<double>(state.range(0)),
                benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
        };
    };
    const Operation pluginLists = [this, text = std::string()](std::string& error) mutable {
        return plugin_.certList(text, error);
    };
    const Operation floorLists = [this, text = std::string()](std::string& error) mutable {
        return listFloor_.list(text, error);
    };
    certList("CertList/plugin", listEach(pluginLists));
    certList("CertList/floor", listEach(floorLists));
    certList("CertList/paired", PairedBenchmark(pluginLists, floorLists));
}

}  // namespace vellum::bench
