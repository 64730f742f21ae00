// The spec manager: verdicts and their lines, the listing, the first error, the
// spec file with its checksum line and the table file kept between runs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "ZelkCsvManager.h"
#include "ZelkLogManager.h"
#include "ZelkPaths.h"
#include "ZelkSpecManager.h"
#include "nk_gtest_util.h"
#include "nk_locale_util.h"
#include "nk_test_util.h"

using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {

constexpr double NA = kZelk_noValue;

tZelk_SpecItem item(const char* title, SInt32 type, double lower = NA, double upper = NA, double value = NA) {
    tZelk_SpecItem e{};
    e.title = title;
    e.type = type;
    e.lower = lower;
    e.upper = upper;
    e.value = value;
    return e;
}

// The station's table of the tests below: every kind of entry once.
const std::vector<tZelk_SpecItem> kStation = {
    item("vbat", kZSP_i16, 1, 5),         item("gain", kZSP_double, -0.5, 2.25), item("id", kZSP_u32, NA, 256),
    item("name", kZSP_text),              item("count64", kZSP_u64),             item("trim", kZSP_u8, 0, 200),
};

class Relay : public iZelk_LogRelay {
public:
    void OnLogStringUpdated(UInt32, const char* line) override {
        std::lock_guard<std::mutex> guard(mutex_);
        text_ += line;
    }
    std::string take() {
        std::lock_guard<std::mutex> guard(mutex_);
        std::string t;
        t.swap(text_);
        return t;
    }

private:
    std::mutex mutex_;
    std::string text_;
};

// The var folder in a temporary folder, so the table file lands there; a log
// manager whose lines are collected.
struct SpecTest : ::testing::Test {
    TempDir dir;
    zelk::roots::Folders saved = zelk::roots::get();
    Relay relay;
    iZelk_LogManager* lm = ZLM_Create();
    std::string table = dir.path().string() + "/tamber_spec.bin";

    SpecTest() {
        zelk::roots::Folders f = saved;
        f.var = dir.path().string();
        zelk::roots::set(f);
        ZLM_SetLogRelay(lm, 1, &relay);
    }
    ~SpecTest() override {
        ZLM_Delete(&lm);
        zelk::roots::set(saved);
    }
    iZelk_SpecManager* make(const std::vector<tZelk_SpecItem>& items = kStation) {
        return ZSP_Create(items.data(), static_cast<SInt32>(items.size()));
    }
};

// A spec file body closed by its checksum line, computed here from the rule:
// minus the sum of the bytes as signed values, exclusive-or 0x5B2E97C4.
std::string withChecksum(const std::string& body) {
    int32_t sum = 0;
    for (char c : body) sum -= static_cast<signed char>(c);
    char tail[32];
    std::snprintf(tail, sizeof(tail), "CHKSUM,%08X", static_cast<uint32_t>(sum) ^ 0x5B2E97C4u);
    return body + tail;
}

size_t tableSize(size_t count) { return 302 + 288 * count; }

}  // namespace

// ----------------------------------------------------------------------------- verdicts

