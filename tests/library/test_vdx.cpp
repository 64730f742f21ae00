#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hexlo.h"
#include "nk_log_lines.h"
#include "nk_test_util.h"
#include "nk_vdx.h"
#include "vdx.h"

namespace fs = std::filesystem;
using nktest::randomBytes;
using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {

std::string str(const u8* p, i32 n) { return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)); }
std::string str(const std::vector<u8>& v) { return std::string(v.begin(), v.end()); }

// A store folder and a trust-object file for the repository stand-in; every hook
// is reset before and after.
class Repository : public testing::Test {
protected:
    void SetUp() override {
        vdx_test_reset();
        hexlo_test_failNext(0);
        nkVdx_setVdxLogLevel(7);
        fs::create_directory(dir.path() / "store");
        trustBytes = "trust object of this test\n";
        writeFile(trustPath(), trustBytes);
    }
    void TearDown() override {
        vdx_test_reset();
        hexlo_test_failNext(0);
    }
    std::string store() const { return "file://" + dir.file("store"); }
    std::string trustPath() const { return dir.file("trust.der"); }

    u16 put(const char* key, const std::vector<u8>& data, vdx_permission* unified = nullptr,
            const t_nkVdxRequest* requests = nullptr, i32 count = 0, const char* logFile = nullptr) {
        return nkVdx_setData(&log.lm, kNKVdx_CtCl, key, data.data(), static_cast<i32>(data.size()), requests,
                             "https://ca.invalid", store().c_str(), trustPath().c_str(), nullptr, unified, count,
                             logFile, kVL1);
    }
    u16 get(const char* key, std::string& out, const char* dsUrl = nullptr) {
        u8* data = nullptr;
        i32 length = -1;
        const u16 rc = nkVdx_getData(&log.lm, kNKVdx_CtCl, key, &data, &length, nullptr, nullptr,
                                     dsUrl ? dsUrl : store().c_str(), trustPath().c_str(), nullptr, nullptr, 0,
                                     nullptr, kVL1);
        out = data ? str(data, length) : std::string();
        if (rc != 0) {
            EXPECT_EQ(data, nullptr);
            EXPECT_EQ(length, 0);
        }
        std::free(data);
        return rc;
    }

    TempDir dir;
    nktest::Logged log{kVL2};
    std::string trustBytes;
};

}  // namespace

// ---------------------------------------------------------------- dry runs

TEST(VdxDryRun, RecordRoundTripThroughTheFolder) {
    TempDir dir;
    nktest::Logged log{kVL2};
    const std::vector<u8> record = randomBytes(8106, 7);
    const std::string folder = dir.path().string();
    ASSERT_EQ(nkVdx_setData(&log.lm, kNKVdx_CtCl, "ABC", record.data(), 8106, nullptr, nullptr, nullptr, nullptr,
                            folder.c_str(), nullptr, 0, nullptr, kVL1),
              0);
    const std::string path = dir.file("ABC_CtCl.bin");
    writeFile(dir.file("expected.bin"), str(record));
    int status = -1;
    nktest::runCommand("cmp '" + path + "' '" + dir.file("expected.bin") + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(log.count(" Upload VDX key CtCl, size 8106"), 1u);

    u8* data = reinterpret_cast<u8*>(&status);  // stale values the call must clear
    i32 length = 99;
    ASSERT_EQ(nkVdx_getData(&log.lm, kNKVdx_CtCl, "ABC", &data, &length, nullptr, nullptr, nullptr, nullptr,
                            folder.c_str(), nullptr, 0, nullptr, kVL1),
              0);
    ASSERT_EQ(length, 8106);
    EXPECT_EQ(str(data, length), str(record));
    std::free(data);

    // Missing, then a folder standing where the file should be: no buffer either way.
    data = reinterpret_cast<u8*>(&status);
    length = 99;
    EXPECT_EQ(nkVdx_getData_dryRun(&log.lm, kNKVdx_CtCl, "XYZ", folder.c_str(), &data, &length, kVL1),
              kNKErr_vdx_no_entry);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0);
    fs::create_directory(dir.path() / "DIR_CtCl.bin");
    EXPECT_EQ(nkVdx_getData_dryRun(&log.lm, kNKVdx_CtCl, "DIR", folder.c_str(), &data, &length, kVL1),
              kNKErr_fileReadFailed);
    EXPECT_EQ(data, nullptr);
}

