// Light-sensor packet, files and figures.
#include "nk_velora_wend.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "nk_error.h"
#include "nk_file.h"
#include "nk_filter.h"
#include "nk_utils.h"
#include "number/pf_number.h"

// Reports carry the module the station engineer knows these functions by: the packet
// parser belongs to the image pipeline's module, the rest to the utilities'.
#define WEND_REPORT(lm, code, cond) \
    nkDebug_printError((lm), "nk_velora_utils.cpp", nullptr, __func__, __LINE__, (u16)(code), (cond))
#define SPRP_REPORT(code, cond) \
    nkDebug_printError(nullptr, "nk_velora.cpp", nullptr, __func__, __LINE__, (u16)(code), (cond))

namespace {

constexpr u64 kSprpHeadSize = 41;
constexpr u64 kSprpRecordHeadSize = 42;
constexpr u64 kSprpPointSize = 12;

template <class T>
T readLE(const u8* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));  // the station's hosts are little-endian, as the packets
    return v;
}

double nowSinceReference() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() - kNK_unixToReference;
}

// Largest valid value over all series (each series' own maximum first).
double maxOver(const std::vector<t_nkData_1d<double>>& series) {
    double m = std::numeric_limits<double>::quiet_NaN();
    for (const auto& s : series) {
        const double v = s.max();
        if (std::isnan(v)) continue;
        if (std::isnan(m) || v > m) m = v;
    }
    return m;
}

void scaleAll(std::vector<t_nkData_1d<double>>& series, double factor) {
    for (auto& s : series)
        for (double& v : s.data) v *= factor;
}

// Lines of a text file: at CR when the text holds one, else at LF. Lines that hold only
// blanks (the LF of a CR LF pair, the end of the file) are no lines.
std::vector<std::string> splitLines(const std::string& text) {
    const char end = text.find('\r') != std::string::npos ? '\r' : '\n';
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t next = text.find(end, pos);
        if (next == std::string::npos) next = text.size();
        std::string line = text.substr(pos, next - pos);
        if (line.find_first_not_of(" \t\r\n") != std::string::npos) lines.push_back(std::move(line));
        pos = next + 1;
    }
    return lines;
}

// Cells at ',', a trailing empty cell dropped; every cell must be one number.
bool parseRow(const std::string& line, std::vector<double>& row) {
    row.clear();
    std::stringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ',')) {
        const size_t first = cell.find_first_not_of(" \t\r\n");
        if (first == std::string::npos) return false;
        char* stop = nullptr;
        const double v = pf::number::parse(cell.c_str() + first, &stop);
        if (stop == cell.c_str() + first) return false;
        if (std::strspn(stop, " \t\r\n") != std::strlen(stop)) return false;
        row.push_back(v);
    }
    return true;
}

// Reads a whole text file; false when it cannot be opened.
bool readText(const char* path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in.good()) return false;
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

// ---------------------------------------------------------------- identity

u32 nkFom_wend_formatChipID(const u8* chipIdRegs, t_VLRA_DEV_ID devId) {
    if (chipIdRegs == nullptr) nkDebug_assertFail("nk_velora_utils.cpp", nullptr, __func__, __LINE__, "chipIdRegs");
    const u32 r0 = chipIdRegs[0], r1 = chipIdRegs[1], r2 = chipIdRegs[2], r3 = chipIdRegs[3], r4 = chipIdRegs[4];
    switch (devId) {
        case kVLRA_devId_4ch:
            return ((r0 << 22) & 0x3C000000u) | ((r1 & 0x70u) << 19) | ((r2 << 15) & 0x600000u) |
                   ((r2 & 0x1Fu) << 16) | (r3 << 8) | r4;
        case 54:
        case 58:
        case 62:
            return readLE<u32>(chipIdRegs);
        default:
            return 0;
    }
}

int nkFom_wend_formatESerialNumber(t_VLRA_DEV_ID devId, u32 chipId, char* eSnBuff, int eSnBuffLen) {
    if (eSnBuff == nullptr) nkDebug_assertFail("nk_velora_utils.cpp", nullptr, __func__, __LINE__, "eSnBuff");
    if (eSnBuffLen <= 12)
        nkDebug_assertFail("nk_velora_utils.cpp", nullptr, __func__, __LINE__, "eSnBuffLen > 12");
    return std::snprintf(eSnBuff, static_cast<size_t>(eSnBuffLen), "%02X-%08X", devId, chipId);
}

// ---------------------------------------------------------------- sweep packet

