// The correlation's data and its drawing, apart from the widget that shows them.
#include "graph_correlation_model.h"

#include <QImage>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "ZelkMath.h"
#include "ZelkUtil.h"
#include "ZelkUtilDraw.h"
#include "correlation_files.h"
#include "draw/pf_draw.h"
#include "graph_histogram_model.h"
#include "number/pf_number.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool isSet(double v) { return v != kZelk_noValue; }

// "%f" of a value, always with '.', appended; a million of them in a summary
// cost a pass, not a million formatted prints.
void appendFixed(std::string& out, double v) {
    char buf[400];
    char* end = graph_correlation_fixed(buf, v);
    if (!end) {
        const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
        if (r.ec != std::errc()) {
            out += pf::number::text("%f", v);
            return;
        }
        end = r.ptr;
    }
    out.append(buf, end);
}

// Every pair is a filled circle of 6 points in one colour at alpha 0.2.
// Circles of one colour composite in any order to the alpha 1 - prod(1 - 0.2 c)
// of each pixel, c being a circle's coverage of it: the pairs are summed into
// one layer drawn once, so a million pairs cost one pass over them instead of
// a million paths. Coverage is sampled 4 x 4 per pixel, the centre taken to a
// quarter of a pixel. The layer's lower-left corner goes to (ox, oy).
QImage pointLayer(const tCsv_correlationData& d, double low, double high, double scale, double x0, double y0,
                  double S, int ox, int oy) {
    const int n = static_cast<int>(std::ceil(S)) + 12;
    if (n <= 0 || n > 20000) return {};
    // masks[qy][qx][row][col]: log(1 - 0.2 c) of pixel (col - 4, row - 4) from
    // the base pixel; the rows a circle does not reach hold zeros and are skipped.
    struct Masks {
        std::vector<float> m = std::vector<float>(4 * 4 * 8 * 8);
        int firstRow[16] = {}, lastRow[16] = {};
    };
    static const Masks masks = [] {
        Masks all;
        std::vector<float>& m = all.m;
        for (int qy = 0; qy < 4; ++qy)
            for (int qx = 0; qx < 4; ++qx) {
                const double cx = (qx + 0.5) / 4, cy = (qy + 0.5) / 4;
                for (int r = 0; r < 8; ++r)
                    for (int c = 0; c < 8; ++c) {
                        int inside = 0;
                        for (int sy = 0; sy < 4; ++sy)
                            for (int sx = 0; sx < 4; ++sx) {
                                const double px = c - 4 + (sx + 0.5) / 4 - cx, py = r - 4 + (sy + 0.5) / 4 - cy;
                                inside += px * px + py * py <= 9.0;
                            }
                        m[size_t(((qy * 4 + qx) * 8 + r) * 8 + c)] = static_cast<float>(std::log1p(-0.2 * inside / 16.0));
                    }
                int& first = all.firstRow[qy * 4 + qx];
                int& last = all.lastRow[qy * 4 + qx];
                first = 8, last = -1;
                for (int r = 0; r < 8; ++r)
                    for (int c = 0; c < 8; ++c)
                        if (m[size_t(((qy * 4 + qx) * 8 + r) * 8 + c)] != 0.0f) {
                            first = std::min(first, r);
                            last = std::max(last, r);
                        }
            }
        return all;
    }();
    // Eight columns added at once; adding the zeros at a row's ends changes no sum.
    using Half = float __attribute__((vector_size(16)));
    std::vector<float> sum(size_t(n) * size_t(n), 0.0f);
    const double* xs = d.data[0].data();
    const double* ys = d.data[1].data();
    float* const sums = sum.data();
    for (int i = 0; i < d.count; ++i) {
        const double x = xs[i], y = ys[i];
        if (!(x >= low && x <= high && y >= low && y <= high)) continue;  // NaN too
        const double u = (x - low) * scale + x0 - ox, v = (y - low) * scale + y0 - oy;
        // Inside the bounds u and v are at least x0 - ox = 6 and more: truncation is the floor.
        const double bu = static_cast<int>(u), bv = static_cast<int>(v);
        const int qx = std::min(3, static_cast<int>((u - bu) * 4)), qy = std::min(3, static_cast<int>((v - bv) * 4));
        const int px = static_cast<int>(bu) - 4, py = static_cast<int>(bv) - 4;
        if (px < 0 || py < 0 || px + 8 > n || py + 8 > n) continue;
        const int q = qy * 4 + qx;
        const float* m = &masks.m[size_t(q * 64)];
        for (int r = masks.firstRow[q]; r <= masks.lastRow[q]; ++r) {
            float* row = sums + size_t(py + r) * size_t(n) + size_t(px);
            Half a0, a1, b0, b1;
            std::memcpy(&a0, row, sizeof a0);
            std::memcpy(&a1, row + 4, sizeof a1);
            std::memcpy(&b0, m + r * 8, sizeof b0);
            std::memcpy(&b1, m + r * 8 + 4, sizeof b1);
            a0 += b0;
            a1 += b1;
            std::memcpy(row, &a0, sizeof a0);
            std::memcpy(row + 4, &a1, sizeof a1);
        }
    }
    QImage layer(n, n, QImage::Format_ARGB32_Premultiplied);
    for (int j = 0; j < n; ++j) {
        // Row 0 of the picture is its top.
        auto* line = reinterpret_cast<uint32_t*>(layer.scanLine(n - 1 - j));
        const float* s = &sum[size_t(j) * size_t(n)];
        for (int i = 0; i < n; ++i) {
            const double a = s[i] == 0.0f ? 0.0 : 1.0 - std::exp(double(s[i]));
            const uint32_t A = static_cast<uint32_t>(std::lround(a * 255));
            const uint32_t G = static_cast<uint32_t>(std::lround(a * 0.25 * 255));
            line[i] = (A << 24) | (A << 16) | (G << 8);
        }
    }
    return layer;
}

