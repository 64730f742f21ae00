// The repository record "CtCl": reader, writer, table decoding and displays.
#include "cvlra_ctcl.h"

#include <cmath>
#include <cstring>

#include "nk_utils.h"

namespace {

const u8* bytesOf(const t_cgCalData& record) { return reinterpret_cast<const u8*>(&record); }
u8* bytesOf(t_cgCalData& record) { return reinterpret_cast<u8*>(&record); }

u16 readLe16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
void writeLe16(u8* p, u16 v) {
    p[0] = static_cast<u8>(v & 0xFFu);
    p[1] = static_cast<u8>(v >> 8);
}

// Value i of row r in the record's layout; the caller keeps r and i in range.
u16 tableCode(const t_cgCalData& record, const t_cgCalRowLayout& layout, int r, int i) {
    return readLe16(bytesOf(record) + ctcl::kTableOffset + layout.stride * static_cast<size_t>(r) +
                    2 * static_cast<size_t>(i));
}

const char* typeName(u8 type) {
    switch (type) {
        case 0:
            return "Y30";
        case 1:
            return "Y31";
        case 2:
            return "Y32";
        default:
            return "Unknown";
    }
}

// The magic shown to people: its bytes from the most significant, "CtCl".
struct MagicText {
    char text[5];
};
MagicText magicText(u32 magic) {
    MagicText t{};
    for (int i = 0; i < 4; ++i) t.text[i] = static_cast<char>((magic >> (24 - 8 * i)) & 0xFFu);
    return t;
}

// Values first..first+4 of the code array at `offset` in the image, each "%5.5f,".
void printFive(CNK_logManager* lm, const t_cgCalData& record, size_t offset, int first) {
    for (int i = first; i < first + 5; ++i) {
        const u16 code = readLe16(bytesOf(record) + offset + 2 * static_cast<size_t>(i));
        lm->printString(kVL1, "%5.5f,", static_cast<double>(cgCalData_percent(code)));
    }
}

void printFiveOfRow(CNK_logManager* lm, const t_cgCalData& record, const t_cgCalRowLayout& layout, int r,
                    int first) {
    for (int i = first; i < first + 5; ++i)
        lm->printString(kVL1, "%5.5f,", static_cast<double>(cgCalData_percent(tableCode(record, layout, r, i))));
}

// The lines both views share up to the table; `shortView` is the application's.
void displayRecord(CNK_logManager* lm, const t_cgCalData* record, bool shortView) {
    if (!nkObj_isValid(lm) || !record) return;
    const t_cgCalData& rec = *record;
    lm->printText(kVL1, "*** VDX Data Content ***");
    lm->printText(kVL1, "* magic : %s", magicText(rec.magic).text);
    lm->printText(kVL1, "* version : %d.%d", rec.versionMajor, rec.versionMinor);
    if (shortView) lm->printText(kVL1, "* cg type : %08X", rec.cgType);
    else lm->printText(kVL1, "* cg_type : 0x%02X [%s]\n", rec.cgType, typeName(rec.cgType));
    // The text fields need not end in a zero byte.
    lm->printText(kVL1, "* cg sn : %.63s", rec.serialNumber);
    lm->printText(kVL1, "* tester id : %.15s", rec.testerId);
    lm->printText(kVL1, "* socket index : %d", rec.socketIndex);

    const bool v3 = rec.versionMajor == 3;
    const t_cgCalRowLayout layout = cgCalData_rowLayout(rec);
    // Version 3 is shown from 400 nm (entry 50); the 300 to 398 nm part is optional.
    const int first = v3 ? 50 : 0;
    const int last = layout.values - 5;
    lm->printString(kVL1, shortView ? "* T%% (first 5):\n" : "* T%% (first 5) ... (last 5):\n");
    for (int c = 0; c < ctcl::kRows; ++c) {
        lm->printString(kVL1, "\t Channel %d :", c);
        printFiveOfRow(lm, rec, layout, c, first);
        if (!shortView) {
            lm->printString(kVL1, " ... ");
            printFiveOfRow(lm, rec, layout, c, last);
        }
        lm->printString(kVL1, "\n");
    }
    if (!v3) return;
    const struct {
        const char* title;
        size_t offset;
    } tables[] = {{"* T% Weighted :", offsetof(t_cgCalData, weighted)},
                  {"* T% 2d :", offsetof(t_cgCalData, transmittance2d)}};
    for (const auto& t : tables) {
        lm->printString(kVL1, "%s", t.title);
        printFive(lm, rec, t.offset, 50);
        if (!shortView) {
            lm->printString(kVL1, " ... ");
            printFive(lm, rec, t.offset, 396);
        }
        lm->printString(kVL1, "\n");
    }
    const float aFactor = rec.aFactor;
    lm->printString(kVL1, "* a factor : %5.5f\n", static_cast<double>(aFactor));
    lm->printString(kVL1, "* gray image tile :");
    for (int i = 0; i < 5; ++i) {
        const float tile = rec.grayTile[i];
        lm->printString(kVL1, "%5.5f,", static_cast<double>(tile));
    }
    lm->printString(kVL1, "\n");
}

}  // namespace