TEST_F(SpecTest, VerdictsAndTheirLines) {
    const std::vector<tZelk_SpecItem> items = {item("gain", kZSP_double), item("vbat", kZSP_i16),
                                               item("trim", kZSP_u8), item("fl32", kZSP_float)};
    iZelk_SpecManager* m = make(items);
    ASSERT_NE(m, nullptr);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        SInt32 index;
        double lower, upper, value;
        const char* format;
        SInt32 code;
        const char* line;
    } rows[] = {
        {0, 1, 5, 3, nullptr, 0, "gain :\t     3.0\n"},
        {0, 1, 5, 6, "%3.1f", 91, "gain :\t6.0\t(exp. 1.0 ~ 5.0)\n"},
        {0, 1, 5, NA, "%3.1f", 91, "gain :\t[NODATA]\t(exp. 1.0 ~ 5.0)\n"},
        {0, 2, 2, 3, "%3.1f", 91, "gain :\t3.0\t(exp. == 2.0)\n"},
        {0, NA, 2, 3, "%3.1f", 91, "gain :\t3.0\t(exp. <= 2.0)\n"},
        {0, -5, NA, NA, "%3.1f", 88, "gain :\t[NODATA]\t(exp. >= -5.0)\n"},
        {0, NA, NA, NA, "%3.1f", 88, "gain :\t[NODATA]\n"},
        {0, 1, 5, nan, "%3.1f", 27, "gain :\tnan\t(exp. 1.0 ~ 5.0)\n"},
        {0, nan, nan, 3, "%3.1f", 0, "gain :\t3.0\n"},  // a NaN limit never fails
        {1, 1, 5, 7.9, "%d", 91, "vbat :\t7\t(exp. 1 ~ 5)\n"},
        // The default format on an integer entry gets the integer as a number, not as bits.
        {1, 1, 5, 40000, nullptr, 91, "vbat :\t 32767.0\t(exp.      1.0 ~      5.0)\n"},
        {1, 1, 5, nan, "%d", 27, "vbat :\tNA\t(exp. 1 ~ 5)\n"},
        {1, 1, 5, 3, "%s", 0, "vbat :\t     3.0\n"},      // not a number's format: the default
        {1, 1, 5, 3, "%d %d", 0, "vbat :\t     3.0\n"},  // two values asked for: the default
        {1, 1, 5, 3, "v=%hd%%", 0, "vbat :\tv=3%\n"},
        {2, 0, 200, -3, "%u", 91, "trim :\t0\t(exp. 0 ~ 200)\n"},  // held at the type's range, not wrapped
        {2, 0, 200, 1e300, "%u", 91, "trim :\t255\t(exp. 0 ~ 200)\n"},
        {3, NA, NA, 0.1, "%.10f", 0, "fl32 :\t0.1000000015\n"},  // single precision
    };
    for (const auto& r : rows) {
        ASSERT_EQ(ZSP_OverrideSpec(m, r.index, r.lower, r.upper), 0);
        ASSERT_EQ(ZSP_RecordDat(m, r.index, r.value), 0);
        EXPECT_EQ(ZSP_CheckSpec(m, r.index, nullptr, r.format), r.code) << r.line;
        relay.take();
        EXPECT_EQ(ZSP_CheckSpec(m, r.index, lm, r.format), r.code) << r.line;
        EXPECT_EQ(relay.take(), r.line);
    }

    // A long title: the line stays within 255 characters.
    const std::string longTitle(400, 't');
    const std::vector<tZelk_SpecItem> big = {item(longTitle.c_str(), kZSP_double, 0, 1, 2)};
    iZelk_SpecManager* b = make(big);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ZSP_CheckSpec(b, 0, lm, "%f"), 91);
    EXPECT_EQ(relay.take(), longTitle.substr(0, 255) + "\n");
    ZSP_Delete(&b);
    ZSP_Delete(&m);
    EXPECT_EQ(m, nullptr);
}

