// Byte utilities (checksums, hex dumps, bit-stream and scrambled files),
// application paths, timestamps and system utilities.
#pragma once

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
