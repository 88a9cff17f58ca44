// vellum_bench: the plug-in's token operations against their floor of direct PKCS#11 calls and
// against pkcs11-tool, all in this one process on the same SoftHSM2 tokens. See README.md.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "BenchTokens.h"
#include "BenchmarkSuite.h"
#include "fixedpath/TokenModuleRedirect.h"

namespace {

using vellum::fixedpath::TokenModuleRedirect;

// Defaults of this run; flags given on the command line come later and win.
const char* const kDefaultFlags[] = {
    "--benchmark_repetitions=7",
    // Repetitions of all benchmarks in random order, so that a slow spell of the machine does
    // not fall on one benchmark only.
    "--benchmark_enable_random_interleaving=true",
    "--benchmark_min_time=0.25",
    // Of repeated benchmarks, the console shows mean, median, stddev and cv only.
    "--benchmark_display_aggregates_only=true",
};

int fail(const std::string& what) {
    std::fprintf(stderr, "vellum_bench: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    std::vector<char*> args(argv, argv + argc);
    for (const char* flag : kDefaultFlags) {
        args.insert(args.begin() + 1, const_cast<char*>(flag));
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }

    // The plug-in's loads of its fixed path open the forwarding module (this program exports the
    // redirect's dlopen, as vellum-host does).
    if (!TokenModuleRedirect::pointAt(VELLUM_P11FWD_PATH, error)) {
        return fail(error);
    }
    // The plug-in logs in with a null PIN; the forwarding module supplies the token's PIN, as a
    // PIN-pad token would, and hides SoftHSM2's empty slot. No call log: it would be measured.
    ::setenv("VELLUM_P11FWD_HIDE_UNINITIALIZED", "1", 1);
    ::setenv("VELLUM_P11FWD_NO_TTY", "1", 1);
    ::unsetenv("VELLUM_P11FWD_LOG");
    ::unsetenv("VELLUM_P11FWD_FAIL");

    std::cout << "== provisioning SoftHSM2 tokens" << std::endl;
    vellum::bench::BenchTokens tokens;
    if (!tokens.provision(error)) {
        return fail("provisioning: " + error);
    }
    ::setenv("VELLUM_P11FWD_PIN", tokens.pin().c_str(), 1);

    vellum::bench::BenchmarkSuite suite(
        tokens, {VELLUM_PLUGIN_PATH, VELLUM_P11FWD_PATH, VELLUM_SOFTHSM2_PATH, VELLUM_HOST_PATH});
    if (!suite.prepare(error)) {
        return fail(error);
    }
    std::cout << "== plug-in, floor and pkcs11-tool give the same signature and certificate lists"
              << std::endl;
    suite.registerAll();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!suite.finish(error)) {
        return fail(error);
    }
    return 0;
}