TEST_F(SpecTest, ArgumentErrors) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    double v = 0;
    const char* text = nullptr;
    const struct {
        const char* what;
        SInt32 got;
        SInt32 code;
    } rows[] = {
        {"no manager", ZSP_RecordDat(nullptr, 0, 1), 17},
        {"below the table", ZSP_RecordDat(m, -1, 1), 85},
        {"past the table", ZSP_CheckSpec(m, 6, nullptr, nullptr), 85},
        {"value on a text", ZSP_RecordDat(m, 3, 1), 86},
        {"text on a value", ZSP_RecordStr(m, 0, "x"), 86},
        {"no text", ZSP_RecordStr(m, 3, nullptr), 85},
        {"check a 64-bit entry", ZSP_CheckSpec(m, 4, lm, nullptr), 86},
        {"limits of a text", ZSP_OverrideSpec(m, 3, 1, 2), 86},
        {"no output", ZSP_GetDat(m, 0, nullptr), 17},
        {"text of a value", ZSP_GetStr(m, 0, &text), 86},
        {"value of a text", ZSP_GetDat(m, 3, &v), 86},
        {"no error output", ZSP_GetErr(m, nullptr, nullptr), 17},
        {"long table path", ZSP_SetSpecTableFile(m, std::string(256, 'p').c_str()), 17},
        {"list without manager", ZSP_ListSpec(nullptr, lm), 17},
    };
    for (const auto& r : rows) EXPECT_EQ(r.got, r.code) << r.what;
    EXPECT_EQ(ZSP_GetTestItem(m, 6), nullptr);
    EXPECT_EQ(ZSP_GetTestItem(m, 5)->type, kZSP_u8);

    const std::vector<tZelk_SpecItem> noTitle = {item(nullptr, kZSP_u8)}, badType = {item("x", 11)};
    EXPECT_EQ(ZSP_Create(nullptr, 1), nullptr);
    EXPECT_EQ(ZSP_Create(kStation.data(), 0), nullptr);
    EXPECT_EQ(ZSP_Create(noTitle.data(), 1), nullptr);
    EXPECT_EQ(ZSP_Create(badType.data(), 1), nullptr);
    std::vector<tZelk_SpecItem> many(65536, item("x", kZSP_u8));
    EXPECT_EQ(ZSP_Create(many.data(), 65536), nullptr);  // the count is kept in 16 bits
    ZSP_Delete(&m);
    ZSP_Delete(nullptr);
}

TEST_F(SpecTest, RecordedValuesTextsAndTheOperationTable) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    tZelk_SpecManagerOps* ops = m;  // how projects hold the manager
    double v = 0;
    EXPECT_EQ(ops->GetDat(0, &v), 88);
    EXPECT_EQ(v, NA);
    EXPECT_EQ(ops->RecordDat(0, 4.5), 0);
    EXPECT_EQ(ops->GetDat(0, &v), 0);
    EXPECT_EQ(v, 4.5);
    EXPECT_EQ(ops->CheckSpec(0, nullptr, nullptr), 0);
    EXPECT_EQ(ops->OverrideSpec(0, 5, 6), 0);
    EXPECT_EQ(ops->CheckSpec(0, nullptr, nullptr), 91);

    const std::string longText(300, 'x');
    const char* text = nullptr;
    EXPECT_EQ(ops->RecordStr(3, longText.c_str()), 0);
    EXPECT_EQ(ops->GetStr(3, &text), 0);
    EXPECT_EQ(std::string(text), longText.substr(0, 255));
    ZSP_Delete(&m);
}

// ----------------------------------------------------------------------------- first error and listing

TEST_F(SpecTest, FirstErrorIsKept) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    SInt32 code = 0;
    const char* text = nullptr;
    EXPECT_EQ(ZSP_InitSpecTable(m), 0);
    EXPECT_EQ(ZSP_GetErr(m, &code, &text), 0);
    EXPECT_EQ(code, -1);
    EXPECT_STREQ(text, "DEADBEEF");
    EXPECT_EQ(ZSP_RecordErr(m, 7, "first"), 0);
    EXPECT_EQ(ZSP_RecordErr(m, 9, "second"), 0);
    EXPECT_EQ(ZSP_GetErr(m, &code, &text), 0);
    EXPECT_EQ(code, 7);
    EXPECT_STREQ(text, "first");
    EXPECT_EQ(ZSP_InitSpecTable(m), 0);
    EXPECT_EQ(ZSP_RecordErr(m, 9, std::string(300, 'e').c_str()), 0);
    EXPECT_EQ(ZSP_GetErr(m, &code, &text), 0);
    EXPECT_EQ(code, 9);
    EXPECT_EQ(std::strlen(text), 255u);
    ZSP_Delete(&m);
}