t_velora_data_SPRP& nkVlra_parse_SPRP(t_velora_data_SPRP& record, const u8* pkt, u64 length) {
    record.clear();
    if (pkt == nullptr) {
        SPRP_REPORT(kNKErr_invalidParam, "pkt!=NULL");
        return record;
    }
    if (length < kSprpHeadSize) {
        SPRP_REPORT(kNKErr_invalidDataSize, "length>=41");
        return record;
    }
    // Every record is checked against the bytes left before any of it is read, in 64 bits:
    // a point count from the sensor can make 12 * n wrap a 32-bit size.
    const u16 recordCount = readLE<u16>(pkt + 7);
    {
        u64 pos = kSprpHeadSize;
        for (u16 r = 0; r < recordCount; ++r) {
            if (length - pos < kSprpRecordHeadSize) {
                SPRP_REPORT(kNKErr_invalidDataSize, "record header within the packet");
                return record;
            }
            const u64 points = readLE<u32>(pkt + pos + 38);
            if ((length - pos - kSprpRecordHeadSize) / kSprpPointSize < points) {
                SPRP_REPORT(kNKErr_invalidDataSize, "record points within the packet");
                return record;
            }
            pos += kSprpRecordHeadSize + points * kSprpPointSize;
        }
    }

    record.devId = static_cast<t_VLRA_DEV_ID>(pkt[5] >> 2);
    record.chipIdRegs.assign(pkt, pkt + 5);
    record.chipId = nkFom_wend_formatChipID(record.chipIdRegs.data(), record.devId);
    char eSn[16];
    nkFom_wend_formatESerialNumber(record.devId, record.chipId, eSn, sizeof(eSn));
    record.eSn = eSn;
    const size_t channels = record.devId == kVLRA_devId_4ch ? 4 : 6;
    record.chRaw.resize(channels);
    record.chNorm.resize(channels);

    u64 pos = kSprpHeadSize;
    for (u16 r = 0; r < recordCount; ++r) {
        const u8* rec = pkt + pos;
        record.stepValue.push_back(readLE<u16>(rec));
        float figure[6];
        for (int i = 0; i < 6; ++i) {
            figure[i] = readLE<float>(rec + 2 + 4 * i);
            record.stepFigure[i].push_back(figure[i]);
        }
        const u32 points = readLE<u32>(rec + 38);
        std::vector<double> xs, ys, zs;
        xs.reserve(points);
        ys.reserve(points);
        zs.reserve(points);
        float integral = 0.0f;
        float prevX = 0.0f, prevZ = 0.0f;
        for (u32 i = 0; i < points; ++i) {
            const u8* p = rec + kSprpRecordHeadSize + kSprpPointSize * i;
            const float x = readLE<float>(p), y = readLE<float>(p + 4), z = readLE<float>(p + 8);
            xs.push_back(x);
            ys.push_back(y);
            zs.push_back(z);
            if (std::fabs(x - figure[2]) <= 30.0) {
                if (i == 0)
                    integral += z;
                else
                    integral = static_cast<float>(integral + (z + prevZ) * 0.5 * (x - prevX));
            }
            prevX = x;
            prevZ = z;
        }
        record.stepIntegral.push_back(integral);
        record.pointX.push_back(std::move(xs));
        record.pointY.push_back(std::move(ys));
        record.pointZ.push_back(std::move(zs));
        for (size_t c = 0; c < channels; ++c) {
            const u16 count = readLE<u16>(rec + 26 + 2 * c);
            record.chRaw[c].data.push_back(count);
            record.chNorm[c].data.push_back(static_cast<float>(count) / integral);
        }
        pos += kSprpRecordHeadSize + kSprpPointSize * points;
    }

    scaleAll(record.chNorm, 1.0 / maxOver(record.chNorm));
    for (auto& ch : record.chNorm) ch.data = nkMath_filter_window_1d(ch.data, 3, 0.4f);
    scaleAll(record.chNorm, 1.0 / maxOver(record.chNorm));
    return record;
}

// ---------------------------------------------------------------- P2P factor file

