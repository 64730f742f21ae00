// Byte utilities (checksums, hex dumps, bit-stream and scrambled files),
// application paths, timestamps and system utilities.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

// ---------------------------------------------------------------- checksums

// CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final XOR.
u16 nkUtil_crc16(const void* data, u64 length);
u16 nkUtil_crc16(const std::vector<u8>& data);
// The same register started at 0 (CRC-16/ARC).
u16 nkUtil_crc16_rev(const u8* data, u64 length);
u16 nkUtil_crc16_rev(const std::vector<u8>& data);
// FNV-1a, 32-bit.
u32 nkUtil_hashFnv32(const u8* data, u32 length);
// Minus the sum of the bytes read as signed values; its low byte is the
// two's-complement checksum.
int nkUtil_checksum(const i8* data, u64 length);

// ---------------------------------------------------------------- hex dump

// 16 bytes a line with offsets and a character column, through printString.
void nkUtil_printBinary(CNK_logManager* lm, t_nkVbsLvl level, const u8* data, u32 length);

// ---------------------------------------------------------------- ring buffer

// Thread-safe byte ring of whole fixed-size elements. Writes never block and never
// overwrite: what does not fit is not taken. One element of the block stays free,
// so a buffer of N elements holds at most N - 1.
class CNK_fifo : public CNK_baseObject {
public:
    // A count or element size of 0, or a block whose size overflows, is a
    // programming error and ends the process.
    CNK_fifo(u32 elementCount, u32 elementSize);
    ~CNK_fifo() override;
    u16 setLogManager(CNK_logManager* lm) override;

    // *size: bytes offered, then bytes stored (possibly fewer, even 0).
    u16 write(const void* buffer, u32* size);
    // *size: bytes wanted, then bytes delivered. When fewer than wanted come, a 0
    // byte follows them; nothing is ever written beyond the wanted count.
    u16 read(void* buffer, u32* size);
    u32 dataSize();
    void clear();

private:
    std::mutex _mtx;
    u32 _elementSize = 0;
    u8* _buff = nullptr;
    size_t _buffSize = 0;  // bytes in the block
    size_t _wr = 0;        // offsets into the block; equal means empty
    size_t _rd = 0;
};

// ---------------------------------------------------------------- bit-stream files

// Whole-buffer saves and loads with timed progress lines through `lm` (which may
// be null: no lines, reports on standard error). A save writes a new file and
// renames it over the old one, so a failed save leaves the previous file whole.
u16 nkUtil_saveBitStream(CNK_logManager* lm, const char* path, const u8* data, int length, t_nkVbsLvl level);
// A new zero-filled buffer of the file's size, freed by the caller with free().
u16 nkUtil_getBitStream(CNK_logManager* lm, const char* path, void** data, u32* length, t_nkVbsLvl level);
// *length: the buffer's capacity on entry, the file's size on success.
u16 nkUtil_loadBitStream(CNK_logManager* lm, const char* path, u8* buffer, int* length, t_nkVbsLvl level);

// ---------------------------------------------------------------- scrambled files

// A fixed 4-byte seed, the bytes XORed with it, and the CRC-16 of the scrambled
// bytes (low byte first). Keeps files from casual editing; it is not a cipher.
bool nkUtil_isEncrypted(const std::string& path);
// An empty outPath becomes path + ".enc".
u16 nkUtil_encrypt_file(const std::string& path, std::string& outPath);
// The plain bytes; empty on any failure.
std::vector<u8> nkUtil_decrypt_file(const std::string& path);

// ---------------------------------------------------------------- application paths

// Computed once from the running executable: the bundle is the executable file,
// the application folder is the one that holds it (with a trailing '/') and the
// resources are in "resources" beside it.
const char* nkUtil_GetBundleName();
const char* nkUtil_GetBundlePath();
const char* nkUtil_GetAppPath();
const char* nkUtil_GetAppResPath();

// ---------------------------------------------------------------- timestamps

// Times are seconds since 2001-01-01 00:00:00 UTC; texts are local time.
// Format 0 is "yyyy-MM-dd HH:mm:ss", format 1 (and any other number) "yyyyMMddHHmmss".
constexpr double kNK_unixToReference = 978307200.0;

// A buffer of fewer than 21 bytes gets "" (nothing when it is null).
void nkUtil_formatTimestampStr(char* buffer, int bufferSize, int format, double time);
std::string nkUtil_formatTimestampStr(double time, int format);
double nkUtil_getTimestampStr(char* buffer, int bufferSize, int format);
std::string nkUtil_getTimestampStr(int format);
u16 nkUtil_getCalendar(u16* year, u8* month, u8* day);
u16 nkUtil_getTime(u8* hour, u8* minute, u8* second);
// Parses a whole timestamp text of the format; -1.0 when it is not one.
double nkUtil_getFromTimestampStr(const char* text, int length, int format, u16* year, u8* month, u8* day,
                                  u8* hour, u8* minute, u8* second);

// ---------------------------------------------------------------- system utilities

const char* Nerrakit_GetVersion();

// An N-dimensional array (1 to 16 dimensions, element type 0 to 9) in one zeroed
// block: pointer tables for every level but the last, then the elements, so the
// result indexes as p[i][j]...[k]. *totalBytes gets the block's size.
void* nkUtil_alignedMemory_alloc(int dataType, u16 dimensions, const u16* sizes, u32* totalBytes);
void nkUtil_alignedMemory_free(void* p);

// Starts the command (words split at blanks, no quoting, no path search, empty
// environment); with an output path the child's output and errors are appended
// to it and it has no input. The child's pid, or 0 on failure.
int nkUtil_launchProcess(const char* command, const char* outputPath);
// Starts the command and waits for it; *status gets the raw wait status.
u16 nkUtil_performProcess(const char* command, const char* outputPath, int* status);
// The same with the words given one by one (argv[0] an absolute path), so that
// no word is split or read by a shell; 0xE00D when the program cannot start.
u16 nkUtil_performProcessArgs(const std::vector<std::string>& argv, int* status);
u16 nkUtil_killProcess(int pid);

// false takes one more "keep the display awake" hold; true releases them all.
u16 nkSys_enableSystemSleep(bool enable);
// Resident memory of this process in MiB; 0.0 when it cannot be read.
double nkSys_processMemUsage();
// Hardware address of the primary network interface, or "".
const char* nkUtil_getMacAddress();
