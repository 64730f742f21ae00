#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "nk_file.h"
#include "nk_test_util.h"

namespace fs = std::filesystem;
using nktest::readFile;
using nktest::TempDir;
using nktest::writeFile;

namespace {
std::string captureErr(const std::function<void()>& f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}
}  // namespace

TEST(File, MkdirCreatesEveryLevel) {
    TempDir dir;
    const fs::path old = fs::current_path();
    fs::current_path(dir.path());
    nkFile_mkdir("a/b/c/");
    fs::current_path(old);
    for (const char* p : {"a", "a/b", "a/b/c"}) {
        struct stat st;
        ASSERT_EQ(stat((dir.path() / p).c_str(), &st), 0) << p;
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u) << p;
    }
    const std::string abs = dir.file("x/y");
    nkFile_mkdir(abs.c_str());
    nkFile_mkdir(abs.c_str());  // again: nothing to do, nothing breaks
    EXPECT_TRUE(fs::is_directory(abs));
}

TEST(File, ReadWholeFileCForm) {
    TempDir dir;
    const std::string path = dir.file("data.txt");
    writeFile(path, std::string("abc\0def", 7));
    u64 size = 99;
    u8* data = nkFile_readFile(path.c_str(), &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 7), std::string("abc\0def", 7));
    EXPECT_EQ(data[7], 0);  // text files come back terminated
    std::free(data);

    writeFile(dir.file("empty"), "");
    fs::create_directory(dir.file("sub"));
    struct Case {
        std::string path;
        u64 sizeAfter;
        const char* report;
    } const cases[] = {
        {dir.file("empty"), 0, "[Error,0xE042]"},
        {dir.file("missing"), 99, "[Error,0xE040]"},
        // A directory opens as a stream but has no size to read.
        {dir.file("sub"), 0, "[Error,0xE042]"},
    };
    for (const Case& c : cases) {
        u64 sz = 99;
        u8* p = nullptr;
        const std::string err = captureErr([&] { p = nkFile_readFile(c.path.c_str(), &sz); });
        EXPECT_EQ(p, nullptr) << c.path;
        EXPECT_EQ(sz, c.sizeAfter) << c.path;
        EXPECT_NE(err.find(c.report), std::string::npos) << err;
    }
    EXPECT_NE(captureErr([] { EXPECT_EQ(nkFile_readFile(nullptr, nullptr), nullptr); }).find("\"filePathName\""),
              std::string::npos);
}

TEST(File, UnfilledReadGivesTheWholeFileOrNothing) {
    TempDir dir;
    const std::string path = dir.file("data.bin");
    const std::vector<uint8_t> bytes = nktest::randomBytes(70000, 3);
    writeFile(path, std::string(bytes.begin(), bytes.end()));
    const t_nkFileBytes got = nkFile_readFileUnfilled(path);
    ASSERT_EQ(got.size, bytes.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), got.data.get()));

    writeFile(dir.file("empty"), "");
    fs::create_directory(dir.file("sub"));
    for (const std::string& p : {dir.file("empty"), dir.file("missing"), dir.file("sub")}) {
        const t_nkFileBytes none = nkFile_readFileUnfilled(p);
        EXPECT_EQ(none.size, 0u) << p;
        EXPECT_EQ(none.data, nullptr) << p;
    }
}

