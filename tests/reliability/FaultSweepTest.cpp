// Every PKCS#11 call that getCertList, SignCert and reading Signature make, failed in turn.
//
// A fault-free run of each operation gives its sequence of calls. Then the operation runs once
// for every position of that sequence and every injected value, the forwarding module answering
// the n-th call of that name with the value. Each run must give "E:1000" or the fault-free
// answer (getCertList: the list without what it could not read), the status text of the failing
// step, and must leave nothing behind: every session closed, no login, the module finalised and
// unloaded, no host memory held. A failed initialisation under SignCert is the one path that
// keeps the module loaded; the next operation, or the end of the instance, must release it.
//
// SoftHSM2 returns a token's objects in an order that may change from one load of the module to
// the next (it follows their addresses in memory), and the search for the chosen certificate
// reads the other one only when the token returns it first. The swept sequence is the more
// frequent of five fault-free runs; a run whose order leaves the targeted call out is checked as
// a fault-free run and repeated until the fault lands. The role a failing call played (reading
// a certificate, or after the login the key's CKA_ID) is read from its own run.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "FailureTable.h"
#include "PluginFixture.h"
#include "PluginSession.h"
#include "ReleaseAudit.h"
#include "TokenOperation.h"

namespace vellum::reliability {
namespace {

struct InjectedValue {
    const char* rv;
    const char* text;  // its status text
};

const InjectedValue kValues[] = {
    {"0x5", "General error(0x0005)"},
    {"0x32", "Device removed(0x0032)"},
    {"0xB3", "Session handle invalid(0x00B3)"},
    {"0x2", "Host memory(0x0002)"},
};

// Runs of one position before the token's order lets the fault land; at even odds, missing
// that often is out of the question.
constexpr int kAttempts = 40;

// How a module left loaded by a failed initialisation is released.
enum class Cleanup { NextOperation, Destruction };

// "CN=...,SERIAL;" entries of a certificate list, in order.
std::vector<std::string> listEntries(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    for (size_t end; (end = list.find(';', start)) != std::string::npos; start = end + 1) {
        entries.push_back(list.substr(start, end + 1 - start));
    }
    return entries;
}

std::vector<std::string> sortedEntries(const std::string& list) {
    std::vector<std::string> entries = listEntries(list);
    std::sort(entries.begin(), entries.end());
    return entries;
}

// The same answer; certificate lists in any order, since the token's order varies.
bool sameAnswer(TokenOperation operation, const std::string& a, const std::string& b) {
    return operation == TokenOperation::GetCertList ? sortedEntries(a) == sortedEntries(b) : a == b;
}

std::string base64Of(const std::vector<unsigned char>& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), bytes.data(),
                                       static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(length));
    return text;
}

