// A benchmark main that prints, after the usual table, the ratio of named pairs:
// "ratio A / B = x" from the median (or the only) real time of each. The pairs
// are the comparisons a benchmark exists for, so the figure needs no hand work.
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace nkbench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a saved run reads cleanly.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const std::string name = r.run_name.function_name + (r.run_name.args.empty() ? "" : "/" + r.run_name.args);
            if (r.run_type == Run::RT_Iteration)
                times_[name].push_back(r.GetAdjustedRealTime());
            else if (r.aggregate_name == "median")
                median_[name] = r.GetAdjustedRealTime();
        }
    }
    // Median of the repetitions, else the median of the single runs; negative when absent.
    double time(const std::string& name) const {
        if (auto m = median_.find(name); m != median_.end()) return m->second;
        auto t = times_.find(name);
        if (t == times_.end() || t->second.empty()) return -1.0;
        std::vector<double> v = t->second;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> median_;
};

// Runs the registered benchmarks and prints each pair's ratio (numerator / denominator).
inline int runWithRatios(int argc, char** argv, const std::vector<std::pair<std::string, std::string>>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& [num, den] : pairs) {
        const double a = reporter.time(num), b = reporter.time(den);
        if (a > 0 && b > 0) std::printf("ratio %s / %s = %.3f\n", num.c_str(), den.c_str(), a / b);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace nkbench
