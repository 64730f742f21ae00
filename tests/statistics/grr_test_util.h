// Helpers of the GR&R tests: the Python second reader, its records, and
// figures compared the way the records write them.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "nk_test_util.h"

namespace grrtest {

// One record of the oracle: its tag and its fields.
struct Record {
    std::string tag;
    std::vector<std::string> f;
};

inline std::vector<Record> runOracle(const std::string& args) {
    int status = -1;
    const std::string reply =
        nktest::runCommand(std::string(NK_PYTHON) + " " + NK_TEST_DATA_DIR + "/grr_oracle.py " + args, &status);
    EXPECT_EQ(status, 0) << reply;
    std::vector<Record> out;
    for (const auto& line : nktest::splitLines(reply)) {
        std::istringstream in(line);
        Record r;
        in >> r.tag;
        std::string tok;
        while (in >> tok) r.f.push_back(tok);
        if (!r.tag.empty()) out.push_back(r);
    }
    return out;
}

// A figure against the oracle's text: "NV" is the given no-value marker; NaN
// and infinities exactly; else within 1e-9 relative (and 1e-13 absolute, for
// percent errors that cancel to near 0).
inline ::testing::AssertionResult sameFigure(const char* what, double got, const std::string& want, double noValue) {
    if (want == "NV") {
        if (got == noValue) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << what << ": " << got << ", expected no value";
    }
    const double w = std::strtod(want.c_str(), nullptr);
    if (std::isnan(w) ? std::isnan(got) : std::isinf(w) ? got == w
                                                        : got != noValue && std::fabs(got - w) <= 1e-9 * std::fabs(w) + 1e-13)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << what << ": " << got << ", expected " << want;
}

}  // namespace grrtest