TEST(File, SizesAndPartialReads) {
    TempDir dir;
    const std::string path = dir.file("f.bin");
    writeFile(path, "0123456789");
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(nkFile_getFileSize(f), 10u);
    char buf[8] = {};
    EXPECT_EQ(nkFile_readFileFrom(f, 6, 8, buf), 4u);
    EXPECT_EQ(std::string(buf, 4), "6789");
    std::fclose(f);
    EXPECT_EQ(nkFile_getFileSize(static_cast<FILE*>(nullptr)), 0u);
    FILE* d = std::fopen(dir.path().c_str(), "r");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(nkFile_getFileSize(d), 0u);
    std::fclose(d);

    EXPECT_EQ(nkFile_getFileSize(path), 10u);
    EXPECT_EQ(nkFile_getFileSize(dir.file("none")), 0u);
    EXPECT_EQ(nkFile_getFileSize(dir.path().string()), 0u);
    EXPECT_EQ(nkFile_readFile(path), (std::vector<u8>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_TRUE(nkFile_readFile(dir.path().string()).empty());
    EXPECT_TRUE(nkFile_readFile(dir.file("none")).empty());
    EXPECT_TRUE(nkFile_isFileExist(path));
    EXPECT_TRUE(nkFile_isFileExist(dir.path().c_str()));
    EXPECT_FALSE(nkFile_isFileExist(dir.file("none")));
    EXPECT_FALSE(nkFile_isFileExist(static_cast<const char*>(nullptr)));
}

TEST(File, DeleteRemovesExactlyThatPath) {
    TempDir dir;
    // With a blank in the name, a shell would have removed "x" and "y" instead.
    for (const char* n : {"x", "y", "x y"}) writeFile(dir.file(n), n);
    const fs::path old = fs::current_path();
    fs::current_path(dir.path());
    EXPECT_EQ(nkFile_delete("x y"), 0);
    fs::current_path(old);
    EXPECT_FALSE(fs::exists(dir.file("x y")));
    EXPECT_TRUE(fs::exists(dir.file("x")));
    EXPECT_TRUE(fs::exists(dir.file("y")));
    const std::string odd = dir.file("a;b$(c)");
    writeFile(odd, "z");
    EXPECT_EQ(nkFile_delete(odd.c_str()), 0);
    EXPECT_FALSE(fs::exists(odd));
    EXPECT_EQ(nkFile_delete(dir.file("missing").c_str()), 0);  // nothing to remove is fine
    // What cannot be removed is said so.
    fs::create_directory(dir.file("sub"));
    u16 rc = 0;
    const std::string err = captureErr([&] { rc = nkFile_delete(dir.file("sub").c_str()); });
    EXPECT_EQ(rc, kNKErr_fileRemoveFailed);
    EXPECT_NE(err.find("[Error,0xE04A]"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir.file("sub")));
}

TEST(File, OpenFileJoinsFolderAndName) {
    TempDir dir;
    writeFile(dir.file("n.txt"), "hi");
    FILE* f = nkFile_openFile(dir.path().c_str(), "n.txt", "r");
    ASSERT_NE(f, nullptr);
    char buf[4] = {};
    EXPECT_EQ(std::fread(buf, 1, 3, f), 2u);
    std::fclose(f);
    EXPECT_EQ(nkFile_openFile(dir.path().c_str(), "none.txt", "r"), nullptr);
    struct {
        const char* dir;
        const char* name;
        const char* mode;
        const char* cond;
    } const bad[] = {{"", "n", "r", "pathName!=NULL"},
                     {"/tmp", nullptr, "r", "fileName!=NULL"},
                     {"/tmp", "n", "", "mode!=NULL"}};
    for (const auto& b : bad) {
        const std::string err = captureErr([&] { EXPECT_EQ(nkFile_openFile(b.dir, b.name, b.mode), nullptr); });
        EXPECT_NE(err.find(b.cond), std::string::npos) << err;
    }
}

TEST(File, DirectoryListings) {
    TempDir dir;
    for (const char* n : {"f1", "f2", "f3"}) writeFile(dir.file(n), n);
    const std::string d = dir.path().string();
    EXPECT_EQ(nkFile_getDirEntryCount(d.c_str()), 5u);
    EXPECT_EQ(nkFile_getDirEntryCount(dir.file("none").c_str()), 0u);
    EXPECT_EQ(nkFile_getDirEntryCount(""), 0u);

    t_nkDirEntryInfo entries[6];
    u32 count = 4;
    u16 rc = 0;
    captureErr([&] { rc = nkFile_getDirEntry(d.c_str(), entries, &count); });
    EXPECT_EQ(rc, kNKErr_invalidBufferSize);
    EXPECT_EQ(count, 4u);
    count = 5;
    ASSERT_EQ(nkFile_getDirEntry(d.c_str(), entries, &count), 0);
    ASSERT_EQ(count, 5u);
    std::set<std::string> names;
    for (u32 i = 0; i < count; ++i) {
        names.insert(entries[i].name);
        const bool dot = entries[i].name[0] == '.';
        EXPECT_EQ(entries[i].isDir, dot) << entries[i].name;
        EXPECT_EQ(entries[i].isFile, !dot) << entries[i].name;
    }
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "f1", "f2", "f3"}));

    struct {
        const char* path;
        t_nkDirEntryInfo* array;
        u32 capacity;
        bool nullCount;
        u16 code;
    } const bad[] = {{nullptr, entries, 5, false, kNKErr_invalidPointer},
                     {"", entries, 5, false, kNKErr_invalidParam},
                     {d.c_str(), nullptr, 5, false, kNKErr_invalidPointer},
                     {d.c_str(), entries, 5, true, kNKErr_invalidPointer},
                     {d.c_str(), entries, 0, false, kNKErr_invalidParam},
                     {"/nonexistent-dir", entries, 5, false, kNKErr_dirOpenFailed}};
    for (const auto& b : bad) {
        u32 cap = b.capacity;
        captureErr([&] { EXPECT_EQ(nkFile_getDirEntry(b.path, b.array, b.nullCount ? nullptr : &cap), b.code); });
    }
}

