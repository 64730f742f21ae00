// Files, directories and Intel HEX images.
#include "nk_file.h"

#include "file/pf_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

// ---------------------------------------------------------------- C forms

bool nkFile_isFileExist(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0;
}

u64 nkFile_getFileSize(FILE* f) {
    if (!f) return 0;
    // Directories and devices have no byte size to read; a seek there can
    // report anything from -1 to the largest offset.
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    if (fseeko(f, 0, SEEK_END) != 0) return 0;
    const off_t end = ftello(f);
    rewind(f);
    return end > 0 ? static_cast<u64>(end) : 0;
}

u16 nkFile_delete(const char* path) {
    if (!path || !*path) {
        NK_REPORT_FN(kNKErr_invalidParam, "path!=NULL && strlen(path)>0");
        return kNKErr_invalidParam;
    }
    if (unlink(path) != 0 && errno != ENOENT) {
        NK_REPORT_FN(kNKErr_fileRemoveFailed, "unlink(path)==0");
        return kNKErr_fileRemoveFailed;
    }
    return kNKErr_OK;
}

void nkFile_mkdir(const char* path) {
    if (!path || !*path) return;
    char buf[1024];
    std::snprintf(buf, sizeof(buf), "%s", path);
    size_t len = std::strlen(buf);
    if (len > 1 && buf[len - 1] == '/') buf[--len] = '\0';
    // From the second character on, so an absolute path's leading '/' is no separator.
    for (char* p = buf + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        if (!nkFile_isFileExist(buf)) mkdir(buf, 0700);
        *p = '/';
    }
    mkdir(buf, 0700);  // an existing directory is fine
}

FILE* nkFile_openFile(const char* pathName, const char* fileName, const char* mode) {
    if (!(pathName!=NULL && strlen(pathName)>0)) {
        NK_REPORT_FN(kNKErr_invalidParam, "pathName!=NULL && strlen(pathName)>0");
        return nullptr;
    }
    if (!(fileName!=NULL && strlen(fileName)>0)) {
        NK_REPORT_FN(kNKErr_invalidParam, "fileName!=NULL && strlen(fileName)>0");
        return nullptr;
    }
    if (!(mode!=NULL && strlen(mode)>0)) {
        NK_REPORT_FN(kNKErr_invalidParam, "mode!=NULL && strlen(mode)>0");
        return nullptr;
    }
    const size_t n = std::strlen(pathName) + std::strlen(fileName) + 2;
    char* filePathName = static_cast<char*>(std::malloc(n));
    if (!filePathName) {
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "filePathName!=NULL");
        return nullptr;
    }
    std::snprintf(filePathName, n, "%s/%s", pathName, fileName);
    FILE* f = std::fopen(filePathName, mode);
    std::free(filePathName);
    return f;
}

u8* nkFile_readFile(const char* filePathName, u64* size) {
    if (!filePathName) {
        NK_REPORT_FN(kNKErr_invalidParam, "filePathName");
        return nullptr;
    }
    if (!nkFile_isFileExist(filePathName)) {
        NK_REPORT_FN(kNKErr_fileNotExist, "nkFile_isFileExist(filePathName)");
        return nullptr;
    }
    if (size) *size = 0;
    FILE* fp = std::fopen(filePathName, "rb");
    if (!fp) {
        NK_REPORT_FN(kNKErr_fileOpenFailed, "fp");
        return nullptr;
    }
    // 0 also for a directory or a size that cannot be read.
    const u64 sz = nkFile_getFileSize(fp);
    if (!(sz > 0)) {
        std::fclose(fp);
        NK_REPORT_FN(kNKErr_fileSizeGetFailed, "sz>0");
        return nullptr;
    }
    u8* rtn = sz < SIZE_MAX ? static_cast<u8*>(std::malloc(static_cast<size_t>(sz) + 1)) : nullptr;
    if (!rtn) {
        std::fclose(fp);
        NK_REPORT_FN(kNKErr_memoryAllocationFailed, "rtn");
        return nullptr;
    }
    const size_t readLeng = std::fread(rtn, 1, static_cast<size_t>(sz), fp);
    std::fclose(fp);
    if (readLeng != sz) {
        std::free(rtn);
        NK_REPORT_FN(kNKErr_fileReadFailed, "readLeng==sz");
        return nullptr;
    }
    rtn[sz] = 0;
    if (size) *size = sz;
    return rtn;
}

u64 nkFile_readFileFrom(FILE* fp, i64 offset, u64 count, void* out_buffer) {
    NK_ASSERT_FN(out_buffer);
    NK_ASSERT_FN(fp);
    if (fseeko(fp, static_cast<off_t>(offset), SEEK_SET) != 0) return 0;
    return std::fread(out_buffer, 1, static_cast<size_t>(count), fp);
}

