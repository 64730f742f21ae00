// The factory test record over the logging library's stand-in: what is sent for
// each item, what a failing call returns, and that no record is left open.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "nk_hubr.h"
#include "nk_test.h"
#include "nk_test_util.h"
#include "quenbar.h"

using nktest::TempDir;

namespace {

constexpr double kNaN = std::nan("");

std::string callLog() {
    std::string buf(QBStub_callLog(nullptr, 0) + 1, '\0');
    QBStub_callLog(buf.data(), buf.size());
    buf.resize(buf.size() - 1);
    return buf;
}

// The calls of the log from the first one named `from` on, as lines.
std::vector<std::string> callsFrom(const std::string& from) {
    std::vector<std::string> out;
    bool on = false;
    for (const std::string& l : nktest::splitLines(callLog())) {
        if (l.rfind(from, 0) == 0) on = true;
        if (on) out.push_back(l);
    }
    return out;
}

class HubrRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("NK_QUENBAR_CONFIG");
        QBStub_reset();
        QBStub_setRecordDir(dir_.path().c_str());
    }

    // Every committed record, read by Python's plistlib: "Passed" and per item
    // "testname|subtestname|lower|upper|value|result|message|units", one a line.
    std::vector<std::string> committed() {
        const std::string script = dir_.file("read.py");
        nktest::writeFile(script,
                          "import plistlib,sys,glob\n"
                          "for f in sorted(glob.glob(sys.argv[1]+'/*.plist')):\n"
                          "  r=plistlib.load(open(f,'rb'))\n"
                          "  a=r['Attributes']\n"
                          "  print('record', a['softwareversion'], a['softwarename'], a['serialnumber'], r['Passed'])\n"
                          "  for i in r['Items']:\n"
                          "    print('|'.join(str(i.get(k,'-')) for k in ('testname','subtestname','lowerlimit',"
                          "'upperlimit','value','result','message','units')))\n");
        int status = -1;
        const std::string out =
            nktest::runCommand(std::string(NK_PYTHON) + " " + script + " " + dir_.path().string(), &status);
        EXPECT_EQ(status, 0) << out;
        return nktest::splitLines(out);
    }

    TempDir dir_;
};

TEST_F(HubrRecordTest, ItemsCarryLimitsValueResultAndMessage) {
    CNK_quenbar qb;
    ASSERT_EQ(qb.begin("1.00.00", "Lumbrel", "SN-1"), 0);
    // No upper limit; no units.
    ASSERT_EQ(qb.addTestItem("T", "open", "unused", kNaN, 0.0, 5.0, "", kNkHubrPriority_important), 0);
    // Outside its limits.
    ASSERT_EQ(qb.addTestItem("T", "I", "", 2.0, 1.0, 2.5, "mm", kNkHubrPriority_normal), 0);
    // The no-value sentinel and infinities are no limits; an unmeasured value has no number.
    ASSERT_EQ(qb.addTestItem("T", "none", "", kNK_noValue, -INFINITY, kNK_noValue, "V", kNkHubrPriority_important), 0);
    ASSERT_EQ(qb.addTestItem("T", "unmeasured", "", 1.0, kNK_noValue, kNaN, "", kNkHubrPriority_important), 0);
    // On a limit is inside it; an empty sub-test name is still sent.
    ASSERT_EQ(qb.addTestItem("Edge", "", "", 3.0, -3.0, -3.0, "", kNkHubrPriority_lowest), 0);
    ASSERT_EQ(qb.finish(false), 0);
    EXPECT_EQ(qb._uid, nullptr);

    const std::vector<std::string> expected = {
        "QB_UUTStart",
        "QB_addAttribute\tsoftwareversion=1.00.00",
        "QB_addAttribute\tsoftwarename=Lumbrel",
        "QB_addAttribute\tserialnumber=SN-1",
        "QB_testSpec_create",
        "QB_testSpec_setTestName\tT",
        "QB_testSpec_setSubTestName\topen",
        "QB_testSpec_setPriority\t1",
        "QB_testSpec_setLimits\t0.000000,NA",
        "QB_testResult_create",
        "QB_testResult_setValue\t5.000000",
        "QB_testResult_setResult\t1",
        "QB_addResult\tT/open/",
        "QB_testSpec_create",
        "QB_testSpec_setTestName\tT",
        "QB_testSpec_setSubTestName\tI",
        "QB_testSpec_setPriority\t2",
        "QB_testSpec_setUnits\tmm",
        "QB_testSpec_setLimits\t1.000000,2.000000",
        "QB_testResult_create",
        "QB_testResult_setValue\t2.500000",
        "QB_testResult_setResult\t0",
        "QB_testResult_setMessage\tT::I' failed",
        "QB_addResult\tT/I/",
        "QB_testSpec_create",
        "QB_testSpec_setTestName\tT",
        "QB_testSpec_setSubTestName\tnone",
        "QB_testSpec_setPriority\t1",
        "QB_testSpec_setUnits\tV",
        "QB_testSpec_setLimits\tNA,NA",
        "QB_testResult_create",
        "QB_testResult_setValue\tNA",
        "QB_testResult_setResult\t1",
        "QB_addResult\tT/none/",
        "QB_testSpec_create",
        "QB_testSpec_setTestName\tT",
        "QB_testSpec_setSubTestName\tunmeasured",
        "QB_testSpec_setPriority\t1",
        "QB_testSpec_setLimits\tNA,1.000000",
        "QB_testResult_create",
        "QB_testResult_setValue\tNA",
        "QB_testResult_setResult\t0",
        "QB_testResult_setMessage\tT::unmeasured' failed",
        "QB_addResult\tT/unmeasured/",
        "QB_testSpec_create",
        "QB_testSpec_setTestName\tEdge",
        "QB_testSpec_setSubTestName",  // an empty name, still sent
        "QB_testSpec_setPriority\t4",
        "QB_testSpec_setLimits\t-3.000000,3.000000",
        "QB_testResult_create",
        "QB_testResult_setValue\t-3.000000",
        "QB_testResult_setResult\t1",
        "QB_addResult\tEdge//",
        "QB_UUTDone",
        "QB_UUTCommit\tpass=0",
        "QB_UID_destroy",
    };
    std::string want;
    for (const std::string& l : expected) want += l + "\n";
    EXPECT_EQ(callLog(), want);

    const auto rec = committed();
    ASSERT_EQ(rec.size(), 6u);
    EXPECT_EQ(rec[0], "record 1.00.00 Lumbrel SN-1 False");
    EXPECT_EQ(rec[2], "T|I|1.000000|2.000000|2.500000|0|T::I' failed|mm");
}