TEST(VdxDryRun, RefusesKeysFoldersAndBuffersThatWouldMisnameOrMisreadAFile) {
    TempDir dir;
    const std::string folder = dir.path().string();
    const std::string longFolder = folder + "/" + std::string(511 - folder.size(), 'f');
    ASSERT_EQ(longFolder.size(), 512u);
    const std::vector<u8> data(16, 0xAB);
    // The last value is what a download of the same key and folder gives: the
    // buffer checks belong to the upload only.
    struct Case {
        const char* key;
        std::string folder;
        const u8* data;
        i32 length;
        u32 dataClass;
        u16 onGet;
    } cases[] = {
        {"ABC", longFolder, data.data(), 16, kNKVdx_CtCl, kNKErr_invalidParam},
        {"../x", folder, data.data(), 16, kNKVdx_CtCl, kNKErr_invalidParam},
        {"a/b", folder, data.data(), 16, kNKVdx_CtCl, kNKErr_invalidParam},
        {"a\x01z", folder, data.data(), 16, kNKVdx_CtCl, kNKErr_invalidParam},
        {"", folder, data.data(), 16, kNKVdx_CtCl, kNKErr_invalidParam},
        {"ABC", folder, data.data(), 16, 0x43742F6C, kNKErr_invalidParam},  // "Ct/l"
        {"ABC", folder, nullptr, 16, kNKVdx_CtCl, kNKErr_vdx_no_entry},
        {"ABC", folder, data.data(), 0, kNKVdx_CtCl, kNKErr_vdx_no_entry},
        {"ABC", folder, data.data(), -1, kNKVdx_CtCl, kNKErr_vdx_no_entry},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("key '") + c.key + "' folder length " + std::to_string(c.folder.size()) +
                     " length " + std::to_string(c.length));
        EXPECT_EQ(nkVdx_setData_dryRun(nullptr, c.dataClass, c.key, c.folder.c_str(), c.data, c.length, kVL1),
                  kNKErr_invalidParam);
        u8* out = nullptr;
        i32 length = 0;
        EXPECT_EQ(nkVdx_getData_dryRun(nullptr, c.dataClass, c.key, c.folder.c_str(), &out, &length, kVL1), c.onGet);
    }
    EXPECT_EQ(nkVdx_setData_dryRun(nullptr, kNKVdx_CtCl, nullptr, folder.c_str(), data.data(), 16, kVL1),
              kNKErr_invalidParam);
    EXPECT_EQ(nkVdx_setData_dryRun(nullptr, kNKVdx_CtCl, "ABC", nullptr, data.data(), 16, kVL1), kNKErr_invalidParam);
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(VdxDryRun, AFileThatCannotBeWrittenIsAnErrorAndKeepsTheOldOne) {
    TempDir dir;
    const std::vector<u8> data = randomBytes(4096, 3);
    EXPECT_EQ(nkVdx_setData_dryRun(nullptr, kNKVdx_CtCl, "ABC", dir.file("missing").c_str(), data.data(), 4096, kVL1),
              kNKErr_fileOpenFailed);
    const std::string folder = dir.path().string();
    writeFile(dir.file("ABC_CtCl.bin"), "old");
    const u16 rc = nktest::withFileSizeLimit(
        1024, [&] { return nkVdx_setData_dryRun(nullptr, kNKVdx_CtCl, "ABC", folder.c_str(), data.data(), 4096, kVL1); });
    EXPECT_EQ(rc, kNKErr_fileWriteFailed);
    EXPECT_EQ(readFile(dir.file("ABC_CtCl.bin")), "old");
}

// ---------------------------------------------------------------- error mapping and settings

TEST(Vdx, ErrorMappingAndLogLevel) {
    const std::pair<long, u16> table[] = {{0, 0},     {18, 0},    {7, 592},  {8, 590},  {11, 590},
                                          {1, 602},   {3, 602},   {17, 602}, {19, 602}, {-1, 602}};
    for (const auto& [code, expected] : table) EXPECT_EQ(vdxError2nkError(code), expected) << code;
    EXPECT_EQ(nkVdx_setVdxLogLevel(8), kNKErr_invalidParam);
    EXPECT_EQ(nkVdx_setVdxLogLevel(255), kNKErr_invalidParam);
    EXPECT_EQ(nkVdx_setVdxLogLevel(7), 0);
    EXPECT_EQ(nkVdx_setVdxLogLevel(0), 0);
    EXPECT_EQ(nkVdx_setVdxLogLevel(7), 0);
    EXPECT_STREQ(nkVdx_classText(kNKVdx_CtCl), "CtCl");
    EXPECT_STREQ(nkVdx_classText(0x41424344), "");
}

