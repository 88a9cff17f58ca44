// Every benchmark of the run, side by side on the same SoftHSM2 tokens: the plug-in in the test
// host, its floor of direct PKCS#11 calls, and pkcs11-tool. prepare() loads the plug-in and
// checks that all of them give the same answers (RSA PKCS#1 v1.5 signatures are deterministic,
// so the signatures must match byte for byte) before anything is measured.
//
// The plug-in reaches the token module at its fixed path, which main() points at the
// forwarding module; the forwarding module supplies the PIN to the plug-in's null-PIN login.
// The floor runs against the same forwarding module, and once more against SoftHSM2 itself
// (with the PIN in C_Login), which shows what the test kit adds.
//
// The browser bridge: the same plug-in in a vellum-host native-messaging process of its own,
// started once with its port kept open, each operation a request frame and an answer frame.
#pragma once

#include <memory>
#include <string>

#include "BenchTokens.h"
#include "DirectCertificateList.h"
#include "DirectSignature.h"
#include "NativeHostClient.h"
#include "Pkcs11ToolSignature.h"
#include "PluginHarness.h"

namespace vellum::bench {

class BenchmarkSuite {
public:
    struct Paths {
        std::string plugin;
        // The forwarding module, which the plug-in finds at the fixed module path: this program
        // points that path at it, the native host gets it as --token-module, pkcs11-tool and the
        // floor load it by this path.
        std::string forwardingModule;
        std::string softHsmModule;
        std::string nativeHost;  // vellum-host
    };

    BenchmarkSuite(const BenchTokens& tokens, Paths paths);

    bool prepare(std::string& error);
    void registerAll();
    // Unloads the plug-in; false when it left memory or objects behind.
    bool finish(std::string& error);

    static const std::string& data();

private:
    bool startNativeHost(std::string& error);
    bool checkSignatures(std::string& error);
    bool checkCertificateLists(std::string& error);

    const BenchTokens& tokens_;
    Paths paths_;
    PluginHarness plugin_;
    NativeHostClient native_;
    DirectSignature floor_;
    DirectSignature floorSoftHsm_;
    DirectCertificateList listFloor_;
    std::unique_ptr<Pkcs11ToolSignature> tool_;
    std::unique_ptr<Pkcs11ToolSignature> toolSoftHsm_;
};

}  // namespace vellum::bench
