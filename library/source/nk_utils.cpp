// Byte utilities, application paths, timestamps and system utilities.
#include "nk_utils.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nk_file.h"

// ---------------------------------------------------------------- checksums

namespace {
u16 crc16Reflected(u16 crc, const u8* p, u64 length) {
    for (u64 i = 0; i < length; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc & 1u) ? static_cast<u16>((crc >> 1) ^ 0xA001u) : static_cast<u16>(crc >> 1);
    }
    return crc;
}
}  // namespace

u16 nkUtil_crc16(const void* data, u64 length) {
    if (!data) return 0xFFFF;
    return crc16Reflected(0xFFFF, static_cast<const u8*>(data), length);
}

u16 nkUtil_crc16(const std::vector<u8>& data) { return nkUtil_crc16(data.data(), data.size()); }

u16 nkUtil_crc16_rev(const u8* data, u64 length) {
    if (!data) return 0;
    return crc16Reflected(0, data, length);
}

u16 nkUtil_crc16_rev(const std::vector<u8>& data) { return nkUtil_crc16_rev(data.data(), data.size()); }

u32 nkUtil_hashFnv32(const u8* data, u32 length) {
    u32 hash = 0x811C9DC5u;
    if (!data) return hash;
    for (u32 i = 0; i < length; ++i) {
        hash ^= data[i];
        hash *= 16777619u;
    }
    return hash;
}

int nkUtil_checksum(const i8* data, u64 length) {
    if (!data) return 0;
    int sum = 0;
    // Wraps like the 8-bit arithmetic it stands for rather than overflowing.
    for (u64 i = 0; i < length; ++i) sum = static_cast<int>(static_cast<unsigned>(sum) + static_cast<unsigned>(static_cast<int>(data[i])));
    return static_cast<int>(0u - static_cast<unsigned>(sum));
}

// ---------------------------------------------------------------- hex dump

void nkUtil_printBinary(CNK_logManager* lm, t_nkVbsLvl level, const u8* data, u32 length) {
    if (!nkObj_isValid(lm) || length == 0 || !data) return;
    std::string text;
    text.reserve(static_cast<size_t>(length) * 4 + (length / 16 + 1) * 14);
    char cell[16];
    for (u32 start = 0; start < length; start += 16) {
        const u32 n = (length - start < 16) ? length - start : 16;
        const bool last = start + n == length;
        if (start) text += '\n';
        std::snprintf(cell, sizeof(cell), "[%08X] ", start);
        text += cell;
        for (u32 i = 0; i < n; ++i) {
            std::snprintf(cell, sizeof(cell), "%02X ", data[start + i]);
            text += cell;
        }
        // The last line shows a blank as '.' too, so its trailing padding stays unambiguous.
        const u8 lowest = last ? 33 : 32;
        if (last)
            for (u32 i = n; i < 16; ++i) text += "   ";
        text += "| ";
        for (u32 i = 0; i < n; ++i) {
            const u8 c = data[start + i];
            text += (c < lowest || c > 126) ? '.' : static_cast<char>(c);
        }
    }
    text += '\n';
    lm->printString(level, "%s", text.c_str());
}

// ---------------------------------------------------------------- bit-stream files

namespace {
// The opening, progress and summary lines of one bit-stream operation.
class BitStreamRun {
public:
    BitStreamRun(CNK_logManager* lm, t_nkVbsLvl level, const char* op)
        : lm_(lm), level_(level), op_(op), start_(std::chrono::steady_clock::now()) {
        print("\n* %s *", op_);
    }
    template <typename... A>
    void print(const char* format, A... args) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        if (nkObj_isValid(lm_)) lm_->printText(level_, format, args...);
#pragma GCC diagnostic pop
    }
    u16 fail(const char* func, int line, u16 code, const char* condition) {
        nkDebug_printError(nkObj_isValid(lm_) ? lm_ : nullptr, __FILE__, nullptr, func, line, code, condition);
        return finish(code);
    }
    u16 cannotOpen(const char* func, int line, const char* path) {
        print(". File Cannot open %s : %s", path, std::strerror(errno));
        return fail(func, line, kNKErr_fileOpenFailed, "fp!=NULL");
    }
    // Opens a regular file for a load and gives its size; else the failure, reported.
    u16 openForLoad(const char* func, int line, const char* path, FILE** fp, u64* size) {
        print("file: %s", path);
        *fp = std::fopen(path, "r");
        if (!*fp) return cannotOpen(func, line, path);
        struct stat st;
        if (fstat(fileno(*fp), &st) != 0 || !S_ISREG(st.st_mode)) {
            std::fclose(*fp);
            *fp = nullptr;
            return fail(func, line, kNKErr_fileSizeGetFailed, "S_ISREG(st.st_mode)");
        }
        *size = static_cast<u64>(st.st_size);
        return kNKErr_OK;
    }
    u16 finish(u16 code) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        print("* %s %s [in %.3f sec] *", op_, code ? "FAILED" : "OK", seconds);
        return code;
    }

