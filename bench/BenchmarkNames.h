// Names of the benchmarks, shared by their registration and the summary table.
#pragma once

namespace vellum::bench::names {

// Reading Signature (RSA-2048, SHA-256) and its comparisons.
constexpr const char* kSignaturePlugin = "Signature/plugin";
constexpr const char* kSignatureFloor = "Signature/floor";
constexpr const char* kSignatureFloorSoftHsm = "Signature/floor_softhsm";
constexpr const char* kSignatureTool = "Signature/pkcs11tool";
constexpr const char* kSignatureToolSoftHsm = "Signature/pkcs11tool_softhsm";
// The plug-in and the floor alternately, operation by operation; the counters hold the median
// real time of each and the median ratio of the pairs.
constexpr const char* kSignaturePaired = "Signature/paired";
constexpr const char* kPairedPlugin = "plugin_ms";
constexpr const char* kPairedFloor = "floor_ms";
constexpr const char* kPairedRatio = "ratio";

// getCertList; the certificate count follows as "/1", "/16", "/64".
constexpr const char* kCertListPlugin = "CertList/plugin";
constexpr const char* kCertListFloor = "CertList/floor";

}  // namespace vellum::bench::names