u16 nkFom_wend_loadP2PFactor(CNK_logManager* lm, const char* path, const t_nkP2PFactorInfo* info,
                             std::vector<float>& factor1, std::vector<float>& factor2) {
    if (path == nullptr) {
        WEND_REPORT(lm, kNKErr_invalidParam, "path!=NULL");
        return kNKErr_invalidParam;
    }
    const std::vector<u8> data = nkFile_readFile(std::string(path));
    if (data.empty()) {
        WEND_REPORT(lm, kNKErr_fileReadFailed, "dataBuffer!=NULL");
        return kNKErr_fileReadFailed;
    }
    if (data.size() < 9) {
        WEND_REPORT(lm, kNKErr_invalidDataSize, "totalFileSz==dataBufferLen");
        return kNKErr_invalidDataSize;
    }
    const u64 n = readLE<u16>(data.data() + 5);
    if (8 * n + 9 != data.size()) {
        WEND_REPORT(lm, kNKErr_invalidDataSize, "totalFileSz==dataBufferLen");
        return kNKErr_invalidDataSize;
    }
    const u64 crcEnd = 7 + 8 * n;
    if (nkUtil_crc16(data.data(), crcEnd) != readLE<u16>(data.data() + crcEnd)) {
        WEND_REPORT(lm, kNKErr_invalidChecksum, "*pCrc==crc");
        return kNKErr_invalidChecksum;
    }
    if (info != nullptr && info->maxAgeDays != 0) {
        const double created = readLE<float>(data.data() + 1);
        const double ageDays = (nowSinceReference() - created) / 86400.0;
        if (ageDays > info->maxAgeDays) {
            if (nkObj_isValid(lm)) lm->printText(kVL1, "[Err] P2P Factor Expired");
            WEND_REPORT(lm, kNKErr_invalidDataSize, "ageDays<=maxAge");
            return kNKErr_invalidDataSize;
        }
    }
    factor1.resize(n);
    factor2.resize(n);
    if (n > 0) {
        std::memcpy(factor1.data(), data.data() + 7, 4 * n);
        std::memcpy(factor2.data(), data.data() + 7 + 4 * n, 4 * n);
    }
    return kNKErr_OK;
}

u16 nkFom_wend_saveP2PFactor(CNK_logManager* lm, const char* path, const t_nkP2PFactorInfo* info,
                             const std::vector<float>& factor1, const std::vector<float>& factor2) {
    // The count is a u16 and both arrays are written at its length: anything else would
    // write a file that cannot be read back as it was meant.
    if (path == nullptr || factor1.size() != factor2.size() || factor1.size() > 0xFFFF) {
        WEND_REPORT(lm, kNKErr_invalidParam, "factor1.size()==factor2.size() && factor1.size()<=65535");
        return kNKErr_invalidParam;
    }
    const u16 n = static_cast<u16>(factor1.size());
    std::vector<u8> data;
    try {
        data.resize(8 * size_t(n) + 9);
    } catch (const std::bad_alloc&) {
        WEND_REPORT(lm, kNKErr_memoryAllocationFailed, "dataBuffer");
        return kNKErr_memoryAllocationFailed;
    }
    data[0] = info ? info->type : 0;
    const float created = static_cast<float>(nowSinceReference());
    std::memcpy(&data[1], &created, 4);
    std::memcpy(&data[5], &n, 2);
    if (n > 0) {
        std::memcpy(&data[7], factor1.data(), 4 * size_t(n));
        std::memcpy(&data[7 + 4 * size_t(n)], factor2.data(), 4 * size_t(n));
    }
    const size_t crcEnd = 7 + 8 * size_t(n);
    const u16 crc = nkUtil_crc16(data.data(), crcEnd);
    std::memcpy(&data[crcEnd], &crc, 2);
    const u16 rtn = nkUtil_saveBitStream(lm, path, data.data(), static_cast<int>(data.size()), kVL2);
    if (rtn != kNKErr_OK) WEND_REPORT(lm, rtn, "nkUtil_saveBitStream()==0");
    return rtn;
}

// ---------------------------------------------------------------- CSV tables

u16 nkFom_wend_loadCMF(CNK_logManager* lm, const char* path, t_nkLightTable& cmf) {
    cmf.clear();
    std::string text;
    if (path == nullptr || !readText(path, text)) {
        WEND_REPORT(lm, kNKErr_fileOpenFailed, "csvFile.good()");
        return kNKErr_fileOpenFailed;
    }
    const std::vector<std::string> lines = splitLines(text);
    if (lines.empty()) {
        WEND_REPORT(lm, kNKErr_invalidData, "wlCnt");
        return kNKErr_invalidData;
    }
    t_nkLightTable table(4);
    std::vector<double> row;
    for (const std::string& line : lines) {
        if (!parseRow(line, row)) {
            WEND_REPORT(lm, kNKErr_invalidData, "every cell a number");
            return kNKErr_invalidData;
        }
        if (row.size() != 4) {
            WEND_REPORT(lm, kNKErr_invalidData, "lineBuffer.size()==4");
            return kNKErr_invalidData;
        }
        for (size_t c = 0; c < 4; ++c) table[c].push_back(row[c]);
    }
    cmf = std::move(table);
    return kNKErr_OK;
}

