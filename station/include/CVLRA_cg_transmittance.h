// The transmittance item (test name T): serves "atst", the unit's spectra at up to
// five test points, and the evaluation it runs, kept free of files and symbols so
// that stored packets can be evaluated again offline.
#pragma once

#include <string>
#include <vector>

#include "CVLRA_cg_testItem.h"
#include "nk_log.h"
#include "nk_typedef.h"

class CVLRA_cg_transmittance : public CVLRA_cg_testItem {
public:
    CVLRA_cg_transmittance();
    ~CVLRA_cg_transmittance() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;

    // Evaluates one stored "atst" payload again, without a session, and writes the
    // unit's repository record "<outputFolder>/<serialNumber>_CtCl.bin", or into
    // "<dataRoot>/newvdxData" when outputFolder is null. The code of the record's
    // write; 5 for a serial number that cannot name a file, 13 for a payload that
    // does not parse, 6 for a spectrum that cannot be evaluated (no record is
    // written for any of them).
    static u16 process_ntcp_packet(const char* serialNumber, const u8* payload, u32 length, const char* outputFolder,
                                   const std::string& dataRoot);
};

CNK_testItem* CVLRA_cg_transmittance_create();

// Grid of the evaluated curves: 400 + 2k nm, k = 0 ... 350.
constexpr int kVLRA_atstGridCount = 351;
constexpr int kVLRA_atstMaxPoints = 5;
// The fifteen wavelengths that carry data symbols.
constexpr int kVLRA_atstSymbolWlCount = 15;
int nkVlra_atstSymbolWl(int j);  // 400 + 50 j

// One test-point block of an "atst" payload, with its raw transmittance in percent.
struct t_vlraAtstPoint {
    u8 index = 0;  // as the tester numbers it
    float x = 0, y = 0, a = 0;
    std::vector<float> wl, dark, white, measured, rawT;
};

// Which evaluation runs: the station's, or the offline one of a stored packet,
// which takes more than five points, makes no wavelength range check and forms no
// figures across the points.
enum class t_vlraAtstRun { station, offline };

// Checks the whole payload before any sample is read: 1..5 blocks (offline 1..255,
// each with at least one sample), each block's length against the bytes left,
// lengths adding up to the payload, equal sample counts and no index byte 0.
// 0 with the blocks, or 13 with nothing.
u16 nkVlra_parseAtst(const u8* payload, size_t length, std::vector<t_vlraAtstPoint>& points,
                     t_vlraAtstRun run = t_vlraAtstRun::station);

struct t_vlraAtstEval {
    std::vector<float> grid;                    // 351 wavelengths
    std::vector<float> reference;               // normalised lamp curve on the first point's samples
    std::vector<float> referenceGrid;           // the same on the grid
    std::vector<std::vector<float>> resampled;  // raw T on the grid, per point
    std::vector<std::vector<float>> finalT;     // smoothed T on the grid, per point
    std::vector<float> mean, stdev;             // across the points, per grid index
    std::vector<std::vector<float>> variation;  // per point, percent of the mean
    std::vector<std::vector<float>> tilt;       // per point, percent of the value at 550 nm
    std::vector<float> tiltMean;
    std::vector<float> weighted;                // CG type 2 only
};

// Range check, reference, smoothing, resampling and the figures across points.
// 0, 6 (a reading or wavelength that is not finite, wavelengths not strictly
// ascending, or, at the station, a spectrum not covering 400..1100 nm),
// 5 (resampling failed) or 13 (no points).
// Offline, `ev` ends with the final curves. Logs through lm when it is given.
u16 nkVlra_evaluateAtst(CNK_logManager* lm, const std::vector<t_vlraAtstPoint>& points, int cgType, int cgColor,
                        t_vlraAtstEval& ev, t_vlraAtstRun run = t_vlraAtstRun::station);

// The weight of each point in the weighted transmittance of CG type 2.
std::vector<float> nkVlra_atstWeights(size_t count);

// Texts of the per-unit tables: 50 zero lines for 300..398 nm, then the grid.
std::string nkVlra_atstTransCsv(const std::vector<std::vector<float>>& finalT);
std::string nkVlra_atstWeightedCsv(const std::vector<float>& weighted);
std::string nkVlra_atstRawCsv(const t_vlraAtstPoint& point);