std::string upperCase(const std::string& text) {
    std::string s = text;
    ZUTIL_StrUpper(s.data());
    return s;
}

// The largest size from `start` down in steps of 0.1 at which the text is
// narrower than `room`; never below 1 point, where a plot without room still ends.
double fitFont(pf::draw::Context& ctx, const char* font, const char* text, double start, double room) {
    double size = start;
    ctx.setFont(font, size);
    while (size > 1.0 && !(ZUTIL_GetTextWidth(&ctx, text) < room)) {
        size = std::max(1.0, size - 0.1);
        ctx.setFont(font, size);
    }
    return size;
}

// Bold text of the axis names and the messages.
void setBold(pf::draw::Context& ctx, double size) {
    ctx.setFont(pf::draw::kMonospaceFont, size);
    ctx.setFontBold(true);
}

}  // namespace

char* graph_correlation_fixed(char* out, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    if (biased == 0x7ff) return nullptr;
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    const uint64_t m = biased ? fraction | (uint64_t(1) << 52) : fraction;
    const int e = biased ? biased - 1075 : -1074;
    if (e > 10) return nullptr;
    // |v| 10^6 = m 10^6 2^e exactly; m 10^6 is below 2^73.
    const unsigned __int128 p = static_cast<unsigned __int128>(m) * 1000000u;
    unsigned __int128 q = 0;  // e below -100: |v| 10^6 is under 2^-27 and rounds to 0
    if (e >= 0) {
        q = p << e;
    } else if (e >= -100) {
        // Rounded to nearest, a tie to the even quotient, without a branch.
        const int k = -e;
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (k - 1);
        q = (p + (half - 1) + ((p >> k) & 1)) >> k;
    }
    // Below 2^64 (|v| under 1.8e13), as summaries' values are: a 64-bit division.
    const bool narrow = (q >> 64) == 0;
    uint64_t whole = narrow ? static_cast<uint64_t>(q) / 1000000u : static_cast<uint64_t>(q / 1000000u);
    uint32_t part = narrow ? static_cast<uint32_t>(static_cast<uint64_t>(q) % 1000000u)
                           : static_cast<uint32_t>(q % 1000000u);
    static const char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    if (bits >> 63) *out++ = '-';
    if (whole < 10) {
        *out++ = static_cast<char>('0' + whole);
    } else if (whole < 100) {
        std::memcpy(out, pairs + 2 * whole, 2);
        out += 2;
    } else {
        char digits[24];
        int n = 24;
        while (whole >= 10) {
            n -= 2;
            std::memcpy(digits + n, pairs + 2 * (whole % 100), 2);
            whole /= 100;
        }
        if (whole) digits[--n] = static_cast<char>('0' + whole);
        while (n < 24) *out++ = digits[n++];
    }
    *out++ = '.';
    for (int i = 4; i >= 0; i -= 2) {
        std::memcpy(out + i, pairs + 2 * (part % 100), 2);
        part /= 100;
    }
    return out + 6;
}

