// Control-bit phases and the older task interface.
#include <cstddef>

#include "ferrin_test_util.h"

using fntest::FerrinTest;

namespace {

// Answers every entry of a list phase: reads done with the given status and
// fail count, writes ignored.
void answer(FN_Phase* p, uint32_t status = FN_CB_PASSED, uint32_t failCount = 0) {
    for (int32_t i = 0; i < p->count; ++i) {
        if (p->action[i] == FN_ACTION_READ) {
            p->status[i] = status;
            p->failCount[i] = failCount;
            p->outcome[i] = FN_OUTCOME_DONE;
        } else {
            p->outcome[i] = FN_OUTCOME_IGNORED;
        }
    }
}

}  // namespace

TEST(FerrinPhaseLayout, RecordIsSixtyFourBytesInItsFieldOrder) {
    EXPECT_EQ(sizeof(FN_Phase), 64u);
    EXPECT_EQ(offsetof(FN_Phase, failed), 4u);
    EXPECT_EQ(offsetof(FN_Phase, ids), 8u);
    EXPECT_EQ(offsetof(FN_Phase, count), 16u);
    EXPECT_EQ(offsetof(FN_Phase, action), 24u);
    EXPECT_EQ(offsetof(FN_Phase, outcome), 56u);
}

TEST_F(FerrinTest, PhasesWalkInitialRunAndFinal) {
    const int checks[] = {0x10, 0x11, 0x12};
    const char* names[] = {"A", "B", "C"};
    const int onPass[] = {0x30, 0x31};
    const int onFail[] = {0x40};
    TamselStub_setCheckList(3, checks, names);
    TamselStub_setClearOnPass(2, onPass);
    TamselStub_setClearOnFail(1, onFail);

    for (bool unitFails : {false, true}) {
        const char* sn = unitFails ? "PH-F" : "PH-P";
        ASSERT_EQ(FN_StartSession(sn, "1", "L", 0x20), FN_ERROR_NONE);
        FN_Phase* p = FN_GetCurrentPhase(sn);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->type, static_cast<uint32_t>(FN_PHASE_CB_LIST));
        ASSERT_EQ(p->count, 5);
        EXPECT_EQ(std::vector<uint32_t>(p->ids, p->ids + 5), (std::vector<uint32_t>{0x10, 0x11, 0x12, 0x20, 0x20}));
        EXPECT_EQ(std::vector<uint32_t>(p->action, p->action + 5), (std::vector<uint32_t>{0, 0, 0, 0, 1}));
        EXPECT_EQ(p->value[4], static_cast<uint32_t>(FN_CB_INCOMPLETE));
        EXPECT_EQ(FN_GetCurrentPhase(sn), p) << "the head stays queued";
        answer(p);
        ASSERT_EQ(FN_CompleteCurrentPhase(sn), FN_ERROR_NONE);

        p = FN_GetCurrentPhase(sn);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->type, static_cast<uint32_t>(FN_PHASE_RUN));
        EXPECT_EQ(p->count, 0);
        EXPECT_EQ(p->ids, nullptr);
        p->failed = unitFails ? 1 : 0;
        ASSERT_EQ(FN_CompleteCurrentPhase(sn), FN_ERROR_NONE);

        p = FN_GetCurrentPhase(sn);
        ASSERT_NE(p, nullptr);
        if (unitFails) {
            ASSERT_EQ(p->count, 2);
            EXPECT_EQ(p->ids[0], 0x40u);
            EXPECT_EQ(p->value[0], static_cast<uint32_t>(FN_CB_NOT_TESTED));
            EXPECT_EQ(p->ids[1], 0x20u);
            EXPECT_EQ(p->value[1], static_cast<uint32_t>(FN_CB_FAILED));
        } else {
            ASSERT_EQ(p->count, 3);
            EXPECT_EQ(std::vector<uint32_t>(p->ids, p->ids + 3), (std::vector<uint32_t>{0x30, 0x31, 0x20}));
            EXPECT_EQ(p->value[2], static_cast<uint32_t>(FN_CB_PASSED));
        }
        for (int32_t i = 0; i < p->count; ++i) EXPECT_EQ(p->action[i], static_cast<uint32_t>(FN_ACTION_WRITE));
        answer(p);
        EXPECT_EQ(FN_CompleteCurrentPhase(sn), FN_ERROR_NONE);
        EXPECT_EQ(FN_GetCurrentPhase(sn), nullptr);
        EXPECT_EQ(FN_CompleteCurrentPhase(sn), FN_ERROR_NONE) << "an empty queue returns the current result";
        EXPECT_EQ(FN_CloseSession(sn), FN_ERROR_NONE);
    }
}

