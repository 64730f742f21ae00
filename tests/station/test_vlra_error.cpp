// The station's 74 error codes in the library's error table.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "CVLRA_error.h"
#include "nk_error.h"

namespace {

TEST(VlraError, RegistersEveryNameAndLeavesTheGapsEmpty) {
    // Other tests of this executable may have launched the station already.
    const bool fresh = std::string(nkError_getErrorString(30)).empty();
    const int before = fresh ? nkError_getErrorTableSize() : nkError_getErrorTableSize() - kCVLRA_errorCount;
    nkError_registerVlraError();
    nkError_registerVlraError();  // a second call adds nothing
    EXPECT_EQ(nkError_getErrorTableSize(), before + kCVLRA_errorCount);

    EXPECT_STREQ(nkError_getErrorString(kNKErr_position_OOS), "position_OOS");
    EXPECT_EQ(kNKErr_position_OOS, 30);
    EXPECT_STREQ(nkError_getErrorString(kNKErr_2dt_pct_prop_OOS), "2dt_pct_prop_OOS");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_t_pct_tilt_delta_OOS), "t_pct_tilt_delta_OOS");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_REL_MissingCheckpoint_failed), "REL_MissingCheckpoint_failed");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_UOP_Duplicated_Testing), "UOP_Duplicated_Testing");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_CRE95_OOS), "CRE95_OOS");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_obSegmentDrift_OOS), "obSegmentDrift_OOS");
    EXPECT_STREQ(nkError_getErrorString(kNKErr_ssvtSlopeDrift_OOS), "ssvtSlopeDrift_OOS");
    EXPECT_EQ(kNKErr_ssvtSlopeDrift_OOS, 157);
    EXPECT_EQ(nkError_getHandlingRule(kNKErr_AllPassCheck_failed), 0);

    // The gaps get no station name: empty, or the library's own (144 is its NTCP code).
    const std::set<std::string> stationNames = {
#define CVLRA_ERROR_ROW(n, c) #n,
#include "CVLRA_error_table.inc"
#undef CVLRA_ERROR_ROW
    };
    ASSERT_EQ(stationNames.size(), size_t(kCVLRA_errorCount));
    const std::set<int> gaps = {41, 42, 43, 44, 45, 46, 47, 48, 49, 79, 144, 151, 154, 155};
    auto isGap = [&](int code) { return gaps.count(code) || (code >= 103 && code <= 142); };
    for (int code = 30; code <= 157; ++code) {
        if (!isGap(code)) continue;
        EXPECT_EQ(stationNames.count(nkError_getErrorString(code)), 0u) << code;
        if (code != 144) {
            EXPECT_STREQ(nkError_getErrorString(code), "") << code;
        }
    }
    EXPECT_STREQ(nkError_getErrorString(144), "ntcpCommunicationError");

    // Every code from 30 to 157 outside the gaps has a name, and the 74 rows are
    // the last ones of the table, in registration order.
    int named = 0;
    for (int code = 30; code <= 157; ++code)
        if (!isGap(code)) {
            EXPECT_STRNE(nkError_getErrorString(code), "") << code;
            ++named;
        }
    EXPECT_EQ(named, kCVLRA_errorCount);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(before), 30);
    EXPECT_EQ(nkError_getErrorCodeFromOrder(before + kCVLRA_errorCount - 1), 157);
}

}  // namespace
