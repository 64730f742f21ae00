#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "nk_test_util.h"
#include "plist/pf_plist.h"

using pf::plist::Value;

namespace {

Value sampleTree() {
    Value root = Value::dict();
    root.set("name", Value::string("unit <1> & \"two\""));
    root.set("real", Value::real(0.1));
    root.set("neg", Value::integer(-9007199254740993LL));
    root.set("yes", Value::boolean(true));
    root.set("no", Value::boolean(false));
    root.set("when", Value::date(86400.0 * 366 + 3661));  // 2002-01-02 01:01:01 UTC
    Value& arr = root.set("list", Value::array());
    arr.append(Value::string("a"));
    arr.append(Value::dict()).set("inner", Value::string("x"));
    arr.append(Value::array());
    root.set("empty", Value::string(""));
    return root;
}

}  // namespace

TEST(Plist, WrittenFileLoadsInPythonWithEveryType) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    const std::string path = dir.file("tree.plist");
    std::string err;
    ASSERT_TRUE(pf::plist::writeFile(path, sampleTree(), &err)) << err;
    EXPECT_EQ(nktest::readFile(path).find("DOCTYPE"), std::string::npos);

    const std::string script =
        "import plistlib,sys,datetime\n"
        "d=plistlib.load(open(sys.argv[1],'rb'))\n"
        "assert d['name']=='unit <1> & \"two\"', d['name']\n"
        "assert d['real']==0.1 and d['neg']==-9007199254740993\n"
        "assert d['yes'] is True and d['no'] is False and d['empty']==''\n"
        "assert d['when']==datetime.datetime(2002,1,2,1,1,1), d['when']\n"
        "assert d['list']==['a',{'inner':'x'},[]], d['list']\n"
        "print('ok')\n";
    const std::string py = dir.file("check.py");
    nktest::writeFile(py, script);
    int status = -1;
    const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + py + " " + path + " 2>&1", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "ok\n");
}

TEST(Plist, ReadsBackWhatItWrites) {
    Value back;
    std::string err;
    ASSERT_TRUE(pf::plist::fromXml(pf::plist::toXml(sampleTree()), back, &err)) << err;
    ASSERT_EQ(back.type(), Value::Type::Dict);
    EXPECT_EQ(back.find("name")->str(), "unit <1> & \"two\"");
    EXPECT_EQ(back.find("real")->real(), 0.1);
    EXPECT_EQ(back.find("neg")->integer(), -9007199254740993LL);
    EXPECT_TRUE(back.find("yes")->boolean());
    EXPECT_FALSE(back.find("no")->boolean());
    EXPECT_EQ(back.find("when")->date(), 86400.0 * 366 + 3661);
    const Value* list = back.find("list");
    ASSERT_EQ(list->items().size(), 3u);
    EXPECT_EQ(list->items()[1].find("inner")->str(), "x");
    EXPECT_EQ(list->items()[2].type(), Value::Type::Array);
    EXPECT_EQ(back.keys(), sampleTree().keys());  // insertion order kept
}

TEST(Plist, ReadsPythonsOwnOutput) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    const std::string path = dir.file("py.plist");
    int status = -1;
    nktest::runCommand(std::string(NK_PYTHON) +
                           " -c \"import plistlib;plistlib.dump({'k':[1,2.5,'s',True,{}]},open('" + path +
                           "','wb'))\"",
                       &status);
    ASSERT_EQ(status, 0);
    Value v;
    std::string err;
    ASSERT_TRUE(pf::plist::readFile(path, v, &err)) << err;  // with its DOCTYPE line
    const auto& items = v.find("k")->items();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].integer(), 1);
    EXPECT_EQ(items[1].real(), 2.5);
    EXPECT_EQ(items[2].str(), "s");
    EXPECT_TRUE(items[3].boolean());
    EXPECT_EQ(items[4].type(), Value::Type::Dict);
}

TEST(Plist, RefusesMalformedInput) {
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<array>";
    const char* bad[] = {
        "",
        "<dict/>",                                               // no plist root
        "<plist><dict><string>x</string></dict></plist>",        // value without key
        "<plist><integer>12x</integer></plist>",
        "<plist><real>abc</real></plist>",
        "<plist><date>yesterday</date></plist>",
        "<plist><data>A*==</data></plist>",                      // not base64
        "<plist><integer>18446744073709551616</integer></plist>",  // past 2^64-1
        "<plist><integer>-9223372036854775809</integer></plist>",
        "<plist><dict><key>a</key></dict></plist>",              // key without value
        "<plist><string>x</string>",                             // truncated
    };
    for (const char* xml : bad) {
        Value v = Value::string("kept");
        std::string err;
        EXPECT_FALSE(pf::plist::fromXml(xml, v, &err)) << xml;
        EXPECT_FALSE(err.empty()) << xml;
        EXPECT_EQ(v.str(), "kept") << xml;
    }
    Value v;
    EXPECT_FALSE(pf::plist::fromXml("<plist>" + deep, v));
}

TEST(Plist, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    nktest::TempDir dir;
    std::string err;
    EXPECT_FALSE(pf::plist::writeFile(dir.file("missing/sub/x.plist"), sampleTree(), &err));
    EXPECT_FALSE(err.empty());

    // A path that is a folder cannot be replaced by the rename.
    std::filesystem::create_directory(dir.file("target.plist"));
    EXPECT_FALSE(pf::plist::writeFile(dir.file("target.plist"), sampleTree()));
    size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);  // only the folder; the temporary was removed

    // Text XML cannot carry is refused, not silently shortened.
    const std::string kept = dir.file("kept.plist");
    ASSERT_TRUE(pf::plist::writeFile(kept, sampleTree()));
    const std::string before = nktest::readFile(kept);
    Value bad = sampleTree();
    bad.set("name", Value::string("SN\x01" "7\ttab"));
    err.clear();
    EXPECT_FALSE(pf::plist::writeFile(kept, bad, &err));
    EXPECT_FALSE(err.empty());
    EXPECT_EQ(nktest::readFile(kept), before);
}