private:
    CNK_logManager* lm_;
    t_nkVbsLvl level_;
    const char* op_;
    std::chrono::steady_clock::time_point start_;
};

#define NK_BS_FAIL(run, code, cond) (run).fail(__func__, __LINE__, (code), (cond))

}  // namespace

u16 nkUtil_saveBitStream(CNK_logManager* lm, const char* path, const u8* data, int length, t_nkVbsLvl level) {
    BitStreamRun run(lm, level, "nkUtil_saveBitStream");
    if (length < 1 || !data || !path) return NK_BS_FAIL(run, kNKErr_invalidParam, "pData!=NULL && length>0 && path!=NULL");
    run.print("file: %s", path);
    const u16 rc = nkFile_writeReplacing(path, {{data, static_cast<size_t>(length)}});
    switch (rc) {
        case kNKErr_OK:
            return run.finish(kNKErr_OK);
        case kNKErr_fileOpenFailed:
            return run.cannotOpen(__func__, __LINE__, path);
        case kNKErr_fileRemoveFailed:
            return NK_BS_FAIL(run, rc, "rename(temp,path)==0");
        default:
            return NK_BS_FAIL(run, kNKErr_fileWriteFailed, "writeLeng==length");
    }
}

u16 nkUtil_getBitStream(CNK_logManager* lm, const char* path, void** ppData, u32* pLength, t_nkVbsLvl level) {
    BitStreamRun run(lm, level, "nkUtil_getBitStream");
    if (!path || !ppData || !pLength) return NK_BS_FAIL(run, kNKErr_invalidParam, "path!=NULL && ppData!=NULL && pLength!=NULL");
    u64 sz = 0;
    FILE* fp = nullptr;
    if (const u16 rc = run.openForLoad(__func__, __LINE__, path, &fp, &sz)) return rc;
    if (sz > UINT32_MAX) {
        std::fclose(fp);
        return NK_BS_FAIL(run, kNKErr_invalidBufferSize, "sz<=UINT32_MAX");
    }
    *ppData = std::calloc(sz ? static_cast<size_t>(sz) : 1, 1);
    if (!*ppData) {
        std::fclose(fp);
        return NK_BS_FAIL(run, kNKErr_memoryAllocationFailed, "*ppData!=NULL");
    }
    const size_t readLeng = std::fread(*ppData, 1, static_cast<size_t>(sz), fp);
    std::fclose(fp);
    if (readLeng != sz) {
        std::free(*ppData);
        *ppData = nullptr;
        return NK_BS_FAIL(run, kNKErr_fileReadFailed, "readLeng==sz");
    }
    *pLength = static_cast<u32>(sz);
    return run.finish(kNKErr_OK);
}

u16 nkUtil_loadBitStream(CNK_logManager* lm, const char* path, u8* pBuffer, int* pLength, t_nkVbsLvl level) {
    BitStreamRun run(lm, level, "nkUtil_loadBitStream");
    if (!path || !pBuffer || !pLength || *pLength < 1)
        return NK_BS_FAIL(run, kNKErr_invalidParam, "path!=NULL && pBuffer!=NULL && pLength!=NULL && *pLength>0");
    u64 sz = 0;
    FILE* fp = nullptr;
    if (const u16 rc = run.openForLoad(__func__, __LINE__, path, &fp, &sz)) return rc;
    if (sz > static_cast<u64>(*pLength)) {
        std::fclose(fp);
        return NK_BS_FAIL(run, kNKErr_invalidBufferSize, "sz<=*pLength");
    }
    const size_t readLeng = std::fread(pBuffer, 1, static_cast<size_t>(sz), fp);
    std::fclose(fp);
    if (readLeng != sz) return NK_BS_FAIL(run, kNKErr_fileReadFailed, "readLeng==sz");
    *pLength = static_cast<int>(sz);
    return run.finish(kNKErr_OK);
}

