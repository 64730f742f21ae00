// Test data from property-list files and dictionaries, blob folders and finishing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "ferrin_dictionary.h"
#include "ferrin_test_util.h"

using fntest::FerrinTest;
using pf::plist::Value;

namespace {

// A Python literal of a test dictionary.
std::string test(const std::string& fields) { return "{" + fields + "}"; }
const std::string kPass = "'priority':'0','result':'PASS'";

// The test's own reader commands go through a shell; the library's never do.
std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

TEST_F(FerrinTest, PlistSubmissionTable) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    struct Case {
        const char* name;
        std::string root;                // Python literal, or "RAW:" and file text
        int32_t code;
        uint32_t itemsSent;
        std::vector<std::string> items;  // committed "name/sub/subsub"
        bool passed;
        const char* lastError;
    };
    const std::vector<Case> cases = {
        {"largest key wins",
         "{'1': {'Tests': [" + test("'testname':'one'," + kPass) + "]}, '2': {'Tests': [" +
             test("'testname':'two','subtestname':'s','subsubtestname':'ss'," + kPass) + "]}}",
         0, 1, {"two/s/ss"}, true, ""},
        {"keys by number, not text", "{'10': {'Tests': [" + test("'testname':'ten'," + kPass) + "]}, '9': {'Tests': [" +
             test("'testname':'nine'," + kPass) + "]}}",
         0, 1, {"ten//"}, true, ""},
        {"empty root", "{}", 0, 0, {}, true, ""},
        {"not a property list", "RAW:this is not XML", 9, 0, {}, true, "Unable to read plist: "},
        {"root is an array", "[1, 2]", 9, 0, {}, true, "Unable to read plist: "},
        {"CONFIG skipped but counted",
         "{'0': {'Tests': [" + test("'testname':'CONFIG'," + kPass) + "," + test("'testname':'a'," + kPass) + "]}}", 0,
         2, {"a//"}, true, ""},
        {"FAIL without message", "{'0': {'Tests': [" + test("'testname':'f','priority':'1','result':'FAIL'") + "]}}", 0,
         1, {"f//"}, false, ""},
        {"second lacks priority",
         "{'0': {'Tests': [" + test("'testname':'a'," + kPass) + "," + test("'testname':'b','result':'PASS'") + "," +
             test("'testname':'c'," + kPass) + "]}}",
         9, 2, {"a//", "c//"}, true, "Valid HUBR item requires test name, test result, and priority"},
        {"FAIL not sendable still fails the unit",
         "{'0': {'Tests': [" + test("'testname':'x','result':'FAIL'") + "]}}", 9, 0, {}, false,
         "Valid HUBR item requires test name, test result, and priority"},
        {"errCode goes last under its message",
         "{'0': {'Tests': [" + test("'testname':'errCode','failure_message':'E42 lamp'," + kPass) + "," +
             test("'testname':'a'," + kPass) + "]}}",
         0, 2, {"a//", "E42 lamp//"}, true, ""},
        {"bad priority", "{'0': {'Tests': [" + test("'testname':'p','priority':'7','result':'PASS'") + "]}}", 9, 0, {},
         true, "Unable to add test item p to HUBR: Could not set test priority\n"},
        {"no Tests array", "{'0': {'Attributes': {'lot':'L1'}}}", 0, 0, {}, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(records());
        std::filesystem::create_directories(records());
        std::string path;
        if (c.root.rfind("RAW:", 0) == 0) {
            path = file("raw.plist");
            nktest::writeFile(path, c.root.substr(4));
        } else {
            path = writePlist("case.plist", c.root);
        }
        ASSERT_EQ(FN_StartSession("PL", "1", "L", 1), FN_ERROR_NONE);
        EXPECT_EQ(FN_SubmitDataAsPlist("PL", path.c_str()), c.code);
        EXPECT_EQ(FN_GetNumItemsSent("PL"), c.itemsSent);
        EXPECT_EQ(std::string(FN_GetLastErrorMsg("PL")).substr(0, std::strlen(c.lastError)), c.lastError);
        ASSERT_EQ(FN_FinishMirbelSession("PL"), FN_ERROR_NONE);
        EXPECT_EQ(FN_CloseSession("PL"), FN_ERROR_NONE);
        const auto rec = onlyRecord();
        EXPECT_EQ(fntest::itemNames(rec), c.items);
        EXPECT_EQ(fntest::passed(rec), c.passed);
    }
}

TEST_F(FerrinTest, PlistItemFieldsAttributesAndTesterId) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string path = writePlist(
        "fields.plist",
        "{'0': {'Tests': [" + test("'testname':'TesterID','value':'T-07'," + kPass) + "," +
            test("'testname':'v','value':'3.5'," + kPass) + "," +
            test("'testname':'w','value':'4','units':'nm','lowerlimit':'1','upperlimit':'9'," + kPass) + "," +
            test("'testname':'f','result':'FAIL','priority':'-2','failure_message':'too dim'") + "," +
            test("'testname':'o','result':'SKIP','priority':'4'") +
            "], 'Attributes': {'lot':'L1','serialnumber':'IGNORED','station':'S9'}}}");
    ASSERT_EQ(FN_StartSession("FD", "1", "L", 1), FN_ERROR_NONE);
    ASSERT_EQ(FN_SubmitDataAsPlist("FD", path.c_str()), FN_ERROR_NONE);
    ASSERT_EQ(FN_FinishMirbelSession("FD"), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("FD"), FN_ERROR_NONE);

