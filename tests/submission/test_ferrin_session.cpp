// Submission sessions: start, close, the table under many threads, and the
// exports that read a session or ask the outside libraries.
#include <atomic>
#include <cstring>
#include <thread>

#include "ferrin_test_util.h"

using fntest::FerrinTest;

TEST_F(FerrinTest, StartAddsAttributesAndASecondStartIsRefused) {
    ASSERT_EQ(FN_StartSession("SN1", "2.0", "Lumbrel", 0x20), FN_ERROR_NONE);
    EXPECT_TRUE(FN_SessionExists("SN1"));
    EXPECT_STREQ(FN_GetLastErrorMsg("SN1"), "");
    EXPECT_EQ(FN_GetNumItemsSent("SN1"), 0u);
    EXPECT_EQ(FN_StartSession("SN1", "3.0", "Other", 0x21), FN_ERROR_SN_COPY);
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 1) << "the first session is untouched";
    ASSERT_EQ(FN_FinishMirbelSession("SN1"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("SN1"), FN_ERROR_NONE);
    EXPECT_FALSE(FN_SessionExists("SN1"));

    const auto rec = onlyRecord();
    const pf::plist::Value* attrs = rec.find("Attributes");
    ASSERT_NE(attrs, nullptr);
    EXPECT_EQ(attrs->keys(), (std::vector<std::string>{"softwareversion", "softwarename", "serialnumber"}));
    EXPECT_EQ(attrs->find("softwareversion")->str(), "2.0");
    EXPECT_TRUE(fntest::passed(rec));
}

