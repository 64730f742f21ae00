// The leak suppressions name system libraries only; a leak in our own code must still fail a run.
#include <gtest/gtest.h>

#include <string>

#include "nk_test_util.h"

namespace {
void* volatile g_sink = nullptr;

__attribute__((noinline)) void leakOnPurposeInOurCode() {
    g_sink = new char[4096];
    g_sink = nullptr;
}
}  // namespace

// Run only as the child of the test below.
TEST(SanitizerGuard, DISABLED_LeaksOnPurpose) { leakOnPurposeInOurCode(); }

TEST(SanitizerGuard, OurOwnLeakIsStillReported) {
#ifndef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "built without AddressSanitizer";
#else
    int status = 0;
    const std::string out = nktest::runCommand(
        "/proc/" + std::to_string(getpid()) +
            "/exe --gtest_also_run_disabled_tests --gtest_filter=SanitizerGuard.DISABLED_LeaksOnPurpose 2>&1",
        &status);
    EXPECT_NE(status, 0) << out;
    EXPECT_NE(out.find("LeakSanitizer: detected memory leaks"), std::string::npos) << out;
    EXPECT_NE(out.find("leakOnPurposeInOurCode"), std::string::npos) << out;
#endif
}