TEST(File, ListingTypesAndLongNames) {
    TempDir dir;
    const std::string longName(200, 'n');
    writeFile(dir.file(longName), "x");
    fs::create_directory(dir.file("sub"));
    fs::create_symlink(dir.file("sub"), dir.file("link"));
    std::vector<INK_dirEntry> list = nkDir_getDirEntry(dir.path().string());
    ASSERT_EQ(list.size(), 5u);
    std::map<std::string, u32> types;
    for (const INK_dirEntry& e : list) types[e.name] = e.type;
    EXPECT_EQ(types[longName], 1u);
    EXPECT_EQ(types["sub"], 2u);
    EXPECT_EQ(types["link"], 0u);  // a link is neither
    EXPECT_EQ(types["."], 2u);
    EXPECT_TRUE(nkDir_getDirEntry(dir.file("none")).empty());

    t_nkDirEntryInfo entries[5];
    u32 count = 5;
    ASSERT_EQ(nkFile_getDirEntry(dir.path().c_str(), entries, &count), 0);
    bool sawLong = false;
    for (u32 i = 0; i < count; ++i)
        if (entries[i].name[0] == 'n') {
            sawLong = true;
            EXPECT_EQ(std::string(entries[i].name), longName.substr(0, 127));
        }
    EXPECT_TRUE(sawLong);
}

TEST(File, CopyFile) {
    TempDir dir;
    std::string bytes(200000, '\0');
    std::mt19937 rng(3);
    for (char& c : bytes) c = static_cast<char>(rng());
    writeFile(dir.file("src"), bytes);
    writeFile(dir.file("dst"), "old contents that are longer than nothing");
    nkFile_copyfile(dir.file("src"), dir.file("dst"));
    EXPECT_EQ(readFile(dir.file("dst")), bytes);
    // Copying a file onto itself must not empty it.
    nkFile_copyfile(dir.file("src"), dir.file("src"));
    EXPECT_EQ(readFile(dir.file("src")), bytes);
    nkFile_copyfile(dir.file("none"), dir.file("new"));
    EXPECT_FALSE(fs::exists(dir.file("new")));
}

TEST(File, WriteReplacingKeepsTheOldFileOnFailure) {
    TempDir dir;
    const std::string path = dir.file("out.bin");
    writeFile(path, "previous");
    chmod(path.c_str(), 0640);
    const std::string a = "new ", b = "bytes";
    ASSERT_EQ(nkFile_writeReplacing(path, {{a.data(), a.size()}, {b.data(), b.size()}}), 0);
    EXPECT_EQ(readFile(path), "new bytes");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // A write that fails part-way (file size limit) leaves the old file whole.
    const std::string big(64, 'b');
    EXPECT_EQ(nktest::withFileSizeLimit(16, [&] { return nkFile_writeReplacing(path, {{big.data(), big.size()}}); }),
              kNKErr_fileWriteFailed);
    EXPECT_EQ(readFile(path), "new bytes");
    EXPECT_EQ(nkFile_writeReplacing(dir.file("nodir/f"), {{a.data(), a.size()}}), kNKErr_fileOpenFailed);
    // A name at the file-name length limit can still be written.
    const std::string longest = dir.file(std::string(255, 'L'));
    EXPECT_EQ(nkFile_writeReplacing(longest, {{a.data(), a.size()}}), 0);
    EXPECT_EQ(readFile(longest), "new ");
    fs::remove(longest);
    // A target that is a directory cannot be replaced; nothing is left behind.
    fs::create_directory(dir.file("adir"));
    EXPECT_EQ(nkFile_writeReplacing(dir.file("adir"), {{a.data(), a.size()}}), kNKErr_fileRemoveFailed);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);  // out.bin and adir
}
