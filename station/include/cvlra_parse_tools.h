// Operator tools that turn a stored "atst" or "unif" packet file into files a
// person can open: readers that check every size against the bytes at hand,
// and the writers of the CSV and BMP files.
#pragma once

#include <string>
#include <vector>

#include "nk_typedef.h"

class CNK_logManager;

struct t_vlraStoredAtstPoint {
    u8 index = 0;
    float xOffset = 0.0f, yOffset = 0.0f, aOffset = 0.0f;
    std::vector<float> wavelength, dark, white, measure, transmittance;
};

// The test points of a stored transmittance packet, in file order. False, with
// `points` emptied, when the count byte is missing or a point's declared size
// runs past the end of the data.
bool vlra_parseStoredAtst(const u8* data, size_t size, std::vector<t_vlraStoredAtstPoint>& points);

// Writes folder/raw_tp<i>.csv for the i-th point, replacing an existing file.
// 0, or the code of the first file that could not be written whole (the
// others are still written).
u16 vlra_writeAtstCsv(const std::string& folder, const std::vector<t_vlraStoredAtstPoint>& points);

struct t_vlraUnifImage {
    u16 width = 0, height = 0;
    std::vector<u8> pixels;  // row by row
};

// Width at byte 0, height at byte 2, pixels from byte 21. False when the head
// or the declared pixels run past the end, or the image is empty.
bool vlra_parseStoredUnif(const u8* data, size_t size, t_vlraUnifImage& image);

// The two operator actions on a file path: read, parse whole, then write into
// `folder`. They print what they found through `lm` and return 0 or the code
// they reported; nothing is written from a file that does not parse whole.
u16 vlra_parseAtstFile(CNK_logManager* lm, const std::string& binFile, const std::string& folder);
// Writes folder/<yyyyMMddHHmmss>_unif.bmp; its path goes to `written` when given.
u16 vlra_parseUnifFile(CNK_logManager* lm, const std::string& binFile, const std::string& folder,
                       std::string* written = nullptr);