TEST_F(FerrinTest, FailedStartKeepsTheSerialNumberUntilClosed) {
    QBStub_failCall("QB_UUTStart", 1, 1, 0, "logging service down");
    EXPECT_EQ(FN_StartSession("SN2", "1", "L", 1), FN_ERROR_START_FAIL);
    EXPECT_TRUE(FN_SessionExists("SN2"));
    EXPECT_STREQ(FN_GetLastErrorMsg("SN2"), "Unable to initialize Quenbar with error: Quenbar start fail: logging service down\n");
    EXPECT_EQ(FN_StartSession("SN2", "1", "L", 1), FN_ERROR_SN_COPY);
    EXPECT_EQ(FN_CloseSession("SN2"), FN_ERROR_NONE);
    EXPECT_EQ(FN_StartSession("SN2", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("SN2"), FN_ERROR_NONE);

    // An attribute refused at start fails it the same way, and the record is cancelled.
    QBStub_failCall("QB_addAttribute", 1, 0, 0, "no attributes today");
    EXPECT_EQ(FN_StartSession("SN3", "1", "L", 1), FN_ERROR_START_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("SN3"),
                 "Unable to initialize Quenbar with error: Add attribute fail: no attributes today\n");
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 3);
    EXPECT_EQ(FN_CloseSession("SN3"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, UnknownSerialNumberAnswers) {
    const char* sn = "NOBODY";
    char text[64] = "untouched";
    size_t len = 0;
    EXPECT_EQ(FN_GetNetCBSummary(sn, text, sizeof(text)), FN_ERROR_SN_NOSTART);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(FN_CompleteCurrentTask(sn), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_CompleteCurrentPhase(sn), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_SubmitDataAndFinish(sn, "x", "y"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_SubmitDataAsDictionaryAndFinish(sn, nullptr, "y"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_SubmitBlobFolder(sn, "y"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_SubmitDataAsDictionary(sn, nullptr), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_SubmitDataAsPlist(sn, "x"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_FinishMirbelSession(sn), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_CloseSession(sn), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_ReportSwappedSerialNumber(sn, "B"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_ReportSwappedChipID(sn, "A", "B"), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_FatalErrorCheck(sn), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_GetStationID(sn, nullptr, &len), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(FN_GetCurrentTask(sn), nullptr);
    EXPECT_EQ(FN_GetCurrentPhase(sn), nullptr);
    EXPECT_EQ(FN_GetLastErrorMsg(sn), nullptr);
    EXPECT_FALSE(FN_SessionExists(sn));
    EXPECT_EQ(FN_GetNumItemsSent(sn), 0xFFFFFFFFu);
    FN_IgnoreCurrentTask(sn);
    EXPECT_EQ(FN_CloseSession(nullptr), FN_ERROR_SN_NOSTART);
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 0);
}

TEST_F(FerrinTest, PlainReads) {
    EXPECT_STREQ(FN_Version(), "1.2.4");
    EXPECT_TRUE(FN_NetCBSupported());
    EXPECT_STREQ(FN_GetTolvarError(9), "FN_ERROR_ADDHUBR_FAIL");
    EXPECT_STREQ(FN_GetTolvarError(0), "FN_ERROR_NONE");
    EXPECT_STREQ(FN_GetTolvarError(11), "FN_ERROR_CLOSE_FAIL");
    EXPECT_STREQ(FN_GetTolvarError(12), "Unknown err");
    EXPECT_STREQ(keyArrayString(), "Tests");
    EXPECT_STREQ(keyAttributesString(), "Attributes");
    EXPECT_STREQ(keyStartTimeString(), "StartTime");
    EXPECT_STREQ(keyStopTimeString(), "StopTime");
    EXPECT_STREQ(keyFailureMessageString(), "failure_message");
    EXPECT_STREQ(keyLowerLimitString(), "lowerlimit");

    const int ids[] = {3, 4, 5};
    TamselStub_setCheckList(3, ids, nullptr);
    TamselStub_setFailCountAllowed(7);
    ASSERT_EQ(FN_StartSession("SUM", "1", "L", 1), FN_ERROR_NONE);
    char text[128];
    EXPECT_EQ(FN_GetNetCBSummary("SUM", text, sizeof(text)), FN_ERROR_NONE);
    EXPECT_STREQ(text, "Net CB summary: Fail count limit: 7, CB check list size: 3");
    char tiny[8] = "xxxxxxx";
    EXPECT_EQ(FN_GetNetCBSummary("SUM", tiny, 0), FN_ERROR_NONE);
    EXPECT_EQ(FN_GetNetCBSummary("SUM", tiny, -5), FN_ERROR_NONE);
    EXPECT_STREQ(tiny, "xxxxxxx") << "nothing written for a size of 0 or less";
    EXPECT_EQ(FN_GetNetCBSummary("SUM", tiny, 8), FN_ERROR_NONE);
    EXPECT_STREQ(tiny, "Net CB ");

    QBStub_setStationID("ST-42");
    char id[16];
    size_t len = sizeof(id) - 1;
    EXPECT_EQ(FN_GetStationID("SUM", id, &len), FN_ERROR_NONE);
    EXPECT_STREQ(id, "ST-42");
    QBStub_failCall("QB_getVQStationInfo", QBStub_callCount("QB_getVQStationInfo") + 1, 1, 0, "");
    EXPECT_EQ(FN_GetStationID("SUM", id, &len), FN_ERROR_START_FAIL);
    EXPECT_EQ(FN_CloseSession("SUM"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, StationRunningForMp) {
    struct Case {
        const char* stage;
        bool setsBit;
        bool startFails;
        bool sizeOk;
        bool expected;
    } cases[] = {
        {"MP", true, false, true, true},   {"PVT", true, false, true, true},  {"MP", false, false, true, false},
        {"EVT", true, false, true, false}, {"", true, false, true, false},     {"MP", true, true, true, true},
        {"PVT", false, true, true, true},
    };
    for (const Case& c : cases) {
        QBStub_reset();
        TamselStub_reset();
        QBStub_setStage(c.stage);
        TamselStub_setSetControlBit(c.setsBit);
        if (c.startFails) QBStub_failCall("QB_UUTStart", 1, 1, 0, "down");
        EXPECT_EQ(FN_StationRunningForMp(), c.expected) << c.stage << " " << c.setsBit << " " << c.startFails;
        // The temporary record is always let go of, started or not.
        EXPECT_EQ(QBStub_callCount("QB_UID_destroy"), 1);
    }
    // The second ask failing fails the query.
    QBStub_reset();
    QBStub_setStage("EVT");
    QBStub_failCall("QB_getVQStationInfo", 2, 1, 0, "gone");
    EXPECT_TRUE(FN_StationRunningForMp());
    EXPECT_TRUE(committed().empty());
}

TEST_F(FerrinTest, FatalErrorCheckReportsHealthAndKeepsAnEarlierFailure) {
    ASSERT_EQ(fntest::FerrinTest::startAndAnswer("OK1"), FN_ERROR_NONE);
    EXPECT_EQ(FN_FatalErrorCheck("OK1"), FN_ERROR_NONE);
    EXPECT_TRUE(logged("[FERRIN]QB_success returned TRUE!"));
    EXPECT_TRUE(logged("[FERRIN] There is no fatal error!"));

    QBStub_setHealth(false, 32, "unit on hold");
    EXPECT_EQ(FN_FatalErrorCheck("OK1"), FN_ERROR_FATAL_ERROR);
    EXPECT_TRUE(logged("[FERRIN]Process control fatal error!"));
    EXPECT_TRUE(logged("[FERRIN]There is a fatal error!"));
    EXPECT_TRUE(logged("[FERRIN]Message returned: unit on hold"));
    EXPECT_STREQ(FN_GetLastErrorMsg("OK1"), "unit on hold");
    EXPECT_EQ(FN_CloseSession("OK1"), FN_ERROR_NONE);

    QBStub_setHealth(false, 3, "network trouble");
    ASSERT_EQ(FN_StartSession("OK2", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_FatalErrorCheck("OK2"), FN_ERROR_FATAL_ERROR);
    EXPECT_TRUE(logged("[FERRIN]Fatal error, but not process control!"));
    EXPECT_STREQ(FN_GetLastErrorMsg("OK2"), "network trouble");
    EXPECT_EQ(FN_CloseSession("OK2"), FN_ERROR_NONE);

    // A phase that ended in "CB Read Fail" keeps answering it, healthy or not.
    QBStub_setHealth(true, 0, "");
    ASSERT_EQ(FN_StartSession("OK3", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_CompleteCurrentPhase("OK3"), FN_ERROR_CBREAD_FAIL) << "unanswered entries fail";
    EXPECT_EQ(FN_FatalErrorCheck("OK3"), FN_ERROR_CBREAD_FAIL);
    EXPECT_EQ(FN_CloseSession("OK3"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, SwappedSerialNumberAndChipIdFailTheRecord) {
    ASSERT_EQ(FN_StartSession("SW1", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_ReportSwappedSerialNumber("SW1", "SW9"), FN_ERROR_NONE);
    EXPECT_EQ(FN_ReportSwappedChipID("SW1", "C1", "C2"), FN_ERROR_NONE);
    ASSERT_EQ(FN_FinishMirbelSession("SW1"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("SW1"), FN_ERROR_NONE);
    const auto rec = onlyRecord();
    EXPECT_EQ(fntest::itemNames(rec), (std::vector<std::string>{"CB Error/Unit SN Changed/", "CB Error/Unit ChipID Changed/"}));
    EXPECT_EQ(fntest::itemField(rec, 0, "message"), "Expected SN: SW1 Read SN: SW9");
    EXPECT_EQ(fntest::itemField(rec, 1, "message"), "Expected ChipID: C1 Read ChipID: C2");
    EXPECT_FALSE(fntest::passed(rec));

    ASSERT_EQ(FN_StartSession("SW2", "1", "L", 1), FN_ERROR_NONE);
    QBStub_failCall("QB_addResult", QBStub_callCount("QB_addResult") + 1, 1, 0, "full");
    EXPECT_EQ(FN_ReportSwappedSerialNumber("SW2", "X"), FN_ERROR_ADDHUBR_FAIL);
    EXPECT_EQ(FN_CloseSession("SW2"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, CloseCancelsARecordStillStartedAndFreesQueuedWork) {
    ASSERT_EQ(FN_StartSession("CL1", "1", "L", 1), FN_ERROR_NONE);
    ASSERT_NE(FN_GetCurrentPhase("CL1"), nullptr);
    ASSERT_NE(FN_GetCurrentTask("CL1"), nullptr);
    EXPECT_EQ(FN_CloseSession("CL1"), FN_ERROR_NONE);
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 1);
    EXPECT_EQ(QBStub_callCount("QB_UID_destroy"), 1);
    EXPECT_EQ(FN_CloseSession("CL1"), FN_ERROR_SN_NOSTART) << "closing twice frees nothing twice";
    EXPECT_TRUE(committed().empty());
    // A finished record is not cancelled again.
    ASSERT_EQ(FN_StartSession("CL2", "1", "L", 1), FN_ERROR_NONE);
    ASSERT_EQ(FN_FinishMirbelSession("CL2"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("CL2"), FN_ERROR_NONE);
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 1);
}

TEST_F(FerrinTest, SixteenThreadsRunWholeUnitsWhileOthersStartAndClose) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string plist = writePlist(
        "unit.plist", "{'0': {'Tests': [{'testname':'t','priority':'0','result':'PASS','value':'1'}]}}");
    const std::string blobDir = file("blobs");
    constexpr int kThreads = 16;
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int round = 0; round < 3; ++round) {
                const std::string sn = "T" + std::to_string(t) + "R" + std::to_string(round);
                const std::string folder = blobDir + "/" + sn;
                std::filesystem::create_directories(folder);
                nktest::writeFile(folder + "/data.txt", sn);
                FN_Phase* p = nullptr;
                bool ok = startAndAnswer(sn.c_str()) == FN_ERROR_NONE;
                // The run phase record stays valid while the other threads start and close.
                if (ok) ok = (p = FN_GetCurrentPhase(sn.c_str())) != nullptr && p->type == FN_PHASE_RUN;
                std::this_thread::yield();
                if (ok) ok = p->count == 0 && FN_FatalErrorCheck(sn.c_str()) == FN_ERROR_NONE;
                if (ok) ok = FN_SubmitDataAsPlist(sn.c_str(), plist.c_str()) == FN_ERROR_NONE;
                if (ok) ok = FN_SubmitBlobFolder(sn.c_str(), folder.c_str()) == FN_ERROR_NONE;
                if (ok) ok = FN_FinishMirbelSession(sn.c_str()) == FN_ERROR_NONE;
                if (FN_CloseSession(sn.c_str()) != FN_ERROR_NONE || !ok) ++failures;
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(committed().size(), static_cast<size_t>(kThreads * 3));
    for (const auto& rec : committed()) EXPECT_EQ(fntest::itemNames(rec), std::vector<std::string>{"t//"});
}