TEST_F(SpecTest, Listing) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(ZSP_InitSpecTable(m), 0);
    ZSP_RecordDat(m, 1, 1.5);
    ZSP_RecordDat(m, 2, 8589934592.0);  // beyond 32 bits: shown as the largest
    ZSP_RecordStr(m, 3, "a-very-long-name");
    ZSP_RecordDat(m, 5, std::numeric_limits<double>::quiet_NaN());
    relay.take();
    EXPECT_EQ(ZSP_ListSpec(m, lm), 0);
    EXPECT_EQ(relay.take(),
              "spec   \t      lower\t  cur value\t      upper\n"
              "========================================================\n"
              "vbat   \t          1\t         NA\t          5\t\n"
              "gain   \t     -0.500\t      1.500\t      2.250\t\n"
              "id     \t         NA\t0x0FFFFFFFF\t0x000000100\t\n"
              "name   \t         NA\ta-very-lo..\t         NA\n"
              "count64\t         NA\t         NA\t         NA\n"
              "trim   \t0x000000000\t         NA\t0x0000000C8\t\n"
              "err= -1 (DEADBEEF)\n");
    ZSP_ResetErr(m);
    ZSP_RecordStr(m, 3, "");
    EXPECT_EQ(ZSP_ListSpec(m, lm), 0);
    const std::string text = relay.take();
    EXPECT_NE(text.find("name   \t         NA\t         NA\t         NA\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 13), "err=  0 (OK)\n");
    ZSP_Delete(&m);

    // A longest title of 2 characters does not pad "spec".
    const std::vector<tZelk_SpecItem> shortTitles = {item("ab", kZSP_i32, -3, 3, 1)};
    m = make(shortTitles);
    ASSERT_NE(m, nullptr);
    relay.take();
    EXPECT_EQ(ZSP_ListSpec(m, lm), 0);
    EXPECT_EQ(relay.take(),
              "spec\t      lower\t  cur value\t      upper\n"
              "=====================================================\n"
              "ab\t         -3\t          1\t          3\t\n"
              "err= -1 (DEADBEEF)\n");
    ZSP_Delete(&m);
}

// ----------------------------------------------------------------------------- spec file

TEST_F(SpecTest, SpecFileIsReadBackByPythonAndUnderAGermanLocale) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    const std::string path = dir.file("limits.csv");
    ASSERT_EQ(ZSP_SpecFileCreate(m, path.c_str()), 0);
    const std::string written = readFile(path);
    EXPECT_EQ(written.substr(0, written.find("CHKSUM,")),
              "spec_title,lower_limit,upper_limit,\n"
              "vbat,1,5,\n"
              "gain,-0.500000,2.250000,\n"
              "id,NA,256,\n"
              "trim,0,200,\n");
    EXPECT_EQ(written, withChecksum(written.substr(0, written.find("CHKSUM,"))));
    if (nktest::havePython()) {
        const std::string out = nktest::runPython(dir,
                                                  "import sys\n"
                                                  "b=open(sys.argv[1],'rb').read()\n"
                                                  "body,tag,val=b.rpartition(b'CHKSUM,')\n"
                                                  "s=-sum(x-256 if x>127 else x for x in body)\n"
                                                  "print((s&0xFFFFFFFF)^0x5B2E97C4==int(val,16),len(val))\n",
                                                  path);
        EXPECT_EQ(out, "True 8\n");
    }
    {
        nktest::GermanNumbers german;
        if (german.active()) {
            const std::string again = dir.file("again.csv");
            ASSERT_EQ(ZSP_SpecFileCreate(m, again.c_str()), 0);
            EXPECT_EQ(readFile(again), written);
            ZSP_OverrideSpec(m, 1, 7, 8);
            ASSERT_EQ(ZSP_LoadSpecFile(m, again.c_str()), 0);
            EXPECT_EQ(ZSP_GetTestItem(m, 1)->lower, -0.5);
            EXPECT_EQ(ZSP_GetTestItem(m, 1)->upper, 2.25);
        }
    }

    // Read back into a manager whose limits were changed.
    for (SInt32 i : {0, 1, 2, 5}) ZSP_OverrideSpec(m, i, 100, 101);
    ASSERT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 0);
    for (SInt32 i : {0, 1, 2, 5}) {
        EXPECT_EQ(ZSP_GetTestItem(m, i)->lower, kStation[static_cast<size_t>(i)].lower) << i;
        EXPECT_EQ(ZSP_GetTestItem(m, i)->upper, kStation[static_cast<size_t>(i)].upper) << i;
    }

    // One digit changed: refused whole. Two characters exchanged keep the sum: taken.
    std::string edited = written;
    edited.replace(edited.find("vbat,1,5,"), 9, "vbat,1,6,");
    writeFile(path, edited);
    EXPECT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 22);
    EXPECT_EQ(ZSP_GetTestItem(m, 0)->upper, 5);
    edited = written;
    edited.replace(edited.find("vbat,1,5,"), 9, "vbat,5,1,");
    writeFile(path, edited);
    EXPECT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 0);
    EXPECT_EQ(ZSP_GetTestItem(m, 0)->lower, 5);
    EXPECT_EQ(ZSP_GetTestItem(m, 0)->upper, 1);

    writeFile(path, written.substr(0, written.find("CHKSUM,")));
    EXPECT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 22);
    writeFile(path, written.substr(0, written.find("CHKSUM,") + 7) + "xyz");
    EXPECT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 22);
    EXPECT_EQ(ZSP_LoadSpecFile(m, dir.file("missing.csv").c_str()), 31);
    EXPECT_EQ(ZSP_SpecFileCreate(m, dir.file("no/such/folder.csv").c_str()), 31);
    ZSP_Delete(&m);
}

