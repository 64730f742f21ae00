// Test scripts: text to item records, and the load errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fw_items.h"
#include "nk_test_util.h"

namespace {

struct Rec {
    u32 type;
    std::string name, className;
    std::vector<std::string> waitFor;
    bool async;
    std::vector<std::string> params;
    bool operator==(const Rec& o) const {
        return type == o.type && name == o.name && className == o.className && waitFor == o.waitFor &&
               async == o.async && params == o.params;
    }
};

std::ostream& operator<<(std::ostream& os, const Rec& r) {
    os << "{" << r.type << ",'" << r.name << "','" << r.className << "',wait[";
    for (auto& w : r.waitFor) os << "'" << w << "'";
    os << "]," << r.async << ",params[";
    for (auto& p : r.params) os << "'" << p << "'";
    return os << "]}";
}

std::vector<Rec> parse(const std::string& text, u16* code) {
    std::vector<INK_testItem> items(3);  // emptied by every call
    *code = nkTest_parseTestScript(std::vector<char>(text.begin(), text.end()), items);
    std::vector<Rec> out;
    for (const INK_testItem& i : items) out.push_back({i.type, i.name, i.className, i.waitFor, i.async, i.params});
    return out;
}

const char* kSetup = "[*** TestSetup ***]\n";

}  // namespace

TEST(TestScript, TextToRecords) {
    struct Case {
        const char* what;
        std::string text;
        std::vector<Rec> records;
    };
    const std::vector<Case> cases = {
        {"one setup item", std::string(kSetup) + "INIT class=FwItem\n", {{1, "INIT", "FwItem", {}, false, {}}}},
        {"blanks, case, comment",
         std::string(kSetup) + "  T  Class = FwItem   waitFor=INIT  ASYNC  p1 # note\n",
         {{1, "T", "FwItem", {"INIT"}, true, {"p1"}}}},
        {"tabs and CRLF", std::string("[*** Test&Cal ***]\r\nA\tclass=FwItem\tx=1\r\nB class=FwItem\r\n"),
         {{2, "A", "FwItem", {}, false, {"x=1"}}, {2, "B", "FwItem", {}, false, {}}}},
        {"// comments and whole-line comments",
         std::string(kSetup) + "  // a comment line\nA class=FwItem // tail\n# another\n\tB class=FwItem\n",
         {{1, "A", "FwItem", {}, false, {}}, {1, "B", "FwItem", {}, false, {}}}},
        {"continued line", std::string(kSetup) + "A class=FwItem \\\n   p1 \\\n p2\nB class=FwItem\n",
         {{1, "A", "FwItem", {}, false, {"p1", "p2"}}, {1, "B", "FwItem", {}, false, {}}}},
        {"backslash then empty line ends the item", std::string(kSetup) + "A class=FwItem p1\\\n\nB class=FwItem\n",
         {{1, "A", "FwItem", {}, false, {"p1"}}, {1, "B", "FwItem", {}, false, {}}}},
        {"backslash at the very end", std::string(kSetup) + "A class=FwItem p1\\",
         {{1, "A", "FwItem", {}, false, {"p1"}}}},
        {"markers anywhere, any case; sections follow",
         "x [*** testsetup ***] y\nA class=FwItem\n-- [*** TEST&CAL ***]\nB class=FwItem\nend: [*** testend ***]!\n"
         "C class=FwItem\n",
         {{1, "A", "FwItem", {}, false, {}}, {2, "B", "FwItem", {}, false, {}}, {3, "C", "FwItem", {}, false, {}}}},
        {"only the first waitFor is a prerequisite", std::string(kSetup) + "A class=FwItem waitFor=X waitFor=Y\n",
         {{1, "A", "FwItem", {"X"}, false, {"waitFor=Y"}}}},
        {"a name containing unknown is an item",
         std::string(kSetup) + "unknownColor class=FwItem unknown_p\n",
         {{1, "unknownColor", "FwItem", {}, false, {"unknown_p"}}}},
        {"blanks after a line end are dropped", " [*** TestSetup ***]\n   A class=FwItem\n",
         {{1, "A", "FwItem", {}, false, {}}}},
        {"empty script", "", {}},
    };
    for (const Case& c : cases) {
        u16 code = 0xFFFF;
        testing::internal::CaptureStderr();
        const std::vector<Rec> got = parse(c.text, &code);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, 0) << c.what;
        EXPECT_EQ(got, c.records) << c.what;
    }
}

TEST(TestScript, ErrorsEmptyTheListAndSayWhy) {
    struct Case {
        std::string text;
        u16 code;
        std::string stderrText;
    };
    const std::vector<Case> cases = {
        {"A class=FwItem\n", kNKErr_invalidDataType, "unknown test type - check the script for\n\t\"A class=FwItem\"\n"},
        // The blank in the very first byte stays.
        {" A class=FwItem\n", kNKErr_invalidDataType, "unknown test type - check the script for\n\t\" A class=FwItem\"\n"},
        {std::string(kSetup) + "A class=FwItem\nUNKNOWN\nB class=FwItem\n", kNKErr_invalidDataType,
         "unknown test type - check the script for\n\t\"B class=FwItem\"\n"},
        {std::string(kSetup) + "A p1\n", kNKErr_invalidFormat, "test class not specified\n\ttestName=\"A\"\n"},
        {std::string(kSetup) + "A class= p1\n", kNKErr_invalidFormat, "class instance constructor not available\n"
                                                                     "\ttestName=\"A\"\n\tclassName=\"p1\"\n"},
        {std::string(kSetup) + "A class=fwitem\n", kNKErr_invalidFormat,
         "class instance constructor not available\n\ttestName=\"A\"\n\tclassName=\"fwitem\"\n"},
    };
    for (const Case& c : cases) {
        u16 code = 0;
        testing::internal::CaptureStderr();
        const auto got = parse(c.text + "[*** TestEnd ***]\nZ class=FwItem\n", &code);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(code, c.code) << c.text;
        EXPECT_TRUE(got.empty()) << c.text;
        EXPECT_EQ(err.substr(0, c.stderrText.size()), c.stderrText) << c.text;
        EXPECT_NE(err.find("nk_test.cpp/nkTest_loadTestScript()"), std::string::npos) << err;
    }
}

TEST(TestScript, LoadFromFile) {
    nktest::TempDir dir;
    std::vector<INK_testItem> items(2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(nkTest_loadTestScript(dir.file("missing.zqs"), items), kNKErr_fileNotExist);
    nktest::writeFile(dir.file("empty.zqs"), "");
    EXPECT_EQ(nkTest_loadTestScript(dir.file("empty.zqs"), items), kNKErr_fileNotExist);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(items.empty());
    EXPECT_NE(err.find("\"buff.size()>0\""), std::string::npos) << err;

    nktest::writeFile(dir.file("s.zqs"), "[*** TestSetup ***]\nINIT class=FwItem\n[*** TestEnd ***]\nEND class=FwItem\n");
    ASSERT_EQ(nkTest_loadTestScript(dir.file("s.zqs"), items), 0);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[1].type, kNkTestType_wrapup);
    EXPECT_EQ(items[1].name, "END");
}