void graph_correlation_fitColour(double rsq, double rgb[3]) {
    const double red[3] = {1, 0, 0}, green[3] = {0, 0.7, 0}, blue[3] = {0, 0, 1}, black[3] = {0, 0, 0};
    const double* c = rsq < 0.1 ? red : rsq > 0.9 ? green : (rsq > 0.1 && rsq < 0.9) ? blue : black;
    std::copy(c, c + 3, rgb);
}

graph_correlationModel::graph_correlationModel()
    : _boundHigh(kZelk_noValue),
      _boundLow(kZelk_noValue),
      _stdev(kZelk_noValue),
      _displayBoundHigh(kZelk_noValue),
      _displayBoundLow(kZelk_noValue) {}

bool graph_correlationModel::setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns0,
                                                 const tCsv_columnItemInfo* columns1,
                                                 const tCsv_categoryDataInfo* categories0,
                                                 const tCsv_categoryDataInfo* categories1) {
    if (columnCount <= 0 || !columns0 || !columns1 || !categories0 || !categories1) {
        std::printf("[ERR] invalid param\n");
        return false;
    }
    _raw_columnCount = columnCount;
    _raw_columnInfo[0] = columns0;
    _raw_columnInfo[1] = columns1;
    _raw_categoryInfo[0] = categories0;
    _raw_categoryInfo[1] = categories1;
    _rowsPaired = false;
    _rowOf1.clear();
    return false;
}

void graph_correlationModel::clearData() {
    _raw_columnCount = 0;
    _raw_columnInfo[0] = _raw_columnInfo[1] = nullptr;
    _raw_categoryInfo[0] = _raw_categoryInfo[1] = nullptr;
    _rowsPaired = false;
    _rowOf1 = {};
    _hasRecord = false;
    _correlationData = tCsv_correlationData{};
    _correlationDataCount_max = 0;
    std::string().swap(_strSummary);
}

void graph_correlationModel::setFileName(const char* name, int index, int state) {
    if (!name || index < 0 || index > 1) return;
    std::string n(name, strnlen(name, 63));
    n = upperCase(n);
    const size_t dot = n.find('.');
    if (dot != std::string::npos) n.resize(dot);
    _csvFileName[index] = n;
    _csvFileLoadStat[index] = state;
}

