// The two outside stand-ins on their own: committed records, hooks, config files.
#include <chrono>
#include <cstring>
#include <thread>

#include "ferrin_test_util.h"

using fntest::FerrinTest;

namespace {

bool ok(QB_reply* r) {
    const bool s = QB_success(r);
    QB_reply_destroy(r);
    return s;
}

void addItem(QB_UID* uid, const char* name, int result, const char* value) {
    QB_testSpec* spec = QB_testSpec_create();
    QB_testResult* res = QB_testResult_create();
    ASSERT_TRUE(QB_testSpec_setTestName(spec, name, std::strlen(name)));
    ASSERT_TRUE(QB_testSpec_setPriority(spec, 1));
    ASSERT_TRUE(QB_testResult_setResult(res, result));
    if (value) {
        ASSERT_TRUE(QB_testResult_setValue(res, value, std::strlen(value)));
        ASSERT_TRUE(QB_testSpec_setLimits(spec, "1", 1, "NA", 2));
    }
    EXPECT_TRUE(ok(QB_addResult(uid, spec, res)));
    QB_testSpec_destroy(spec);
    QB_testResult_destroy(res);
}

}  // namespace

TEST_F(FerrinTest, QuenbarCommitWritesARecordPythonReads) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string blob = file("raw.zip");
    nktest::writeFile(blob, "PK-bytes");
    QB_UID* uid = nullptr;
    ASSERT_TRUE(ok(QB_UUTStart(&uid)));
    ASSERT_TRUE(ok(QB_addAttribute(uid, "serialnumber", "SN <1> & 2")));
    addItem(uid, "alpha", 1, "2.5");
    addItem(uid, "beta", 0, nullptr);
    ASSERT_TRUE(ok(QB_addBlob(uid, "raw", blob.c_str())));
    ASSERT_TRUE(ok(QB_setDUTPos(uid, "T7", "NA")));
    EXPECT_FALSE(ok(QB_UUTCommit(uid, 1))) << "commit before done";
    ASSERT_TRUE(ok(QB_UUTDone(uid)));
    ASSERT_TRUE(ok(QB_UUTCommit(uid, 0)));
    EXPECT_FALSE(ok(QB_addAttribute(uid, "late", "x"))) << "a committed record takes nothing more";
    QB_UID_destroy(uid);

    const std::string script = file("check.py");
    nktest::writeFile(script,
                      "import plistlib,sys,glob,os\n"
                      "d=sys.argv[1]\n"
                      "[p]=glob.glob(os.path.join(d,'*.plist'))\n"
                      "r=plistlib.load(open(p,'rb'))\n"
                      "assert r['Attributes']=={'serialnumber':'SN <1> & 2'}, r['Attributes']\n"
                      "assert [(i['testname'],i['result'],i.get('value')) for i in r['Items']]=="
                      "[('alpha',1,'2.5'),('beta',0,None)], r['Items']\n"
                      "assert r['Items'][0]['lowerlimit']=='1' and r['Items'][0]['upperlimit']=='NA'\n"
                      "assert r['Passed'] is False and r['DUTPos']['testerid']=='T7'\n"
                      "[b]=r['Blobs']\n"
                      "assert b['name']=='raw' and open(os.path.join(d,b['file']),'rb').read()==b'PK-bytes'\n"
                      "print('ok')\n");
    int status = -1;
    const std::string out =
        nktest::runCommand(std::string(NK_PYTHON) + " " + script + " " + records() + " 2>&1", &status);
    EXPECT_EQ(out, "ok\n");
}

TEST_F(FerrinTest, QuenbarHooksFailDelayAndRecordCalls) {
    QBStub_failCall("QB_addAttribute", 2, 1, 32, "refused by process control");
    QBStub_delayCall("QB_UUTDone", 1, 1, 200, 0, "");
    QB_UID* uid = nullptr;
    ASSERT_TRUE(ok(QB_UUTStart(&uid)));
    EXPECT_TRUE(ok(QB_addAttribute(uid, "a", "1")));
    QB_reply* r = QB_addAttribute(uid, "b", "2");
    EXPECT_FALSE(QB_success(r));
    EXPECT_TRUE(QB_reply_isOfClass(r, 32));
    EXPECT_STREQ(QB_reply_getError(r), "refused by process control");
    QB_reply_destroy(r);
    EXPECT_TRUE(ok(QB_addAttribute(uid, "c", "3"))) << "only the second call fails";

    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(ok(QB_UUTDone(uid)));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    EXPECT_TRUE(ok(QB_UUTDone(uid)));
    QB_UID_destroy(uid);

    EXPECT_EQ(QBStub_callCount("QB_addAttribute"), 3);
    char buf[512];
    QBStub_callLog(buf, sizeof(buf));
    EXPECT_NE(std::string(buf).find("QB_addAttribute\tb=2\n"), std::string::npos) << buf;
}