TEST(Vdx, KeysThatCanNameAFile) {
    EXPECT_TRUE(nkVdx_isKeyValid("C7H1234567890ABCD"));
    EXPECT_TRUE(nkVdx_isKeyValid(std::string(127, 'k').c_str()));
    for (const std::string& bad : {std::string(), std::string(128, 'k'), std::string(".."), std::string("a..b"),
                                  std::string("a/b"), std::string("a\tb"), std::string("a\x7f")})
        EXPECT_FALSE(nkVdx_isKeyValid(bad.c_str())) << bad;
    EXPECT_FALSE(nkVdx_isKeyValid(nullptr));
}

// ---------------------------------------------------------------- transfers through the stand-in

TEST_F(Repository, UploadThenDownloadWithTheTrustObjectsDigest) {
    const std::vector<u8> record = randomBytes(8106, 11);
    ASSERT_EQ(put("C7H123", record), 0);
    EXPECT_EQ(readFile(dir.file("store/C7H123_CtCl.bin")), str(record));
    EXPECT_STREQ(vdx_test_lastClientOption("HTTPTimeout"), "2");
    EXPECT_STREQ(vdx_test_lastClientOption("VerifyData"), "false");
    EXPECT_STREQ(vdx_test_lastClientOption("StripVantex"), "true");
    EXPECT_STREQ(vdx_test_lastClientOption("CAURL"), "https://ca.invalid");
    EXPECT_EQ(log.count("('CtCl',8106)"), 1u);
    EXPECT_EQ(log.count("[VDX PUT RETRY"), 0u);

    std::string back;
    ASSERT_EQ(get("C7H123", back), 0);
    EXPECT_EQ(back, str(record));
    EXPECT_STREQ(vdx_test_lastClientOption("VerifyData"), "");
    EXPECT_STREQ(vdx_test_lastClientOption("HTTPTimeout"), "2");

    // The digest handed to the client is the published SHA-256 of the trust file.
    u8 digest[64] = {};
    ASSERT_EQ(vdx_test_lastClientData("TrustObjectDigest", digest, sizeof(digest)), 32);
    std::string hex;
    for (int i = 0; i < 32; ++i) {
        char cell[3];
        std::snprintf(cell, sizeof(cell), "%02x", digest[i]);
        hex += cell;
    }
    if (nktest::havePython()) {
        const std::string py = nktest::runCommand(std::string(NK_PYTHON) +
                                                  " -c \"import hashlib,sys;print(hashlib.sha256(open(sys.argv[1],'rb')"
                                                  ".read()).hexdigest())\" '" + trustPath() + "'");
        EXPECT_EQ(hex + "\n", py);
    }
    u8 trust[64] = {};
    ASSERT_EQ(vdx_test_lastClientData("TrustObject", trust, sizeof(trust)), static_cast<long>(trustBytes.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(trust), trustBytes.size()), trustBytes);
}

TEST_F(Repository, RepositoryErrorsMapToTheLibrarysCodes) {
    const std::vector<u8> record = randomBytes(100, 1);
    ASSERT_EQ(put("SN1", record), 0);
    struct Case {
        int code;
        u16 onPut;
        u16 onGet;
    } cases[] = {{7, 592, 592}, {8, 590, 590}, {11, 590, 590}, {3, 504, 505}, {42, 504, 505}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        vdx_test_reset();
        vdx_test_answer("put", c.code);
        vdx_test_answer("copy", c.code);
        EXPECT_EQ(put("SN1", record), c.onPut);
        std::string back = "stale";
        EXPECT_EQ(get("SN1", back), c.onGet);
        EXPECT_EQ(back, "");
    }
    vdx_test_reset();
    std::string back;
    EXPECT_EQ(get("NOSUCH", back), kNKErr_vdx_no_entry);
    // A store it cannot serve from here answers as a time-out.
    EXPECT_EQ(get("SN1", back, "https://store.invalid/vdx"), kNKErr_vdx_connection_timeout);
    // A copy that brings nothing and no error is a failed download.
    vdx_test_emptyCopy(1);
    EXPECT_EQ(get("SN1", back), kNKErr_vdx_GET);
    // Client creation refused.
    vdx_test_reset();
    vdx_test_answer("client", 1);
    EXPECT_EQ(put("SN1", record), kNKErr_vdxCreation);
}