float cgCalData_percent(u16 code) { return (static_cast<float>(code) * 100.0f) * 3.0517578e-05f; }

u16 cgCalData_code(float percent) {
    const float scaled = (percent / 100.0f) * 32768.0f;
    // Outside the codes' range a wrapped value would read back as a different
    // transmittance; the nearest end of the range is the truer record.
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= 65535.0f) return 65535;
    return static_cast<u16>(scaled);
}

t_cgCalRowLayout cgCalData_rowLayout(const t_cgCalData& record) {
    if (record.versionMajor == 3) return {ctcl::kValuesV3, ctcl::kFirstNmV3, ctcl::kStrideV3};
    return {ctcl::kValuesV2, ctcl::kFirstNmV2, ctcl::kStrideV2};
}

std::vector<float> cgCalData_row(const t_cgCalData& record, int r) {
    std::vector<float> row;
    if (r < 0 || r >= ctcl::kRows) return row;
    const t_cgCalRowLayout layout = cgCalData_rowLayout(record);
    row.reserve(static_cast<size_t>(layout.values));
    for (int i = 0; i < layout.values; ++i) row.push_back(cgCalData_percent(tableCode(record, layout, r, i)));
    return row;
}

u16 cgCalData_setRow(t_cgCalData& record, int r, const float* percent, size_t count) {
    if (r < 0 || r >= ctcl::kRows || (!percent && count > 0)) return kNKErr_invalidParam;
    const t_cgCalRowLayout layout = cgCalData_rowLayout(record);
    const size_t n = count < static_cast<size_t>(layout.values) ? count : static_cast<size_t>(layout.values);
    u8* row = bytesOf(record) + ctcl::kTableOffset + layout.stride * static_cast<size_t>(r);
    for (size_t i = 0; i < n; ++i) writeLe16(row + 2 * i, cgCalData_code(percent[i]));
    return kNKErr_OK;
}

u16 cgCalData_read(CNK_logManager* lm, const u8* bytes, size_t length, t_cgCalData* out, bool* crcOk) {
    if (crcOk) *crcOk = false;
    if (!out) return kNKErr_invalidParam;
    std::memset(static_cast<void*>(out), 0, sizeof(*out));
    CNK_logManager* log = nkObj_isValid(lm) ? lm : nullptr;
    if (!bytes || (length != ctcl::kSizeV2 && length != ctcl::kSizeV3)) {
        nkDebug_printError(log, __FILE__, nullptr, __func__, __LINE__, kNKErr_vdx_dataCheckFailed,
                           "length==3598 || length==8106");
        return kNKErr_vdx_dataCheckFailed;
    }
    // Byte 4 is the major version; version 3's table does not fit a short image.
    if (length == ctcl::kSizeV2 && bytes[4] == 3) {
        nkDebug_printError(log, __FILE__, nullptr, __func__, __LINE__, kNKErr_vdx_dataCheckFailed,
                           "length==8106 || versionMajor!=3");
        return kNKErr_vdx_dataCheckFailed;
    }
    std::memcpy(static_cast<void*>(out), bytes, length);
    if (length == ctcl::kSizeV2) {
        if (crcOk) *crcOk = true;
        return kNKErr_OK;
    }
    const u16 stored = readLe16(bytes + ctcl::kCrcOffset);
    const u16 computed = nkUtil_crc16(bytes, ctcl::kCrcOffset);
    if (stored != computed && log)
        log->printText(kVL1, "* VDX record CRC mismatch: stored 0x%04X, computed 0x%04X", stored, computed);
    if (crcOk) *crcOk = stored == computed;
    return kNKErr_OK;
}

std::vector<u8> cgCalData_write(const t_cgCalData& record) {
    std::vector<u8> image(bytesOf(record), bytesOf(record) + sizeof(record));
    writeLe16(image.data() + ctcl::kCrcOffset, nkUtil_crc16(image.data(), ctcl::kCrcOffset));
    return image;
}

void cgCalData_display(CNK_logManager* lm, const t_cgCalData* record) { displayRecord(lm, record, false); }

void displayVDXData(CNK_logManager* lm, const t_cgCalData* record) { displayRecord(lm, record, true); }
