// The short table `make bench` prints: each benchmark program appends its rows to the file
// named by TIVREL_BENCH_SUMMARY (stdout without it), and scripts/bench.sh prints them together.
#pragma once
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

// Prints the runs as usual and keeps them by name for the summary.
class Collector : public benchmark::ConsoleReporter {
public:
    Collector() : ConsoleReporter(OO_Tabular) {} // no colour codes: the output goes to logs
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& r : runs) {
            results[r.benchmark_name()] = r;
            if (r.run_type == Run::RT_Iteration)
                all.push_back(r);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // The run of that name, or of that name with arguments ("name/..."); a run of no
    // iterations when there is none.
    const Run& operator[](const std::string& name)
    {
        const Run* run = Find(name);
        return run ? *run : none;
    }
    bool Ran(const std::string& name) { return Find(name) != nullptr; }
    double Counter(const std::string& name, const std::string& counter)
    {
        const auto& c = (*this)[name].counters;
        auto it = c.find(counter);
        return it == c.end() ? 0 : double(it->second);
    }

    // A counter over the repetitions of a benchmark (its name, with or without arguments):
    // the median, and the least and greatest value.
    struct Spread {
        double median, least, greatest;
    };
    Spread Repeated(const std::string& name, const std::string& counter)
    {
        std::vector<double> values;
        for (const Run& r : all) {
            const std::string key = r.benchmark_name();
            auto it = r.counters.find(counter);
            if ((key == name || key.compare(0, name.size() + 1, name + "/") == 0) &&
                it != r.counters.end())
                values.push_back(double(it->second));
        }
        if (values.empty())
            return {0, 0, 0};
        std::sort(values.begin(), values.end());
        const size_t n = values.size();
        const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
        return {median, values.front(), values.back()};
    }

private:
    const Run* Find(const std::string& name)
    {
        for (auto& [key, run] : results)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                (key == name || key.compare(0, name.size() + 1, name + "/") == 0))
                return &run;
        return nullptr;
    }

    std::map<std::string, Run> results;
    std::vector<Run> all;
    Run none = NoRun();
    static Run NoRun()
    {
        Run r;
        r.iterations = 0;
        return r;
    }
};

// Nanoseconds per iteration of a run, of wall-clock and of processor time.
inline double Nanoseconds(const benchmark::BenchmarkReporter::Run& r)
{
    return r.iterations == 0 ? 0 : r.real_accumulated_time * 1e9 / double(r.iterations);
}
inline double CpuNanoseconds(const benchmark::BenchmarkReporter::Run& r)
{
    return r.iterations == 0 ? 0 : r.cpu_accumulated_time * 1e9 / double(r.iterations);
}

inline std::string Format(const char* format, double value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// One row: what was measured, the figure, the goal (empty when there is none), and whether the
// goal is met.
inline void SummaryRow(const std::string& what, const std::string& figure,
                       const std::string& goal = "", bool met = true)
{
    const char* path = getenv("TIVREL_BENCH_SUMMARY");
    FILE* f = path ? fopen(path, "a") : stdout;
    if (f == nullptr)
        return;
    fprintf(f, "%-46s %16s   %-12s %s\n", what.c_str(), figure.c_str(), goal.c_str(),
            goal.empty() ? "" : met ? "met" : "NOT MET");
    if (f != stdout)
        fclose(f);
}