TEST_F(Repository, PutRetriesThreeTimesUnlessAnErrorObjectSaysOtherwise) {
    const std::vector<u8> record = randomBytes(300, 5);
    vdx_test_failPuts(3);
    ASSERT_EQ(put("SN2", record), 0);
    for (int round = 1; round <= 3; ++round)
        EXPECT_EQ(log.count("[VDX PUT RETRY: round" + std::to_string(round) + "]"), 1u) << round;
    EXPECT_EQ(log.count("[VDX PUT RETRY"), 3u);
    EXPECT_EQ(vdx_test_transferCount(), 1 + 4);  // the trust copy and four puts
    EXPECT_EQ(readFile(dir.file("store/SN2_CtCl.bin")), str(record));

    vdx_test_reset();
    vdx_test_failPuts(4);
    EXPECT_EQ(put("SN3", record), kNKErr_vdx_SET);
    EXPECT_FALSE(fs::exists(dir.file("store/SN3_CtCl.bin")));

    // An error object stops at once.
    vdx_test_reset();
    log.clear();
    vdx_test_answer("put", 8);
    EXPECT_EQ(put("SN4", record), kNKErr_vdx_connection_timeout);
    EXPECT_EQ(vdx_test_transferCount(), 2);
    EXPECT_EQ(log.count("[VDX PUT RETRY"), 0u);

    // An error object that counts as success does not end the retries; four failed rounds are 504.
    vdx_test_reset();
    vdx_test_answer("put", 18);
    EXPECT_EQ(put("SN5", record), kNKErr_vdx_SET);
    EXPECT_EQ(vdx_test_transferCount(), 5);
}

TEST_F(Repository, AFailedTrustCopyOrDigestIsNeverASuccess) {
    const std::vector<u8> record = randomBytes(64, 2);
    std::string back;
    struct Case {
        int answer;
        u16 expected;
    } cases[] = {{0, 603}, {VDX_TEST_NO_ERROR_OBJECT, 603}, {18, 603}, {8, 590}, {7, 592}, {3, 602}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        vdx_test_reset();
        vdx_test_answer("trust", c.answer);
        EXPECT_EQ(put("SN6", record), c.expected);
        EXPECT_EQ(get("SN6", back), c.expected);
        EXPECT_EQ(vdx_test_transferCount(), 2);  // no put or copy followed
    }
    vdx_test_reset();
    EXPECT_FALSE(fs::exists(dir.file("store/SN6_CtCl.bin")));
    // The trust-object URL is not one the stand-in can serve: a time-out.
    EXPECT_EQ(nkVdx_setData(&log.lm, kNKVdx_CtCl, "SN6", record.data(), 64, nullptr, nullptr, store().c_str(),
                            "https://trust.invalid/obj", nullptr, nullptr, 0, nullptr, kVL1),
              kNKErr_vdx_connection_timeout);
    hexlo_test_failNext(1);
    EXPECT_EQ(put("SN6", record), kNKErr_vdx_GET);
    EXPECT_EQ(log.count("digest of the trust object failed"), 1u);
    EXPECT_FALSE(fs::exists(dir.file("store/SN6_CtCl.bin")));
}

TEST_F(Repository, PermissionsUnifiedAndPerInstance) {
    const t_nkVdxRequest requests[] = {{kNKVdx_CtCl, 1}, {kNKVdx_CtCl, 0}};
    vdx_permission* unified = nkVdx_createVdxPermission(&log.lm, requests, 2, nullptr, kVL1);
    ASSERT_NE(unified, nullptr);
    EXPECT_STREQ(vdx_permission_text(unified), "CtCl:1:*;CtCl:0:*");
    const std::vector<u8> record = randomBytes(50, 9);
    ASSERT_EQ(put("SN7", record, unified), 0);
    EXPECT_STREQ(vdx_test_lastClientOption("Permissions"), "CtCl:1:*;CtCl:0:*");
    EXPECT_EQ(log.count("Use Unified Certificate"), 1u);

    ASSERT_EQ(put("SN7", record, nullptr, requests, 2), 0);
    EXPECT_STREQ(vdx_test_lastClientOption("Permissions"), "CtCl:1:SN7;CtCl:0:SN7");
    EXPECT_EQ(log.count("Request Individual Certificate"), 1u);
    vdx_permission_release(unified);

    // A class outside the table builds no permission.
    const t_nkVdxRequest unknown[] = {{kNKVdx_CtCl, 1}, {0x41424344, 0}};
    EXPECT_EQ(nkVdx_createVdxPermission(&log.lm, unknown, 2, nullptr, kVL1), nullptr);
    EXPECT_EQ(put("SN7", record, nullptr, unknown, 2), kNKErr_vdxDataAllocation);
}