// Whether `hex` is a SHA-1 RSA signature of `data` by the key of the DER certificate.
bool verifiesSha1(const std::vector<unsigned char>& der, const std::string& data,
                  const std::string& hex) {
    std::vector<unsigned char> signature;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        signature.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    const unsigned char* cursor = der.data();
    X509* certificate = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool verified =
        certificate != nullptr && context != nullptr &&
        EVP_DigestVerifyInit(context, nullptr, EVP_sha1(), nullptr,
                             X509_get0_pubkey(certificate)) == 1 &&
        EVP_DigestVerify(context, signature.data(), signature.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(context);
    X509_free(certificate);
    return verified;
}

std::vector<std::string> callNames(const tokenkit::CallLog& log) {
    std::vector<std::string> names;
    for (const tokenkit::LoggedCall& call : log.calls()) {
        names.push_back(call.name);
    }
    return names;
}

// The injected call of a run, with the role it played; false when the run never made it.
bool findInjected(const tokenkit::CallLog& log, FailedCall& failed) {
    bool afterLogin = false;
    std::vector<std::string> seen;
    for (const tokenkit::LoggedCall& call : log.calls()) {
        seen.push_back(call.name);
        if (call.arg("injected") == "yes") {
            failed.name = call.name;
            failed.occurrence =
                static_cast<size_t>(std::count(seen.begin(), seen.end(), call.name));
            failed.afterLogin = afterLogin;
            return true;
        }
        afterLogin = afterLogin || call.name == "C_Login";
    }
    return false;
}

class FaultSweepTest : public e2e::TokenTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TokenTest::SetUp());
        // Checked run by run below; the fixture's one check at the end cannot tell them apart.
        expectBalancedCallLog_ = false;
        other_ = addCertificate(spec("/CN=Sweep Signer/O=Example Org", "01A2B3"));
        chosen_ = addCertificate(spec("/O=Sweep Org", "7F00"));
        ASSERT_TRUE(other_ != nullptr && chosen_ != nullptr);
    }

    // One run with nothing injected: "OK" and a clean log. `calls` receives its call names.
    OperationOutcome runClean(TokenOperation operation, std::vector<std::string>* calls) {
        env().unset("VELLUM_P11FWD_FAIL");
        callLog().clear();
        PluginSession session(e2e::pluginModulePath());
        std::string error;
        EXPECT_TRUE(session.start(error)) << error;
        EXPECT_TRUE(session.configure(chosen_->serial, kData));
        OperationOutcome outcome = session.perform(operation);
        std::string report;
        EXPECT_TRUE(session.stop(report)) << report;
        std::string why;
        EXPECT_TRUE(callLog().balanced(&why)) << why;
        EXPECT_EQ(outcome.status, "OK");
        EXPECT_TRUE(outcome.result.ok && outcome.result.value.isString()) << outcome.result;
        if (calls != nullptr) {
            *calls = callNames(callLog());
        }
        return outcome;
    }

    // The fault-free answer, and in `sequence` the calls that give it in the token's more
    // frequent order (of five runs); either order must make the calls of the table.
    std::string baseline(TokenOperation operation, std::vector<std::string>& sequence) {
        const std::vector<std::string> chosenFirst = FailureTable::faultFreeCalls(operation, true);
        const std::vector<std::string> chosenSecond =
            FailureTable::faultFreeCalls(operation, false);
        int chosenFirstRuns = 0;
        std::string answer;
        for (int run = 0; run < 5; ++run) {
            std::vector<std::string> calls;
            const OperationOutcome outcome = runClean(operation, &calls);
            EXPECT_TRUE(calls == chosenFirst || calls == chosenSecond)
                << "calls of a fault-free " << scriptName(operation) << ": "
                << ::testing::PrintToString(calls);
            EXPECT_TRUE(run == 0 ||
                        sameAnswer(operation, outcome.result.value.stringValue(), answer))
                << outcome.result;
            chosenFirstRuns += calls == chosenFirst;
            answer = outcome.result.value.stringValue();
        }
        sequence = chosenFirstRuns >= 3 ? chosenFirst : chosenSecond;
        return answer;
    }

    // Every position of the fault-free sequence with every value; returns the number of runs.
    size_t sweep(TokenOperation operation, const std::vector<std::string>& sequence,
                 const std::string& expected) {
        size_t runs = 0;
        size_t repeats = 0;
        for (size_t position = 0; position < sequence.size(); ++position) {
            const std::string& call = sequence[position];
            const auto occurrence =
                std::count(sequence.begin(), sequence.begin() + position + 1, call);
            for (const InjectedValue& value : kValues) {
                const std::string rule = call + "#" + std::to_string(occurrence) + "=" + value.rv;
                const bool leavesLoaded =
                    FailureTable::of(operation, {call, static_cast<size_t>(occurrence), false})
                        .effect == Effect::LeavesLoaded;
                for (Cleanup cleanup : {Cleanup::Destruction, Cleanup::NextOperation}) {
                    if (cleanup == Cleanup::NextOperation && !leavesLoaded) {
                        continue;
                    }
                    SCOPED_TRACE(
                        std::string(scriptName(operation)) + " with " + rule +
                        (cleanup == Cleanup::NextOperation ? ", then a fault-free run" : ""));
                    int attempt = 0;
                    while (attempt < kAttempts &&
                           !runWithFault(operation, rule, value, expected, cleanup)) {
                        ++attempt;
                    }
                    EXPECT_LT(attempt, kAttempts) << "the fault never landed";
                    ++runs;
                    repeats += static_cast<size_t>(attempt);
                }
            }
        }
        std::cout << "[ sweep    ] " << scriptName(operation) << ": " << sequence.size()
                  << " calls x " << std::size(kValues) << " values: " << runs
                  << " runs with a fault (+" << repeats << " repeated for the token's order)"
                  << std::endl;
        return runs;
    }

    // One run with `rule` injected; false when the run never made the call (checked then as a
    // fault-free run).
    bool runWithFault(TokenOperation operation, const std::string& rule, const InjectedValue& value,
                      const std::string& expected, Cleanup cleanup) {
        callLog().clear();
        env().set("VELLUM_P11FWD_FAIL", rule);
        PluginSession session(e2e::pluginModulePath());
        std::string error;
        EXPECT_TRUE(session.start(error)) << error;
        EXPECT_TRUE(session.configure(chosen_->serial, kData));
        const OperationOutcome outcome = session.perform(operation);
        env().unset("VELLUM_P11FWD_FAIL");

        EXPECT_TRUE(outcome.result.ok && outcome.result.value.isString()) << outcome.result;
        EXPECT_EQ(outcome.blocksOutstanding, 0u) << "host memory held by the module";
        EXPECT_EQ(outcome.problems, "");
        FailedCall failed;
        const bool landed = findInjected(callLog(), failed);
        ExpectedEffect expectation{Effect::Ignored, ""};
        if (landed) {
            expectation = FailureTable::of(operation, failed);
            checkAnswer(operation, expectation, value, expected, outcome);
        } else {
            EXPECT_TRUE(sameAnswer(operation, outcome.result.value.stringValue(), expected))
                << outcome.result;
            EXPECT_EQ(outcome.status, "OK");
        }

        std::string why;
        if (expectation.effect == Effect::LeavesLoaded) {
            EXPECT_EQ(callLog().loads(), 1u);
            EXPECT_EQ(callLog().unloads(), 0u) << "the module should stay loaded on this path";
            if (cleanup == Cleanup::NextOperation) {
                const OperationOutcome next = session.perform(operation);
                EXPECT_EQ(next.result.value.stringValue(), expected) << next.result;
                EXPECT_EQ(next.status, "OK");
                EXPECT_TRUE(ReleaseAudit::released(callLog(), &why)) << why;
                EXPECT_TRUE(callLog().balanced(&why)) << why;
            }
        } else {
            EXPECT_TRUE(ReleaseAudit::released(callLog(), &why)) << why;
            // A refused close or finalise upsets the module's own accounts, not the plug-in's.
            if (failed.name != "C_CloseSession" && failed.name != "C_Finalize") {
                EXPECT_TRUE(callLog().balanced(&why)) << why;
            }
        }
        std::string report;
        EXPECT_TRUE(session.stop(report)) << report;
        EXPECT_TRUE(ReleaseAudit::released(callLog(), &why)) << "after the instance's end: " << why;
        return landed;
    }

    void checkAnswer(TokenOperation operation, const ExpectedEffect& expectation,
                     const InjectedValue& value, const std::string& expected,
                     const OperationOutcome& outcome) {
        const std::string& answer = outcome.result.value.stringValue();
        const std::string withValue = expectation.message + value.text;
        switch (expectation.effect) {
            case Effect::Fails:
            case Effect::LeavesLoaded:
                EXPECT_EQ(answer, "E:1000");
                EXPECT_EQ(outcome.status, withValue);
                break;
            case Effect::FailsBare:
                EXPECT_EQ(answer, "E:1000");
                EXPECT_EQ(outcome.status, value.text);
                break;
            case Effect::FailsPlain:
                EXPECT_EQ(answer, "E:1000");
                EXPECT_EQ(outcome.status, expectation.message);
                break;
            case Effect::Ignored:
                EXPECT_TRUE(sameAnswer(operation, answer, expected)) << answer;
                EXPECT_EQ(outcome.status, "OK");
                break;
            case Effect::SkipsSlot:
                EXPECT_EQ(answer, "");
                EXPECT_EQ(outcome.status, expectation.message.empty() ? "OK" : withValue);
                break;
            case Effect::SkipsObject:
                if (operation == TokenOperation::GetCertList) {
                    // Exactly one of the two certificates left out.
                    const std::vector<std::string> all = listEntries(expected);
                    EXPECT_TRUE(answer == all[0] || answer == all[1]) << answer;
                    EXPECT_EQ(outcome.status, withValue);
                } else if (answer == "E:1000") {
                    // It was the chosen certificate.
                    EXPECT_EQ(outcome.status, "CN not matched");
                } else {
                    // The other certificate was passed over; the chosen one still serves.
                    EXPECT_EQ(answer, expected);
                    EXPECT_EQ(outcome.status, withValue);
                }
                break;
        }
    }

    static constexpr const char* kData = "fault sweep";
    const tokenkit::TokenCertificate* other_ = nullptr;
    const tokenkit::TokenCertificate* chosen_ = nullptr;
};

