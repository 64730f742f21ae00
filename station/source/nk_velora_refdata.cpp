// Transmittance reference-data files: sensor responses, white-part factors,
// transmittance tables, weight maps, kb lines, calibration factors and the
// light-source database in its CSV and binary forms.
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string_view>

#include "nk_file.h"
#include "nk_utils.h"
#include "nk_velora_log.h"
#include "nk_velora_utils.h"

using nk_velora::logLine;

namespace {

// The whole file as text; false (reported as the loader) when it cannot be opened.
bool readText(CNK_logManager* lm, const char* func, const std::string& path, std::string& text) {
    std::ifstream in(path);
    if (!in.good()) {
        nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_fileOpenFailed, "csvFile.good()");
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

bool isBlank(std::string_view line) { return line.find_first_not_of(" \t\r\n\v\f") == std::string_view::npos; }

// Lines end at CR when the text holds one (a CR LF file then starts each line
// with the LF, which the number conversion skips), else at LF. Blank lines and
// the remainder after the last line end are dropped.
std::vector<std::string_view> splitLines(const std::string& text) {
    const char sep = text.find('\r') != std::string::npos ? '\r' : '\n';
    std::vector<std::string_view> lines;
    std::string_view rest(text);
    while (!rest.empty()) {
        const size_t at = rest.find(sep);
        const std::string_view line = rest.substr(0, at);
        if (!isBlank(line)) lines.push_back(line);
        if (at == std::string_view::npos) break;
        rest.remove_prefix(at + 1);
    }
    return lines;
}

std::vector<std::string_view> splitCells(std::string_view line) {
    std::vector<std::string_view> cells;
    while (true) {
        const size_t at = line.find(',');
        cells.push_back(line.substr(0, at));
        if (at == std::string_view::npos) return cells;
        line.remove_prefix(at + 1);
    }
}

// Conversions as the standard ones do them (leading white space skipped, the
// number ends at the first character that cannot continue it); false when the
// cell holds no number at all.
bool toDouble(std::string_view cell, double& v) {
    const std::string s(cell);
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end != s.c_str();
}
bool toFloat(std::string_view cell, float& v) {
    const std::string s(cell);
    char* end = nullptr;
    v = std::strtof(s.c_str(), &end);
    return end != s.c_str();
}
bool toLong(std::string_view cell, long long& v) {
    const std::string s(cell);
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 10);
    return end != s.c_str();
}

bool toNumber(std::string_view cell, double& v) { return toDouble(cell, v); }
bool toNumber(std::string_view cell, float& v) { return toFloat(cell, v); }

// Every line as a row of numbers from cell `skip` on. Refuses (4, rows empty) a
// row whose cell count differs from the first row's or a cell without a number.
template <class T>
bool parseRows(CNK_logManager* lm, const char* func, const std::string& text, std::vector<std::vector<T>>& rows,
               size_t skip = 0) {
    rows.clear();
    size_t width = 0;
    for (const std::string_view line : splitLines(text)) {
        const std::vector<std::string_view> cells = splitCells(line);
        if (rows.empty()) width = cells.size();
        if (cells.size() != width) {
            nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_invalidData, "cells==firstRowCells");
            rows.clear();
            return false;
        }
        std::vector<T> row;
        row.reserve(cells.size() - std::min(skip, cells.size()));
        for (size_t c = skip; c < cells.size(); ++c) {
            T v{};
            if (!toNumber(cells[c], v)) {
                nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_invalidData, "isNumber(cell)");
                rows.clear();
                return false;
            }
            row.push_back(v);
        }
        rows.push_back(std::move(row));
    }
    return true;
}

// Shared front of the two double loaders: open, extension, rows, "wlCnt", "scCnt".
// 0 with rows filled, 0 with rows empty after a reported failure, or 4 for a malformed file.
u16 loadDoubleRows(CNK_logManager* lm, const char* func, const std::string& path,
                   std::vector<std::vector<double>>& rows) {
    rows.clear();
    std::string text;
    if (!readText(lm, func, path, text)) return kNKErr_OK;
    if (!endsWith(path, ".csv")) {
        nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_invalidData, "");
        return kNKErr_OK;
    }
    if (!parseRows(lm, func, text, rows)) return kNKErr_invalidData;
    if (rows.empty()) {
        nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_invalidData, "wlCnt");
        return kNKErr_OK;
    }
    if (rows[0].empty()) {
        nkDebug_printError(lm, __FILE__, nullptr, func, __LINE__, kNKErr_invalidData, "scCnt");
        rows.clear();
        return kNKErr_OK;
    }
    return kNKErr_OK;
}

