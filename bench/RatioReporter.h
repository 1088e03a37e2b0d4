// Benchmarks report ratios against an anchor measured in the same run. This
// reporter prints the usual table, then one line per (subject, anchor) pair:
// the subject's rate divided by the anchor's, and whether the target holds.
#pragma once
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace orvane::bench {

struct RatioTarget {
    std::string subject; // benchmark function name, e.g. "BM_Encode"
    std::string anchor;  // benchmark function name of the anchor
    double atLeast;      // the subject's rate must be at least this share of the anchor's
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<RatioTarget> targets) : m_targets(std::move(targets)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred)
                continue;
            // Repeated benchmarks (slow, noisy work such as key generation)
            // compare their medians; the other aggregates are not rates.
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type != Run::RT_Iteration && !median)
                continue;
            if (!median && r.repetitions > 1)
                continue;
            // Rates: the counters say what a second achieves (items or bytes);
            // without one, iterations per second of real time.
            double rate = 0;
            if (auto it = r.counters.find("items_per_second"); it != r.counters.end())
                rate = it->second;
            else if (auto jt = r.counters.find("bytes_per_second"); jt != r.counters.end())
                rate = jt->second;
            else if (r.GetAdjustedRealTime() > 0)
                rate = 1.0 / r.GetAdjustedRealTime();
            // A benchmark with arguments is named with them ("BM_List/1000").
            std::string name = r.run_name.function_name;
            if (!r.run_name.args.empty())
                name += "/" + r.run_name.args;
            m_rates[name] = rate;
        }
    }

    // PrintRatios: prints each ratio; returns false when a target is missed.
    bool PrintRatios() const {
        bool allMet = true;
        std::printf("\n%-44s %-30s %8s %8s\n", "subject", "anchor", "ratio", "target");
        for (const RatioTarget& t : m_targets) {
            auto s = m_rates.find(t.subject);
            auto a = m_rates.find(t.anchor);
            if (s == m_rates.end() || a == m_rates.end() || a->second <= 0) {
                std::printf("%-44s %-30s %8s\n", t.subject.c_str(), t.anchor.c_str(), "n/a");
                continue;
            }
            double ratio = s->second / a->second;
            bool met = ratio >= t.atLeast;
            allMet = allMet && met;
            std::printf("%-44s %-30s %8.2f %7s%.2f %s\n", t.subject.c_str(), t.anchor.c_str(),
                        ratio, ">=", t.atLeast, met ? "met" : "MISSED");
        }
        return allMet;
    }

private:
    std::vector<RatioTarget> m_targets;
    std::map<std::string, double> m_rates;
};

// RunWithRatios: the main of a ratio benchmark. Exit code 0 whether or not a
// target is met (a benchmark reports; it does not gate), 1 on bad arguments.
inline int RunWithRatios(int argc, char** argv, std::vector<RatioTarget> targets) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter(std::move(targets));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

} // namespace orvane::bench