TEST_F(FaultSweepTest, GetCertList) {
    std::vector<std::string> sequence;
    const std::string list = baseline(TokenOperation::GetCertList, sequence);
    ASSERT_EQ(sortedEntries(list), sortedEntries("CN=Sweep Signer,01A2B3;CN=Sweep Org,7F00;"));
    EXPECT_EQ(sweep(TokenOperation::GetCertList, sequence, list),
              sequence.size() * std::size(kValues));
}

TEST_F(FaultSweepTest, SignCert) {
    std::vector<std::string> sequence;
    const std::string certificate = baseline(TokenOperation::SignCert, sequence);
    ASSERT_EQ(certificate, base64Of(chosen_->der));
    // The three initialisation steps run twice, once for each way the module is released.
    EXPECT_EQ(sweep(TokenOperation::SignCert, sequence, certificate),
              (sequence.size() + 3) * std::size(kValues));
}

TEST_F(FaultSweepTest, Signature) {
    std::vector<std::string> sequence;
    const std::string envelope = baseline(TokenOperation::ReadSignature, sequence);
    // 1024-bit key: 128 bytes, 256 hexadecimal characters.
    const std::string head = "US65001:00000256";
    ASSERT_EQ(envelope.size(), head.size() + 256) << envelope;
    ASSERT_EQ(envelope.substr(0, head.size()), head);
    ASSERT_TRUE(verifiesSha1(chosen_->der, kData, envelope.substr(head.size())));
    EXPECT_EQ(sweep(TokenOperation::ReadSignature, sequence, envelope),
              sequence.size() * std::size(kValues));
}