// The three row-per-line float loaders; `openCode` is what an open failure returns.
u16 loadFloatRows(CNK_logManager* lm, const char* func, const std::string& path, std::vector<std::vector<float>>& out,
                  u16 openCode) {
    out.clear();
    std::string text;
    if (!readText(lm, func, path, text)) return openCode;
    return parseRows(lm, func, text, out) ? kNKErr_OK : kNKErr_invalidData;
}

}  // namespace

u16 nkFom_cg_loadTfromCsv(CNK_logManager* lm, const std::string& path, std::vector<std::vector<double>>& out) {
    out.clear();
    std::vector<std::vector<double>> rows;
    const u16 rc = loadDoubleRows(lm, __func__, path, rows);
    if (rows.empty()) return rc;
    // One line per wavelength in the file, one spectrum per channel out.
    out.assign(rows[0].size(), std::vector<double>(rows.size()));
    for (size_t i = 0; i < rows.size(); ++i)
        for (size_t j = 0; j < rows[i].size(); ++j) out[j][i] = rows[i][j];
    return kNKErr_OK;
}

u16 nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(CNK_logManager* lm, const std::string& path,
                                                std::vector<double>& out) {
    out.clear();
    std::vector<std::vector<double>> rows;
    const u16 rc = loadDoubleRows(lm, __func__, path, rows);
    if (rows.empty()) return rc;
    // A 401-column file starts at 300 nm; the station's factors start at 380 nm.
    const size_t first = rows[0].size() == 401 ? 40 : 0;
    out.reserve((rows[0].size() - first) * rows.size());
    for (size_t j = first; j < rows[0].size(); ++j)
        for (const auto& row : rows) out.push_back(row[j]);
    return kNKErr_OK;
}

u16 nkFom_cg_loadTp3Trans1(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out) {
    return loadFloatRows(lm, __func__, path, out, kNKErr_OK);
}

u16 nkFom_cg_loadTp3Trans(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out) {
    return loadFloatRows(lm, __func__, path, out, kNKErr_OK);
}

u16 nkFom_cg_loadWeightMap(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out) {
    return loadFloatRows(lm, __func__, path, out, kNKErr_fileOpenFailed);
}

u16 nkFom_cg_loadAfactor(CNK_logManager* lm, const std::string& path, std::vector<float>& out) {
    out.clear();
    std::vector<std::vector<float>> rows;
    const u16 rc = loadFloatRows(lm, __func__, path, rows, kNKErr_fileOpenFailed);
    for (const auto& row : rows) out.insert(out.end(), row.begin(), row.end());
    return rc;
}

u16 nkFom_cg_loadKbResult(CNK_logManager* lm, const std::string& path, std::vector<t_nkMathLineFit>& out) {
    out.clear();
    std::string text;
    if (!readText(lm, __func__, path, text)) return kNKErr_OK;
    size_t width = 0;
    for (const std::string_view line : splitLines(text)) {
        const std::vector<std::string_view> cells = splitCells(line);
        if (cells.size() == 1) continue;  // no ',' on the line: nothing to read
        if (out.empty()) width = cells.size();
        float k = 0, b = 0;
        const char* bad = cells.size() != width ? "cells==firstRowCells"
                          : cells.size() < 3     ? "cells>=3"
                          : !toFloat(cells[1], k) || !toFloat(cells[2], b) ? "isNumber(cell)"
                                                                           : nullptr;
        if (bad) {
            NK_VLRA_REPORT(lm, kNKErr_invalidData, bad);
            out.clear();
            return kNKErr_invalidData;
        }
        t_nkMathLineFit fit;
        fit.slope = k;
        fit.intercept = b;
        out.push_back(fit);
    }
    return kNKErr_OK;
}

u16 nkFom_cg_loadAfactors(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& table,
                          int& testerIdx, std::string& lightSourceSn, std::string& spectrometerSn0,
                          std::string& spectrometerSn1, int machineCount) {
    for (int m = 0; m < machineCount; ++m) table.push_back({1.0f, 1.0f});
    std::string text;
    if (!readText(lm, __func__, path, text)) return kNKErr_fileOpenFailed;
    const std::vector<std::string_view> lines = splitLines(text);
    if (lines.empty()) return kNKErr_OK;
    const size_t width = splitCells(lines[0]).size();
    for (size_t l = 1; l < lines.size(); ++l) {
        const std::vector<std::string_view> cells = splitCells(lines[l]);
        long long id = 0;
        float a0 = 0, a1 = 0;
        const char* bad = cells.size() != width || cells.size() < 7 ? "cells==headerCells"
                          : !toLong(cells[0], id) || !toFloat(cells[1], a0) || !toFloat(cells[2], a1)
                              ? "isNumber(cell)"
                          : id < 0 ? "testerId >= 0"
                          : id >= machineCount ? "testerId < size"
                                               : nullptr;
        if (bad) {
            NK_VLRA_REPORT(lm, kNKErr_invalidData, bad);
            NK_VLRA_REPORT(lm, kNKErr_invalidData, "");
            return kNKErr_invalidData;
        }
        std::vector<float>& row = table[static_cast<size_t>(id)];
        if (row.size() < 2) row.resize(2, 1.0f);
        row[0] = a0;
        row[1] = a1;
        lightSourceSn.assign(cells[4]);
        spectrometerSn0.assign(cells[5]);
        spectrometerSn1.assign(cells[6]);
        testerIdx = static_cast<int>(id);
    }
    return kNKErr_OK;
}