// ---------------------------------------------------------------- Intel HEX

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads `digits` hex digits; stops at the text's end since NUL is no digit.
bool readHex(const char*& p, int digits, u32* value) {
    u32 v = 0;
    for (int i = 0; i < digits; ++i) {
        const int d = hexValue(p[i]);
        if (d < 0) return false;
        v = (v << 4) | static_cast<u32>(d);
    }
    p += digits;
    *value = v;
    return true;
}

// Reported under the function the caller called, at the line that failed.
u16 hexFail(const char* func, int line, u16 code) {
    nkDebug_printError(nullptr, __FILE__, nullptr, func, line, code, "");
    return code;
}
#define NK_HEX_FAIL(code) hexFail(__func__, __LINE__, (code))
}  // namespace

u16 nkFile_parseIntelHexFile(const char* text, u8* image, u64* size) {
    if (!text || !image || !size) return NK_HEX_FAIL(kNKErr_invalidParam);
    const u64 capacity = *size;
    std::memset(image, 0, static_cast<size_t>(capacity));
    // The image ends at the furthest byte written: summing record lengths would
    // overstate it when records overlap and cut it short when they leave gaps.
    u64 extended = 0, end = 0;
    const char* p = text;
    for (;;) {
        if (*p != ':') return NK_HEX_FAIL(kNKErr_invalidFormat);
        ++p;
        u32 count, address, type, check;
        if (!readHex(p, 2, &count)) return NK_HEX_FAIL(kNKErr_invalidFormat);
        if (!readHex(p, 4, &address)) return NK_HEX_FAIL(kNKErr_dataCheckError);
        if (!readHex(p, 2, &type)) return NK_HEX_FAIL(kNKErr_dataCheckError);
        u8 record[256] = {};
        u32 sum = count + (address & 0xFF) + (address >> 8) + type;
        for (u32 i = 0; i < count; ++i) {
            u32 b;
            if (!readHex(p, 2, &b)) return NK_HEX_FAIL(kNKErr_invalidFormat);
            record[i] = static_cast<u8>(b);
            sum += b;
        }
        if (!readHex(p, 2, &check)) return NK_HEX_FAIL(kNKErr_invalidFormat);
        if (((0u - sum) & 0xFF) != check) return NK_HEX_FAIL(kNKErr_invalidChecksum);
        switch (type) {
            case 0: {
                const u64 offset = address + extended;
                if (offset + count > capacity) return NK_HEX_FAIL(kNKErr_invalidBufferSize);
                std::memcpy(image + offset, record, count);
                // An empty record writes nothing, so it cannot lengthen the image.
                if (count > 0 && offset + count > end) end = offset + count;
                break;
            }
            case 1:
                *size = end;
                return kNKErr_OK;
            case 4:
                extended = static_cast<u64>((static_cast<u32>(record[0]) << 8) | record[1]) << 16;
                break;
            case 5: {
                const u32 eip = (static_cast<u32>(record[0]) << 24) | (static_cast<u32>(record[1]) << 16) |
                                (static_cast<u32>(record[2]) << 8) | record[3];
                std::printf("EIP %d\n", static_cast<int>(eip));
                break;
            }
            default:
                return NK_HEX_FAIL(kNKErr_notSupported);
        }
        p = std::strchr(p, ':');
        if (!p) return NK_HEX_FAIL(kNKErr_invalidFormat);
    }
}

// ---------------------------------------------------------------- directories

namespace {
// 1 regular file, 2 directory, 0 anything else; symbolic links are not followed.
u32 entryType(const char* dirPath, const struct dirent* e) {
    unsigned char t = e->d_type;
    if (t == DT_UNKNOWN) {
        const std::string full = std::string(dirPath) + "/" + e->d_name;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) return INK_dirEntry::kOther;
        t = S_ISREG(st.st_mode) ? DT_REG : (S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN);
    }
    return t == DT_REG ? INK_dirEntry::kFile : (t == DT_DIR ? INK_dirEntry::kDir : INK_dirEntry::kOther);
}
}  // namespace

u32 nkFile_getDirEntryCount(const char* dirPath) {
    if (!dirPath || !*dirPath) return 0;
    DIR* dir = opendir(dirPath);
    if (!dir) return 0;
    u32 n = 0;
    while (readdir(dir)) ++n;
    closedir(dir);
    return n;
}