TEST(VdxDeathTest, PermissionWithoutRequestsIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(nkVdx_createVdxPermission(nullptr, nullptr, 1, nullptr, kVL1), "");
    const t_nkVdxRequest one[] = {{kNKVdx_CtCl, 1}};
    EXPECT_DEATH(nkVdx_createVdxPermission(nullptr, one, 0, nullptr, kVL1), "");
}

TEST_F(Repository, RepositoryMessagesGoToTheCallsLogFileByLevel) {
    const std::vector<u8> record = randomBytes(20, 4);
    const std::string logFile = dir.file("unit_vdx.log");
    testing::internal::CaptureStdout();
    ASSERT_EQ(put("SN8", record, nullptr, nullptr, 0, logFile.c_str()), 0);
    ASSERT_EQ(nkVdx_setVdxLogLevel(5), 0);
    ASSERT_EQ(put("SN9", record, nullptr, nullptr, 0, logFile.c_str()), 0);
    nkVdx_setVdxLogLevel(7);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string text = readFile(logFile);
    EXPECT_NE(text.find("vdx: put CtCl/SN8 (20 bytes)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SN9"), std::string::npos) << text;  // information dropped at level 5
    EXPECT_NE(out.find("vdx: put CtCl/SN8"), std::string::npos);
    // A log file that cannot be opened leaves the messages on standard output only.
    testing::internal::CaptureStdout();
    ASSERT_EQ(put("SN10", record, nullptr, nullptr, 0, dir.file("no/such/folder.log").c_str()), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("vdx: put CtCl/SN10"), std::string::npos);
}

// Two uploading threads must never meet inside the repository library (it ends
// the process if they do), while dry runs and permission building run beside them.
TEST_F(Repository, TransfersAreSerialisedAndDryRunsRunBeside) {
    vdx_test_transferDelayMs(2);
    const std::vector<u8> record = randomBytes(8106, 12);
    const std::string dry = dir.file("dry");
    fs::create_directory(dry);
    std::atomic<int> failures{0};
    std::atomic<bool> uploading{true};
    std::atomic<int> dryRunsDuringUploads{0};
    auto uploader = [&](int id) {
        for (int i = 0; i < 12; ++i) {
            const std::string key = "U" + std::to_string(id) + "_" + std::to_string(i);
            if (nkVdx_setData(nullptr, kNKVdx_CtCl, key.c_str(), record.data(), 8106, nullptr, nullptr, store().c_str(),
                              trustPath().c_str(), nullptr, nullptr, 0, nullptr, kVL1) != 0)
                ++failures;
        }
    };
    auto dryRunner = [&](int id) {
        const t_nkVdxRequest requests[] = {{kNKVdx_CtCl, 1}};
        for (int i = 0; uploading.load() && i < 10000; ++i) {
            const std::string key = "D" + std::to_string(id);
            if (nkVdx_setData_dryRun(nullptr, kNKVdx_CtCl, key.c_str(), dry.c_str(), record.data(), 8106, kVL1) != 0)
                ++failures;
            vdx_permission_release(nkVdx_createVdxPermission(nullptr, requests, 1, nullptr, kVL1));
            if (uploading.load()) ++dryRunsDuringUploads;
        }
    };
    testing::internal::CaptureStdout();
    std::thread d1(dryRunner, 1), d2(dryRunner, 2);
    std::thread u1(uploader, 1), u2(uploader, 2);
    u1.join();
    u2.join();
    uploading = false;
    d1.join();
    d2.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(vdx_test_transferCount(), 2 * 12 * 2);
    EXPECT_GT(dryRunsDuringUploads.load(), 2);
    for (int id = 1; id <= 2; ++id)
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(fs::file_size(dir.file("store/U" + std::to_string(id) + "_" + std::to_string(i) + "_CtCl.bin")),
                      8106u);
}

// ---------------------------------------------------------------- older family