    const auto rec = onlyRecord();
    EXPECT_EQ(fntest::itemNames(rec), (std::vector<std::string>{"TesterID//", "v//", "w//", "f//", "o//"}));
    EXPECT_EQ(rec.find("DUTPos")->find("testerid")->str(), "T-07");
    EXPECT_EQ(fntest::itemField(rec, 1, "units"), "NA");
    EXPECT_EQ(fntest::itemField(rec, 1, "lowerlimit"), "NA");
    EXPECT_EQ(fntest::itemField(rec, 1, "upperlimit"), "NA");
    EXPECT_EQ(fntest::itemField(rec, 2, "units"), "nm");
    EXPECT_EQ(fntest::itemField(rec, 2, "upperlimit"), "9");
    EXPECT_EQ(fntest::itemField(rec, 3, "result"), "0");
    EXPECT_EQ(fntest::itemField(rec, 3, "message"), "too dim");
    EXPECT_EQ(fntest::itemField(rec, 3, "priority"), "-2");
    EXPECT_EQ(fntest::itemField(rec, 4, "result"), "2");
    EXPECT_EQ(fntest::itemField(rec, 0, "units"), "NA") << "TesterID is sent as an item too";
    const Value* attrs = rec.find("Attributes");
    EXPECT_EQ(attrs->find("serialnumber")->str(), "FD") << "the session's own attributes stay";
    EXPECT_EQ(attrs->find("lot")->str(), "L1");
    EXPECT_EQ(attrs->find("station")->str(), "S9");
    EXPECT_FALSE(fntest::passed(rec));
}

