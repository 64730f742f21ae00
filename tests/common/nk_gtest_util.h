// Test helpers that report through GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "nk_test_util.h"

namespace nktest {

// Standard error from construction until take().
struct StderrCapture {
    StderrCapture() { testing::internal::CaptureStderr(); }
    std::string take() { return testing::internal::GetCapturedStderr(); }
};

// Writes `script` into `dir` as `name` and runs it with Debian's Python; returns
// its standard output and error. A script that fails fails the calling test.
inline std::string runPython(const TempDir& dir, const std::string& script, const std::string& args = "",
                             const std::string& name = "script.py") {
    const std::string py = dir.file(name);
    writeFile(py, script);
    int status = -1;
    const std::string out = runCommand(std::string(NK_PYTHON) + " " + py + " " + args + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    return out;
}

}  // namespace nktest
