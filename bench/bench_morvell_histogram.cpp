// The histogram page's work on one item of 10^6 values, offscreen at the page's
// size: an item change (statistics, buckets, capability, summary, then a drawing)
// and one wheel step (the window moves, the drawing is made again).
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "draw/pf_draw.h"
#include "graph_histogram_model.h"

namespace {

// One item of n values under limits, three configs, rows as the table lays them out.
struct Item {
    std::vector<std::string> serials;
    std::vector<const char*> cells;  // one text cell per row: its serial
    std::vector<double> values;
    std::vector<tCsv_strRow> str;
    std::vector<tCsv_datRow> dat;
    tCsv_columnItemInfo column{};
    std::vector<tCsv_categoryDataInfo> categories;
    bool selection[4] = {true, true, true, true};

    explicit Item(size_t n) : serials(n), cells(n), values(n), str(n), dat(n) {
        std::mt19937_64 rng(3);
        std::normal_distribution<double> dist(50.0, 4.0);
        for (size_t i = 0; i < n; ++i) {
            serials[i] = "SN" + std::to_string(i);
            cells[i] = serials[i].c_str();
            values[i] = dist(rng);
            str[i] = &cells[i];
            dat[i] = &values[i];
        }
        column.title = "Item";
        column.isParametric = true;
        column.limit_upper = 62;
        column.limit_lower = 38;
        column.ers_upper = column.ers_lower = kZelk_noValue;
        column.unit_text = "mm";
        // "ALL", then three configs of a third of the rows each.
        categories.push_back({"ALL", n, str.data(), dat.data(), n, str.data(), dat.data()});
        const size_t third = n / 3;
        const char* names[3] = {"EVT", "DVT", "PVT"};
        for (size_t k = 0; k < 3; ++k) {
            const size_t start = k * third, count = k == 2 ? n - start : third;
            categories.push_back({names[k], count, str.data() + start, dat.data() + start, count, str.data() + start,
                                  dat.data() + start});
        }
    }
};

Item& item() {
    static Item it(1000000);
    return it;
}

std::vector<tHist_rgb> colours{{255, 0, 0}, {255, 0, 204}, {51, 0, 255}, {0, 204, 255}};

void prepare(graph_histogramModel& m, int categories, bool reset) {
    Item& it = item();
    m.colorTable = &colours;
    m.setData_columnCount(1, &it.column, categories, it.categories.data(), it.selection);
    m.setColumnToDisplay_columnIndex(0, false, false, 1, 4, 3, true, reset);
}

void BM_ItemChange(benchmark::State& state) {
    const int categories = int(state.range(0));
    item();  // made once, outside the timing
    graph_histogramModel m;
    tHist_viewState view;
    view.normalCurve = true;
    for (auto _ : state) {
        prepare(m, categories, true);
        pf::draw::Context ctx(640, 480);
        m.render(ctx, view);
        benchmark::DoNotOptimize(ctx.pixel(320, 240));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 1000000);
}
BENCHMARK(BM_ItemChange)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

void BM_WheelStep(benchmark::State& state) {
    graph_histogramModel m;
    prepare(m, 4, true);
    tHist_viewState view;
    view.normalCurve = true;
    view.mouseX = 300, view.mouseY = 200;
    {
        pf::draw::Context first(640, 480);
        m.render(first, view);
    }
    double notch = -1;
    for (auto _ : state) {
        m._dispMousePtX = m.valueAtX(view.mouseX);
        // In and out by turns, so the window stays about the same.
        if (!m.scrollWheel(notch, 0)) m.scrollWheel(-notch, 0);
        notch = -notch;
        pf::draw::Context ctx(640, 480);
        m.render(ctx, view);
        benchmark::DoNotOptimize(ctx.pixel(320, 240));
    }
}
BENCHMARK(BM_WheelStep)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