namespace {

u16 loadDatabaseCsv(CNK_logManager* lm, const std::string& text, t_nkLightTable& lightDB) {
    const std::vector<std::string> lines = splitLines(text);
    if (lines.empty()) {
        WEND_REPORT(lm, kNKErr_invalidData, "wlCnt");
        return kNKErr_invalidData;
    }
    std::vector<std::vector<double>> cells;
    cells.reserve(lines.size());
    std::vector<double> row;
    for (const std::string& line : lines) {
        if (!parseRow(line, row)) {
            WEND_REPORT(lm, kNKErr_invalidData, "every cell a number");
            return kNKErr_invalidData;
        }
        if (!cells.empty() && row.size() != cells.front().size()) {
            WEND_REPORT(lm, kNKErr_invalidData, "every line as long as the first");
            return kNKErr_invalidData;
        }
        cells.push_back(row);
    }
    const size_t columns = cells.front().size();
    if (columns == 0) {
        WEND_REPORT(lm, kNKErr_invalidData, "scCnt");
        return kNKErr_invalidData;
    }
    if (columns < 2) return kNKErr_OK;  // wavelengths only: no light source
    t_nkLightTable table(columns - 1, std::vector<double>(cells.size()));
    for (size_t l = 0; l < cells.size(); ++l)
        for (size_t c = 1; c < columns; ++c) table[c - 1][l] = cells[l][c];
    lightDB = std::move(table);
    return kNKErr_OK;
}

u16 loadDatabaseBin(CNK_logManager* lm, const char* path, t_nkLightTable& lightDB) {
    const std::vector<u8> data = nkFile_readFile(std::string(path));
    if (data.empty()) {
        WEND_REPORT(lm, kNKErr_invalidData, "dataBuffer");
        return kNKErr_invalidData;
    }
    // The head is read only once the file holds it; the size is computed in 64 bits, as
    // u16 x u32 x 8 can wrap 32 and pass the check.
    if (data.size() < 6) {
        WEND_REPORT(lm, kNKErr_invalidData, "expectedSz == dataSize");
        return kNKErr_invalidData;
    }
    const u64 values = readLE<u16>(data.data());
    const u64 rows = readLE<u32>(data.data() + 2);
    if (values * rows * 8 + 6 != data.size()) {
        WEND_REPORT(lm, kNKErr_invalidData, "expectedSz == dataSize");
        return kNKErr_invalidData;
    }
    t_nkLightTable table(rows, std::vector<double>(values));
    const u8* p = data.data() + 6;
    for (auto& row : table) {
        if (values > 0) std::memcpy(row.data(), p, 8 * values);
        p += 8 * values;
    }
    lightDB = std::move(table);
    return kNKErr_OK;
}

}  // namespace

u16 nkFom_wend_loadUserDatabase(CNK_logManager* lm, const char* path, t_nkLightTable& lightDB) {
    std::string text;
    if (path == nullptr || !readText(path, text)) {
        WEND_REPORT(lm, kNKErr_fileOpenFailed, "csvFile.good()");
        return kNKErr_fileOpenFailed;
    }
    lightDB.clear();
    const std::string name(path);
    if (endsWith(name, ".csv")) return loadDatabaseCsv(lm, text, lightDB);
    if (endsWith(name, ".bin")) return loadDatabaseBin(lm, path, lightDB);
    WEND_REPORT(lm, kNKErr_invalidData, "\".csv\" or \".bin\"");
    return kNKErr_invalidData;
}

