// The repository record "CtCl" of a CG part: a fixed little-endian byte image of
// 8106 bytes (version 3) or 3598 bytes (versions 1 and 2), its checked reader,
// its writer, the decoding of its transmittance tables, and its two displays.
#pragma once

#include <bit>
#include <cstddef>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

static_assert(std::endian::native == std::endian::little, "the record image is copied as it lies in memory");

namespace ctcl {
constexpr u32 kMagic = 0x4374436C;  // "CtCl" as a number; on disk 6C 43 74 43
constexpr size_t kSizeV3 = 8106;
constexpr size_t kSizeV2 = 3598;
constexpr int kRows = 5;
constexpr size_t kTableOffset = 86;
// Version 3: 401 values a row from 300 nm; other versions: 351 from 400 nm.
constexpr int kValuesV3 = 401, kFirstNmV3 = 300;
constexpr size_t kStrideV3 = 802;
constexpr int kValuesV2 = 351, kFirstNmV2 = 400;
constexpr size_t kStrideV2 = 702;
constexpr size_t kCrcOffset = 8104;
}  // namespace ctcl

#pragma pack(push, 1)
// The 8106-byte image. A 3598-byte record fills the first 3598 bytes; its table
// then lies at the version-2 stride (see cgCalData_rowLayout).
struct t_cgCalData {
    u32 magic;
    u8 versionMajor;
    u8 versionMinor;
    u8 cgType;  // 0 "Y30", 1 "Y31", 2 "Y32"
    char serialNumber[63];  // zero-padded, not always terminated
    char testerId[15];      // zero-padded, not always terminated
    u8 socketIndex;
    u16 transmittance[ctcl::kRows][ctcl::kValuesV3];
    u16 weighted[ctcl::kValuesV3];
    u16 transmittance2d[ctcl::kValuesV3];
    float aFactor;
    float grayTile[5];
    u8 reserved[2380];
    u16 crc;  // CRC-16/MODBUS of bytes 0 to 8103
};
#pragma pack(pop)

static_assert(sizeof(t_cgCalData) == ctcl::kSizeV3);
static_assert(offsetof(t_cgCalData, versionMajor) == 4);
static_assert(offsetof(t_cgCalData, versionMinor) == 5);
static_assert(offsetof(t_cgCalData, cgType) == 6);
static_assert(offsetof(t_cgCalData, serialNumber) == 7);
static_assert(offsetof(t_cgCalData, testerId) == 70);
static_assert(offsetof(t_cgCalData, socketIndex) == 85);
static_assert(offsetof(t_cgCalData, transmittance) == ctcl::kTableOffset);
static_assert(offsetof(t_cgCalData, weighted) == 4096);
static_assert(offsetof(t_cgCalData, transmittance2d) == 4898);
static_assert(offsetof(t_cgCalData, aFactor) == 5700);
static_assert(offsetof(t_cgCalData, grayTile) == 5704);
static_assert(offsetof(t_cgCalData, reserved) == 5724);
static_assert(offsetof(t_cgCalData, crc) == ctcl::kCrcOffset);

// A stored code as a percentage: v × 100 / 32768 in single precision (32768 is 100 %).
float cgCalData_percent(u16 code);
// A percentage as a stored code: (T / 100) × 32768 truncated toward zero. Values
// below 0 % or beyond the largest code store 0 or 65535, and NaN stores 0.
u16 cgCalData_code(float percent);

// How the transmittance table of a record lies: by its major version, not its size.
struct t_cgCalRowLayout {
    int values;
    int firstNm;
    size_t stride;
};
t_cgCalRowLayout cgCalData_rowLayout(const t_cgCalData& record);

// Row r (0 to 4) as percentages in the record's layout; empty for another r.
std::vector<float> cgCalData_row(const t_cgCalData& record, int r);
// Stores up to the layout's count of percentages into row r; 0, or 5 for a bad row.
u16 cgCalData_setRow(t_cgCalData& record, int r, const float* percent, size_t count);

// Reads a record image of exactly 3598 or 8106 bytes into `out`, which is zero-
// filled first. 503 for any other length and for a 3598-byte image whose major
// version is 3 (its table would lie past its end); 5 for a null `out`. The CRC of
// an 8106-byte image is checked but not enforced: a mismatch is logged in one
// line and told through `crcOk` (true when there is no CRC to check).
u16 cgCalData_read(CNK_logManager* lm, const u8* bytes, size_t length, t_cgCalData* out, bool* crcOk = nullptr);

// The 8106-byte image of the record with its CRC computed (`nkUtil_crc16`).
std::vector<u8> cgCalData_write(const t_cgCalData& record);

// Prints the record at level 1, the whole view: identity lines, first and last
// five values of every channel, and for version 3 the weighted and 2-D tables,
// the a factor and the gray tile.
void cgCalData_display(CNK_logManager* lm, const t_cgCalData* record);
// The application's shorter view: type as a number, first five values only.
void displayVDXData(CNK_logManager* lm, const t_cgCalData* record);