// ---------------------------------------------------------------- scrambled files

namespace {
constexpr u8 kSeed[4] = {0x3A, 0x97, 0xD2, 0x4E};
constexpr size_t seed_sz = sizeof(kSeed);
constexpr size_t kCrcSize = 2;

void scramble(u8* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] ^= kSeed[i % seed_sz];
}
}  // namespace

bool nkUtil_isEncrypted(const std::string& fn) {
    if (!nkFile_isFileExist(fn)) {
        NK_REPORT_FN(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return false;
    }
    FILE* fp = std::fopen(fn.c_str(), "rb");
    if (!fp) {
        NK_REPORT_FN(kNKErr_fileOpenFailed, "fp!=NULL");
        return false;
    }
    u8 head[seed_sz];
    const size_t rdsz = std::fread(head, 1, seed_sz, fp);
    std::fclose(fp);
    if (rdsz != seed_sz) {
        NK_REPORT_FN(kNKErr_fileOpenFailed, "rdsz==seed_sz");
        return false;
    }
    return std::memcmp(head, kSeed, seed_sz) == 0;
}

u16 nkUtil_encrypt_file(const std::string& fn, std::string& outPath) {
    if (outPath.empty()) outPath = fn + ".enc";
    if (!nkFile_isFileExist(fn)) {
        NK_REPORT_FN(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return kNKErr_fileNotExist;
    }
    std::vector<u8> data = nkFile_readFile(fn);
    if (!(data.size() > 0)) {
        NK_REPORT_FN(kNKErr_fileReadFailed, "data.size()>0");
        return kNKErr_fileReadFailed;
    }
    scramble(data.data(), data.size());
    const u16 crc = nkUtil_crc16(data);
    const u8 trailer[kCrcSize] = {static_cast<u8>(crc & 0xFF), static_cast<u8>(crc >> 8)};
    const u16 rc = nkFile_writeReplacing(outPath, {{kSeed, seed_sz}, {data.data(), data.size()}, {trailer, kCrcSize}});
    if (rc == kNKErr_fileOpenFailed) NK_REPORT_FN(rc, "fp!=NULL");
    else if (rc == kNKErr_fileWriteFailed) NK_REPORT_FN(rc, "writeLeng==size");
    else if (rc) NK_REPORT_FN(rc, "rename(temp,outPath)==0");
    return rc;
}

std::vector<u8> nkUtil_decrypt_file(const std::string& fn) {
    if (!nkFile_isFileExist(fn)) {
        NK_REPORT_FN(kNKErr_fileNotExist, "nkFile_isFileExist(fn)");
        return {};
    }
    // Too short to hold the seed and the CRC: refused before anything is read.
    const u64 size = nkFile_getFileSize(fn);
    if (!(size > 0)) {
        NK_REPORT_FN(kNKErr_fileReadFailed, "enc.size()>0");
        return {};
    }
    if (size < seed_sz + kCrcSize) {
        NK_REPORT_FN(kNKErr_invalidDataSize, "enc.size()>=seed_sz+2");
        return {};
    }
    std::vector<u8> enc = nkFile_readFile(fn);
    if (enc.size() < seed_sz + kCrcSize) {
        NK_REPORT_FN(kNKErr_fileReadFailed, "enc.size()>=seed_sz+2");
        return {};
    }
    if (std::memcmp(kSeed, enc.data(), seed_sz) != 0) {
        NK_REPORT_FN(kNKErr_invalidCondition, "!memcmp(seed,enc.data(),seed_sz)");
        return {};
    }
    const size_t n = enc.size() - seed_sz - kCrcSize;
    const u16 crc = nkUtil_crc16(enc.data() + seed_sz, n);
    const u16 stored = static_cast<u16>(enc[enc.size() - 2] | (enc[enc.size() - 1] << 8));
    if (crc != stored) {
        NK_REPORT_FN(kNKErr_invalidChecksum, "crc == *(uint16_t*)(enc.data()+enc.size()-2)");
        return {};
    }
    std::vector<u8> plain(enc.begin() + seed_sz, enc.begin() + static_cast<ptrdiff_t>(seed_sz + n));
    scramble(plain.data(), plain.size());
    return plain;
}

// ================================================================ ring buffer

CNK_fifo::CNK_fifo(u32 elementCount, u32 elementSize) {
    NK_CLASS_NAME();
    // Sizes and counts travel as u32: a block they cannot describe is refused too.
    const bool sizeOk = elementSize > 0 && elementCount <= UINT32_MAX / elementSize;
    NK_ASSERT(elementCount > 0 && sizeOk);
    _elementSize = elementSize;
    _buffSize = static_cast<size_t>(elementCount) * elementSize;
    _buff = static_cast<u8*>(std::calloc(_buffSize, 1));
    NK_ASSERT(_buff != NULL);
}

CNK_fifo::~CNK_fifo() {
    if (!nkObj_isValid(this)) return;
    std::free(_buff);
    _buff = nullptr;
}

u16 CNK_fifo::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_fifo::write(const void* buff, u32* pWriteSz) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!buff) {
        NK_REPORT(kNKErr_invalidPointer, "buff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!pWriteSz) {
        NK_REPORT(kNKErr_invalidPointer, "pWriteSz!=NULL");
        return kNKErr_invalidPointer;
    }
    if ((*pWriteSz) % _elementSize != 0) {
        NK_REPORT(kNKErr_invalidParam, "((*pWriteSz)%_elementSize)==0");
        return kNKErr_invalidParam;
    }
    const size_t used = _wr >= _rd ? _wr - _rd : _buffSize - (_rd - _wr);
    const size_t room = _buffSize - used - _elementSize;  // one element always stays free
    const size_t n = std::min<size_t>(*pWriteSz, room);
    const size_t first = std::min(n, _buffSize - _wr);
    const u8* src = static_cast<const u8*>(buff);
    std::memcpy(_buff + _wr, src, first);
    std::memcpy(_buff, src + first, n - first);
    _wr = (_wr + n) % _buffSize;
    NK_ASSERT(n % _elementSize == 0 && _wr < _buffSize);
    *pWriteSz = static_cast<u32>(n);
    return kNKErr_OK;
}

u16 CNK_fifo::read(void* buff, u32* pReadSz) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_mtx);
    if (!buff) {
        NK_REPORT(kNKErr_invalidPointer, "buff!=NULL");
        return kNKErr_invalidPointer;
    }
    if (!pReadSz) {
        NK_REPORT(kNKErr_invalidPointer, "pReadSz!=NULL");
        return kNKErr_invalidPointer;
    }
    if ((*pReadSz) % _elementSize != 0) {
        NK_REPORT(kNKErr_invalidParam, "((*pReadSz)%_elementSize)==0");
        return kNKErr_invalidParam;
    }
    const size_t wanted = *pReadSz;
    const size_t used = _wr >= _rd ? _wr - _rd : _buffSize - (_rd - _wr);
    const size_t n = std::min(wanted, used);
    const size_t first = std::min(n, _buffSize - _rd);
    u8* dst = static_cast<u8*>(buff);
    std::memcpy(dst, _buff + _rd, first);
    std::memcpy(dst + first, _buff, n - first);
    _rd = (_rd + n) % _buffSize;
    NK_ASSERT(n % _elementSize == 0);
    // The terminator only goes where the caller asked for room.
    if (n < wanted) dst[n] = 0;
    *pReadSz = static_cast<u32>(n);
    return kNKErr_OK;
}

u32 CNK_fifo::dataSize() {
    NK_VALID_OR_RETURN(0);
    std::lock_guard<std::mutex> lock(_mtx);
    return static_cast<u32>(_wr >= _rd ? _wr - _rd : _buffSize - (_rd - _wr));
}

void CNK_fifo::clear() {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_mtx);
    _wr = _rd = 0;
}
