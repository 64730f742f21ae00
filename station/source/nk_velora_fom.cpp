// Transmittance figures: calibration factor lookup, wavelength correlation,
// beam weighting, camera proportionality and the 2-D transmittance map.
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "CVLRA_error.h"
#include "nk_velora_log.h"
#include "nk_velora_utils.h"

using nk_velora::logLine;

namespace {

// The station's wavelength grid: 400 to 1100 nm in 2 nm steps.
constexpr size_t kGridCount = 351;

// A float that an int can hold, so the geometry casts stay defined.
bool fitsInt(double v) { return std::isfinite(v) && std::fabs(v) < 1e9; }

}  // namespace

u16 nkFom_cg_getAfactor(CNK_logManager* lm, const std::vector<std::vector<float>>& aFactors, const std::string& key,
                        float& aFactor) {
    aFactor = 1.0f;
    const size_t us = key.find('_');
    const std::string tester = key.substr(0, us);
    long long bank = -1;
    if (us != std::string::npos) {
        const std::string bankText = key.substr(us + 1);
        char* end = nullptr;
        bank = std::strtoll(bankText.c_str(), &end, 10);
        if (end == bankText.c_str()) bank = -1;
    }
    if (bank < 0) {
        NK_VLRA_REPORT(lm, kNKErr_A_Factor_NotAvailable, "bank>=0");
        return kNKErr_A_Factor_NotAvailable;
    }
    long long machineId = -1;
    const size_t digit = tester.find_first_of("0123456789");
    if (digit != std::string::npos) machineId = std::strtoll(tester.c_str() + digit, nullptr, 10);
    if (machineId != -1 && machineId < static_cast<long long>(aFactors.size())) {
        const std::vector<float>& row = aFactors[static_cast<size_t>(machineId)];
        const size_t column = static_cast<size_t>(bank % 2);
        if (row.size() <= column) {
            NK_VLRA_REPORT(lm, kNKErr_A_Factor_NotAvailable, "a_factors[machineId].size()>bank%2");
            return kNKErr_A_Factor_NotAvailable;
        }
        aFactor = row[column];
        logLine(lm, kVL1, "* TesterId %lld, BankId %lld, a_factor %f", machineId, bank, aFactor);
        if (aFactor == 0.0f) {
            logLine(lm, kVL1, "[ERROR] a_factor is not available for %s", key.c_str());
            NK_VLRA_REPORT(lm, kNKErr_A_Factor_NotAvailable, "a_factor != 0.0f");
            return kNKErr_A_Factor_NotAvailable;
        }
        return kNKErr_OK;
    }
    NK_VLRA_REPORT(lm, kNKErr_A_Factor_NotAvailable, "machineId < a_factors.size() && machineId != -1");
    return kNKErr_A_Factor_NotAvailable;
}

u16 nkFom_cg_getTWavelengthCorrelationx(CNK_logManager* lm, const std::vector<std::vector<float>>& T, float wl,
                                        std::vector<t_nkMathLineFit>& fits) {
    fits.clear();
    if (T.empty()) return kNKErr_OK;
    const double offset = static_cast<double>(wl) - 400.0;
    if (!fitsInt(offset) || static_cast<long long>(offset) < 0 ||
        static_cast<size_t>(static_cast<long long>(offset)) >= T.size()) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "refRow<T.size()");
        return kNKErr_invalidParam;
    }
    const std::vector<float>& ref = T[static_cast<size_t>(static_cast<long long>(offset))];
    // Ten points are trimmed: a line needs two more.
    for (size_t i = 0; i < T.size(); i += 2) {
        if (T[i].size() < 12 || T[i].size() != ref.size()) {
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "T[i].size()>=12 && T[i].size()==T[refRow].size()");
            return kNKErr_invalidParam;
        }
    }
    for (size_t i = 0; i < T.size(); i += 2) {
        std::vector<float> y = T[i], x = ref;
        for (int t = 0; t < 5; ++t) {
            u64 at = 0;
            nkMath_max<float>(y.data(), y.size(), &at);
            y.erase(y.begin() + static_cast<long>(at));
            x.erase(x.begin() + static_cast<long>(at));
            nkMath_min<float>(y.data(), y.size(), &at);
            y.erase(y.begin() + static_cast<long>(at));
            x.erase(x.begin() + static_cast<long>(at));
        }
        fits.push_back(nkMath_lineFit<float, float>(x.data(), y.data(), x.size()));
    }
    return kNKErr_OK;
}