TEST_F(SpecTest, SpecFileLinesAreReadCautiously) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    const std::string path = dir.file("hand.csv");
    writeFile(path, withChecksum("spec_title,lower_limit,upper_limit,\n"
                                 "xgain,9,9,\n"                // another title that ends in the name
                                 "note: gain,7,7,\n"           // the name inside a line
                                 "gain,na,NA,\r\n"             // no limits; a CRLF line end
                                 "gain,3,3,\n"                 // the first line of a title counts
                                 "vbat,1.5,3,\n"               // not an integer: left as it was
                                 "trim,0x10,255\n"             // hexadecimal; no comma at the end
                                 "id,5\n"                      // no second comma in its line
                                 ",6,\n") +
                        "\nvbat,2,2,");  // after the checksum: not covered, not read
    ASSERT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 0);
    const struct {
        SInt32 index;
        double lower, upper;
    } rows[] = {{0, 1, 5}, {1, NA, NA}, {2, NA, 256}, {5, 16, 255}};
    for (const auto& r : rows) {
        EXPECT_EQ(ZSP_GetTestItem(m, r.index)->lower, r.lower) << r.index;
        EXPECT_EQ(ZSP_GetTestItem(m, r.index)->upper, r.upper) << r.index;
    }

    // Values that do not fit the entry's type leave it as it was.
    writeFile(path, withChecksum("vbat,99999999999,3,\ntrim,-1,4,\nid,0x100000000,1,\ngain,1e999x,1,\n"));
    ASSERT_EQ(ZSP_LoadSpecFile(m, path.c_str()), 0);
    for (const auto& r : rows) {
        EXPECT_EQ(ZSP_GetTestItem(m, r.index)->lower, r.lower) << r.index;
        EXPECT_EQ(ZSP_GetTestItem(m, r.index)->upper, r.upper) << r.index;
    }
    ZSP_Delete(&m);
}

// ----------------------------------------------------------------------------- table file

