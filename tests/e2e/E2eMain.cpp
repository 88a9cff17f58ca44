// main() of every end-to-end test binary: the private mount namespace must be entered while
// the process still has one thread, so before gtest (or anything else) starts.
#include <gtest/gtest.h>

#include "PluginFixture.h"

int main(int argc, char** argv) {
    vellum::e2e::prepareFixedModulePath();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
