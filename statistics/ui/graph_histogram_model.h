// One item of a loaded table as a histogram, without a widget: the values split
// by category with their statistics, yield and failed serial numbers, the bucket
// grid, the statistics table text, and the drawing of it all into a context.
// The histogram view holds one and adds the mouse, the wheel and the drops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ZelkCsv.h"

namespace pf::draw {
class Context;
}

// One category of the histogram; `name` and `failSN` point into the table.
struct tCsv_categoryData {
    const char* name = nullptr;
    double min = 0, max = 0, span = 0;
    double unused = 0;
    double avg = 0, stdev = 0;
    int count = 0;
    double* values = nullptr;
    int failCount = 0;
    const char** failSN = nullptr;
    double yield = 0;
    float r = 0, g = 0, b = 0;
};

// A colour of "ColorTable": integers 0 to 255.
struct tHist_rgb {
    int r = 0, g = 0, b = 0;
};

// What the view adds to a drawing: the drag mark, the mouse and the curve switch.
struct tHist_viewState {
    bool dragEntered = false;
    bool normalCurve = false;
    // In drawing coordinates (origin bottom left); negative: not over the view.
    double mouseX = -1, mouseY = -1;
};

class graph_histogramModel {
public:
    // The widest grid the histogram keeps; a wider one takes wider buckets.
    static constexpr unsigned kMaxBuckets = 100000;

    graph_histogramModel();

    // Stores the table's columns and the categories of the page's mode; invalid
    // arguments print "[ERR] invalid param" and keep the previous data. False always.
    bool setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns, int categoryCount,
                             const tCsv_categoryDataInfo* categories, const bool* selection);
    // Forgets the table (before it is released).
    void clearData();
    // Prepares item `column`: records, statistics, summary and buckets.
    bool setColumnToDisplay_columnIndex(int column, bool lastOnly, bool passOnly, int decimalPoint,
                                        int bucketsPerStdev, int sigmaLineAt, bool displayTestLimit,
                                        bool resetWindow);
    void setExternalTitle(const char* title);
    void setExternalBounds_boundHigh(double high, double low, double stdev);

    // The bucket grid from the prepared records; false when it cannot be allocated.
    bool drawData(bool resetWindow);

    // Draws into a context of the view's size.
    void render(pf::draw::Context& ctx, const tHist_viewState& view);

    // Wheel: dy, dx in notches. True when the window changed.
    bool scrollWheel(double dy, double dx);
    // The value under a mouse x, from the last drawing's scale.
    double valueAtX(double x) const;

    bool hasData() const { return _allData != nullptr; }
    const std::string& summaryText() const { return _strSummary; }
    const char* itemTitle() const;

    std::vector<tHist_rgb>* colorTable = nullptr;  // the page's; not owned
    bool zoomEnabled = true;
    bool detailedStatStringEnabled = true;

    // Read by the view, the page and the tests.
    int _raw_columnCount = 0;
    const tCsv_columnItemInfo* _raw_columnInfo = nullptr;
    int _raw_categoryCount = 0;
    const tCsv_categoryDataInfo* _raw_categoryInfo = nullptr;
    const bool* _categorySelection = nullptr;
    std::string _externalTitle;
    double _upperLimit = kZelk_noValue, _lowerLimit = kZelk_noValue;
    int _categoryCount = 0, _rawDataCount = 0;
    std::vector<tCsv_categoryData> _categoryData;
    tCsv_categoryData* _allData = nullptr;
    tCsv_columnItemInfo _displayColumn{};
    std::string _strSummary;
    double _cpu = kZelk_noValue, _cpl = kZelk_noValue, _cpk = kZelk_noValue;
    int _decimalPoint = 1;
    int _sigmaLineAt = 0;
    int _bucketsPerStdev = 0;
    bool _displayTestLimit = true;
    double _bucketWidth = kZelk_noValue, _boundLow = kZelk_noValue, _boundHigh = kZelk_noValue;
    unsigned _bucketCount = 0;
    std::vector<uint32_t> _buckets;  // _categoryCount rows of _bucketCount counts
    double _dispBoundLow = kZelk_noValue, _dispBoundHigh = kZelk_noValue;
    double _ext_boundLow = kZelk_noValue, _ext_boundHigh = kZelk_noValue, _ext_stdev = kZelk_noValue;
    double _tickStep = kZelk_noValue;
    int _tickCnt = 0;
    double _dspSpan_back = kZelk_noValue;
    double _dispMousePtX = kZelk_noValue;

    // The plot rectangle of the last drawing (x0, y0, pw, ph) and its scales.
    double _plotX0 = 65, _plotY0 = 0, _plotW = 0, _plotH = 0, _xs = 0, _ys = 0;

    const uint32_t* bucketRow(int category) const { return _buckets.data() + size_t(category) * _bucketCount; }

private:
    void prepareColours(bool externalTitle);
    void writeSummary();
    void makeTickStep(double span);

    std::vector<double> _valueSlots;
    std::vector<const char*> _failSlots;
    bool _passOnly = false;
};

// The tick step of a value axis: the step and the count of whole steps in the span.
double graph_histogram_tickStep(double dispLow, double dispHigh, int* outTickCount);