TEST_F(FerrinTest, QuenbarNullHandlesAndMissingBlobAreRefusedQuietly) {
    EXPECT_FALSE(ok(QB_UUTStart(nullptr)));
    EXPECT_FALSE(ok(QB_UUTDone(nullptr)));
    EXPECT_FALSE(ok(QB_UUTCommit(nullptr, 1)));
    EXPECT_FALSE(ok(QB_UUTCancel(nullptr)));
    EXPECT_FALSE(ok(QB_addAttribute(nullptr, "a", "b")));
    EXPECT_FALSE(ok(QB_amIOkay(nullptr, "SN")));
    EXPECT_FALSE(QB_testSpec_setTestName(nullptr, "x", 1));
    EXPECT_FALSE(QB_success(nullptr));
    EXPECT_STREQ(QB_reply_getError(nullptr), "");
    QB_UID_destroy(nullptr);
    QB_reply_destroy(nullptr);

    QB_UID* uid = nullptr;
    ASSERT_TRUE(ok(QB_UUTStart(&uid)));
    EXPECT_FALSE(ok(QB_addBlob(uid, "raw", file("missing.zip").c_str())));
    EXPECT_FALSE(ok(QB_addBlob(uid, "raw", records().c_str()))) << "a folder is no blob file";
    size_t len = 0;
    EXPECT_TRUE(ok(QB_getVQStationInfo(uid, 3, nullptr, &len)));
    EXPECT_EQ(len, 2u);
    char small[2];
    size_t room = 1;
    EXPECT_TRUE(ok(QB_getVQStationInfo(uid, 3, small, &room)));
    EXPECT_STREQ(small, "M") << "a short buffer gets what fits and its NUL";
    EXPECT_TRUE(ok(QB_UUTCancel(uid)));
    QB_UID_destroy(uid);
    EXPECT_TRUE(committed().empty());
}

TEST_F(FerrinTest, ConfigFilesDriveBothStandInsAndAreReadAgainWhenChanged) {
    const std::string qcfg = file("quenbar.cfg");
    const std::string tcfg = file("tamsel.cfg");
    nktest::writeFile(qcfg, "# sample\nstage = PVT\nstation_id = ST-9\nhealth = fail\nhealth_class = 32\n"
                            "health_text = unit is on hold\nrecord_dir = " + records() + "\n"
                            "fail = QB_UUTStart 1 2 7 start refused\n");
    nktest::writeFile(tcfg, "fail_count_allowed = 3\nset_control_bit = 0\ncheck = 0x1F XYZ\ncheck = 7 Seven\n"
                            "clear_on_pass = 1 2\nclear_on_fail = 9\n");
    setenv("NK_QUENBAR_CONFIG", qcfg.c_str(), 1);
    setenv("NK_TAMSEL_CONFIG", tcfg.c_str(), 1);

    QB_UID* uid = nullptr;
    QB_reply* r = QB_UUTStart(&uid);
    EXPECT_TRUE(QB_reply_isOfClass(r, 7));
    EXPECT_STREQ(QB_reply_getError(r), "start refused");
    QB_reply_destroy(r);
    EXPECT_FALSE(ok(QB_UUTStart(&uid)));
    ASSERT_TRUE(ok(QB_UUTStart(&uid))) << "the third start passes";
    r = QB_amIOkay(uid, "SN");
    EXPECT_TRUE(QB_reply_isOfClass(r, 32));
    EXPECT_STREQ(QB_reply_getError(r), "unit is on hold");
    QB_reply_destroy(r);
    char buf[16];
    size_t len = sizeof(buf) - 1;
    EXPECT_TRUE(ok(QB_getVQStationInfo(uid, 22, buf, &len)));
    EXPECT_STREQ(buf, "ST-9");

    EXPECT_EQ(StationFailCountAllowed(), 3);
    EXPECT_FALSE(StationSetControlBit());
    unsigned long n = 0;
    ASSERT_TRUE(ControlBitsToCheck(nullptr, &n, nullptr));
    ASSERT_EQ(n, 2u);
    int ids[2];
    char names[2][64];
    char* np[2] = {names[0], names[1]};
    ASSERT_TRUE(ControlBitsToCheck(ids, &n, np));
    EXPECT_EQ(ids[0], 0x1F);
    EXPECT_STREQ(names[0], "XYZ");
    EXPECT_STREQ(names[1], "Seven");
    n = 0;
    ASSERT_TRUE(ControlBitsToClearOnPass(nullptr, &n));
    EXPECT_EQ(n, 2u);

    // A changed file replaces the old settings and hooks.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    nktest::writeFile(qcfg, "health = ok\nrecord_dir = " + records() + "\n");
    EXPECT_TRUE(ok(QB_amIOkay(uid, "SN")));
    len = sizeof(buf) - 1;
    EXPECT_TRUE(ok(QB_getVQStationInfo(uid, 3, buf, &len)));
    EXPECT_STREQ(buf, "MP");
    QB_reply_destroy(QB_UUTCancel(uid));
    QB_UID_destroy(uid);
}

TEST_F(FerrinTest, TamselFillsFixedNameFieldsAndCanOverstateCounts) {
    const std::string longName(70, 'N');
    const int ids[] = {5};
    const char* names[] = {longName.c_str()};
    TamselStub_setCheckList(1, ids, names);
    TamselStub_setCountSkew(3);
    unsigned long n = 0;
    ASSERT_TRUE(ControlBitsToCheck(nullptr, &n, nullptr));
    EXPECT_EQ(n, 1u);
    int got[1] = {0};
    char field[64];
    char* np[1] = {field};
    ASSERT_TRUE(ControlBitsToCheck(got, &n, np));
    EXPECT_EQ(n, 4u) << "the skew claims more than was written";
    EXPECT_EQ(got[0], 5);
    EXPECT_EQ(std::string(field, 64), std::string(64, 'N')) << "no NUL in a full field";

    TamselStub_failCall("ControlBitsToClearOnFail", 1, 0);
    n = 0;
    EXPECT_FALSE(ControlBitsToClearOnFail(nullptr, &n));
    EXPECT_FALSE(ControlBitsToClearOnFail(nullptr, &n));
    EXPECT_EQ(TamselStub_callCount("ControlBitsToClearOnFail"), 2);
}
