// The table printed at the end of the run: the plug-in against its floor, what the test kit's
// forwarding module adds, pkcs11-tool for comparison, and getCertList per certificate.
#pragma once

#include <iosfwd>

#include "Timings.h"

namespace vellum::bench {

class SummaryTable {
public:
    // The plug-in's Signature read may take at most this many times its floor.
    static constexpr double kTargetRatio = 1.05;

    static void print(const Timings& timings, std::ostream& out);
};

}  // namespace vellum::bench