TEST_F(Repository, OlderFamilyRoundTripRemovalAndMemoryStore) {
    EXPECT_EQ(nkVdx_init_permission(&log.lm, 9, kVL1), kNKErr_notSupported);
    ASSERT_EQ(nkVdx_init_permission(&log.lm, 0, kVL1), 0);
    ASSERT_EQ(nkVdx_init_permission(&log.lm, 3, kVL1), 0);  // built once, kept
    const std::vector<u8> record = randomBytes(3598, 21);
    const std::string ds = store();
    testing::internal::CaptureStdout();
    ASSERT_EQ(nkVdx_set_data(&log.lm, kNKVdx_CtCl, "OLD1", record.data(), 3598, nullptr, ds.c_str(),
                             trustPath().c_str(), kVL1),
              0);
    EXPECT_STREQ(vdx_test_lastClientOption("Permissions"),
                 "CtCl:0:*;CtCl:1:*;FSCl:0:*;FSCl:1:*;NvMR:0:*;NvMR:1:*;hop0:0:*;hop0:1:*");
    u8* data = nullptr;
    i32 length = 0;
    ASSERT_EQ(nkVdx_get_data(&log.lm, kNKVdx_CtCl, "OLD1", &data, &length, nullptr, ds.c_str(), trustPath().c_str(),
                             kVL1),
              0);
    EXPECT_EQ(str(data, length), str(record));
    std::free(data);

    // Removal, checked by a copy that must then fail.
    EXPECT_EQ(nkVdx_del_data(&log.lm, kNKVdx_CtCl, "OLD1", nullptr, ds.c_str(), trustPath().c_str(), kVL1), 0);
    EXPECT_FALSE(fs::exists(dir.file("store/OLD1_CtCl.bin")));
    EXPECT_EQ(nkVdx_get_data(&log.lm, kNKVdx_CtCl, "OLD1", &data, &length, nullptr, ds.c_str(), trustPath().c_str(),
                             kVL1),
              kNKErr_vdx_no_entry);
    EXPECT_EQ(log.count("copy failed: error 7, timed out no"), 1u);
    EXPECT_EQ(nkVdx_del_data(&log.lm, kNKVdx_CtCl, "OLD1", nullptr, ds.c_str(), trustPath().c_str(), kVL1),
              kNKErr_vdx_DEL);
    ASSERT_EQ(nkVdx_set_data(&log.lm, kNKVdx_CtCl, "OLD2", record.data(), 3598, nullptr, ds.c_str(),
                             trustPath().c_str(), kVL1),
              0);
    vdx_test_keepOnRemove(1);
    EXPECT_EQ(nkVdx_del_data(&log.lm, kNKVdx_CtCl, "OLD2", nullptr, ds.c_str(), trustPath().c_str(), kVL1),
              kNKErr_vdx_DEL_confirm);
    vdx_test_keepOnRemove(0);
    EXPECT_EQ(nkVdx_get_data(&log.lm, kNKVdx_CtCl, "OLD2", &data, &length, nullptr, "https://store.invalid",
                             trustPath().c_str(), kVL1),
              kNKErr_vdx_connection_timeout);
    EXPECT_EQ(log.count("timed out yes"), 1u);
    testing::internal::GetCapturedStdout();

    // In-memory store from a property list written by Python's plistlib.
    if (!nktest::havePython()) GTEST_SKIP() << "no python3";
    const std::string plist = dir.file("store.plist");
    int status = -1;
    nktest::runCommand(std::string(NK_PYTHON) +
                           " -c \"import plistlib,sys;plistlib.dump({'CtCl':{'MEM1':bytes(range(256))*3,"
                           "'MEM2':b'x'},'FSCl':{'MEM1':b'other'}},open(sys.argv[1],'wb'))\" '" + plist + "'",
                       &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(nkVdx_get_data_mem(&log.lm, "MEM1", plist.c_str(), &data, &length), 0);
    ASSERT_EQ(length, 768);
    for (int i = 0; i < 768; ++i) ASSERT_EQ(data[i], static_cast<u8>(i % 256)) << i;
    std::free(data);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, "MEM3", plist.c_str(), &data, &length), kNKErr_vdx_no_entry);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, nullptr, plist.c_str(), &data, &length), kNKErr_invalidPointer);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, "MEM1", nullptr, &data, &length), kNKErr_invalidPointer);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, "MEM1", plist.c_str(), nullptr, &length), kNKErr_invalidPointer);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, "MEM1", plist.c_str(), &data, nullptr), kNKErr_invalidPointer);
    EXPECT_EQ(nkVdx_get_data_mem(&log.lm, "MEM1", dir.file("none.plist").c_str(), &data, &length),
              kNKErr_fileReadFailed);
}