TEST_F(SpecTest, TableFileCarriesTheRunToTheNextManager) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(readFile(table).size(), tableSize(kStation.size()));  // no file: reset and saved
    struct stat st;
    ASSERT_EQ(stat(table.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    ZSP_RecordDat(m, 0, 3.25);
    ZSP_RecordStr(m, 3, "unit-7");
    ZSP_OverrideSpec(m, 5, 10, 20);
    ZSP_RecordErr(m, 7, "bad");
    const std::string start = ZSP_GetStartTime(m, nullptr);
    ZSP_Delete(&m);

    if (nktest::havePython()) {
        const std::string out = nktest::runPython(
            dir,
            "import struct,sys\n"
            "b=open(sys.argv[1],'rb').read()\n"
            "n=struct.unpack_from('<H',b,40)[0]\n"
            "print(len(b),n,b[8:40].split(b'\\0')[0].decode())\n"
            "for i in range(n):\n"
            "  t,r,lo,hi,v=struct.unpack_from('<iiddd',b,42+288*i)\n"
            "  s=b[74+288*i:330+288*i].split(b'\\0')[0].decode()\n"
            "  print(t,r,'NA' if lo==-1.7e-300 else lo,'NA' if hi==-1.7e-300 else hi,"
            "'NA' if v==-1.7e-300 else v,s)\n"
            "e=struct.unpack_from('<i',b,42+288*n)[0]\n"
            "print(e,b[46+288*n:].split(b'\\0')[0].decode(),len(b[46+288*n:]))\n",
            table);
        EXPECT_EQ(out, "2030 6 " + start +
                           "\n"
                           "3 0 1.0 5.0 3.25 \n"
                           "9 0 -0.5 2.25 NA \n"
                           "4 0 NA 256.0 NA \n"
                           "10 0 NA NA NA unit-7\n"
                           "6 0 NA NA NA \n"
                           "0 0 10.0 20.0 NA \n"
                           "7 bad 256\n");
    }

    m = make();
    ASSERT_NE(m, nullptr);
    double v = 0;
    const char* text = nullptr;
    SInt32 code = 0;
    EXPECT_EQ(ZSP_GetDat(m, 0, &v), 0);
    EXPECT_EQ(v, 3.25);
    EXPECT_EQ(ZSP_GetStr(m, 3, &text), 0);
    EXPECT_STREQ(text, "unit-7");
    EXPECT_EQ(ZSP_GetTestItem(m, 5)->lower, 10);
    EXPECT_EQ(ZSP_GetErr(m, &code, &text), 0);
    EXPECT_EQ(code, 7);
    EXPECT_STREQ(text, "bad");
    EXPECT_EQ(std::string(ZSP_GetStartTime(m, nullptr)), start);

    // A reset brings the templates back and saves them.
    EXPECT_EQ(ZSP_InitSpecTable(m), 0);
    EXPECT_EQ(ZSP_GetDat(m, 0, &v), 88);
    EXPECT_EQ(ZSP_GetTestItem(m, 5)->lower, 0);
    ZSP_Delete(&m);
}

TEST_F(SpecTest, TableFileOfAnotherTableOrCutShortStartsAfresh) {
    const std::vector<tZelk_SpecItem> three(kStation.begin(), kStation.begin() + 3);
    const std::vector<tZelk_SpecItem> four(kStation.begin(), kStation.begin() + 4);
    iZelk_SpecManager* m3 = make(three);
    ASSERT_NE(m3, nullptr);
    ZSP_RecordDat(m3, 0, 2);
    ZSP_Delete(&m3);
    const std::string threeFile = readFile(table);
    ASSERT_EQ(threeFile.size(), tableSize(3));

    // A table grown by one entry: 24, reset to the templates and saved with four.
    iZelk_SpecManager* m = make(four);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(readFile(table).size(), tableSize(4));
    double v = 0;
    EXPECT_EQ(ZSP_GetDat(m, 0, &v), 88);
    writeFile(table, threeFile);
    EXPECT_EQ(ZSP_LoadSpecTable(m), 24);
    EXPECT_EQ(readFile(table).size(), tableSize(4));
    SInt32 code = 0;
    ZSP_GetErr(m, &code, nullptr);
    EXPECT_EQ(code, -1);

    // The same count with other types is another table too.
    std::string file = readFile(table);
    const int32_t text = kZSP_text;
    std::memcpy(file.data() + 42 + 288, &text, 4);
    ZSP_RecordDat(m, 0, 4);
    writeFile(table, file);
    EXPECT_EQ(ZSP_LoadSpecTable(m), 24);
    EXPECT_EQ(ZSP_GetDat(m, 0, &v), 88);

    // Cut short anywhere: 33 and a fresh table, written whole.
    file = readFile(table);
    for (size_t cut : {size_t{0}, size_t{20}, size_t{41}, size_t{42 + 100}, file.size() - 1}) {
        ZSP_RecordDat(m, 0, 4);
        writeFile(table, file.substr(0, cut));
        EXPECT_EQ(ZSP_LoadSpecTable(m), 33) << cut;
        EXPECT_EQ(ZSP_GetDat(m, 0, &v), 88) << cut;
        EXPECT_EQ(readFile(table).size(), tableSize(4)) << cut;
    }

    // Texts without their zero byte are ended inside their fields.
    file = readFile(table);
    std::memset(file.data() + 8, 'S', 32);
    std::memset(file.data() + 42 + 288 * 3 + 32, 'T', 256);
    std::memset(file.data() + 46 + 288 * 4, 'E', 256);
    writeFile(table, file);
    ASSERT_EQ(ZSP_LoadSpecTable(m), 0);
    const char* t = nullptr;
    ASSERT_EQ(ZSP_GetStr(m, 3, &t), 0);
    EXPECT_EQ(std::strlen(t), 255u);
    ZSP_GetErr(m, &code, &t);
    EXPECT_EQ(std::strlen(t), 255u);
    EXPECT_EQ(std::strlen(ZSP_GetStartTime(m, nullptr)), 31u);

    // A table file that cannot be written: the failure is the answer, never success.
    ASSERT_EQ(ZSP_SetSpecTableFile(m, dir.file("no/such/tamber_spec.bin").c_str()), 0);
    EXPECT_EQ(ZSP_SaveSpecTable(m), 31);
    EXPECT_EQ(ZSP_InitSpecTable(m), 31);
    EXPECT_EQ(ZSP_LoadSpecTable(m), 31);
    ZSP_Delete(&m);
}

// ----------------------------------------------------------------------------- times

TEST_F(SpecTest, StartAndStopTimes) {
    iZelk_SpecManager* m = make();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(ZSP_SetStartTime(m), 0);
    double start = 0;
    const std::string text = ZSP_GetStartTime(m, &start);
    EXPECT_NEAR(start, static_cast<double>(std::time(nullptr)) - 978307200.0, 60);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    ASSERT_EQ(std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                          &used),
              6)
        << text;
    EXPECT_EQ(used, 19) << text;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    EXPECT_EQ(year, local.tm_year + 1900);  // the calendar year

    double elapsed = -1;
    const std::string stop = ZSP_GetStopTime(m, &elapsed);  // taken on first asking
    EXPECT_FALSE(stop.empty());
    EXPECT_GE(elapsed, 0);
    EXPECT_LT(elapsed, 60);
    EXPECT_EQ(std::string(ZSP_GetStopTime(m, nullptr)), stop);
    ZSP_Delete(&m);
}