u16 nkFile_getDirEntry(const char* dirPathName, t_nkDirEntryInfo* pEntries, u32* pEntryCount) {
    if (!dirPathName) {
        NK_REPORT_FN(kNKErr_invalidPointer, "dirPathName!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!*dirPathName) {
        NK_REPORT_FN(kNKErr_invalidParam, "strlen(dirPathName)>0");
        return kNKErr_invalidParam;
    }
    if (!pEntries) {
        NK_REPORT_FN(kNKErr_invalidPointer, "pEntries!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!pEntryCount) {
        NK_REPORT_FN(kNKErr_invalidPointer, "pEntryCount!=NULL");
        return kNKErr_invalidPointer;
    }
    if (*pEntryCount == 0) {
        NK_REPORT_FN(kNKErr_invalidParam, "*pEntryCount>0");
        return kNKErr_invalidParam;
    }
    DIR* dir = opendir(dirPathName);
    if (!dir) {
        NK_REPORT_FN(kNKErr_dirOpenFailed, "dir!=NULL");
        return kNKErr_dirOpenFailed;
    }
    const u32 bufferSize = *pEntryCount;
    u32 filled = 0;
    u16 rc = kNKErr_OK;
    while (const struct dirent* e = readdir(dir)) {
        if (filled == bufferSize) {
            NK_REPORT_FN(kNKErr_invalidBufferSize, "*pEntryCount<bufferSize");
            rc = kNKErr_invalidBufferSize;
            break;
        }
        t_nkDirEntryInfo& out = pEntries[filled++];
        const u32 type = entryType(dirPathName, e);
        out.isFile = type == INK_dirEntry::kFile;
        out.isDir = type == INK_dirEntry::kDir;
        const size_t n = strnlen(e->d_name, sizeof(out.name) - 1);  // long names are cut
        std::memcpy(out.name, e->d_name, n);
        out.name[n] = '\0';
    }
    closedir(dir);
    *pEntryCount = filled;
    return rc;
}

// ---------------------------------------------------------------- string forms

bool nkFile_isFileExist(const std::string& path) { return nkFile_isFileExist(path.c_str()); }

u64 nkFile_getFileSize(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    const u64 n = nkFile_getFileSize(f);
    std::fclose(f);
    return n;
}

std::vector<u8> nkFile_readFile(const std::string& path) {
    std::vector<u8> data;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return data;
    const u64 n = nkFile_getFileSize(f);
    if (n > 0 && n <= data.max_size()) {
        data.resize(static_cast<size_t>(n));
        if (std::fread(data.data(), 1, data.size(), f) != data.size()) data.clear();
    }
    std::fclose(f);
    return data;
}

t_nkFileBytes nkFile_readFileUnfilled(const std::string& path) {
    t_nkFileBytes bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return bytes;
    const u64 n = nkFile_getFileSize(f);
    if (n > 0 && n < SIZE_MAX) {
        bytes.data.reset(new (std::nothrow) u8[static_cast<size_t>(n)]);
        if (bytes.data && std::fread(bytes.data.get(), 1, static_cast<size_t>(n), f) == n)
            bytes.size = static_cast<size_t>(n);
        else
            bytes.data.reset();
    }
    std::fclose(f);
    return bytes;
}

void nkFile_copyfile(const std::string& source, const std::string& target) {
    FILE* in = std::fopen(source.c_str(), "rb");
    if (!in) return;
    // Opening the target would truncate the source itself.
    std::error_code ec;
    if (std::filesystem::equivalent(source, target, ec)) {
        std::fclose(in);
        return;
    }
    FILE* out = std::fopen(target.c_str(), "wb");
    if (out) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), in)) > 0)
            if (std::fwrite(buf, 1, n, out) != n) break;
        std::fclose(out);
    }
    std::fclose(in);
}

std::vector<INK_dirEntry> nkDir_getDirEntry(const std::string& dirPath) {
    std::vector<INK_dirEntry> entries;
    DIR* dir = opendir(dirPath.c_str());
    if (!dir) return entries;
    while (const struct dirent* e = readdir(dir)) entries.emplace_back(entryType(dirPath.c_str(), e), e->d_name);
    closedir(dir);
    return entries;
}

u16 nkFile_writeReplacing(const std::string& path, const std::vector<std::pair<const void*, size_t>>& parts) {
    pf::file::ReplacingWrite out(path);
    for (const auto& [data, length] : parts) out.write(data, length);
    switch (out.commit()) {
    case pf::file::ReplacingWrite::Status::ok: return kNKErr_OK;
    case pf::file::ReplacingWrite::Status::openFailed: return kNKErr_fileOpenFailed;
    case pf::file::ReplacingWrite::Status::writeFailed: return kNKErr_fileWriteFailed;
    case pf::file::ReplacingWrite::Status::renameFailed: break;
    }
    return kNKErr_fileRemoveFailed;
}