bool graph_correlationModel::setColumnToDisplay_columnIndex(int column, int decimalPoint, int sigmaFilterAt,
                                                            bool displayTestLimit, bool resetBounds) {
    const auto start = std::chrono::steady_clock::now();
    auto done = [&] {
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        pf::number::print(stdout, "data prep in %.3f sec\n", s);
        return false;
    };
    if (column < 0 || column >= _raw_columnCount || !_raw_columnInfo[0] || !_raw_categoryInfo[0]) return done();

    _decimalPoint = std::clamp(decimalPoint, 0, 20);
    _sigmaFilterAt = std::max(0, sigmaFilterAt);
    _displayTestLimit = displayTestLimit;

    const tCsv_categoryDataInfo& all0 = _raw_categoryInfo[0][0];
    const tCsv_categoryDataInfo& all1 = _raw_categoryInfo[1][0];
    const size_t capacity = std::max(all0.data_count_final, all1.data_count_final);
    if (capacity == 0) {
        _hasRecord = false;
        return done();
    }
    tCsv_correlationData& d = _correlationData;
    if (capacity != _correlationDataCount_max) {
        _hasRecord = false;
        _correlationDataCount_max = capacity;
        try {
            d = tCsv_correlationData{};
            for (int g = 0; g < 2; ++g) {
                d.data[g].reserve(capacity);
                d.filteredData[g].reserve(capacity);
            }
            d.sn.reserve(capacity);
            d.filteredSn.reserve(capacity);
        } catch (const std::bad_alloc&) {
            d = tCsv_correlationData{};
            _correlationDataCount_max = 0;
            return done();
        }
    }
    _hasRecord = true;
    d.count = d.filteredCount = 0;
    d.sn.clear();
    d.filteredSn.clear();
    for (int g = 0; g < 2; ++g) {
        d.data[g].clear();
        d.filteredData[g].clear();
    }

    const tCsv_columnItemInfo& item0 = _raw_columnInfo[0][column];
    const tCsv_columnItemInfo& item1 = _raw_columnInfo[1][column];
    d.name = item0.title ? item0.title : "";
    d.upperLimit[0] = item0.limit_upper;
    d.upperLimit[1] = item1.limit_upper;
    d.lowerLimit[0] = item0.limit_lower;
    d.lowerLimit[1] = item1.limit_lower;

    // Row i of input 0 pairs with input 1's row of the same serial number (case
    // ignored): the page writes both tables in one order, but a serial number
    // that input 0 holds in two spellings is one row in input 1.
    const bool sameItem = strcasecmp(d.name.c_str(), item1.title ? item1.title : "") == 0;
    if (sameItem) {
        // The rows pair the same way for every item: once per pair of tables.
        if (!_rowsPaired) {
            tCorr_noCaseIndex rowOf;
            rowOf.build(all1.data_count_final, [&](size_t j) { return all1.strArr_final[j][0]; });
            _rowOf1.resize(all0.data_count_final);
            for (size_t i = 0; i < all0.data_count_final; ++i) _rowOf1[i] = rowOf.find(all0.strArr_final[i][0], i);
            _rowsPaired = true;
        }
        // Locals: the stores of the pairs would make the compiler read the tables' pointers again.
        const long* rowOf1 = _rowOf1.data();
        const auto strArr0 = all0.strArr_final;
        const auto datArr0 = all0.datArr_final;
        const auto datArr1 = all1.datArr_final;
        const size_t rows = all0.data_count_final;
        for (size_t i = 0; i < rows; ++i) {
            const long at = rowOf1[i];
            if (at < 0) continue;
            const char* sn = strArr0[i][0];
            const double x = datArr0[i][column], y = datArr1[size_t(at)][column];
            if (!isSet(x) || !isSet(y)) continue;
            d.sn.push_back(sn);
            d.data[0].push_back(x);
            d.data[1].push_back(y);
        }
    }
    d.count = static_cast<int>(d.sn.size());

    for (int g = 0; g < 2; ++g) {
        if (d.count > 0) {
            ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(d.data[g].data(), d.count, 0, d.count, &d.max[g], &d.min[g],
                                                        &d.span[g], &d.avg[g], &d.stdev[g], nullptr, nullptr);
        } else {
            d.max[g] = d.min[g] = d.span[g] = d.avg[g] = d.stdev[g] = kNaN;
        }
    }

    // A fixed 4 standard deviations, whatever the display range.
    const double low0 = d.avg[0] - 4 * d.stdev[0], high0 = d.avg[0] + 4 * d.stdev[0];
    const double low1 = d.avg[1] - 4 * d.stdev[1], high1 = d.avg[1] + 4 * d.stdev[1];
    const double* xs = d.data[0].data();
    const double* ys = d.data[1].data();
    const char* const* sns = d.sn.data();
    for (int i = 0; i < d.count; ++i) {
        const double x = xs[i], y = ys[i];
        if (!(low0 <= x && x <= high0 && low1 <= y && y <= high1)) continue;
        d.filteredSn.push_back(sns[i]);
        d.filteredData[0].push_back(x);
        d.filteredData[1].push_back(y);
    }
    d.filteredCount = static_cast<int>(d.filteredSn.size());

    // No fit of an earlier item survives one that has no pairs left.
    d.slope = d.intercept = d.rsq = kNaN;
    if (d.filteredCount > 0)
        ZMATH_LineFitDouble(d.filteredData[0].data(), d.filteredData[1].data(), d.filteredCount, &d.slope,
                            &d.intercept, nullptr, &d.rsq);
    pf::number::print(stdout, "\n\ny = %fx + %f, rsq = %f\n\n", d.slope, d.intercept, d.rsq);

    writeSummary();
    drawData(resetBounds);
    return done();
}

