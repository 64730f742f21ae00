// Cover-glass transmittance analysis: resampling and smoothing of spectra, the
// reference-data loaders, the transmittance figures and the chart pictures.
// Plain functions without state; every one may run on any thread.
#pragma once

#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_math.h"
#include "nk_typedef.h"

// ---------------------------------------------------------------------------
// Resampling and smoothing

// Piecewise-linear resampling of (x, y) (x ascending) at xOut. Targets below x[0]
// take y[0], targets at or above x[n-1] take y[n-1]. 5 for a null pointer or n < 1.
u16 nkMath_interpolationLinear(const float* x, const float* y, int n, const float* xOut, int nOut, float* yOut);
// Local quadratic fit over `window` samples around each target; the window is
// shifted to lie inside the array. A window below 1 gives NaN. 5 for a null
// pointer or n < 1.
u16 nkMath_interpolationQuatic(const float* x, const float* y, int n, const float* xOut, int nOut, float* yOut,
                               int window);
// First-order recursive low-pass with factor a / b. 5 for a null pointer or n < 1.
u16 nkMath_lowPassFilter(const float* x, int n, float a, float b, float* xOut);
// Resampling onto bgn, bgn + step, ... <= end. Empty on failure: mismatched or empty
// input (13), a step below 1 or bounds that are not finite or not in int range (5),
// a grid whose count does not match ((int)end - (int)bgn) / (int)step + 1 (13).
std::vector<float> nkFom_dataInterpolation(std::vector<float> wl, std::vector<float> dat, float bgn, float end,
                                           float step);
// The same; with clampNegative every value below zero becomes 0 (NaN stays).
std::vector<float> nkFom_dataInterpolation(std::vector<float> wl, std::vector<float> dat, float bgn, float end,
                                           float step, bool clampNegative);
// Moving local straight-line fit over window / 2 samples on each side; the window
// is cut, not shifted, at the ends. Nothing for n < 1 or a null pointer.
void _linear_fit_filter(const float* in, float* out, int n, int window);

// ---------------------------------------------------------------------------
// Reference-data files. Each loader empties its output first (but
// nkFom_cg_loadAfactors) and reports failures; blank lines are skipped, and a
// row whose length differs from the first or a cell holding no number refuses
// the file with 4 and an empty output.

// One row per file column (a spectrum per channel), paths ending ".csv" only.
u16 nkFom_cg_loadTfromCsv(CNK_logManager* lm, const std::string& path, std::vector<std::vector<double>>& out);
// Column after column; a 401-column file keeps columns 40..400. ".csv" only.
u16 nkFom_cg_loadWhiteCGCorrectionFactorfromCsv(CNK_logManager* lm, const std::string& path, std::vector<double>& out);
// One row of floats per line.
u16 nkFom_cg_loadTp3Trans1(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out);
u16 nkFom_cg_loadTp3Trans(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out);
u16 nkFom_cg_loadWeightMap(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out);
// Every value in file order.
u16 nkFom_cg_loadAfactor(CNK_logManager* lm, const std::string& path, std::vector<float>& out);
// Lines "label,k,b" as {slope k, intercept b, r squared NaN}.
u16 nkFom_cg_loadKbResult(CNK_logManager* lm, const std::string& path, std::vector<t_nkMathLineFit>& out);
// Appends machineCount rows of (1, 1), then applies the calibration-factor file
// (header line, then "Machine,a0,a1,Vendor,LightSourceSN,SpectrometerSN[0],
// SpectrometerSN[1],CalibrationDate"). 4 for a machine index outside 0..machineCount-1.
u16 nkFom_cg_loadAfactors(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& table,
                          int& testerIdx, std::string& lightSourceSn, std::string& spectrometerSn0,
                          std::string& spectrometerSn1, int machineCount);
// ".csv": rows without their first cell; ".bin": u16 R, u32 C, R x C float32, little-endian.
u16 nkFom_cg_loadUserDatabase(CNK_logManager* lm, const std::string& path, std::vector<std::vector<float>>& out);
// The light-source database from its CSV form to the binary form; at most 65535 rows.
u16 nkFom_cg_userDatabaseCsv2Bin(CNK_logManager* lm, const std::string& csvPath, const std::string& binPath);

// ---------------------------------------------------------------------------
// Transmittance figures

// Calibration factor of the socket named by key "<tester>_<bank>" (CG05_3 reads
// table[5][1]); 88 (A_Factor_NotAvailable) when no row applies (factor 1.0) or the row holds 0.
u16 nkFom_cg_getAfactor(CNK_logManager* lm, const std::vector<std::vector<float>>& aFactors, const std::string& key,
                        float& aFactor);
// One line fit per even row of T (a row per nm from 400) against the row of wl,
// each after trimming the five highest and five lowest values. 5 when the
// reference row is missing or a used row is shorter than 12 values or than the reference.
u16 nkFom_cg_getTWavelengthCorrelationx(CNK_logManager* lm, const std::vector<std::vector<float>>& T, float wl,
                                        std::vector<t_nkMathLineFit>& fits);
// Gaussian beam weight at distance d (pixels) of a beam of `beam` pixels.
float nkFom_cg_beamWeighting(double d, int beam);
// Camera signal against transmittance at five beam positions, through the origin,
// for this unit and accumulated over units in camAll / tAll.
u16 nkFom_cg_getTCameraProportionality(CNK_logManager* lm, const float* image, u16 width, u16 height, float beamUm,
                                       float pixUm, float wl, const std::vector<std::vector<float>>& T,
                                       std::vector<double>& camAll, std::vector<double>& tAll, float* slopeUnit,
                                       float* slopeAll);
// Box means of the image over the weight map's cells, turned into transmittance by
// the kb lines (at least 351) and the a factor; appends to map2d and finalT.
u16 nkFom_cg_get2dMap(CNK_logManager* lm, const float* image, u16 width, u16 height, float beamUm, float pixUm,
                      float wl, const std::vector<std::vector<float>>& weight, const std::vector<t_nkMathLineFit>& kb,
                      float aFactor, std::vector<float>& map2d, std::vector<float>& finalT);

// ---------------------------------------------------------------------------
// Chart pictures, written as JPEG 2000 (JP2) files whole or not at all

// seriesA in blue and, when given, seriesB in red over xValues; countA points are
// drawn of each, countB and countX bound the range searches.
u16 nkFom_cg_saveTimage(CNK_logManager* lm, const char* fileName, const float* seriesA, int countA,
                        const float* seriesB, int countB, const float* xValues, int countX, const char* xLabel,
                        const char* yLabel, const char* title, int width, int height, t_nkVbsLvl verbosity);
// One curve per colour channel (grey, red, green, blue, then black) over wl.
u16 nkFom_colorChannel_saveImage(CNK_logManager* lm, const std::string& fileName, const std::vector<float>& wl,
                                 const std::vector<std::vector<float>>& chData, const std::string& xLabel,
                                 const std::string& yLabel, const std::string& title, int width, int height,
                                 t_nkVbsLvl verbosity);
