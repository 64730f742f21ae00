// Files, directories and Intel HEX images. C forms take char* paths, report
// failures on standard error and return codes; string forms report nothing
// and return their results by value.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "nk_typedef.h"

// One entry of nkFile_getDirEntry; both flags are false for other kinds of entry.
typedef struct {
    bool isFile;
    bool isDir;
    char name[128];  // cut to 127 characters
} t_nkDirEntryInfo;

// One entry of nkDir_getDirEntry.
class INK_dirEntry {
public:
    enum : u32 { kOther = 0, kFile = 1, kDir = 2 };
    INK_dirEntry() = default;
    INK_dirEntry(u32 t, std::string n) : type(t), name(std::move(n)) {}
    virtual ~INK_dirEntry() = default;
    INK_dirEntry(const INK_dirEntry&) = default;
    INK_dirEntry& operator=(const INK_dirEntry&) = default;
    INK_dirEntry(INK_dirEntry&&) = default;
    INK_dirEntry& operator=(INK_dirEntry&&) = default;

    u32 type = kOther;
    std::string name;
};

// ---------------------------------------------------------------- C forms

bool nkFile_isFileExist(const char* path);
// Size of an open regular file; 0 for a null stream or one whose size cannot be read.
u64 nkFile_getFileSize(FILE* f);
// Removes a file (a missing one is not an error); kNKErr_fileRemoveFailed when it stays.
u16 nkFile_delete(const char* path);
// Creates the directory and its missing parents with mode 0700.
void nkFile_mkdir(const char* path);
FILE* nkFile_openFile(const char* dir, const char* fileName, const char* mode);
// The whole file plus one zero byte in a new buffer the caller frees with free().
u8* nkFile_readFile(const char* path, u64* size);
u64 nkFile_readFileFrom(FILE* fp, i64 offset, u64 count, void* out_buffer);
// Intel HEX text into a flat image of capacity *size; on success *size is the
// image's length, the end of its furthest data byte.
u16 nkFile_parseIntelHexFile(const char* text, u8* image, u64* size);
u32 nkFile_getDirEntryCount(const char* dirPath);
u16 nkFile_getDirEntry(const char* dirPath, t_nkDirEntryInfo* entries, u32* count);

// ---------------------------------------------------------------- string forms

bool nkFile_isFileExist(const std::string& path);
u64 nkFile_getFileSize(const std::string& path);
std::vector<u8> nkFile_readFile(const std::string& path);
// The same into memory that is not zero-filled first (a vector's is): for large
// files read once, where that fill costs as much as a quarter of the work.
struct t_nkFileBytes {
    std::unique_ptr<u8[]> data;
    size_t size = 0;  // 0 when the file is missing, empty or could not be read whole
};
t_nkFileBytes nkFile_readFileUnfilled(const std::string& path);
void nkFile_copyfile(const std::string& source, const std::string& target);
std::vector<INK_dirEntry> nkDir_getDirEntry(const std::string& dirPath);

// Writes the bytes to a new file beside `path` and renames it over `path`, so a
// failed write never leaves a half-written file nor loses the previous one.
// 0, kNKErr_fileOpenFailed, kNKErr_fileWriteFailed or kNKErr_fileRemoveFailed.
u16 nkFile_writeReplacing(const std::string& path, const std::vector<std::pair<const void*, size_t>>& parts);