TEST_F(HubrRecordTest, EveryMethodNeedsAnOpenRecord) {
    CNK_quenbar qb;
    testing::internal::CaptureStderr();
    EXPECT_EQ(qb.addTestItem("T", "I", "", 1, 0, 0.5, "", kNkHubrPriority_important), kNKErr_QB_UUTNotStarted);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("_uid!=NULL"), std::string::npos) << err;
    EXPECT_NE(err.find("addTestItem"), std::string::npos) << err;
    EXPECT_EQ(qb.addAttribute("a", "b"), kNKErr_QB_UUTNotStarted);
    EXPECT_EQ(qb.addBlob("a", "/etc/hostname"), kNKErr_QB_UUTNotStarted);
    EXPECT_EQ(qb.finish(true), kNKErr_QB_UUTNotStarted);
    EXPECT_EQ(qb.cancel(), kNKErr_QB_UUTNotStarted);
    EXPECT_EQ(callLog(), "") << "nothing reaches the library without a record";
}

TEST_F(HubrRecordTest, BlobsCancelAndDestruction) {
    const std::string blob = dir_.file("raw.txt");
    nktest::writeFile(blob, "raw");
    {
        CNK_quenbar qb;
        ASSERT_EQ(qb.begin("1", "L", "SN-B"), 0);
        EXPECT_EQ(qb.addBlob("raw", blob.c_str()), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(qb.addBlob("missing", dir_.file("missing.txt").c_str()), kNKErr_QB_addBlob_failed);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("QB_addBlob fail: blob file not found"),
                  std::string::npos);
        EXPECT_EQ(qb.cancel(), 0);
        EXPECT_EQ(qb._uid, nullptr);
    }
    {
        CNK_quenbar qb;
        ASSERT_EQ(qb.begin("1", "L", "SN-D"), 0);
        // Left open: the destructor cancels and releases it.
    }
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 2);
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 2);
    EXPECT_EQ(QBStub_callCount("QB_UID_destroy"), 2);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 0);
    EXPECT_TRUE(committed().empty());
}

// A session's test data as the items leave it.
void fillTestData(CNK_testData& td, bool failing) {
    ASSERT_EQ(td.addDataSymbol("Setup", "station", "string", kNK_noValue, kNK_noValue, "", true), 0);
    ASSERT_EQ(td.addDataSymbol("Trans", "T550", "double", 80, 100, "%", false), 0);
    ASSERT_EQ(td.addDataSymbol("Trans", "count", "int32_t", kNK_noValue, 10, "", false), 0);
    ASSERT_EQ(td.addDataSymbol("Unif", "ratio", "float", kNK_noValue, kNK_noValue, "", false), 0);
    td.recordData("Setup", "station", std::string("CG-1"));
    td.recordData("Trans", "T550", failing ? 79.5 : 91.25);
    td.recordData("Trans", "count", 3);
}