u16 nkFom_wend_userDatabaseCsv2Bin(CNK_logManager* lm, const char* csvPath, const char* binPath) {
    if (binPath == nullptr) {
        WEND_REPORT(lm, kNKErr_invalidParam, "binPath!=NULL");
        return kNKErr_invalidParam;
    }
    const bool log = nkObj_isValid(lm);
    if (log) lm->printText(kVL2, ". Converting Basebase csv....");
    const auto start = std::chrono::steady_clock::now();
    t_nkLightTable lightDB;
    const u16 loaded = nkFom_wend_loadUserDatabase(lm, csvPath, lightDB);
    if (loaded != kNKErr_OK) return loaded;
    if (lightDB.empty()) {
        WEND_REPORT(lm, kNKErr_invalidData, "lightDB.size()");
        return kNKErr_invalidData;
    }
    const u64 values = lightDB.front().size();
    if (values > 0xFFFF) {
        WEND_REPORT(lm, kNKErr_invalidParam, "values per row <= 65535");
        return kNKErr_invalidParam;
    }
    if (log) {
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        lm->printText(kVL2, ". Convertion Done in %fs", secs);
        lm->printText(kVL2, ". Save Basebase Bin");
    }
    const u64 bytes = values * lightDB.size() * 8 + 6;
    if (bytes > static_cast<u64>(std::numeric_limits<int>::max())) {
        WEND_REPORT(lm, kNKErr_memoryAllocationFailed, "binData");
        return kNKErr_memoryAllocationFailed;
    }
    std::vector<u8> bin;
    try {
        bin.resize(bytes);
    } catch (const std::bad_alloc&) {
        WEND_REPORT(lm, kNKErr_memoryAllocationFailed, "binData");
        return kNKErr_memoryAllocationFailed;
    }
    const u16 v16 = static_cast<u16>(values);
    const u32 rows = static_cast<u32>(lightDB.size());
    std::memcpy(&bin[0], &v16, 2);
    std::memcpy(&bin[2], &rows, 4);
    u8* p = bin.data() + 6;
    for (const auto& row : lightDB) {
        if (values > 0) std::memcpy(p, row.data(), 8 * values);
        p += 8 * values;
    }
    const u16 rtn = nkUtil_saveBitStream(lm, binPath, bin.data(), static_cast<int>(bin.size()), kVL2);
    if (rtn != kNKErr_OK) WEND_REPORT(lm, rtn, "nkUtil_saveBitStream()==0");
    return rtn;
}

// ---------------------------------------------------------------- CRE95+ / CRE97+

namespace {

// One error table as the CSV layout wants it: the header, then "%5.20f," per value.
u16 writeCreCsv(CNK_logManager* lm, const std::string& path, const char* header,
                const std::vector<std::vector<double>>& columns, size_t rows) {
    std::string text = header;
    text += '\n';
    char cell[96];
    for (size_t r = 0; r < rows; ++r) {
        for (const auto& col : columns) {
            pf::number::format(cell, sizeof(cell), "%5.20f,", col[r]);
            text += cell;
        }
        text += '\n';
    }
    const u16 rtn = nkFile_writeReplacing(path, {{text.data(), text.size()}});
    if (rtn == kNKErr_fileOpenFailed) {
        WEND_REPORT(lm, kNKErr_fileOpenFailed, "fp!=NULL");
        return kNKErr_fileOpenFailed;
    }
    if (rtn != kNKErr_OK) {
        WEND_REPORT(lm, kNKErr_fileWriteFailed, "whole file written");
        return kNKErr_fileWriteFailed;
    }
    return kNKErr_OK;
}

}  // namespace

