// The single-image uniformity pipeline (scale, stadium mask, cone low-pass,
// high-frequency image, 19 figures) on seeded flat fields, beside OpenCV doing
// the same filters in the same binary. OpenCV runs on one thread, as sixteen
// station sessions share the cores.
#include <benchmark/benchmark.h>

#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "nk_velora.h"
#include "velora_test_images.h"

namespace {

struct Road {
    int srcW, srcH, outW, outH, r;
};

Road roadOf(int64_t which) {
    return which == 0 ? Road{1000, 400, 800, 100, 50} : Road{600, 600, 176, 176, 88};
}

const CNK_velora_image& field(int64_t which) {
    static const CNK_velora_image a = nktest::flatField(1000, 400, 11);
    static const CNK_velora_image b = nktest::flatField(600, 600, 12);
    return which == 0 ? a : b;
}

void BM_lumbrelPipeline(benchmark::State& state) {
    const Road rd = roadOf(state.range(0));
    CNK_velora_image src = field(state.range(0));
    for (auto _ : state) {
        CNK_velora_image sc = nkVlra_scale(src, static_cast<float>(rd.outW), static_cast<float>(rd.outH), false);
        CNK_velora_image ap = nkVlra_clear_edge(sc, static_cast<u64>(rd.r), false);
        CNK_velora_image lf = nkVlra_wnd_fltr_2d(ap, 10, 0.5f, false);
        CNK_velora_image hf = nkVlra_high_freq(ap, lf, false);
        benchmark::DoNotOptimize(nkVlra_get_unif_data(ap, lf, hf, false));
    }
    state.SetLabel(std::to_string(rd.srcW) + "x" + std::to_string(rd.srcH));
}

// The stadium of radius r as an 8-bit mask (255 inside), drawn the OpenCV way.
cv::Mat stadium(int w, int h, int r) {
    cv::Mat m(h, w, CV_8U, cv::Scalar(0));
    cv::rectangle(m, cv::Point(r, 0), cv::Point(w - r, h - 1), cv::Scalar(255), cv::FILLED);
    cv::circle(m, cv::Point(r, h / 2), r, cv::Scalar(255), cv::FILLED);
    cv::circle(m, cv::Point(w - r, h / 2), r, cv::Scalar(255), cv::FILLED);
    return m;
}

// Figures of one region: mean, extremes and the dark and hot counts.
void regionFigures(const cv::Mat& img, const cv::Mat& region, double avg, double* out) {
    double mn = 0, mx = 0;
    cv::minMaxLoc(img, &mn, &mx, nullptr, nullptr, region);
    out[0] = (mx - avg) / avg * 100.0;
    out[1] = (mn - avg) / avg * 100.0;
    cv::Mat hot, dark;
    cv::compare(img, avg * 1.1, hot, cv::CMP_GT);
    cv::compare(img, avg * 0.9, dark, cv::CMP_LT);
    const double n = cv::countNonZero(region);
    out[2] = cv::countNonZero(hot & region) / n * 100.0;
    out[3] = cv::countNonZero(dark & region) / n * 100.0;
}

void BM_opencvPipeline(benchmark::State& state) {
    cv::setNumThreads(1);
    const Road rd = roadOf(state.range(0));
    const CNK_velora_image& f = field(state.range(0));
    const cv::Mat src(static_cast<int>(f.h), static_cast<int>(f.w), CV_8U, const_cast<u8*>(f.d.data()));
    // 12 x 12 cone, anchored at (5, 5): offsets -5..6 in each direction.
    cv::Mat cone(12, 12, CV_32F);
    const double dmax = std::sqrt(50.0);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x)
            cone.at<float>(y, x) = static_cast<float>(1.0 - std::hypot(x - 5, y - 5) / dmax * 0.5);
    for (auto _ : state) {
        cv::Mat sc;
        cv::resize(src, sc, cv::Size(rd.outW, rd.outH), 0, 0, cv::INTER_AREA);
        const cv::Mat mask = stadium(rd.outW, rd.outH, rd.r);
        cv::Mat ap(sc.size(), CV_8U, cv::Scalar(255));
        sc.copyTo(ap, mask);
        cv::Mat apF, maskF, num, den, lf;
        ap.convertTo(apF, CV_32F);
        mask.convertTo(maskF, CV_32F, 1.0 / 255.0);
        cv::multiply(apF, maskF, apF);
        cv::filter2D(apF, num, CV_32F, cone, cv::Point(5, 5), 0, cv::BORDER_CONSTANT);
        cv::filter2D(maskF, den, CV_32F, cone, cv::Point(5, 5), 0, cv::BORDER_CONSTANT);
        cv::divide(num, den, lf);
        cv::Mat lf8, diff, hf;
        lf.convertTo(lf8, CV_8U);
        cv::subtract(apF, lf, diff);
        diff.convertTo(hf, CV_8U, 2.0, 200.0);
        // Interior and exterior regions: the stadium shrunk by 10 and the ring.
        cv::Mat interior(rd.outH, rd.outW, CV_8U, cv::Scalar(0));
        cv::rectangle(interior, cv::Point(rd.r, 10), cv::Point(rd.outW - rd.r, rd.outH - 10), cv::Scalar(255),
                      cv::FILLED);
        cv::circle(interior, cv::Point(rd.r, rd.outH / 2), rd.r - 10, cv::Scalar(255), cv::FILLED);
        cv::circle(interior, cv::Point(rd.outW - rd.r, rd.outH / 2), rd.r - 10, cv::Scalar(255), cv::FILLED);
        interior &= mask;
        const cv::Mat exterior = mask & ~interior;
        double figs[19];
        figs[0] = cv::mean(ap, interior)[0];
        double block[4];
        regionFigures(ap, interior, figs[0], block);
        regionFigures(ap, exterior, figs[0], figs + 5);
        regionFigures(lf8, interior, figs[0], block);
        regionFigures(lf8, exterior, figs[0], block);
        regionFigures(hf, interior, figs[0], block);
        regionFigures(hf, exterior, figs[0], block);
        benchmark::DoNotOptimize(figs);
    }
    state.SetLabel(std::to_string(rd.srcW) + "x" + std::to_string(rd.srcH));
}

}  // namespace

BENCHMARK(BM_lumbrelPipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_opencvPipeline)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