// ----------------------------------------------------------------------------- SpecGeneratePlist

namespace {

// Two units as the station's CSV writer appends them.
std::string writeUnits(const TempDir& dir) {
    const std::string path = dir.file("units.csv");
    const struct {
        const char* sn;
        double gain;
    } units[] = {{"SN1", 2.5}, {"SN2", 5}};
    for (const auto& u : units) {
        iZelk_CsvManager* csv =
            ZCSV_Create("Station", "1.2", u.sn, 0, "", "2026-01-02 03:04:05", "2026-01-02 03:04:09", "T1", 789.5, 4.25);
        EXPECT_NE(csv, nullptr);
        tZelk_CsvItem gain{"gain", kZCSV_Double, 1, 4, u.gain, {}};
        EXPECT_EQ(ZCSV_AddItemData(csv, &gain), 0);
        EXPECT_EQ(ZCSV_WriteCsvFile(csv, path.c_str(), false), 0);
        ZCSV_Delete(&csv);
    }
    return path;
}

}  // namespace

TEST_F(SpecTest, GeneratePlistReadByPlistlib) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string csv = writeUnits(dir);
    const std::string simple = dir.file("simple.plist"), last = dir.file("last.plist");
    relay.take();
    ASSERT_EQ(ZSP_GeneratePlist(lm, ("  " + csv + " " + simple + " -DOSIMPLE").c_str()), 0);
    EXPECT_EQ(relay.take(), ".source csv file:   " + csv + "\n.target plist file: " + simple +
                                "\n.doSimple:          yes\n.lastResultOnly:    no\n[DONE]\n");
    ASSERT_EQ(ZSP_GeneratePlist(lm, (csv + "\t" + last + " x -lastresultonly").c_str()), 0);
    const std::string script =
        "import plistlib,sys\n"
        "for f in sys.argv[1:]:\n"
        "  d=plistlib.load(open(f,'rb'))\n"
        "  print(sorted(d))\n"
        "  for k in sorted(d):\n"
        "    u=d[k]\n"
        "    print(k,sorted(u.get('Attributes',{}).items()),u['OverallResult'])\n"
        "    print([(t['testname'],t['value'],t['result']) for t in u['Tests']])\n";
    const std::string out = nktest::runPython(dir, script, simple + " " + last);
    EXPECT_EQ(out,
              "['0', '1']\n"
              "0 [] PASS\n"
              "[('timeStamp', '789.500', 'PASS'), ('testTime', '4.250', 'PASS'), ('gain', '2.500000', 'PASS'), "
              "('errCode', '0', 'PASS')]\n"
              "1 [] PASS\n"
              "[('timeStamp', '789.500', 'PASS'), ('testTime', '4.250', 'PASS'), ('gain', '5.000000', 'FAIL'), "
              "('errCode', '0', 'PASS')]\n"
              "['0']\n"
              "0 [('serialnumber', 'SN2'), ('softwarename', 'Station'), ('softwareversion', '1.2')] PASS\n"
              "[('timeStamp', '789.500', 'PASS'), ('testTime', '4.250', 'PASS'), ('gain', '5.000000', 'FAIL'), "
              "('errCode', '0', 'PASS')]\n");
}

