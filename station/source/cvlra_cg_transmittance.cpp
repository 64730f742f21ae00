// The transmittance item: the unit's spectra turned into transmittance curves,
// figures with their limits, the unit's files, and the curves left in the session
// for the repository item.
#include "CVLRA_cg_transmittance.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <limits>

#include "CVLRA_cg_testSession.h"
#include "CVLRA_error.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_math.h"
#include "nk_utils.h"
#include "nk_velora_log.h"
#include "nk_velora_utils.h"

CNK_testItem* CVLRA_cg_transmittance_create() { return new CVLRA_cg_transmittance(); }

namespace {
[[maybe_unused]] const bool g_registered =
    (nkTest_registerTestClass("CVLRA_cg_transmittance", &CVLRA_cg_transmittance_create), true);

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kMinWl = 400.0f;
constexpr float kMaxWl = 1100.0f;
constexpr int kIdx550 = 75;

using nk_velora::logValid;

// Little-endian reads from bytes already known to be there.
u32 readU32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
float readF32(const u8* p) {
    const u32 v = readU32(p);
    float f;
    std::memcpy(&f, &v, 4);
    return f;
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof(buf), format, ap);
    va_end(ap);
    return buf;
}

// Minimum, maximum and mean of raw minus smoothed, for the filter log lines.
void logFilterError(CNK_logManager* lm, int k, const std::vector<float>& raw, const std::vector<float>& smooth) {
    std::vector<float> d(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) d[i] = raw[i] - smooth[i];
    logValid(lm, "* Filter T at TP%d with ERR_MIN %5.3f, ERR_MAX %5.3f, ERR_AVG %5.3f", k,
         nkMath_min<float>(d.data(), d.size(), nullptr), nkMath_max<float>(d.data(), d.size(), nullptr),
         nkMath_avg<float>(d.data(), d.size()));
}

// Why a spectrum cannot be evaluated at all, or null: a reading that is not a
// number, or wavelengths that do not strictly ascend (the resampler walks them in
// order), would pass the range check and give a plausible but wrong curve.
const char* spectrumFault(const t_vlraAtstPoint& p) {
    for (const std::vector<float>* v : {&p.wl, &p.dark, &p.white, &p.measured})
        for (float f : *v)
            if (!std::isfinite(f)) return "std::isfinite(wl, dark, white, measured)";
    for (size_t i = 1; i < p.wl.size(); ++i)
        if (!(p.wl[i - 1] < p.wl[i])) return "wl[i-1] < wl[i]";
    return nullptr;
}

std::vector<float> smoothed(const std::vector<float>& in, int window) {
    std::vector<float> out(in.size());
    _linear_fit_filter(in.data(), out.data(), static_cast<int>(in.size()), window);
    return out;
}

}  // namespace

int nkVlra_atstSymbolWl(int j) { return 400 + 50 * j; }

std::vector<float> nkVlra_atstWeights(size_t count) {
    if (count == 3) return {14.26f, 17.5f, 10.96f};
    const float all[kVLRA_atstMaxPoints] = {2.53f, 14.26f, 17.5f, 10.96f, 0.36f};
    return std::vector<float>(all, all + std::min<size_t>(count, kVLRA_atstMaxPoints));
}