float nkFom_cg_beamWeighting(double d, int beam) {
    const double sigma = static_cast<float>(beam * 0.5 / 2.33);
    const double a = 1.0 / std::sqrt(2.0 * M_PI * sigma * sigma);
    return static_cast<float>(std::exp(-0.5 * d * d / sigma / sigma) * a);
}

u16 nkFom_cg_getTCameraProportionality(CNK_logManager* lm, const float* image, u16 width, u16 height, float beamUm,
                                       float pixUm, float wl, const std::vector<std::vector<float>>& T,
                                       std::vector<double>& camAll, std::vector<double>& tAll, float* slopeUnit,
                                       float* slopeAll) {
    if (!image || !slopeUnit || !slopeAll) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "image!=NULL && slopeUnit!=NULL && slopeAll!=NULL");
        return kNKErr_invalidParam;
    }
    if (T.size() > 5 || camAll.size() != tAll.size()) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "T.size()<=5 && camAll.size()==tAll.size()");
        return kNKErr_invalidParam;
    }
    const float beamPix = std::round(beamUm / pixUm);
    if (!(pixUm > 0) || !fitsInt(beamPix) || beamPix < 0) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "pixUm>0 && beamPix>=0");
        return kNKErr_invalidParam;
    }
    const int b = static_cast<int>(beamPix);
    const int r = b / 2;
    const double R = b * 0.5;
    const double sigma = static_cast<float>(R / 2.33);
    const double A = 1.0 / std::sqrt(2.0 * M_PI * sigma * sigma);
    const float cx = static_cast<float>((width & ~1) / 2);
    const int cy = (height & ~1) / 2;

    int xc[5];
    for (int p = 0; p < 5; ++p) {
        const float centre = std::round(static_cast<float>(p * 1500 - 3000) / pixUm + cx);
        // Every beam disk lies inside the image.
        if (!fitsInt(centre) || centre - r < 0 || centre + r > width || cy - r < 0 || cy + r > height) {
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "beam disk inside the image");
            return kNKErr_invalidParam;
        }
        xc[p] = static_cast<int>(centre);
    }
    const double wlOffset = static_cast<double>(wl) - 400.0;
    if (!fitsInt(wlOffset) || wlOffset < 0) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "wl>=400");
        return kNKErr_invalidParam;
    }
    const int k = static_cast<int>(wlOffset * 0.5);
    const float f = static_cast<float>(wlOffset - 2 * k);
    for (const auto& row : T)
        if (row.size() <= static_cast<size_t>(k) + 1) {
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "T[j].size()>k+1");
            return kNKErr_invalidParam;
        }

    double cam[5];
    for (int p = 0; p < 5; ++p) {
        double num = 0, den = 0;
        for (int y = cy - r; y < cy + r; ++y)
            for (int x = xc[p] - r; x < xc[p] + r; ++x) {
                const double d = std::sqrt(static_cast<double>(x - xc[p]) * (x - xc[p]) +
                                           static_cast<double>(y - cy) * (y - cy));
                if (d > R) continue;
                const float w = static_cast<float>(std::exp(-0.5 * d * d / (sigma * sigma)) * A);
                num += static_cast<double>(w * image[static_cast<size_t>(y) * width + static_cast<size_t>(x)]);
                den += w;
            }
        cam[p] = num / den;
    }
    const int n = static_cast<int>(T.size());
    double t[5] = {};
    for (int j = 0; j < n; ++j) {
        const auto& row = T[static_cast<size_t>(j)];
        t[j] = (row[static_cast<size_t>(k) + 1] - row[static_cast<size_t>(k)]) * 0.5f * f + row[static_cast<size_t>(k)];
    }

    double slope = 0.0;
    u16 rc = nkMath_lineRtoFitDouble(cam, t, n, &slope);
    *slopeUnit = static_cast<float>(slope);
    if (rc != kNKErr_OK) {
        NK_VLRA_REPORT(lm, rc, "");
        return rc;
    }
    logLine(lm, kVL1, ". proportionality is %f: %s", slope, "PASSD");

    if (camAll.empty()) {
        camAll.push_back(0.0);
        tAll.push_back(0.0);
    }
    camAll.insert(camAll.end(), cam, cam + n);
    tAll.insert(tAll.end(), t, t + n);
    double overall = 0.0;
    rc = nkMath_lineRtoFitDouble(camAll.data() + 1, tAll.data() + 1, static_cast<int>(camAll.size() - 1), &overall);
    *slopeAll = static_cast<float>(overall);
    logLine(lm, kVL1, ". overall proportionality (%d) is %f: %s", static_cast<int>(camAll.size()) / 5, overall,
            rc == kNKErr_OK ? "PASSD" : "FAIL");
    return rc;
}