u16 nkFom_wend_getVCRE(CNK_logManager* lm, const char* folder, const char* name, bool save, u8 snsrChannelCnt,
                       u8 /*unused*/, const t_nkLightTable& cal, const t_nkLightTable& test,
                       const t_nkLightTable& lightDB, std::vector<double>& cre95) {
    const bool log = nkObj_isValid(lm);
    const size_t n = lightDB.size();
    const size_t wl = n > 0 ? lightDB.front().size() : 0;
    if (log) lm->printText(kVL1, "* Calculate CRE95+ from %d light sources with %d wavelength", int(n), int(wl));
    const auto start = std::chrono::steady_clock::now();

    auto refuse = [&](const char* cond) {
        WEND_REPORT(lm, kNKErr_invalidData, cond);
        return kNKErr_invalidData;
    };
    if (n == 0) return refuse("lightDB.size()>0");
    if (cal.empty() || cal[0].size() != wl) return refuse("snsrSpectraRespCal[0].size()==ldbWlCnt");
    if (test.empty() || test[0].size() != wl) return refuse("snsrSpectraRespTest[0].size()==ldbWlCnt");
    if (snsrChannelCnt < 4) return refuse("snsrChannelCnt>=4");
    cre95.clear();

    // Channels compared, and the reference channel they are divided by.
    std::vector<size_t> used;
    size_t ref = 0;
    const char* header = nullptr;
    if (snsrChannelCnt == 4) {
        used = {1, 2, 3};
        ref = 0;
        header = "CRE_CH1,CRE_CH2,CRE_CH3,";
    } else if (snsrChannelCnt == 6) {
        used = {1, 2, 4, 5};
        ref = 3;
        header = "CRE_CH1,CRE_CH2,CRE_CH4,CRE_CH5,";
    } else {
        return kNKErr_OK;  // no layout for other counts: nothing to compare
    }

    // A percentile needs two sources at least; every row must cover the wavelengths.
    if (n < 2) return refuse("lightDB.size()>=2");
    if (cal.size() < snsrChannelCnt || test.size() < snsrChannelCnt)
        return refuse("response rows >= snsrChannelCnt");
    for (const auto& row : lightDB)
        if (row.size() < wl) return refuse("lightDB[s].size()>=ldbWlCnt");
    for (size_t c = 0; c < snsrChannelCnt; ++c)
        if (cal[c].size() < wl || test[c].size() < wl) return refuse("response rows >= ldbWlCnt");

    std::vector<std::vector<double>> err(used.size(), std::vector<double>(n));
    for (size_t s = 0; s < n; ++s) {
        const double* src = lightDB[s].data();
        const double calRef = nkMath_vectorDotD(src, cal[ref].data(), int(wl));
        const double testRef = nkMath_vectorDotD(src, test[ref].data(), int(wl));
        if (calRef == 0.0 || testRef == 0.0) {
            if (log) lm->printText(kVL1, "[Err] light source %d gives no reference-channel signal", int(s));
            return refuse("reference channel signal != 0");
        }
        for (size_t k = 0; k < used.size(); ++k) {
            const size_t c = used[k];
            const double calC = nkMath_vectorDotD(src, cal[c].data(), int(wl));
            const double testC = nkMath_vectorDotD(src, test[c].data(), int(wl));
            err[k][s] = std::fabs((calC / calRef) / (testC / testRef) - 1.0);
        }
    }

    const size_t i95 = static_cast<size_t>(double(n) * 0.95);
    const size_t i97 = static_cast<size_t>(double(n) * 0.97);
    const std::string base = std::string(folder ? folder : "") + "/" + (name ? name : "");

    if (save) {
        const std::string path = base + "_CRE95_raw.csv";
        if (log) lm->printText(kVL1, "* save CRE raw data to %s", path.c_str());
        const u16 rtn = writeCreCsv(lm, path, header, err, n);
        if (rtn != kNKErr_OK) return rtn;
    }

    // Selection sort, descending, first of equal values wins; without the files only the
    // passes that reach the percentile positions are made.
    const size_t passes = save ? n : std::min(n, n + 1 - i95);
    for (auto& col : err) {
        for (size_t k = 0; k < passes; ++k) {
            size_t best = k;
            for (size_t j = k + 1; j < n; ++j)
                if (col[j] > col[best]) best = j;
            std::swap(col[k], col[best]);
        }
    }
    std::vector<double> cre97;
    for (const auto& col : err) {
        cre95.push_back(col[n - i95]);
        cre97.push_back(col[n - i97]);
    }

    if (save) {
        const std::string path = base + "_CRE95_sorted.csv";
        if (log) lm->printText(kVL1, "* save CRE sorted data to %s", path.c_str());
        const u16 rtn = writeCreCsv(lm, path, header, err, n);
        if (rtn != kNKErr_OK) return rtn;
        if (log) {
            const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            lm->printText(kVL1, "* CRE95+ test completed [in %.3f sec]", secs);
        }
    }

    if (log) {
        if (used.size() == 3) {
            lm->printText(kVL1, "*                         CH1     |      CH2     |      CH3");
            lm->printText(kVL1, "* [%dth/%d]CRE95+  %5.10f | %5.10f | %5.10f", int(n + 1 - i95), int(n), cre95[0],
                          cre95[1], cre95[2]);
            lm->printText(kVL1, ". [%dth/%d]CRE97+  %5.10f | %5.10f | %5.10f", int(n + 1 - i97), int(n), cre97[0],
                          cre97[1], cre97[2]);
        } else {
            lm->printText(kVL1, "*              CH1     |      CH2     |      CH4     |      CH5");
            lm->printText(kVL1, "* CRE95+  %5.10f | %5.10f | %5.10f | %5.10f", cre95[0], cre95[1], cre95[2],
                          cre95[3]);
            lm->printText(kVL1, ". CRE97+  %5.10f | %5.10f | %5.10f | %5.10f", cre97[0], cre97[1], cre97[2],
                          cre97[3]);
        }
    }
    return kNKErr_OK;
}