u16 nkVlra_parseAtst(const u8* payload, size_t length, std::vector<t_vlraAtstPoint>& points, t_vlraAtstRun run) {
    points.clear();
    if (!payload || length < 1) return kNKErr_invalidDataSize;
    const bool offline = run == t_vlraAtstRun::offline;
    const unsigned count = payload[0];
    if (count < 1 || (!offline && count > kVLRA_atstMaxPoints)) return kNKErr_invalidDataSize;
    // First the frame alone: every block's length, in 64 bits, against what is left.
    u64 offset = 1;
    u32 firstN = 0;
    for (unsigned k = 0; k < count; ++k) {
        if (length - offset < 17) return kNKErr_invalidDataSize;
        const u8* b = payload + offset;
        const u32 n = readU32(b + 1);
        if (b[0] == 0) return kNKErr_invalidDataSize;
        if (k == 0) firstN = n;
        if (n != firstN) return kNKErr_invalidDataSize;
        // The station refuses an empty spectrum by its range check; offline there is
        // none, and a record must not claim a transmittance that was never measured.
        if (offline && n == 0) return kNKErr_invalidDataSize;
        const u64 block = 17 + 16 * u64(n);
        if (block > length - offset) return kNKErr_invalidDataSize;
        offset += block;
    }
    if (offset != length) return kNKErr_invalidDataSize;

    points.resize(count);
    offset = 1;
    for (t_vlraAtstPoint& p : points) {
        const u8* b = payload + offset;
        const u32 n = readU32(b + 1);
        p.index = b[0];
        p.x = readF32(b + 5);
        p.y = readF32(b + 9);
        p.a = readF32(b + 13);
        for (auto* v : {&p.wl, &p.dark, &p.white, &p.measured, &p.rawT}) v->resize(n);
        const u8* s = b + 17;
        for (u32 i = 0; i < n; ++i, s += 16) {
            p.wl[i] = readF32(s);
            p.dark[i] = readF32(s + 4);
            p.white[i] = readF32(s + 8);
            p.measured[i] = readF32(s + 12);
            p.rawT[i] = (p.measured[i] - p.dark[i]) / (p.white[i] - p.dark[i]) * 100.0f;
        }
        offset += 17 + 16 * u64(n);
    }
    return 0;
}

