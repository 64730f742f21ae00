// Byte utilities, application paths, timestamps and system utilities.
#include "nk_utils.h"

#include <cstdio>
#include <string>

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
