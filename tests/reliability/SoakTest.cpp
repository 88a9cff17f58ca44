// Ten thousand reads of Signature and a thousand of getCertList in one process, through the
// plug-in host, the shipping plug-in and the forwarding module over SoftHSM2 (no call log). Every
// operation loads, initialises, finalises and unloads the token module, so whatever one load
// leaves behind adds up here.
//
// The work runs in ten rounds of 1,000 signatures and 100 lists; after each round the process's
// resident memory, open descriptors and mapped regions are read. The rule, from the first
// round to the last: no descriptor and no mapped region more, and less growth of resident
// memory than a quarter of what a leak of 100 bytes per operation would add over the 9,900
// operations in between (about 967 KiB): room for the allocator's own bookkeeping, none for
// such a leak.
#include <algorithm>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "PluginFixture.h"
#include "ProcessFootprint.h"

namespace vellum::reliability {
namespace {

constexpr int kRounds = 10;
constexpr int kSignaturesPerRound = 1000;
constexpr int kListsPerRound = 100;
constexpr size_t kLeakBytesPerOperation = 100;
constexpr size_t kOperationsMeasured = (kRounds - 1) * (kSignaturesPerRound + kListsPerRound);
constexpr size_t kResidentNoiseKiB = kLeakBytesPerOperation * kOperationsMeasured / 1024 / 4;

std::vector<std::string> sortedEntries(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1) {
        entries.push_back(list.substr(start, end + 1 - start));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

using SoakTest = e2e::TokenTest;

TEST_F(SoakTest, TenThousandSignaturesDoNotGrowTheProcess) {
    ASSERT_NE(addCertificate(spec("/CN=Soak Signer", "50A4")), nullptr);
    ASSERT_NE(addCertificate(spec("/O=Soak Org", "50A5")), nullptr);
    // Writing a log line per call would measure the log; the fixture checks nothing without it.
    env().unset("VELLUM_P11FWD_LOG");
    expectBalancedCallLog_ = false;
    ASSERT_TRUE(startPlugin());
    ASSERT_TRUE(host().setProperty("CN", text("50a4")));
    ASSERT_TRUE(host().setProperty("SignData", text("soak")));

    const std::string signature = host().getProperty("Signature").value.stringValue();
    ASSERT_EQ(signature.size(), 16u + 256u) << signature;
    ASSERT_EQ(signature.compare(0, 16, "US65001:00000256"), 0) << signature;
    const std::vector<std::string> list =
        sortedEntries(host().invoke("getCertList").value.stringValue());
    ASSERT_EQ(list, sortedEntries("CN=Soak Signer,50A4;CN=Soak Org,50A5;"));

    std::vector<ProcessFootprint> rounds;
    size_t wrongSignatures = 0;
    size_t wrongLists = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int round = 1; round <= kRounds; ++round) {
        for (int i = 0; i < kSignaturesPerRound; ++i) {
            // RSA PKCS#1 v1.5 signatures are deterministic: every one must be the first.
            wrongSignatures += host().getProperty("Signature").value.stringValue() != signature;
        }
        for (int i = 0; i < kListsPerRound; ++i) {
            wrongLists += sortedEntries(host().invoke("getCertList").value.stringValue()) != list;
        }
        EXPECT_EQ(host().blocksOutstanding(), 0u) << "host memory held after round " << round;
        rounds.push_back(ProcessFootprint::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count() /
                             1000.0;
        std::cout << "[ soak     ] round " << round << " (" << round * kSignaturesPerRound
                  << " signatures, " << round * kListsPerRound
                  << " lists): " << rounds.back().describe() << ", " << seconds << " s"
                  << std::endl;
    }
    EXPECT_EQ(wrongSignatures, 0u);
    EXPECT_EQ(wrongLists, 0u);
    EXPECT_EQ(host().invoke("LastError").value.stringValue(), "OK");

    const ProcessFootprint& first = rounds.front();
    const ProcessFootprint& last = rounds.back();
    ASSERT_GT(first.residentKiB, 0u) << "cannot read /proc/self";
    EXPECT_LE(last.openDescriptors, first.openDescriptors)
        << first.describe() << " -> " << last.describe();
    EXPECT_LE(last.mappedRegions, first.mappedRegions)
        << first.describe() << " -> " << last.describe();
    EXPECT_LE(last.residentKiB, first.residentKiB + kResidentNoiseKiB)
        << first.describe() << " -> " << last.describe();
}

}  // namespace
}  // namespace vellum::reliability