void graph_correlationModel::writeSummary() {
    const tCsv_correlationData& d = _correlationData;
    std::string& s = _strSummary;
    // Cleared, not replaced: the text keeps its room from one item to the next.
    s.clear();
    s += pf::number::text("[%s]\n", d.name.c_str());
    s += "\n*** summary ***\n";
    s += pf::number::text("%25s: %d\n", "correlationSampleSize", d.count);
    if (!std::isnan(d.slope) && !std::isnan(d.intercept) && !std::isnan(d.rsq))
        s += pf::number::text("%25s: y = %fx + %f\n%25s: %f\n", "trend line info", d.slope, d.intercept, "r-squared", d.rsq);
    s += "\n*** raw data ***\n";
    s += pf::number::text("\t%s\t%s\n", _csvFileName[0].c_str(), _csvFileName[1].c_str());
    auto limits = [&](const char* head, const double (&v)[2]) {
        s += head;
        s += isSet(v[0]) ? pf::number::text("%f\t", v[0]) : std::string("NA\t");
        s += isSet(v[1]) ? pf::number::text("%f\n", v[1]) : std::string("NA\n");
    };
    limits("upperLimit\t", d.upperLimit);
    limits("lowerLimit\t", d.lowerLimit);
    // The lines go through a buffer, appended a block at a time: a million of
    // them then cost about one copy of the text.
    s.reserve(s.size() + size_t(d.count) * 40);
    char block[65536];
    size_t used = 0;
    for (int i = 0; i < d.count; ++i) {
        const char* sn = d.sn[size_t(i)] ? d.sn[size_t(i)] : "";
        const size_t length = std::strlen(sn);
        // A line that might not fit: the block first, a long serial number straight to the text.
        if (used + length + 64 > sizeof block) {
            s.append(block, used);
            used = 0;
            if (length + 64 > sizeof block) {
                s.append(sn, length);
                sn = "";
            }
        }
        char* at = block + used;
        at = std::copy(sn, sn + std::strlen(sn), at);
        *at++ = '\t';
        for (int g = 0; g < 2; ++g) {
            char* end = graph_correlation_fixed(at, d.data[g][size_t(i)]);
            if (!end) {
                // Not finite or huge: printf's text, straight to the summary.
                s.append(block, at);
                appendFixed(s, d.data[g][size_t(i)]);
                end = block;
            }
            at = end;
            *at++ = g ? '\n' : '\t';
        }
        used = size_t(at - block);
    }
    s.append(block, used);
}

void graph_correlationModel::drawData(bool resetBounds) {
    const tCsv_correlationData& d = _correlationData;
    double s = std::max(d.stdev[0], d.stdev[1]);
    // One pair has no spread to measure: a unit then, as for equal values.
    if (!(s > 0) || !std::isfinite(s)) s = 1;
    _stdev = s;
    const double k = _sigmaFilterAt ? _sigmaFilterAt : 6;

    double low = std::min(d.avg[0], d.avg[1]) - k * s;
    double high = std::max(d.avg[0], d.avg[1]) + k * s;
    if (_displayTestLimit) {
        const double lo = std::min(isSet(d.lowerLimit[0]) ? d.lowerLimit[0] : HUGE_VAL,
                                   isSet(d.lowerLimit[1]) ? d.lowerLimit[1] : HUGE_VAL);
        if (lo != HUGE_VAL && lo < low) low = lo - s;
        const double hi = std::max(isSet(d.upperLimit[0]) ? d.upperLimit[0] : -HUGE_VAL,
                                   isSet(d.upperLimit[1]) ? d.upperLimit[1] : -HUGE_VAL);
        if (hi != -HUGE_VAL && hi > high) high = hi + s;
    }
    if (_sigmaFilterAt == 0) {
        const double lo = std::min(d.min[0], d.min[1]);
        if (lo < low) low = lo - s;
        const double hi = std::max(d.max[0], d.max[1]);
        if (hi > high) high = hi + s;
    }
    // Values so large that the spread is lost in rounding still get a range to draw in.
    if (std::isfinite(low) && std::isfinite(high) && !(high > low)) {
        const double centre = (low + high) / 2;
        const double half = std::max(std::fabs(centre) / 100, 1e-9);
        low = centre - half;
        high = centre + half;
    }
    _boundLow = low;
    _boundHigh = high;
    if (resetBounds) {
        _displayBoundLow = low;
        _displayBoundHigh = high;
    }
    pf::number::print(stdout, "stdev: %.3f %.3f [%.3f~%.3f,%.3f~%.3f] %.3f [%.3f~%.3f]\n", d.stdev[0], d.stdev[1],
                      d.min[0], d.max[0], d.min[1], d.max[1], s, _boundLow, _boundHigh);
}

std::string graph_correlationModel::dataPairText() const {
    const tCsv_correlationData& d = _correlationData;
    if (!hasPairs() || d.count < 1) return {};
    std::string out = pf::number::text("%s\t%s\n", _csvFileName[0].c_str(), _csvFileName[1].c_str());
    for (int i = 0; i < d.count; ++i) {
        appendFixed(out, d.data[0][size_t(i)]);
        out += '\t';
        appendFixed(out, d.data[1][size_t(i)]);
        out += '\n';
    }
    return out;
}

int graph_correlationModel::dropZoneAt(double x, double y) const {
    for (int i = 0; i < 2; ++i) {
        const double* r = _rtDropArea[i];
        if (x >= r[0] && x <= r[0] + r[2] && y >= r[1] && y <= r[1] + r[3]) return i;
    }
    return -1;
}