TEST_F(FerrinTest, InitialPhaseFailures) {
    struct Case {
        const char* name;
        int allowed;                            // allowed relative fail count
        uint32_t ownFailCount;                  // reported for the own read
        int badEntry;                           // entry given `badOutcome`/`badStatus`, -1 none
        uint32_t badOutcome, badStatus;
        int32_t code;
        const char* lastError;
        const char* subTest;                    // of the "CB Error" item, null for none
    } cases[] = {
        {"all passed", 3, 2, -1, 0, 0, FN_ERROR_NONE, "", nullptr},
        {"no limit", -1, 1000, -1, 0, 0, FN_ERROR_NONE, "", nullptr},
        {"count reached", 3, 3, -1, 0, 0, FN_ERROR_CBRETEST_FAIL, "Relative Fail Count: 3 >= 3",
         "Over Allowed Relative Fail Count"},
        {"limit zero", 0, 0, -1, 0, 0, FN_ERROR_CBRETEST_FAIL, "Relative Fail Count: 0 >= 0",
         "Over Allowed Relative Fail Count"},
        {"check not passed", -1, 0, 1, FN_OUTCOME_DONE, FN_CB_FAILED, FN_ERROR_CBROUTING_FAIL, "0x1F XYZ not PASS",
         "CB not PASS"},
        {"check ignored", -1, 0, 1, FN_OUTCOME_IGNORED, FN_CB_FAILED, FN_ERROR_NONE, "", nullptr},
        {"check unread", -1, 0, 0, FN_OUTCOME_FAILED, 0, FN_ERROR_CBREAD_FAIL, "CB Read Fail", "Read"},
        {"own read failed", -1, 0, 2, FN_OUTCOME_FAILED, 0, FN_ERROR_CBREAD_FAIL, "CB Read Fail", "Read"},
        {"own write failed", -1, 0, 3, FN_OUTCOME_FAILED, 0, FN_ERROR_CBWRITE_FAIL, "CB Write Fail", "Write"},
    };
    const int checks[] = {0x0E, 0x1F};
    const char* names[] = {"ABC", "XYZ"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(records());
        std::filesystem::create_directories(records());
        TamselStub_setCheckList(2, checks, names);
        TamselStub_setFailCountAllowed(c.allowed);
        ASSERT_EQ(FN_StartSession(c.name, "1", "L", 0x20), FN_ERROR_NONE);
        FN_Phase* p = FN_GetCurrentPhase(c.name);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->count, 4);
        answer(p);
        p->failCount[2] = c.ownFailCount;
        if (c.badEntry >= 0) {
            p->outcome[c.badEntry] = c.badOutcome;
            p->status[c.badEntry] = c.badStatus;
        }
        EXPECT_EQ(FN_CompleteCurrentPhase(c.name), c.code);
        EXPECT_STREQ(FN_GetLastErrorMsg(c.name), c.lastError);
        if (c.code != FN_ERROR_NONE) {
            EXPECT_EQ(FN_GetCurrentPhase(c.name), nullptr) << "a failed phase queues nothing more";
            EXPECT_EQ(FN_CompleteCurrentPhase(c.name), c.code) << "the result stays";
        }
        ASSERT_EQ(FN_FinishMirbelSession(c.name), FN_ERROR_NONE);
        EXPECT_EQ(FN_CloseSession(c.name), FN_ERROR_NONE);
        const auto rec = onlyRecord();
        if (c.subTest) {
            EXPECT_EQ(fntest::itemNames(rec), std::vector<std::string>{std::string("CB Error/") + c.subTest + "/NA"});
            EXPECT_EQ(fntest::itemField(rec, 0, "message"), c.lastError);
            EXPECT_FALSE(fntest::passed(rec));
        } else {
            EXPECT_TRUE(fntest::itemNames(rec).empty());
            EXPECT_TRUE(fntest::passed(rec));
        }
    }
}

