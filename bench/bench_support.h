// What the benchmark programs share: a deterministic generator for their
// data, a reporter that keeps each benchmark's times for the ratio tables,
// and the --scale option.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace bench_support {

// Deterministic pseudo-random numbers (splitmix64): the same data every run.
class Generator {
public:
    explicit Generator(uint64_t seed) : state_(seed) {}

    uint64_t next()
    {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1), 53 bits.
    double uniform() { return static_cast<double>(next() >> 11) * 0x1p-53; }
    // Uniform integer in [0, n).
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    // Standard normal (Box-Muller, one of the pair).
    double normal()
    {
        const double u = 1.0 - uniform();  // (0, 1]: the logarithm stays finite
        const double v = uniform();
        return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
    }

private:
    uint64_t state_;
};

struct Timing {
    double median_ms = -1;
    double median_cpu_ms = -1;
    double min_ms = -1;
    std::string error;
};

// Collects each benchmark's real time per iteration by the benchmark's name,
// while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            Timing& t = timings[run.run_name.function_name];
            if (run.error_occurred) {
                t.error = run.error_message;
                continue;
            }
            if (run.iterations <= 0) continue;
            const double ms = run.real_accumulated_time / static_cast<double>(run.iterations) * 1e3;
            const double cpu_ms = run.cpu_accumulated_time / static_cast<double>(run.iterations) * 1e3;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    t.median_ms = ms;
                    t.median_cpu_ms = cpu_ms;
                } else if (run.aggregate_name == "min") {
                    t.min_ms = ms;
                }
            } else if (run.repetitions <= 1) {
                t.median_ms = t.min_ms = ms;
                t.median_cpu_ms = cpu_ms;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, Timing> timings;
};

// A benchmark run a fixed number of iterations, in milliseconds of real
// time, repeated when asked; the ratios use the medians of the repetitions
// (which a passing burst of load on a shared machine moves less than a
// mean) and also report the fastest.
inline void configure(benchmark::internal::Benchmark* b, int iterations, int repetitions)
{
    b->Unit(benchmark::kMillisecond)->Iterations(iterations)->UseRealTime();
    if (repetitions > 1) {
        b->Repetitions(repetitions)->ReportAggregatesOnly(true);
        b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
    }
}

// Reads "--scale=F" (0 < F <= 1) into scale.  Returns false, having said
// why, for a value out of range.
inline bool read_scale(std::string_view arg, const char* program, double& scale)
{
    scale = std::strtod(std::string(arg.substr(8)).c_str(), nullptr);
    if (scale > 0 && scale <= 1) return true;
    std::fprintf(stderr, "%s: --scale must be in (0, 1]\n", program);
    return false;
}

// The options of a benchmark program that takes only --scale=F.  Returns
// false, having said why, for anything else.
inline bool read_scale_only(int argc, char** argv, const char* program, double& scale)
{
    scale = 1.0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg.substr(0, 8) != "--scale=") {
            std::fprintf(stderr, "%s: unknown option %s\n", program, argv[i]);
            return false;
        }
        if (!read_scale(arg, program, scale)) return false;
    }
    return true;
}

}  // namespace bench_support