void graph_correlationModel::render(pf::draw::Context& ctx, const tCorr_viewState& view) {
    const double W = ctx.width(), H = ctx.height();
    ctx.setFillColor(1, 1, 1, 1);
    ctx.fillRect(0, 0, W, H);
    for (int i = 0; i < 2; ++i) {
        _rtDropArea[i][0] = i * W / 2 + 4;
        _rtDropArea[i][1] = 4;
        _rtDropArea[i][2] = W / 2 - 8;
        _rtDropArea[i][3] = H - 8;
    }
    const bool loaded = _csvFileLoadStat[0] == 2 && _csvFileLoadStat[1] == 2;
    if (view.dragEntered || !loaded || !_hasRecord) {
        static const double dash[2] = {20, 4};
        const int over = view.dragEntered ? dropZoneAt(view.mouseX, view.mouseY) : -1;
        for (int i = 0; i < 2; ++i) {
            struct Look {
                double r, g, b, fill, line, label;
            } look;
            if (over == i)
                look = {1, 0.8, 0, 0.05, 0.3, 0.5};
            else if (_csvFileLoadStat[i] == 1)
                look = {1, 0, 0, 0.02, 0.2, 1};
            else if (_csvFileLoadStat[i] == 2 || !_csvFileName[i].empty())
                look = {0.3, 1, 0, 0.02, 0.2, 0.5};
            else
                look = {0.2, 0.2, 0.2, 0.08, 0.2, 0.2};
            const double* r = _rtDropArea[i];
            ctx.saveState();
            ctx.setFillColor(look.r, look.g, look.b, look.fill);
            ctx.fillRoundedRect(r[0], r[1], r[2], r[3], 10);
            ctx.setDash(dash, 2, 0);
            ctx.setLineWidth(4);
            ctx.setStrokeColor(look.r, look.g, look.b, look.line);
            ctx.strokeRoundedRect(r[0], r[1], r[2], r[3], 10);
            ctx.restoreState();
            const std::string label = upperCase(_csvFileName[i].empty() ? (i ? "CSV #2" : "CSV #1") : _csvFileName[i]);
            ctx.setFont(pf::draw::kMonospaceFont, 16);
            ctx.setFillColor(look.r, look.g, look.b, look.label);
            if (i == 0)
                ZUTIL_DrawText(&ctx, label.c_str(), 1, 10, H - 24);
            else
                ZUTIL_DrawText(&ctx, label.c_str(), 2, W - 10, H - 24);
        }
    }
    if (loaded && _hasRecord) {
        drawPlot(ctx, view);
        return;
    }
    const char* message;
    if (_csvFileLoadStat[0] == 1)
        message = "!!! INVALID CSV FILE DROPPED !!!";
    else if (loaded)
        message = "!!! NO DATA TO CORRELATE !!!";
    else if (_csvFileLoadStat[1] == 1)
        message = "!!! INVALID CSV FILE DROPPED !!!";
    else
        message = "Drop CSV Files to Correlate";
    if (message[0] == '!')
        ctx.setFillColor(1, 0.5, 0, 0.75);
    else
        ctx.setFillColor(0.1, 0.5, 0, 0.75);
    setBold(ctx, 25);
    ZUTIL_DrawText(&ctx, upperCase(message).c_str(), 0, W / 2, H / 2 - 12.5);
    ctx.setFontBold(false);
}