// The token probe fails after C_Initialize succeeded: getCertList and signing give up, and the
// module they unload must not be left initialised (SignCert keeps it loaded on purpose).
TEST_F(FaultSweepTest, FailedTokenProbeFinalisesBeforeUnloading) {
    for (TokenOperation operation : {TokenOperation::GetCertList, TokenOperation::ReadSignature}) {
        SCOPED_TRACE(scriptName(operation));
        callLog().clear();
        env().set("VELLUM_P11FWD_FAIL", "C_GetSlotList#1=0x30");
        PluginSession session(e2e::pluginModulePath());
        std::string error;
        ASSERT_TRUE(session.start(error)) << error;
        ASSERT_TRUE(session.configure(chosen_->serial, kData));
        const OperationOutcome outcome = session.perform(operation);
        env().unset("VELLUM_P11FWD_FAIL");
        EXPECT_EQ(outcome.result.value.stringValue(), "E:1000");
        EXPECT_EQ(outcome.status, operation == TokenOperation::GetCertList
                                      ? "C_GetSlotList failed:Device error(0x0030)"
                                      : "initialize failed:");
        EXPECT_EQ(callNames(callLog()),
                  (std::vector<std::string>{"C_GetFunctionList", "C_Initialize", "C_GetSlotList",
                                            "C_Finalize"}));
        EXPECT_EQ(callLog().unloads(), 1u);
        std::string why;
        EXPECT_TRUE(callLog().balanced(&why)) << why;
        std::string report;
        EXPECT_TRUE(session.stop(report)) << report;
    }
}

}  // namespace
}  // namespace vellum::reliability