TEST(Plist, ReadsDataAndIntegersUpTo64UnsignedBits) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    nktest::TempDir dir;
    const std::string path = dir.file("py.plist");
    const std::string py = dir.file("make.py");
    nktest::writeFile(py,
                      "import plistlib,sys\n"
                      "d={'blob':bytes(range(200)),'max':2**64-1,'big':2**63,'min':-2**63,'empty':b''}\n"
                      "plistlib.dump(d,open(sys.argv[1],'wb'))\n");
    int status = -1;
    nktest::runCommand(std::string(NK_PYTHON) + " " + py + " " + path, &status);
    ASSERT_EQ(status, 0);
    Value v;
    std::string err;
    ASSERT_TRUE(pf::plist::readFile(path, v, &err)) << err;
    std::string bytes;
    for (int i = 0; i < 200; ++i) bytes += static_cast<char>(i);
    ASSERT_EQ(v.find("blob")->type(), Value::Type::Data);
    EXPECT_EQ(v.find("blob")->bytes(), bytes);
    EXPECT_EQ(v.find("empty")->bytes(), "");
    EXPECT_TRUE(v.find("max")->isUnsigned());
    EXPECT_EQ(v.find("max")->uinteger(), UINT64_MAX);
    EXPECT_EQ(v.find("big")->uinteger(), uint64_t{1} << 63);
    EXPECT_FALSE(v.find("min")->isUnsigned());
    EXPECT_EQ(v.find("min")->integer(), INT64_MIN);

    // Written back, Python reads the same values.
    ASSERT_TRUE(pf::plist::writeFile(path, v, &err)) << err;
    nktest::writeFile(py,
                      "import plistlib,sys\n"
                      "d=plistlib.load(open(sys.argv[1],'rb'))\n"
                      "print(d['blob']==bytes(range(200)),d['max']==2**64-1,d['big']==2**63,d['min']==-2**63,d['empty'])\n");
    EXPECT_EQ(nktest::runCommand(std::string(NK_PYTHON) + " " + py + " " + path + " 2>&1", &status), "True True True True b''\n");
}

TEST(Plist, ReplacingWriteTakesLongNamesKeepsTheModeAndRefusesBadUtf8) {
    nktest::TempDir dir;
    Value root = Value::dict();
    root.set("k", Value::string("caf\xC3\xA9"));
    std::string err;
    // A name at the file-name limit leaves no room for a suffixed temporary name.
    const std::string longName = dir.file(std::string(249, 'p') + ".plist");
    ASSERT_TRUE(pf::plist::writeFile(longName, root, &err)) << err;
    Value back;
    ASSERT_TRUE(pf::plist::readFile(longName, back, &err)) << err;
    EXPECT_EQ(back.find("k")->str(), "caf\xC3\xA9");

    const std::string path = dir.file("mode.plist");
    nktest::writeFile(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(pf::plist::writeFile(path, root, &err)) << err;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // Latin-1 bytes or a cut sequence would come back as other characters.
    for (const char* bad : {"caf\xE9", "x\xC3", "\xED\xA0\x80"}) {
        Value tree = Value::dict();
        tree.set("k", Value::string(bad));
        EXPECT_FALSE(pf::plist::writeFile(path, tree, &err)) << bad;
        Value keyed = Value::dict();
        keyed.set(bad, Value::string("v"));
        EXPECT_FALSE(pf::plist::writeFile(path, keyed, &err)) << bad;
    }
    ASSERT_TRUE(pf::plist::readFile(path, back, &err)) << err;
    EXPECT_EQ(back.find("k")->str(), "caf\xC3\xA9");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 2);
}

// A large dictionary looks its keys up through an index: replacing, repeated keys in a
// file, and copies (which then change on their own) behave as the small one's search did.
TEST(Plist, LargeDictionaryKeepsOrderReplacesAndCopiesIndependently) {
    std::string xml = "<plist version=\"1.0\"><dict>";
    for (int i = 0; i < 3000; ++i) xml += "<key>k" + std::to_string(i) + "</key><integer>" + std::to_string(i) + "</integer>";
    xml += "<key>k7</key><integer>-7</integer><key>k2999</key><integer>-1</integer></dict></plist>";
    Value root;
    ASSERT_TRUE(pf::plist::fromXml(xml, root));
    ASSERT_EQ(root.size(), 3000u);  // a repeated key replaces the value in its first place
    EXPECT_EQ(root.keys()[7], "k7");
    EXPECT_EQ(root.find("k7")->integer(), -7);
    EXPECT_EQ(root.items().back().integer(), -1);
    EXPECT_EQ(root.find("k1500")->integer(), 1500);
    EXPECT_EQ(root.find("k3000"), nullptr);

    Value copy = root;
    copy.set("k1500", Value::string("changed"));
    copy.set("new", Value::boolean(true));
    EXPECT_EQ(root.find("k1500")->integer(), 1500);
    EXPECT_EQ(root.find("new"), nullptr);
    EXPECT_EQ(copy.find("k1500")->str(), "changed");
    EXPECT_EQ(copy.keys().back(), "new");
    EXPECT_EQ(copy.size(), 3001u);

    Value small = Value::dict();
    small.set("a", Value::integer(1));
    small = copy;  // assignment takes the other's keys and index
    EXPECT_TRUE(small.find("new")->boolean());
    EXPECT_EQ(small.find("a"), nullptr);
    small = Value::dict();
    EXPECT_EQ(small.find("new"), nullptr);
}
