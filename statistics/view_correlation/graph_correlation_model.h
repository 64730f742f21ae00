// One item of two loaded tables as a correlation, without a widget: the values
// paired by serial number, outliers beyond 4 standard deviations left out of a
// straight-line fit, shared bounds for both axes, the summary text, and the
// drawing of the drop zones and the square scatter plot into a context. The
// correlation view holds one and adds the mouse, the drags and the menu.
#pragma once

#include <string>
#include <vector>

#include "ZelkCsv.h"

namespace pf::draw {
class Context;
}

// The pairs of one item. Serial numbers point into input 0's table.
struct tCsv_correlationData {
    std::string name;
    double upperLimit[2] = {kZelk_noValue, kZelk_noValue};
    double lowerLimit[2] = {kZelk_noValue, kZelk_noValue};
    double min[2] = {}, max[2] = {}, span[2] = {}, avg[2] = {}, stdev[2] = {};
    int count = 0;
    std::vector<const char*> sn;
    std::vector<double> data[2];
    double slope = 0, intercept = 0, rsq = 0;
    int filteredCount = 0;
    std::vector<const char*> filteredSn;
    std::vector<double> filteredData[2];
};

// What the view adds to a drawing, in drawing coordinates (origin bottom left).
struct tCorr_viewState {
    bool dragEntered = false;
    // The drag's or the mouse's point; negative: away.
    double mouseX = -1, mouseY = -1;
};

// "%f" of v (six decimals, rounded exactly, ties to even, as printf gives it)
// written at `out`: the end of the text, or null for a value it leaves to
// printf (not finite, or 2^63 and beyond). Needs 28 characters at most.
char* graph_correlation_fixed(char* out, double v);

// The fit text's colour by r squared: red below 0.1, green above 0.9, blue
// between, black at exactly 0.1 or 0.9 (and for no fit).
void graph_correlation_fitColour(double rsq, double rgb[3]);

class graph_correlationModel {
public:
    graph_correlationModel();

    // Stores both inputs' columns and categories (category 0, "ALL", is used),
    // to be paired by serial number at the next item;
    // invalid arguments print "[ERR] invalid param" and keep the previous data. False always.
    bool setData_columnCount(int columnCount, const tCsv_columnItemInfo* columns0, const tCsv_columnItemInfo* columns1,
                             const tCsv_categoryDataInfo* categories0, const tCsv_categoryDataInfo* categories1);
    // Forgets the tables (before they are released) and the pairs.
    void clearData();
    // The shown name of input `index`: upper case, up to its first "."; state 0
    // nothing dropped, 1 not a station log, 2 loaded.
    void setFileName(const char* name, int index, int state);
    // Pairs, statistics, filter, fit, summary and bounds of item `column`. False always.
    bool setColumnToDisplay_columnIndex(int column, int decimalPoint, int sigmaFilterAt, bool displayTestLimit,
                                        bool resetBounds);
    // The bounds from the prepared pairs; the display bounds take them on reset.
    void drawData(bool resetBounds);

    // The whole view: zones, plot or message.
    void render(pf::draw::Context& ctx, const tCorr_viewState& view);
    // The drop zone (0 or 1) under a point of the last drawing; -1 for none.
    int dropZoneAt(double x, double y) const;

    // Both inputs loaded and a pair record prepared.
    bool hasPairs() const { return _csvFileLoadStat[0] == 2 && _csvFileLoadStat[1] == 2 && _hasRecord; }
    // "<name 0>\t<name 1>" and one "x\ty" line per pair (all of them); empty
    // when an input is not loaded or there is no pair.
    std::string dataPairText() const;

    const std::string& summaryText() const { return _strSummary; }
    double boundHigh() const { return _boundHigh; }
    double boundLow() const { return _boundLow; }
    double stdev() const { return _stdev; }
    double displayBoundHigh() const { return _displayBoundHigh; }
    double displayBoundLow() const { return _displayBoundLow; }
    const tCsv_correlationData& data() const { return _correlationData; }
    bool hasRecord() const { return _hasRecord; }
    int loadState(int index) const { return _csvFileLoadStat[index & 1]; }
    const std::string& fileName(int index) const { return _csvFileName[index & 1]; }

    // The square of the last drawing: corner, side, and the value scale.
    double _plotX0 = 0, _plotY0 = 0, _plotSide = -1;
    // The zones of the last drawing: x, y, w, h each.
    double _rtDropArea[2][4] = {};

    int _raw_columnCount = 0;
    const tCsv_columnItemInfo* _raw_columnInfo[2] = {nullptr, nullptr};
    const tCsv_categoryDataInfo* _raw_categoryInfo[2] = {nullptr, nullptr};
    int _decimalPoint = 1;
    int _sigmaFilterAt = 0;
    bool _displayTestLimit = false;
    double _tickStep = kZelk_noValue;
    int _tickCnt = 0;

private:
    void writeSummary();
    void drawPlot(pf::draw::Context& ctx, const tCorr_viewState& view);

    int _csvFileLoadStat[2] = {0, 0};
    std::string _csvFileName[2];
    size_t _correlationDataCount_max = 0;
    // Input 1's final row of each final row of input 0 (-1: none), kept until
    // the tables change: an item change then pairs without hashing a serial number.
    std::vector<long> _rowOf1;
    bool _rowsPaired = false;
    bool _hasRecord = false;
    tCsv_correlationData _correlationData;
    std::string _strSummary;
    double _boundHigh, _boundLow, _stdev, _displayBoundHigh, _displayBoundLow;
    double _dspSpan_back = kZelk_noValue;
};