TEST_F(HubrRecordTest, PostDataSendsNumericSymbolsAndPassesWhenNoItemFailed) {
    for (bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "failing" : "passing");
        std::filesystem::remove_all(dir_.path());
        std::filesystem::create_directories(dir_.path());
        CNK_testData td;
        fillTestData(td, failing);
        ASSERT_EQ(nkHubr_postData("1.00.00", "Lumbrel", failing ? "SN-F" : "SN-P", td, nullptr), 0);
        const auto rec = committed();
        ASSERT_EQ(rec.size(), 4u);
        EXPECT_EQ(rec[0], std::string("record 1.00.00 Lumbrel ") + (failing ? "SN-F False" : "SN-P True"));
        EXPECT_EQ(rec[1], failing ? "Trans|T550|80.000000|100.000000|79.500000|0|Trans::T550' failed|%"
                                  : "Trans|T550|80.000000|100.000000|91.250000|1|-|%");
        EXPECT_EQ(rec[2], "Trans|count|NA|10.000000|3.000000|1|-|-");
        // Never recorded: the sentinel is no number.
        EXPECT_EQ(rec[3], "Unif|ratio|NA|NA|NA|1|-|-");
    }
}

TEST_F(HubrRecordTest, PostDataOfOnlyStringsCommitsAnEmptyRecord) {
    CNK_testData td;
    ASSERT_EQ(td.addDataSymbol("Setup", "station", "string", kNK_noValue, kNK_noValue, "", true), 0);
    ASSERT_EQ(nkHubr_postData("1", "L", "SN-S", td, nullptr), 0);
    EXPECT_EQ(committed(), std::vector<std::string>{"record 1 L SN-S True"});
    EXPECT_EQ(QBStub_callCount("QB_addResult"), 0);
}

// Each call of the logging library refused once: its code, the record cancelled
// and released, nothing committed.
TEST_F(HubrRecordTest, PostDataFailureAtEachCallCancelsTheRecord) {
    struct Case {
        const char* function;
        long nth;
        u16 code;
    } cases[] = {
        {"QB_UUTStart", 1, kNKErr_QB_UUTStart_failed},
        {"QB_addAttribute", 1, kNKErr_QB_addAttribute_failed},
        {"QB_addAttribute", 3, kNKErr_QB_addAttribute_failed},
        {"QB_testSpec_create", 1, kNKErr_QB_testSpec_setTestName_failed},
        {"QB_testSpec_setTestName", 2, kNKErr_QB_testSpec_setTestName_failed},
        {"QB_testSpec_setSubTestName", 1, kNKErr_QB_testSpec_setSubTestName_failed},
        {"QB_testSpec_setPriority", 1, kNKErr_QB_testSpec_setPriority_failed},
        {"QB_testSpec_setUnits", 1, kNKErr_QB_testSpec_setUnit_failed},
        {"QB_testSpec_setLimits", 2, kNKErr_QB_testSpec_setLimits_failed},
        {"QB_testResult_create", 1, kNKErr_QB_testResult_setValue_failed},
        {"QB_testResult_setValue", 1, kNKErr_QB_testResult_setValue_failed},
        {"QB_testResult_setResult", 3, kNKErr_QB_testResult_setResult_failed},
        {"QB_testResult_setMessage", 1, kNKErr_QB_testResult_setMessage_failed},
        {"QB_addResult", 2, kNKErr_QB_addResult_failed},
        {"QB_UUTDone", 1, kNKErr_QB_UUTDone_failed},
        {"QB_UUTCommit", 1, kNKErr_QB_UUTCommit_failed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " #" + std::to_string(c.nth));
        QBStub_reset();
        QBStub_failCall(c.function, c.nth, 1, 0, "refused here");
        CNK_testData td;
        fillTestData(td, true);
        testing::internal::CaptureStderr();
        EXPECT_EQ(nkHubr_postData("1", "L", "SN-X", td, nullptr), c.code);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("nkHubr_postData"), std::string::npos) << err;
        EXPECT_EQ(QBStub_callCount(c.function), c.nth) << "the first failure ends the post";
        const long started = c.code == kNKErr_QB_UUTStart_failed ? 0 : 1;
        EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), started);
        EXPECT_EQ(QBStub_callCount("QB_UID_destroy"), started);
        if (started) {
            const auto tail = callsFrom("QB_UUTCancel");
            EXPECT_EQ(tail, (std::vector<std::string>{"QB_UUTCancel", "QB_UID_destroy"}));
        }
        EXPECT_TRUE(committed().empty());
    }
    // The library's text reaches standard error for the record-level calls.
    QBStub_reset();
    QBStub_failCall("QB_UUTCommit", 1, 1, 0, "store offline");
    CNK_testData td;
    fillTestData(td, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkHubr_postData("1", "L", "SN-Y", td, nullptr), kNKErr_QB_UUTCommit_failed);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("QB_UUTCommit fail: store offline\n"), std::string::npos);
}

}  // namespace