u16 nkFom_cg_get2dMap(CNK_logManager* lm, const float* image, u16 width, u16 height, float /*beamUm*/, float pixUm,
                      float /*wl*/, const std::vector<std::vector<float>>& weight,
                      const std::vector<t_nkMathLineFit>& kb, float aFactor, std::vector<float>& map2d,
                      std::vector<float>& finalT) {
    if (!image || weight.empty() || weight[0].empty() || kb.size() < kGridCount) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "image!=NULL && weight.size()>0 && kb.size()>=351");
        return kNKErr_invalidParam;
    }
    for (const auto& row : weight)
        if (row.size() != weight[0].size()) {
            NK_VLRA_REPORT(lm, kNKErr_invalidParam, "weight rows of equal length");
            return kNKErr_invalidParam;
        }
    if (weight.size() > INT_MAX || weight[0].size() > INT_MAX) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "weight.size()<=INT_MAX");
        return kNKErr_invalidParam;
    }
    const int noPixX = static_cast<int>(weight[0].size()), noPixY = static_cast<int>(weight.size());
    logLine(lm, kVL1, "* NoPix_x %d, NoPix_y %d", noPixX, noPixY);
    const int stepX = 7440 / noPixX, stepY = 985 / noPixY;
    const float bxF = static_cast<float>(7440 - 2 * stepX) / static_cast<float>(noPixX) / pixUm;
    const float byF = static_cast<float>(985 - 2 * stepY) / static_cast<float>(noPixY) / pixUm;
    if (!(pixUm > 0) || !fitsInt(bxF) || !fitsInt(byF)) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "pixUm>0");
        return kNKErr_invalidParam;
    }
    const int bx = static_cast<int>(bxF), by = static_cast<int>(byF);
    const int hx = bx / 2, hy = by / 2;
    auto centreY = [&](int i) { return static_cast<long long>(((i - noPixY / 2) - 0.5) * by + (height & ~1) / 2); };
    auto centreX = [&](int j) { return static_cast<long long>(((j - noPixX / 2) - 0.5) * bx + (width & ~1) / 2); };
    // Every box ends inside the image; the last row and column end furthest.
    if (centreY(noPixY - 1) + hy > height || centreX(noPixX - 1) + hx > width) {
        NK_VLRA_REPORT(lm, kNKErr_invalidParam, "boxes end inside the image");
        return kNKErr_invalidParam;
    }

    std::vector<float> image2(static_cast<size_t>(noPixX) * static_cast<size_t>(noPixY));
    std::vector<double> sumTW(kGridCount, 0.0);
    double sumW = 0.0;
    for (int i = 0; i < noPixY; ++i) {
        const long long cyI = centreY(i);
        for (int j = 0; j < noPixX; ++j) {
            const long long cxJ = centreX(j);
            double sum = 0.0;
            long long count = 0;
            for (long long y = std::max(0LL, cyI - hy); y < cyI + hy; ++y)
                for (long long x = std::max(0LL, cxJ - hx); x < cxJ + hx; ++x) {
                    sum += image[static_cast<size_t>(y) * width + static_cast<size_t>(x)];
                    ++count;
                }
            const float mean = static_cast<float>(sum / static_cast<double>(count));
            const float w = weight[static_cast<size_t>(i)][static_cast<size_t>(j)];
            image2[static_cast<size_t>(i) * static_cast<size_t>(noPixX) + static_cast<size_t>(j)] = mean;
            for (size_t m = 0; m < kGridCount; ++m) {
                const float t = static_cast<float>(mean * kb[m].slope * aFactor + kb[m].intercept);
                sumTW[m] += t * w;
            }
            sumW += w;
        }
    }
    logLine(lm, kVL1, "* image2: (first & last rows)");
    if (lm) {
        lm->print_1d(kVL1, image2.data(), noPixX, false, "%f ");
        lm->print_1d(kVL1, image2.data() + image2.size() - static_cast<size_t>(noPixX), noPixX, false, "%f ");
    }
    map2d.insert(map2d.end(), image2.begin(), image2.end());
    const size_t first = finalT.size();
    for (size_t m = 0; m < kGridCount; ++m) finalT.push_back(static_cast<float>(sumTW[m] / sumW));
    logLine(lm, kVL1, "* final2T: (first & last 10 samples)");
    if (lm) {
        lm->print_1d(kVL1, finalT.data() + first, 10, false, "%f ");
        lm->print_1d(kVL1, finalT.data() + first + kGridCount - 10, 10, false, "%f ");
    }
    return kNKErr_OK;
}