TEST_F(SpecTest, GeneratePlistArguments) {
    const std::string csv = writeUnits(dir);
    const std::string junk = dir.file("junk.csv");
    writeFile(junk, "no header\n");
    const std::string target = dir.file("t.plist");
    const struct {
        std::string argument;
        SInt32 code;
        const char* message;  // the reason, besides the common error and the usage
    } rows[] = {
        {"", 17, nullptr},
        {"   ", 17, nullptr},
        {csv, 17, "[ERR] Invalid source csv file name\n"},
        {dir.file("missing.csv") + " " + target, 29, "[ERR] source csv file does not exist\n"},
        {csv + "  \t ", 17, "[ERR] Invalid target plist file name\n"},
        {junk + " " + target, -1, nullptr},  // the converter's own code
    };
    for (const auto& r : rows) {
        relay.take();
        EXPECT_EQ(ZSP_GeneratePlist(lm, r.argument.c_str()), r.code) << r.argument;
        const std::string text = relay.take();
        if (r.message) {
            EXPECT_NE(text.find(r.message), std::string::npos) << text;
        }
        EXPECT_NE(text.find("[ERR] [Error,0x"), std::string::npos) << text;
        EXPECT_NE(text.find("[Zelk_ProjectBase SpecGeneratePlist:]"), std::string::npos) << text;
        EXPECT_NE(text.find("[ERR] SpecGeneratePlist error: invalid argument\nUsage:\tSpecGeneratePlist "
                            "sourceCsvFileName targetPlistFileName [-doSimple] [-lastResultOnly]\n"),
                  std::string::npos)
            << text;
    }
    EXPECT_FALSE(std::filesystem::exists(target));  // nothing was converted
    EXPECT_EQ(ZSP_GeneratePlist(lm, nullptr), 17);
}