u16 nkFom_cg_loadUserDatabase(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out) {
    out.clear();
    if (endsWith(path, ".csv")) {
        std::string text;
        if (!readText(lm, __func__, path, text)) return kNKErr_OK;
        // The first cell of a line names the light source; the values follow it.
        if (!parseRows(lm, __func__, text, out, 1)) return kNKErr_invalidData;
        if (out.empty()) {
            NK_VLRA_REPORT(lm, kNKErr_invalidData, "wlCnt");
            return kNKErr_OK;
        }
        return kNKErr_OK;
    }
    if (!endsWith(path, ".bin")) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "");
        return kNKErr_OK;
    }
    const std::vector<u8> data = nkFile_readFile(path);
    if (data.empty()) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "dataBuffer");
        return kNKErr_OK;
    }
    if (data.size() < 6) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "dataSize>=6");
        return kNKErr_OK;
    }
    const u64 rows = static_cast<u64>(data[0]) | static_cast<u64>(data[1]) << 8;
    const u64 cols = static_cast<u64>(data[2]) | static_cast<u64>(data[3]) << 8 | static_cast<u64>(data[4]) << 16 |
                     static_cast<u64>(data[5]) << 24;
    // 64 bits: a header promising more than the file holds must not wrap to its size.
    const u64 expectedSz = 6 + 4 * rows * cols;
    if (expectedSz != data.size()) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "expectedSz == dataSize");
        return kNKErr_OK;
    }
    // Row by row: with no rows the column count is not backed by any byte.
    out.resize(rows);
    const u8* p = data.data() + 6;
    for (auto& row : out) {
        row.resize(cols);
        // A row of no columns has no buffer: memcpy must not see its null pointer.
        if (cols > 0) std::memcpy(row.data(), p, cols * 4);  // little-endian host, as the file
        p += cols * 4;
    }
    return kNKErr_OK;
}

u16 nkFom_cg_userDatabaseCsv2Bin(CNK_logManager* lm, const std::string& csvPath, const std::string& binPath) {
    const auto start = std::chrono::steady_clock::now();
    logLine(lm, kVL1, ". Converting Basebase csv....");
    std::vector<std::vector<float>> lightDB;
    if (const u16 rc = nkFom_cg_loadUserDatabase(lm, csvPath, lightDB)) return rc;
    if (lightDB.empty()) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "lightDB.size()");
        return kNKErr_invalidData;
    }
    // The row count is a 16-bit field.
    if (lightDB.size() > 0xFFFF) {
        NK_VLRA_REPORT(lm, kNKErr_invalidData, "lightDB.size()<=65535");
        return kNKErr_invalidData;
    }
    logLine(lm, kVL1, ". Convertion Done in %fs",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    logLine(lm, kVL1, ". Save Basebase Bin");
    const u64 rows = lightDB.size(), cols = lightDB[0].size();
    const u64 size = 6 + 4 * rows * cols;
    if (cols > 0xFFFFFFFFu || size > static_cast<u64>(INT_MAX)) {
        NK_VLRA_REPORT(lm, kNKErr_memoryAllocationFailed, "binData");
        return kNKErr_memoryAllocationFailed;
    }
    std::vector<u8> binData;
    try {
        binData.assign(size, 0);
    } catch (const std::bad_alloc&) {
        NK_VLRA_REPORT(lm, kNKErr_memoryAllocationFailed, "binData");
        return kNKErr_memoryAllocationFailed;
    }
    binData[0] = static_cast<u8>(rows);
    binData[1] = static_cast<u8>(rows >> 8);
    for (int b = 0; b < 4; ++b) binData[2 + b] = static_cast<u8>(cols >> (8 * b));
    u8* p = binData.data() + 6;
    for (const auto& row : lightDB) {
        std::memcpy(p, row.data(), cols * 4);
        p += cols * 4;
    }
    const u16 rc = nkUtil_saveBitStream(lm, binPath.c_str(), binData.data(), static_cast<int>(size), kVL2);
    if (rc != kNKErr_OK) NK_VLRA_REPORT(lm, rc, "");
    return rc;
}