TEST_F(FerrinTest, TesterIdWithoutValueAndAttributeFailure) {
    Value root = Value::dict();
    Value& entry = root.set("0", Value::dict());
    Value& tests = entry.set("Tests", Value::array());
    Value& t = tests.append(Value::dict());
    t.set("testname", Value::string("TesterID"));
    t.set("priority", Value::string("0"));
    t.set("result", Value::string("PASS"));
    entry.set("Attributes", Value::dict()).set("lot", Value::string("L1"));
    const FN_Dictionary dict{root};

    QBStub_failCall("QB_addAttribute", 4, 1, 0, "attribute store full");  // after the three of the start
    ASSERT_EQ(FN_StartSession("TI", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAsDictionary("TI", &dict), FN_ERROR_ADDHUBR_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("TI"), "Unable to add attribute lot with value L1 to HUBR");
    EXPECT_EQ(FN_GetNumItemsSent("TI"), 1u);
    char log[4096];
    QBStub_callLog(log, sizeof(log));
    EXPECT_NE(std::string(log).find("QB_setDUTPos\t,NA\n"), std::string::npos) << log;
    EXPECT_EQ(FN_SubmitDataAsDictionary("TI", nullptr), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("TI"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, SubmissionOutsideAStartedRecordDoesNothing) {
    EXPECT_EQ(FN_StartSession("NS", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAsPlist("NS", nullptr), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitBlobFolder("NS", nullptr), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAsPlist("NS", file("missing.plist").c_str()), FN_ERROR_ADDHUBR_FAIL);
    EXPECT_EQ(std::string(FN_GetLastErrorMsg("NS")), "Path for plist does not exist: " + file("missing.plist"));
    ASSERT_EQ(FN_FinishMirbelSession("NS"), FN_ERROR_NONE);
    EXPECT_EQ(FN_FinishMirbelSession("NS"), FN_ERROR_NONE) << "finishing twice does nothing";
    EXPECT_EQ(QBStub_callCount("QB_UUTDone"), 1);
    EXPECT_EQ(FN_SubmitDataAsPlist("NS", file("missing.plist").c_str()), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitBlobFolder("NS", file("missing").c_str()), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("NS"), FN_ERROR_NONE);
    EXPECT_EQ(committed().size(), 1u);
}

TEST_F(FerrinTest, BlobFolderZipsExactlyItsFilesWithoutAShell) {
    const std::vector<std::string> names = {"plain", "with blank", "quote'd", "$(touch pwned)", "-dash", "trail/"};
    for (const std::string& given : names) {
        SCOPED_TRACE(given);
        const std::string name = given.back() == '/' ? given.substr(0, given.size() - 1) : given;
        std::filesystem::remove_all(records());
        std::filesystem::create_directories(records());
        const std::string folder = file("blobs/" + name);
        std::filesystem::create_directories(folder + "/sub");
        nktest::writeFile(folder + "/a.txt", "alpha");
        nktest::writeFile(folder + "/sub/b.bin", std::string(1000, '\x07'));
        nktest::writeFile(folder + ".zip", "stale, not a zip");

        ASSERT_EQ(FN_StartSession("BL", "1", "L", 1), FN_ERROR_NONE);
        const std::string arg = file("blobs/" + given);
        EXPECT_EQ(FN_SubmitBlobFolder("BL", arg.c_str()), FN_ERROR_NONE) << FN_GetLastErrorMsg("BL");
        ASSERT_EQ(FN_FinishMirbelSession("BL"), FN_ERROR_NONE);
        EXPECT_EQ(FN_CloseSession("BL"), FN_ERROR_NONE);

        EXPECT_FALSE(std::filesystem::exists("pwned"));
        EXPECT_FALSE(std::filesystem::exists(file("blobs/pwned")));
        int status = -1;
        const std::string zip = shellQuote(folder + ".zip");
        const std::string tested = nktest::runCommand("unzip -t " + zip + " 2>&1", &status);
        EXPECT_EQ(status, 0) << tested;
        auto listed = nktest::splitLines(nktest::runCommand("unzip -Z1 " + zip, &status));
        std::sort(listed.begin(), listed.end());
        EXPECT_EQ(listed, (std::vector<std::string>{name + "/", name + "/a.txt", name + "/sub/", name + "/sub/b.bin"}));
        const auto rec = onlyRecord();
        ASSERT_EQ(rec.find("Blobs")->items().size(), 1u);
        EXPECT_EQ(rec.find("Blobs")->items()[0].find("name")->str(), name);
    }
    EXPECT_FALSE(std::filesystem::exists(file("pwned")));
}

TEST_F(FerrinTest, BlobFailures) {
    ASSERT_EQ(FN_StartSession("BF", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitBlobFolder("BF", file("nowhere").c_str()), FN_ERROR_BLOB_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("BF"), "Path for blob does not exist");

    // zip refuses a folder it cannot read: exit status checked.
    const std::string locked = file("locked");
    std::filesystem::create_directories(locked);
    nktest::writeFile(locked + "/x", "x");
    if (geteuid() != 0) {
        chmod(locked.c_str(), 0);
        EXPECT_EQ(FN_SubmitBlobFolder("BF", locked.c_str()), FN_ERROR_BLOB_FAIL);
        EXPECT_EQ(std::string(FN_GetLastErrorMsg("BF")), "Unable to zip blob folder " + locked);
        chmod(locked.c_str(), 0755);
    }

    const std::string ok = file("ok");
    std::filesystem::create_directories(ok);
    nktest::writeFile(ok + "/x", "x");
    QBStub_failCall("QB_addBlob", 1, 1, 0, "blob store full");
    EXPECT_EQ(FN_SubmitBlobFolder("BF", ok.c_str()), FN_ERROR_BLOB_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("BF"), "Unable to add blob file to Quenbar");
    EXPECT_EQ(FN_CloseSession("BF"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, FinishFailures) {
    // Done refused by process control: committed as failed; refused otherwise: cancelled.
    QBStub_failCall("QB_UUTDone", 1, 1, 32, "process control hold");
    ASSERT_EQ(FN_StartSession("FF1", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_FinishMirbelSession("FF1"), FN_ERROR_CLOSE_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("FF1"), "Unable to commit and close Quenbar: process control hold");
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 1);
    EXPECT_EQ(FN_FinishMirbelSession("FF1"), FN_ERROR_NONE) << "the record is no longer started";
    EXPECT_EQ(FN_CloseSession("FF1"), FN_ERROR_NONE);

    QBStub_reset();
    QBStub_setRecordDir(records().c_str());
    QBStub_failCall("QB_UUTDone", 1, 1, 5, "plain failure");
    ASSERT_EQ(FN_StartSession("FF2", "1", "L", 1), FN_ERROR_NONE);
    EXPECT_EQ(FN_FinishMirbelSession("FF2"), FN_ERROR_CLOSE_FAIL);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 0);
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 1);
    EXPECT_EQ(FN_CloseSession("FF2"), FN_ERROR_NONE);
    EXPECT_EQ(QBStub_callCount("QB_UUTCancel"), 1) << "close leaves a finished record alone";

    // Through FN_SubmitDataAndFinish a failed commit is fatal (8) and sets result 5.
    QBStub_failCall("QB_UUTCommit", 1, 1, 0, "commit lost");
    ASSERT_EQ(startAndAnswer("FF3"), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAndFinish("FF3", nullptr, nullptr), FN_ERROR_FATAL_ERROR);
    EXPECT_STREQ(FN_GetLastErrorMsg("FF3"), "Unable to commit and close Quenbar: commit lost");
    EXPECT_EQ(FN_CompleteCurrentPhase("FF3"), FN_ERROR_FATAL_ERROR) << "the control-bit result is fatal now";
    EXPECT_EQ(FN_CloseSession("FF3"), FN_ERROR_NONE);

    // The dictionary form returns 11 and leaves the control-bit result alone.
    QBStub_failCall("QB_UUTCommit", 2, 1, 0, "commit lost again");
    ASSERT_EQ(startAndAnswer("FF4"), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAsDictionaryAndFinish("FF4", nullptr, nullptr), FN_ERROR_CLOSE_FAIL);
    EXPECT_STREQ(FN_GetLastErrorMsg("FF4"), "Unable to commit and close Quenbar: commit lost again");
    EXPECT_FALSE(logged("[FERRIN]Message returned: commit lost again"));
    EXPECT_EQ(FN_CloseSession("FF4"), FN_ERROR_NONE);
}

TEST_F(FerrinTest, SubmitAndFinishCommitsDataAndBlob) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string plist =
        writePlist("u.plist", "{'0': {'Tests': [" + test("'testname':'a','value':'1'," + kPass) + "]}}");
    const std::string folder = file("raw");
    std::filesystem::create_directories(folder);
    nktest::writeFile(folder + "/f", "f");
    ASSERT_EQ(startAndAnswer("SF"), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAndFinish("SF", plist.c_str(), folder.c_str()), FN_ERROR_NONE);
    EXPECT_EQ(FN_CloseSession("SF"), FN_ERROR_NONE);
    auto rec = onlyRecord();
    EXPECT_EQ(fntest::itemNames(rec), std::vector<std::string>{"a//"});
    EXPECT_EQ(rec.find("Blobs")->items().size(), 1u);
    EXPECT_TRUE(fntest::passed(rec));

    // A refused data file skips the blob but the record is still finished.
    std::filesystem::remove_all(records());
    std::filesystem::create_directories(records());
    ASSERT_EQ(startAndAnswer("SF2"), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAndFinish("SF2", file("none.plist").c_str(), folder.c_str()), FN_ERROR_ADDHUBR_FAIL);
    EXPECT_EQ(FN_CloseSession("SF2"), FN_ERROR_NONE);
    rec = onlyRecord();
    EXPECT_TRUE(rec.find("Blobs")->items().empty());

    // The dictionary form.
    std::filesystem::remove_all(records());
    std::filesystem::create_directories(records());
    Value root = Value::dict();
    Value& t = root.set("3", Value::dict()).set("Tests", Value::array()).append(Value::dict());
    t.set("testname", Value::string("d"));
    t.set("priority", Value::string("1"));
    t.set("result", Value::string("FAIL"));
    const FN_Dictionary dict{root};
    ASSERT_EQ(startAndAnswer("SF3"), FN_ERROR_NONE);
    EXPECT_EQ(FN_SubmitDataAsDictionaryAndFinish("SF3", &dict, folder.c_str()), FN_ERROR_NONE);
    EXPECT_EQ(FN_GetNumItemsSent("SF3"), 1u);
    EXPECT_EQ(FN_CloseSession("SF3"), FN_ERROR_NONE);
    rec = onlyRecord();
    EXPECT_EQ(fntest::itemField(rec, 0, "message"), "No info!");
    EXPECT_FALSE(fntest::passed(rec));
}