u16 nkVlra_evaluateAtst(CNK_logManager* lm, const std::vector<t_vlraAtstPoint>& points, int cgType, int cgColor,
                        t_vlraAtstEval& ev, t_vlraAtstRun run) {
    ev = t_vlraAtstEval{};
    const bool offline = run == t_vlraAtstRun::offline;
    const size_t count = points.size();
    if (count < 1 || (!offline && count > kVLRA_atstMaxPoints)) return kNKErr_invalidDataSize;
    const size_t n = points[0].wl.size();
    for (const t_vlraAtstPoint& p : points)
        if (p.wl.size() != n || p.dark.size() != n || p.white.size() != n || p.rawT.size() != n)
            return kNKErr_invalidDataSize;

    auto logReadings = [&](size_t k) {
        const t_nkMathStat d = nkMath_stat<float>(points[k].dark.data(), n);
        const t_nkMathStat w = nkMath_stat<float>(points[k].white.data(), n);
        logValid(lm, "* TP%d Dark  MIN %5.3f, MAX %5.3f, AVG %5.3f, STDEV %5.3f", int(k), d.min, d.max, d.avg, d.stdev);
        logValid(lm, "* TP%d White MIN %5.3f, MAX %5.3f, AVG %5.3f, STDEV %5.3f", int(k), w.min, w.max, w.avg, w.stdev);
    };
    logValid(lm, "** Raw Spectrometer reading sanity check");
    for (size_t k = 0; k < count; ++k) {
        const t_nkMathStat st = nkMath_stat<float>(points[k].wl.data(), n);
        logValid(lm, "* TP%d Wavelength  MIN %5.3f, MAX %5.3f", int(k), st.min, st.max);
        if (const char* fault = spectrumFault(points[k])) {
            NK_VLRA_REPORT(nkObj_isValid(lm) ? lm : nullptr, kNKErr_invalidTestCondition, fault);
            return kNKErr_invalidTestCondition;
        }
        // Offline the stored spectrum is taken as it is, point by point.
        if (offline) {
            logReadings(k);
            continue;
        }
        // A spectrum without one valid wavelength covers nothing.
        if (!(st.min <= kMinWl)) {
            NK_REPORT_FN(kNKErr_invalidTestCondition, "stat_wl.min <= minWl");
            return kNKErr_invalidTestCondition;
        }
        if (!(st.max >= kMaxWl)) {
            NK_REPORT_FN(kNKErr_invalidTestCondition, "stat_wl.max >= maxWl");
            return kNKErr_invalidTestCondition;
        }
    }
    if (!offline)
        for (size_t k = 0; k < count; ++k) logReadings(k);

    // The lamp curve of the first point, normalised to its largest finite value.
    const t_vlraAtstPoint& first = points[0];
    ev.reference.resize(n);
    for (size_t i = 0; i < n; ++i) ev.reference[i] = first.white[i] - first.dark[i];
    const float peak = static_cast<float>(nkMath_max<float>(ev.reference.data(), n, nullptr));
    for (float& r : ev.reference) r /= peak;

    // Diagnostic smoothing on the points' own samples.
    logValid(lm, "* Filter Raw Transmittance Data");
    for (size_t k = 0; k < count; ++k) {
        const std::vector<float> wide = smoothed(points[k].rawT, 20);
        const std::vector<float> narrow = smoothed(points[k].rawT, 5);
        std::vector<float> s(n);
        for (size_t i = 0; i < n; ++i) s[i] = double(ev.reference[i]) >= 0.2 ? narrow[i] : wide[i];
        logFilterError(lm, int(k), points[k].rawT, s);
    }

    logValid(lm, "** Raw Data Interpolation for %dnm to %dnm with %dnm step", 400, 1100, 2);
    ev.grid.resize(kVLRA_atstGridCount);
    for (int i = 0; i < kVLRA_atstGridCount; ++i) ev.grid[i] = 400.0f + 2.0f * float(i);
    const int ni = static_cast<int>(n);
    ev.resampled.assign(count, std::vector<float>(kVLRA_atstGridCount));
    for (size_t k = 0; k < count; ++k) {
        const u16 rc = nkMath_interpolationLinear(points[k].wl.data(), points[k].rawT.data(), ni, ev.grid.data(),
                                                  kVLRA_atstGridCount, ev.resampled[k].data());
        if (rc != 0) {
            NK_REPORT_FN(rc, "");
            return rc;
        }
    }
    ev.referenceGrid.resize(kVLRA_atstGridCount);
    if (const u16 rc = nkMath_interpolationLinear(first.wl.data(), ev.reference.data(), ni, ev.grid.data(),
                                                  kVLRA_atstGridCount, ev.referenceGrid.data())) {
        NK_REPORT_FN(rc, "");
        return rc;
    }

    // A white unit is smoothed less, and left unsmoothed where its signal is weak.
    const bool white = cgColor == 1;
    const int window = white ? 10 : 20;
    logValid(lm, "* Filter Transmittance Data");
    ev.finalT.assign(count, std::vector<float>(kVLRA_atstGridCount));
    for (size_t k = 0; k < count; ++k) {
        const std::vector<float> wide = smoothed(ev.resampled[k], window);
        const std::vector<float> narrow = smoothed(ev.resampled[k], 5);
        for (int i = 0; i < kVLRA_atstGridCount; ++i) {
            if (white && i <= 25)
                ev.finalT[k][i] = ev.resampled[k][i];
            else
                ev.finalT[k][i] = double(ev.referenceGrid[i]) >= 0.2 ? narrow[i] : wide[i];
        }
        logFilterError(lm, int(k), ev.resampled[k], ev.finalT[k]);
    }
    if (offline) return 0;

    ev.mean.resize(kVLRA_atstGridCount);
    ev.stdev.resize(kVLRA_atstGridCount);
    ev.tiltMean.resize(kVLRA_atstGridCount);
    ev.variation.assign(count, std::vector<float>(kVLRA_atstGridCount));
    ev.tilt.assign(count, std::vector<float>(kVLRA_atstGridCount));
    const std::vector<float> weights = nkVlra_atstWeights(count);
    if (cgType == 2) ev.weighted.resize(kVLRA_atstGridCount);
    std::vector<float> across(count);
    for (int i = 0; i < kVLRA_atstGridCount; ++i) {
        for (size_t k = 0; k < count; ++k) across[k] = ev.finalT[k][i];
        const double mean = nkMath_avg<float>(across.data(), count);
        ev.mean[i] = static_cast<float>(mean);
        ev.stdev[i] = static_cast<float>(nkMath_stdev<float>(across.data(), count, mean));
        for (size_t k = 0; k < count; ++k) {
            ev.variation[k][i] = (ev.finalT[k][i] - ev.mean[i]) / ev.mean[i] * 100.0f;
            ev.tilt[k][i] = ev.finalT[k][i] / ev.finalT[k][kIdx550] * 100.0f;
        }
        if (cgType == 2) {
            float sum = 0, wsum = 0;
            for (size_t k = 0; k < count; ++k) {
                sum += weights[k] * ev.finalT[k][i];
                wsum += weights[k];
            }
            ev.weighted[i] = sum / wsum;
        }
    }
    for (int i = 0; i < kVLRA_atstGridCount; ++i) {
        for (size_t k = 0; k < count; ++k) across[k] = ev.tilt[k][i];
        ev.tiltMean[i] = static_cast<float>(nkMath_avg<float>(across.data(), count));
    }
    return 0;
}