void graph_correlationModel::drawPlot(pf::draw::Context& ctx, const tCorr_viewState& view) {
    const tCsv_correlationData& d = _correlationData;
    const double W = ctx.width(), H = ctx.height();
    const int p = _decimalPoint;
    double low = _displayBoundLow, high = _displayBoundHigh;
    const bool range = isSet(low) && isSet(high) && std::isfinite(low) && std::isfinite(high) && high > low;

    // Ticks first: the widest label sets the margins.
    ctx.setFont(pf::draw::kMonospaceFont, 9);
    double L = 0, first = 0, step = 1;
    if (range) {
        const double span = high - low;
        if (span != _dspSpan_back) _tickStep = graph_histogram_tickStep(low, high, &_tickCnt);
        _dspSpan_back = span;
        step = _tickStep;
        first = std::trunc(low / step) * step;
        if (low > 0) first += step;
        for (int i = 0; i <= _tickCnt; ++i) {
            const double v = first + i * step;
            if (v > high) break;
            L = std::max(L, ZUTIL_GetTextWidth(&ctx, pf::number::text("%.*f", p, v).c_str()));
        }
    }
    const double T = d.name.empty() ? 0 : 50;
    const double M = 2 * L + 35;
    const double freeW = std::floor(W) - (M + L + 5);
    // The fit text takes the 12 points under the sample count: the square starts below it.
    const double freeH = std::floor(H) - (T + 65 + (T > 0 ? 12 : 0));
    const double S = std::floor(std::min(freeW, freeH));
    const double x0 = (freeW - S) / 2 + M + 5;
    const double y0 = (freeH - S) / 2 + 55;
    _plotX0 = x0, _plotY0 = y0, _plotSide = S;

    // Title, sample count and the fit.
    const double room = std::max(S, 1.0);
    const double titleSize = fitFont(ctx, pf::draw::kMonospaceFont, d.name.c_str(), 25, room);
    ctx.setFillColor(0, 0, 0, 1);
    ZUTIL_DrawText(&ctx, d.name.c_str(), 0, x0 + S / 2, H - 5 - titleSize);
    ctx.setFont(pf::draw::kMonospaceFont, 10);
    ctx.setFillColor(0, 0, 0, 0.8);
    ZUTIL_DrawText(&ctx, pf::number::text("%d samples", d.count).c_str(), 0, x0 + S / 2, H - T);
    const bool fit = !std::isnan(d.slope) && !std::isnan(d.intercept) && !std::isnan(d.rsq);
    const std::string fitText =
        fit ? pf::number::text("Y = %.4f * X + %.4f [r2=%.6f]", d.slope, d.intercept, d.rsq) : std::string();
    // The fit text may be wider than a small square, as long as it stays inside the view.
    const double fitRoom = std::max(room, 2 * std::min(x0 + S / 2, W - x0 - S / 2) - 10);
    fitFont(ctx, pf::draw::kMonospaceFont, fitText.c_str(), 10, fitRoom);
    double rgb[3];
    graph_correlation_fitColour(d.rsq, rgb);
    ctx.setFillColor(rgb[0], rgb[1], rgb[2], 1);
    ZUTIL_DrawText(&ctx, fitText.c_str(), 0, x0 + S / 2, H - T - 12);

    if (!(S >= 0) || !range) return;
    const double scale = S / (high - low);
    auto X = [&](double v) { return (v - low) * scale + x0; };
    auto Y = [&](double v) { return (v - low) * scale + y0; };

    // Axes, the diagonal y = x and the ticks.
    ctx.setLineCap(pf::draw::LineCap::round);
    ctx.setDash(nullptr, 0, 0);
    ctx.setStrokeColor(0, 0, 0, 0.5);
    ctx.setLineWidth(0.5);
    ZUTIL_DrawLine(&ctx, x0 - 5, y0, x0 - 5, y0 + S);
    ZUTIL_DrawLine(&ctx, x0, y0 - 5, x0 + S, y0 - 5);
    {
        static const double dash[2] = {6, 2};
        ctx.saveState();
        ctx.setDash(dash, 2, 0);
        ctx.setStrokeColor(0, 0, 0, 0.2);
        ctx.setLineWidth(0.2);
        ZUTIL_DrawLine(&ctx, x0, y0, x0 + S, y0 + S);
        ctx.restoreState();
    }
    ctx.setFont(pf::draw::kMonospaceFont, 9);
    ctx.setFillColor(0, 0, 0, 0.5);
    for (int i = 0; i <= _tickCnt; ++i) {
        const double v = first + i * step;
        if (v > high) break;
        const std::string label = pf::number::text("%.*f", p, v);
        const double x = X(v), y = Y(v);
        ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 - 3);
        ZUTIL_DrawText(&ctx, label.c_str(), 0, x, y0 - 18);
        ZUTIL_DrawLine(&ctx, x0 - 7, y, x0 - 3, y);
        ZUTIL_DrawText(&ctx, label.c_str(), 2, x0 - 15, y - 4.5 + 1.5);
    }

    // Axis names: input 0 under the X labels, input 1 turned along the Y axis.
    setBold(ctx, 9);
    ctx.setFillColor(0, 0, 0, 1);
    ZUTIL_DrawText(&ctx, _csvFileName[0].c_str(), 0, x0 + S / 2, y0 - (_displayTestLimit ? 40.5 : 31.5));
    {
        const double w = ctx.textWidth(_csvFileName[1].c_str());
        const double nameX = std::max(12.0, x0 - 15 - L - 10 - (_displayTestLimit ? L + 20 : 0));
        ctx.drawText(_csvFileName[1].c_str(), nameX, y0 + S / 2 - w / 2, M_PI / 2);
    }
    ctx.setFontBold(false);

    // Every pair inside the bounds, outliers too.
    {
        const int ox = static_cast<int>(std::floor(x0)) - 6, oy = static_cast<int>(std::floor(y0)) - 6;
        const QImage layer = pointLayer(d, low, high, scale, x0, y0, S, ox, oy);
        ctx.drawImage(layer, ox, oy);
    }

    // The fit line, clipped to the square.
    if (fit) {
        double xa = low, xb = high;
        const double ya = d.slope * xa + d.intercept, yb = d.slope * xb + d.intercept;
        double ta = 0, tb = 1;
        const double dy = yb - ya;
        if (dy != 0) {
            double t1 = (low - ya) / dy, t2 = (high - ya) / dy;
            if (t1 > t2) std::swap(t1, t2);
            ta = std::max(ta, t1);
            tb = std::min(tb, t2);
        } else if (ya < low || ya > high) {
            tb = -1;
        }
        if (ta < tb && std::isfinite(ya) && std::isfinite(yb)) {
            static const double dash[2] = {6, 6};
            ctx.saveState();
            ctx.setDash(dash, 2, 0);
            ctx.setStrokeColor(1, 0.25, 0, 0.5);
            ctx.setLineWidth(1);
            const double x1 = xa + (xb - xa) * ta, x2 = xa + (xb - xa) * tb;
            ZUTIL_DrawLine(&ctx, X(x1), Y(ya + dy * ta), X(x2), Y(ya + dy * tb));
            ctx.restoreState();
        }
    }

    // Limits.
    if (_displayTestLimit) {
        static const double dash[2] = {8, 4};
        auto inside = [&](double v) { return isSet(v) && v >= low && v <= high; };
        ctx.saveState();
        ctx.setDash(dash, 2, 0);
        ctx.setStrokeColor(0, 0, 1, 0.75);
        ctx.setLineWidth(0.2);
        ctx.setFont(pf::draw::kMonospaceFont, 9);
        ctx.setFillColor(0, 0, 1, 0.8);
        const double yLabelX = x0 - 15 - L - 4;
        if (inside(d.upperLimit[0])) {
            const double x = X(d.upperLimit[0]);
            ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 + S);
            ZUTIL_DrawText(&ctx, pf::number::text("<< %.*f", p, d.upperLimit[0]).c_str(), 1, x, y0 - 27);
        }
        if (inside(d.lowerLimit[0])) {
            const double x = X(d.lowerLimit[0]);
            ZUTIL_DrawLine(&ctx, x, y0 - 7, x, y0 + S);
            ZUTIL_DrawText(&ctx, pf::number::text("%.*f >>", p, d.lowerLimit[0]).c_str(), 2, x, y0 - 27);
        }
        if (inside(d.upperLimit[1])) {
            const double y = Y(d.upperLimit[1]);
            ZUTIL_DrawLine(&ctx, x0 - 7, y, x0 + S, y);
            ZUTIL_DrawText(&ctx, pf::number::text("%.*f", p, d.upperLimit[1]).c_str(), 2, yLabelX, y + 1);
        }
        if (inside(d.lowerLimit[1])) {
            const double y = Y(d.lowerLimit[1]);
            ZUTIL_DrawLine(&ctx, x0 - 7, y, x0 + S, y);
            ZUTIL_DrawText(&ctx, pf::number::text("%.*f", p, d.lowerLimit[1]).c_str(), 2, yLabelX, y - 8);
        }
        ctx.restoreState();
    }

    // The cross-hair.
    const double mx = view.mouseX, my = view.mouseY;
    if (!view.dragEntered && mx >= x0 && mx <= x0 + S && my >= y0 && my <= y0 + S) {
        ctx.setFont(pf::draw::kMonospaceFont, 9);
        ctx.setFillColor(0, 0, 0, 0.5);
        const std::string xText = pf::number::text("%.*f", p, (mx - x0) / scale + low);
        const std::string yText = pf::number::text("%.*f", p, (my - y0) / scale + low);
        ZUTIL_DrawText(&ctx, xText.c_str(), 0, mx, 4.5);
        ZUTIL_DrawText(&ctx, yText.c_str(), 1, 4, my - 3.6);
        ctx.setDash(nullptr, 0, 0);
        ctx.setStrokeColor(0, 0, 0, 0.16);
        ctx.setLineWidth(0.25);
        ZUTIL_DrawLine(&ctx, ZUTIL_GetTextWidth(&ctx, yText.c_str()) + 9, my, x0 + S, my);
        ZUTIL_DrawLine(&ctx, mx, y0 + S, mx, 18);
    }
}
