// The a-factor calibration of a tester machine: the stored packets of the good
// units of one tester cell are replayed through the station's own setup,
// uniformity and transmittance items, each unit yields one factor, and the two
// socket groups' averages go to the calibration-factor CSV. Window-free: the
// caller gets the button titles through a callback and may stop the run.
#pragma once

#include <atomic>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

class CVLRA_cg_testSession;

// Units a socket group needs before its average is trusted.
constexpr int kVLRA_aFactorMinCount = 100;

// "<data root>/CGResource/CG_a_factors.csv".
std::string nkVlra_aFactorsCsvPath(const std::string& dataRoot);

// A statistics row's TesterID: the tester name before the first "_" and the
// socket id, the decimal number after it. False when no number follows the "_".
bool nkVlra_splitTesterId(const std::string& testerId, std::string* testerName, int* socketId);

// The machine of a tester name: the decimal number from its first digit on
// (cell07 gives 7); -1 when there is none.
int nkVlra_machineIdOf(const std::string& testerName);

// Whether a unit's factor enters its group's average: strictly between 0.85 and 1.15.
bool nkVlra_isCountedAFactor(float a);

// The unit's factor after the "T" replay: the slope through the origin of the
// unit's five final transmittance curves at the centroid wavelength against the
// camera's transmittance-ratio map of its four-image "unif" request. 0.0 (an
// outlier) without such a request, without exactly five curves on the 400 nm
// grid, or when the fit is refused.
float nkVlra_unitAFactor(CNK_logManager* lm, const CVLRA_cg_testSession& session);

// What the replays leave for the file: every unit's factor per group, in replay order.
struct t_vlraAFactorInput {
    std::vector<float> factors[2];
    std::string lastTesterName;  // of the last replayed unit: names the machine
    std::string lightSourceSn;
    std::string spectrometerSn[2];
    std::string date;  // the run's start, yyyyMMddHHmmss
};

struct t_vlraAFactorOutcome {
    int count[2] = {0, 0};  // counted (not outlying) factors
    float sum[2] = {0.0f, 0.0f};
    float average[2] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
    int machineId = -1;
    // 0 pass; 1 an average of exactly 1.0; 2 no machine id (file unchanged); 3 a
    // group with fewer than 100 counted units (1.0 written for both); any other
    // value is the code of a file that could not be written (file unchanged).
    u16 verdict = 0;
    bool written = false;
};

// A group's sum, count and average over its counted factors; a group without
// one averages to NaN.
void nkVlra_groupAFactor(const std::vector<float>& factors, float* sum, int* count, float* average);

// Averages both groups, names the machine and writes the calibration-factor CSV
// whole (temporary file and rename), logging the verdict through lm.
t_vlraAFactorOutcome nkVlra_saveAFactors(CNK_logManager* lm, const std::string& outputFile,
                                         const t_vlraAFactorInput& in);

struct t_vlraCalcAOptions {
    std::string inputFolder;  // a tester cell's folder: Statistics/*.csv and LogsFolder/SN/date/
    std::string outputFile;   // nkVlra_aFactorsCsvPath(data root)
    std::string scriptFile;   // the station's test script: the replay builds its own session from it
    std::string tempFolder;   // the replay's log root is made below it and removed at the end
    std::string hostVersion;
    // The window log; the run's log file "Calculate_A_Factor_<start>.log" in the
    // input folder is set on it for the run.
    CNK_logManager* lm = nullptr;
    // The start button's title and whether it shows; called on the run's thread.
    std::function<void(const std::string& title, bool visible)> progress;
    // Checked between units; a stopped run writes nothing.
    const std::atomic<bool>* stop = nullptr;
};

struct t_vlraCalcAResult {
    // 0 pass; a verdict of t_vlraAFactorOutcome when the run reached the file;
    // else why it ended early (kNKErr_pathNotExist, kNKErr_invalidCondition for no
    // or too few records, kNKErr_testAborted when stopped).
    u16 code = 0;
    bool reachedFile = false;
    std::string title;  // the button's last title
    size_t accepted[2] = {0, 0};
    t_vlraAFactorInput input;
    t_vlraAFactorOutcome outcome;
};

// The whole run on the caller's thread. The station's sessions, its log root
// and its submission switch are not touched: the replay runs on a session of its
// own, never connected, with submission off and a temporary log root.
t_vlraCalcAResult nkVlra_calcAFactors(const t_vlraCalcAOptions& options);