std::string nkVlra_atstTransCsv(const std::vector<std::vector<float>>& finalT) {
    std::string out;
    for (int wl = 300; wl < 400; wl += 2) {
        for (size_t k = 0; k < finalT.size(); ++k) out += fmt("%5.10f,", 0.0);
        out += '\n';
    }
    for (int i = 0; i < kVLRA_atstGridCount; ++i) {
        for (const auto& t : finalT) out += fmt("%5.10f,", double(t[i]));
        out += '\n';
    }
    return out;
}

std::string nkVlra_atstWeightedCsv(const std::vector<float>& weighted) {
    std::string out;
    for (int wl = 300; wl < 400; wl += 2) out += fmt("%5.10f,\n", 0.0);
    for (float v : weighted) out += fmt("%5.10f,\n", double(v));
    return out;
}

std::string nkVlra_atstRawCsv(const t_vlraAtstPoint& p) {
    std::string out = fmt("x_offset, %f\n", double(p.x)) + fmt("y_offset, %f\n", double(p.y)) +
                      fmt("a_offset, %f\n", double(p.a));
    const std::pair<const char*, const std::vector<float>*> rows[] = {
        {"wavelength, ", &p.wl}, {"dark, ", &p.dark}, {"white, ", &p.white}, {"measure, ", &p.measured},
        {"transmittance, ", &p.rawT}};
    for (const auto& [label, values] : rows) {
        out += label;
        for (float v : *values) out += fmt("%f, ", double(v));
        out += '\n';
    }
    return out;
}

// ---------------------------------------------------------------- the item

CVLRA_cg_transmittance::CVLRA_cg_transmittance() { NK_CLASS_NAME(); }

CVLRA_cg_transmittance::~CVLRA_cg_transmittance() = default;

u16 CVLRA_cg_transmittance::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_cg_transmittance::registerDataSymbol() {
    if (!_testData) return;
    auto add = [&](const std::string& item, const char* unit) {
        _testData->addDataSymbol(_name, item, "double", kNaN, kNaN, unit, false);
    };
    for (int k = 1; k <= kVLRA_atstMaxPoints; ++k) {
        const std::string tp = "TP" + std::to_string(k);
        add(tp + "_XPOS", "px");
        add(tp + "_YPOS", "px");
        add(tp + "_APOS", "px");
        add(tp + "_T_PCT_410", "%");
        add(tp + "_T_PCT_420", "%");
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) add(tp + "_T_PCT_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) add(tp + "_TILT_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
        add(tp + "_T_PCT_VAR_410", "%");
        add(tp + "_T_PCT_VAR_420", "%");
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
            add(tp + "_T_PCT_VAR_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
    }
    for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) add("T_PCT_STDEV_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
    add("TP_PCT_AVG_410", "%");
    add("TP_PCT_AVG_420", "%");
    for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) add("TP_PCT_AVG_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
    for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) add("TP_TILT_AVG_" + std::to_string(nkVlra_atstSymbolWl(j)), "%");
}

