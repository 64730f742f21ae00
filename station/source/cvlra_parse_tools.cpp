// Stored-packet parse tools of the station window.
#include "cvlra_parse_tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "nk_error.h"
#include "nk_file.h"
#include "nk_image.h"
#include "nk_log.h"
#include "nk_utils.h"

namespace {

float readF32(const u8* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}

u32 readU32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }

bool writeRow(std::FILE* f, const char* label, const std::vector<float>& values) {
    if (std::fputs(label, f) < 0) return false;
    for (float v : values)
        if (std::fprintf(f, "%f, ", double(v)) < 0) return false;
    return std::fputc('\n', f) != EOF;
}

}  // namespace

bool vlra_parseStoredAtst(const u8* data, size_t size, std::vector<t_vlraStoredAtstPoint>& points) {
    points.clear();
    if (!data || size < 1) return false;
    const size_t count = data[0];
    size_t off = 1;
    constexpr size_t kHead = 17, kSample = 16;
    for (size_t i = 0; i < count; ++i) {
        if (size - off < kHead) {
            points.clear();
            return false;
        }
        const u8* p = data + off;
        t_vlraStoredAtstPoint tp;
        tp.index = p[0];
        const u32 n = readU32(p + 1);
        tp.xOffset = readF32(p + 5);
        tp.yOffset = readF32(p + 9);
        tp.aOffset = readF32(p + 13);
        off += kHead;
        // The declared count is bounded by what the file holds before it sizes anything.
        if (n > (size - off) / kSample) {
            points.clear();
            return false;
        }
        for (auto* row : {&tp.wavelength, &tp.dark, &tp.white, &tp.measure, &tp.transmittance}) row->reserve(n);
        for (u32 s = 0; s < n; ++s, off += kSample) {
            const u8* q = data + off;
            const float wl = readF32(q), dark = readF32(q + 4), white = readF32(q + 8), measure = readF32(q + 12);
            tp.wavelength.push_back(wl);
            tp.dark.push_back(dark);
            tp.white.push_back(white);
            tp.measure.push_back(measure);
            tp.transmittance.push_back((measure - dark) / (white - dark) * 100.0f);
        }
        points.push_back(std::move(tp));
    }
    return true;
}

u16 vlra_writeAtstCsv(const std::string& folder, const std::vector<t_vlraStoredAtstPoint>& points) {
    u16 first = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const t_vlraStoredAtstPoint& tp = points[i];
        char path[4096];
        std::snprintf(path, sizeof(path), "%s/raw_tp%zu.csv", folder.c_str(), i);
        std::FILE* f = std::fopen(path, "w");
        if (!f) {
            NK_REPORT_FN(kNKErr_fileOpenFailed, path);
            if (!first) first = kNKErr_fileOpenFailed;
            continue;
        }
        bool ok = std::fprintf(f, "x_offset, %f\n", double(tp.xOffset)) >= 0 &&
                  std::fprintf(f, "y_offset, %f\n", double(tp.yOffset)) >= 0 &&
                  std::fprintf(f, "a_offset, %f\n", double(tp.aOffset)) >= 0 &&
                  writeRow(f, "wavelength, ", tp.wavelength) && writeRow(f, "dark, ", tp.dark) &&
                  writeRow(f, "white, ", tp.white) && writeRow(f, "measure, ", tp.measure) &&
                  writeRow(f, "transmittance, ", tp.transmittance);
        ok = (std::fclose(f) == 0) && ok;
        if (!ok) {
            NK_REPORT_FN(kNKErr_fileWriteFailed, path);
            if (!first) first = kNKErr_fileWriteFailed;
        }
    }
    return first;
}

bool vlra_parseStoredUnif(const u8* data, size_t size, t_vlraUnifImage& image) {
    image = {};
    constexpr size_t kHead = 21;
    if (!data || size < kHead) return false;
    const u16 w = u16(data[0] | data[1] << 8);
    const u16 h = u16(data[2] | data[3] << 8);
    const size_t n = size_t(w) * h;
    if (n == 0 || n > size - kHead) return false;
    image.width = w;
    image.height = h;
    image.pixels.assign(data + kHead, data + kHead + n);
    return true;
}

u16 vlra_parseAtstFile(CNK_logManager* lm, const std::string& binFile, const std::string& folder) {
    if (binFile.empty() || !nkFile_isFileExist(binFile)) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_fileNotExist,
                           "binFileLen && nkFile_isFileExist(binFile)");
        return kNKErr_fileNotExist;
    }
    void* buffer = nullptr;
    u32 length = 0;
    const u16 err = nkUtil_getBitStream(lm, binFile.c_str(), &buffer, &length, kVL1);
    if (err) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, err, "");
        std::free(buffer);
        return err;
    }
    std::vector<t_vlraStoredAtstPoint> points;
    const bool whole = vlra_parseStoredAtst(static_cast<const u8*>(buffer), length, points);
    std::free(buffer);
    if (!whole) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_invalidDataSize, "point inside the file");
        return kNKErr_invalidDataSize;
    }
    if (lm) {
        lm->printText(kVL1, " *** Total Test Points %d", int(points.size()));
        for (const t_vlraStoredAtstPoint& tp : points) {
            lm->printText(kVL1, "* Test Points %d, %d Wavelength Samples", int(tp.index), int(tp.wavelength.size()));
            lm->printText(kVL1, "* X offset %5.3f, Y offset %5.3f, A offset %5.3f", double(tp.xOffset),
                          double(tp.yOffset), double(tp.aOffset));
        }
    }
    return vlra_writeAtstCsv(folder, points);
}

u16 vlra_parseUnifFile(CNK_logManager* lm, const std::string& binFile, const std::string& folder,
                       std::string* written) {
    const std::vector<u8> bytes = nkFile_readFile(binFile);
    if (bytes.empty()) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_fileReadFailed, "binFile");
        return kNKErr_fileReadFailed;
    }
    t_vlraUnifImage image;
    if (!vlra_parseStoredUnif(bytes.data(), bytes.size(), image)) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, kNKErr_invalidDataSize, "image inside the file");
        return kNKErr_invalidDataSize;
    }
    const double now = double(std::time(nullptr)) - kNK_unixToReference;
    const std::string path = folder + "/" + nkUtil_formatTimestampStr(now, 1) + "_unif.bmp";
    const u16 err = CNK_bmp_8bpp::save(path, image.pixels.data(), image.width, image.height);
    if (err) {
        nkDebug_printError(lm, __FILE__, nullptr, __func__, __LINE__, err, path.c_str());
        return err;
    }
    if (written) *written = path;
    return 0;
}
