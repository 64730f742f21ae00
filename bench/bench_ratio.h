// A benchmark main that prints, after the usual table, the ratio of named pairs:
// "ratio A / B = x" from the median (or the only) real time of each, and where
// both sides' CPU time is known also from that, which a loaded machine disturbs
// less. The pairs are the comparisons a benchmark exists for, so the
// figure needs no hand work.
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
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
            // A side run in another process reports its CPU seconds per iteration as "cpu_seconds".
            double cpu = r.GetAdjustedCPUTime();
            if (auto c = r.counters.find("cpu_seconds"); c != r.counters.end())
                cpu = c->second.value * benchmark::GetTimeUnitMultiplier(r.time_unit);
            if (r.run_type == Run::RT_Iteration) {
                times_[name].push_back(r.GetAdjustedRealTime());
                cpu_[name].push_back(cpu);
            } else if (r.aggregate_name == "median") {
                median_[name] = r.GetAdjustedRealTime();
                cpuMedian_[name] = cpu;
            }
        }
    }
    // Median of the repetitions, else the median of the single runs; negative when absent.
    double time(const std::string& name, bool cpu = false) const {
        const auto& medians = cpu ? cpuMedian_ : median_;
        const auto& times = cpu ? cpu_ : times_;
        if (auto m = medians.find(name); m != medians.end()) return m->second;
        auto t = times.find(name);
        if (t == times.end() || t->second.empty()) return -1.0;
        std::vector<double> v = t->second;
        std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
        return v[v.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_, cpu_;
    std::map<std::string, double> median_, cpuMedian_;
};

struct Ratio {
    std::string num, den;
    bool cpuToo = false;  // both sides' CPU time is known (in this process, or as "cpu_seconds")
};

// Runs the registered benchmarks and prints each pair's ratio (numerator / denominator).
inline int runWithRatios(int argc, char** argv, const std::vector<Ratio>& pairs) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const Ratio& p : pairs) {
        const double a = reporter.time(p.num), b = reporter.time(p.den);
        const double ca = reporter.time(p.num, true), cb = reporter.time(p.den, true);
        if (!(a > 0 && b > 0)) continue;
        if (p.cpuToo && ca > 0 && cb > 0)
            std::printf("ratio %s / %s = %.3f real, %.3f cpu\n", p.num.c_str(), p.den.c_str(), a / b, ca / cb);
        else
            std::printf("ratio %s / %s = %.3f\n", p.num.c_str(), p.den.c_str(), a / b);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace nkbench