void CVLRA_cg_transmittance::handle_ntcp_packet(const tNTCP_header* header, const u8* payload) {
    NK_VALID_OR_RETURN_VOID();
    CVLRA_cg_testSession* s = _testSession;
    CNK_logManager* lm = _logManager;
    if (!s || !_testData) return;

    setStatus(kNkTestStat_TESTING);
    logValid(lm, "*** Handle ATST *** ");
    const double start = nkTest_now();
    s->_total_test_point = 0;
    s->_final_T.clear();
    s->_final_wl.clear();

    u16 packetErr = 0;
    u16 code = 0;
    const std::string folder = s->_logPath;
    const std::string sn = _serialNumber;
    auto unitFile = [&](const char* format, int k = -1) {
        char name[1024];
        if (k < 0)
            std::snprintf(name, sizeof(name), format, folder.c_str(), sn.c_str());
        else
            std::snprintf(name, sizeof(name), format, folder.c_str(), sn.c_str(), k);
        return std::string(name);
    };

    std::vector<t_vlraAtstPoint> points;
    t_vlraAtstEval ev;
    std::vector<std::pair<std::string, std::pair<double, double>>> cleared;  // limits to put back
    do {
        if (!header || !payload || header->PLEN == 0) {
            logValid(lm, "[Err] ntcp_err=%d", kNKErr_invalidSpiResponse);
            packetErr = kNKErr_invalidSpiResponse;
            break;
        }
        const size_t length = header->PLEN - 1;
        // The whole frame is checked before anything is kept, so a bad packet never
        // replaces the unit's stored one.
        if (nkVlra_parseAtst(payload, length, points) != 0) {
            code = kNKErr_invalidDataSize;
            NK_REPORT(code, "total_len==pHdr->PLEN-1");
            break;
        }
        logValid(lm, " *** Total Test Points %d", int(points.size()));
        for (const t_vlraAtstPoint& p : points) {
            logValid(lm, "* Test Points %d, %d Wavelength Samples", p.index, int(p.wl.size()));
            logValid(lm, "* X offset %5.3f, Y offset %5.3f, A offset %5.3f", double(p.x), double(p.y), double(p.a));
            if (p.index < 6) {
                const std::string tp = "TP" + std::to_string(p.index);
                _testData->recordData(_name, tp + "_XPOS", double(p.x));
                _testData->recordData(_name, tp + "_YPOS", double(p.y));
                _testData->recordData(_name, tp + "_APOS", double(p.a));
            }
        }
        code = nkVlra_evaluateAtst(lm, points, s->_cgType, s->_cgColor, ev);
        if (code == kNKErr_invalidTestCondition) NK_REPORT(code, "");
        if (code != 0) break;
        // Kept only once the packet is accepted (S8): a refused packet must not
        // replace the unit's stored one, which the tables were made from.
        const u16 saved = nkUtil_saveBitStream(lm, unitFile("%s/%s_atst.bin").c_str(), payload,
                                               static_cast<int>(length), kVL1);
        if (s->_isDevelopmentMode) {
            for (size_t k = 0; k < points.size(); ++k) {
                const std::string text = nkVlra_atstRawCsv(points[k]);
                // A debug file that cannot be written is not the unit's fault.
                (void)nkFile_writeReplacing(unitFile("%s/%s_atst_raw_tp%d.csv", int(k)), {{text.data(), text.size()}});
            }
        }
        if (saved != 0) {
            code = saved;
            NK_REPORT(code, "");
            break;
        }

        const int count = static_cast<int>(points.size());
        if (count == 3) {
            // Three points: the limits of points 4 and 5 and of the spread do not apply,
            // for this check only.
            std::vector<std::string> names;
            for (int k = 4; k <= 5; ++k) {
                const std::string tp = "TP" + std::to_string(k);
                for (const char* f : {"_XPOS", "_YPOS", "_APOS", "_T_PCT_410", "_T_PCT_420", "_T_PCT_VAR_410",
                                      "_T_PCT_VAR_420"})
                    names.push_back(tp + f);
                for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) {
                    const std::string wl = std::to_string(nkVlra_atstSymbolWl(j));
                    names.push_back(tp + "_T_PCT_" + wl);
                    names.push_back(tp + "_TILT_" + wl);
                    names.push_back(tp + "_T_PCT_VAR_" + wl);
                }
            }
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
                names.push_back("T_PCT_STDEV_" + std::to_string(nkVlra_atstSymbolWl(j)));
            for (const std::string& item : names) {
                cleared.push_back({item, {_testData->get_LSL(_name, item), _testData->get_USL(_name, item)}});
                _testData->overrideSpec(_name, item, kNaN, kNaN);
            }
        }

        for (int k = 1; k <= count; ++k) {
            const std::string name = unitFile("%s/%s_T_tp%d.jpg", k);
            const u16 rc = nkFom_cg_saveTimage(lm, name.c_str(), ev.resampled[k - 1].data(), kVLRA_atstGridCount,
                                               ev.finalT[k - 1].data(), kVLRA_atstGridCount, ev.grid.data(),
                                               kVLRA_atstGridCount, "Wavelength", "Transmittance", "", 800, 600, kVL1);
            if (rc != 0) {
                code = rc;
                break;
            }
        }
        if (code == 0)
            code = nkFom_cg_saveTimage(lm, unitFile("%s/%s_Ref.jpg").c_str(), ev.referenceGrid.data(),
                                       kVLRA_atstGridCount, nullptr, 0, ev.grid.data(), kVLRA_atstGridCount,
                                       "Wavelength", "Normalized Photo Counts", "", 800, 600, kVL1);
        if (code != 0) {
            NK_REPORT(code, "");
            break;
        }
        if (s->_cgType == 2) s->_weighted_T = ev.weighted;

        auto writeTable = [&](const std::string& name, const std::string& text) -> u16 {
            const u16 rc = nkFile_writeReplacing(name, {{text.data(), text.size()}});
            if (rc == 0) return 0;
            const u16 err = rc == kNKErr_fileOpenFailed ? kNKErr_fileOpenFailed : kNKErr_fileWriteFailed;
            NK_REPORT(err, err == kNKErr_fileOpenFailed ? "fp!=NULL" : "fwrite==length");
            return err;
        };
        code = writeTable(unitFile("%s/%s_atst_trans.csv"), nkVlra_atstTransCsv(ev.finalT));
        if (code == 0 && s->_cgType == 2)
            code = writeTable(unitFile("%s/%s_atst_weightedT.csv"), nkVlra_atstWeightedCsv(ev.weighted));
        if (code != 0) break;

        // Data symbols; test points are named by their order in the packet.
        auto rec = [&](const std::string& item, float v) { _testData->recordData(_name, item, double(v)); };
        for (int k = 1; k <= count; ++k) {
            const std::string tp = "TP" + std::to_string(k);
            const std::vector<float>& t = ev.finalT[k - 1];
            rec(tp + "_T_PCT_410", t[5]);
            rec(tp + "_T_PCT_420", t[10]);
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) {
                const std::string wl = std::to_string(nkVlra_atstSymbolWl(j));
                rec(tp + "_T_PCT_" + wl, t[25 * j]);
                rec(tp + "_TILT_" + wl, ev.tilt[k - 1][25 * j]);
            }
        }
        rec("TP_PCT_AVG_410", ev.mean[5]);
        rec("TP_PCT_AVG_420", ev.mean[10]);
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j) {
            const std::string wl = std::to_string(nkVlra_atstSymbolWl(j));
            rec("T_PCT_STDEV_" + wl, ev.stdev[25 * j]);
            rec("TP_PCT_AVG_" + wl, ev.mean[25 * j]);
            rec("TP_TILT_AVG_" + wl, ev.tiltMean[25 * j]);
        }
        for (int k = 1; k <= count; ++k) {
            const std::string tp = "TP" + std::to_string(k);
            const std::vector<float>& v = ev.variation[k - 1];
            rec(tp + "_T_PCT_VAR_410", v[5]);
            rec(tp + "_T_PCT_VAR_420", v[10]);
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
                rec(tp + "_T_PCT_VAR_" + std::to_string(nkVlra_atstSymbolWl(j)), v[25 * j]);
        }

        // Limits, family by family; the first failing family names the result.
        logValid(lm, "** Check Spec ***");
        auto family = [&](const std::vector<std::string>& items, u16 familyCode) {
            bool failed = false;
            for (const std::string& item : items)
                if (_testData->checkSpec(_name, item, "%7.7f") != 0) failed = true;
            if (failed && code == 0) code = familyCode;
            return failed;
        };
        std::vector<std::string> items;
        for (int k = 1; k <= count; ++k)
            for (const char* f : {"_XPOS", "_YPOS", "_APOS"}) items.push_back("TP" + std::to_string(k) + f);
        family(items, kNKErr_position_OOS);
        items.clear();
        for (int k = 1; k <= count; ++k) {
            const std::string tp = "TP" + std::to_string(k);
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
                items.push_back(tp + "_T_PCT_" + std::to_string(nkVlra_atstSymbolWl(j)));
            items.push_back(tp + "_T_PCT_410");
            items.push_back(tp + "_T_PCT_420");
        }
        family(items, kNKErr_t_pct_OOS);
        items.clear();
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
            items.push_back("T_PCT_STDEV_" + std::to_string(nkVlra_atstSymbolWl(j)));
        family(items, kNKErr_t_pct_stdev_OOS);
        items.clear();
        for (int k = 1; k <= count; ++k)
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
                items.push_back("TP" + std::to_string(k) + "_TILT_" + std::to_string(nkVlra_atstSymbolWl(j)));
        family(items, kNKErr_t_pct_tilt_OOS);
        items.clear();
        for (int k = 1; k <= count; ++k) {
            const std::string tp = "TP" + std::to_string(k);
            items.push_back(tp + "_T_PCT_VAR_410");
            items.push_back(tp + "_T_PCT_VAR_420");
            for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
                items.push_back(tp + "_T_PCT_VAR_" + std::to_string(nkVlra_atstSymbolWl(j)));
        }
        family(items, kNKErr_t_pct_var_OOS);
        items = {"TP_PCT_AVG_410", "TP_PCT_AVG_420"};
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
            items.push_back("TP_PCT_AVG_" + std::to_string(nkVlra_atstSymbolWl(j)));
        bool avgFailed = family(items, kNKErr_t_pct_avg_OOS);
        const double upper = _testData->get_USL(_name, "TP_PCT_AVG_900");
        logValid(lm, "* Check TP_PCT_AVG_[400,900] with spec [0, %5.2f]", upper);
        if (nkMath_isValid(upper)) {
            for (int i = 0; i <= 250; ++i) {
                if (ev.mean[i] < 0.0f || double(ev.mean[i]) > upper) {
                    logValid(lm, ". [Err] T::TP_PCT_AVG_%d: %f OOS [0, %5.2f]", 400 + 2 * i, double(ev.mean[i]), upper);
                    avgFailed = true;
                }
            }
        }
        if (avgFailed && code == 0) code = kNKErr_t_pct_avg_OOS;
        items.clear();
        for (int j = 0; j < kVLRA_atstSymbolWlCount; ++j)
            items.push_back("TP_TILT_AVG_" + std::to_string(nkVlra_atstSymbolWl(j)));
        family(items, kNKErr_t_pct_tilt_avg_OOS);

        s->_total_test_point = static_cast<u32>(count);
        s->_final_T = ev.finalT;
        s->_final_wl = ev.grid;
        if (code != 0) NK_REPORT(code, "");
    } while (false);

    for (const auto& [item, limits] : cleared) _testData->overrideSpec(_name, item, limits.first, limits.second);

    if (code != 0) _testData->recordError(code, nkError_getErrorString(code));
    const double elapsed = nkTest_now() - start;
    const bool passed = code == 0 && packetErr == 0;
    const char* verdict = code == 0 ? "PASSED" : "FAILED";
    if (nkObj_isValid(s->sessionLogManager()))
        s->sessionLogManager()->printText(kVL1, "[T%d] *** Transmittance Test (%d) %s  [in %.3f sec] ***",
                                          s->_testerCellId, int(s->_total_test_point), verdict, elapsed);
    logValid(lm, "*** Transmittance Test (%d) %s  [in %.3f sec] ***", int(s->_total_test_point), verdict, elapsed);
    // A packet without payload is a failure too, though it records no code.
    setStatus(passed ? kNkTestStat_PASS : kNkTestStat_FAIL);

    if (packetErr != 0) {
        reply(header, packetErr, nullptr, 0);
        return;
    }
    u8 body[31] = {};
    body[0] = static_cast<u8>(code & 0xFF);
    body[1] = static_cast<u8>(code >> 8);
    const char* errName = nkError_getErrorString(code);
    // At most 29 characters, not terminated when the name fills the field.
    if (errName) std::memcpy(body + 2, errName, std::min<size_t>(std::strlen(errName), 29));
    reply(header, 0, body, sizeof(body));
}