TEST_F(FerrinTest, EmptyCheckListGivesOwnReadAndWriteOnly) {
    ASSERT_EQ(FN_StartSession("E1", "1", "L", 7), FN_ERROR_NONE);
    FN_Phase* p = FN_GetCurrentPhase("E1");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->count, 2);
    EXPECT_EQ(p->ids[0], 7u);
    EXPECT_EQ(p->action[0], static_cast<uint32_t>(FN_ACTION_READ));
    EXPECT_EQ(p->action[1], static_cast<uint32_t>(FN_ACTION_WRITE));
    EXPECT_EQ(p->outcome[0], static_cast<uint32_t>(FN_OUTCOME_FAILED)) << "handed out as failed";
    EXPECT_EQ(FN_CloseSession("E1"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, RunPhaseWithFailedHealthGivesFatalAndNoFinalPhase) {
    ASSERT_EQ(startAndAnswer("R1"), FN_ERROR_NONE);
    QBStub_setHealth(false, 32, "held");
    EXPECT_EQ(FN_CompleteCurrentPhase("R1"), FN_ERROR_FATAL_ERROR);
    EXPECT_EQ(FN_GetCurrentPhase("R1"), nullptr);
    EXPECT_STREQ(FN_GetLastErrorMsg("R1"), "held");
    ASSERT_EQ(FN_FinishMirbelSession("R1"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("R1"), FN_ERROR_NONE);
    EXPECT_TRUE(fntest::itemNames(onlyRecord()).empty()) << "no CB Error item for a fatal result";
}

TEST_F(FerrinTest, FinalPhaseWriteFailureAndStationThatSetsNoBit) {
    TamselStub_setSetControlBit(false);
    ASSERT_EQ(startAndAnswer("F1"), FN_ERROR_NONE);
    ASSERT_EQ(FN_CompleteCurrentPhase("F1"), FN_ERROR_NONE);  // run phase, unit passed
    FN_Phase* p = FN_GetCurrentPhase("F1");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->count, 0) << "no clear list and no own bit";
    EXPECT_EQ(FN_CompleteCurrentPhase("F1"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("F1"), FN_ERROR_NONE);

    TamselStub_setSetControlBit(true);
    ASSERT_EQ(startAndAnswer("F2"), FN_ERROR_NONE);
    ASSERT_EQ(FN_CompleteCurrentPhase("F2"), FN_ERROR_NONE);
    p = FN_GetCurrentPhase("F2");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->count, 1);
    EXPECT_EQ(FN_CompleteCurrentPhase("F2"), FN_ERROR_CBWRITE_FAIL) << "an unanswered write failed";
    EXPECT_EQ(FN_CloseSession("F2"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, BitListsFromOutsideAreBounded) {
    // A name filling its 64-byte field without a NUL, and a second answer that
    // claims more entries than the room it was given.
    const std::string longName(80, 'Q');
    const int checks[] = {0x21};
    const char* names[] = {longName.c_str()};
    TamselStub_setCheckList(1, checks, names);
    TamselStub_setCountSkew(1000);
    ASSERT_EQ(FN_StartSession("B1", "1", "L", 1), FN_ERROR_NONE);
    FN_Phase* p = FN_GetCurrentPhase("B1");
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(p->count, 3);
    answer(p);
    p->status[0] = FN_CB_FAILED;
    EXPECT_EQ(FN_CompleteCurrentPhase("B1"), FN_ERROR_CBROUTING_FAIL);
    EXPECT_EQ(std::string(FN_GetLastErrorMsg("B1")), "0x21 " + std::string(64, 'Q') + " not PASS");
    EXPECT_EQ(FN_CloseSession("B1"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, TaskInterfaceWalksEveryState) {
    const int checks[] = {1, 2};
    const int onPass[] = {9};
    TamselStub_setCheckList(2, checks, nullptr);
    TamselStub_setClearOnPass(1, onPass);
    TamselStub_setFailCountAllowed(5);
    ASSERT_EQ(FN_StartSession("TK", "1", "L", 0x33), FN_ERROR_NONE);

    FN_Task* t = FN_GetCurrentTask("TK");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->type, 0u);
    ASSERT_EQ(t->count, 2);
    EXPECT_EQ(t->failCount, nullptr);
    ASSERT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_NONE);  // statuses 0: passed

    t = FN_GetCurrentTask("TK");  // own read
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->count, 1);
    EXPECT_EQ(t->ids[0], 0x33u);
    ASSERT_NE(t->failCount, nullptr);
    t->failCount[0] = 4;
    ASSERT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_NONE);

    t = FN_GetCurrentTask("TK");  // own write, value incomplete
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->type, 1u);
    EXPECT_EQ(t->value, static_cast<uint32_t>(FN_CB_INCOMPLETE));
    ASSERT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_NONE);

    t = FN_GetCurrentTask("TK");  // health
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->type, 2u);
    ASSERT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_NONE);

    t = FN_GetCurrentTask("TK");  // clear-on-pass write
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->count, 1);
    EXPECT_EQ(t->ids[0], 9u);
    EXPECT_EQ(t->value, static_cast<uint32_t>(FN_CB_NOT_TESTED));
    FN_IgnoreCurrentTask("TK");

    t = FN_GetCurrentTask("TK");  // own final write
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->value, static_cast<uint32_t>(FN_CB_PASSED));
    t->failed = 1;
    EXPECT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_CBWRITE_FAIL);
    EXPECT_EQ(FN_GetCurrentTask("TK"), nullptr);
    EXPECT_EQ(FN_CompleteCurrentTask("TK"), FN_ERROR_CBWRITE_FAIL);
    EXPECT_EQ(FN_CloseSession("TK"), FN_ERROR_NONE);

    // A checked bit not passed, and an own fail count at the limit.
    ASSERT_EQ(FN_StartSession("TK2", "1", "L", 0x33), FN_ERROR_NONE);
    FN_GetCurrentTask("TK2")->status[1] = FN_CB_FAILED;
    EXPECT_EQ(FN_CompleteCurrentTask("TK2"), FN_ERROR_CBROUTING_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("TK2"), "0x2  not PASS");
    EXPECT_EQ(FN_CloseSession("TK2"), FN_ERROR_NONE);
    ASSERT_EQ(FN_StartSession("TK3", "1", "L", 0x33), FN_ERROR_NONE);
    FN_IgnoreCurrentTask("TK3");
    FN_GetCurrentTask("TK3")->failCount[0] = 5;
    EXPECT_EQ(FN_CompleteCurrentTask("TK3"), FN_ERROR_CBRETEST_FAIL);
    EXPECT_EQ(FN_CloseSession("TK3"), FN_ERROR_NONE);
}
