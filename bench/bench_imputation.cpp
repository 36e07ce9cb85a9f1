// bench_imputation: nearest-neighbour donor imputation (gen_imp) against the
// plainest search for the nearest record, on survey-like data generated in
// memory.
//
//   gen_imp all records   20 000 records; every record but the first and
//                         the recipient itself is a candidate donor
//   gen_imp class mode    200 000 records in 20 classes; the candidates are
//                         the records of the recipient's class
//
// Each is timed beside a baseline over the same recipients and candidates:
// a plain loop that computes the squared Euclidean distance (scaled like
// the routine's) over the variables the recipient has and keeps the
// minimum.  The routine does more per candidate - it rejects donors that
// lack a needed value, mixes in the categorical variables, keeps tied
// donors and copies the values - so the target is a time at most twice the
// baseline's.
//
// Every data set has 10 columns: eight continuous ones of different shapes
// (whole years, incomes rounded to hundreds, a share in full precision,
// hours rounded to the half hour, distances to a tenth, counts, a normal
// score, a price with two decimals) and two categorical ones, a class with
// 20 codes and a type with 5.  A tenth of the records miss one or two values
// outside the class.  A fixed pseudo-random generator makes the same data
// every run.  The routine runs with weight 1 on every variable, scales of
// 1/(max - min), the default distances, 5 tied donors, seed 1 and no reuse
// penalty.  Before anything is reported, a sample of the recipients is
// checked: each must have received the values of a donor at the smallest
// distance, found here independently of the library.
//
// The program only reports: it prints the times, their ratio and the number
// of recipient-donor-variable pairs looked at, and exits 0 whatever the
// figures are.
//
// Options besides Google Benchmark's own:
//   --scale=F   records of every data set multiplied by F (0 < F <= 1), for
//               quick runs and for profiling under slow tools
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "kest.h"

namespace {

using bench_support::Generator;
using bench_support::RatioReporter;
using bench_support::Timing;

// ---------------------------------------------------------------------------
// Data sets

enum Col {
    col_age,       // whole years 16..95
    col_income,    // log-normal, rounded to whole hundreds
    col_share,     // uniform in (0, 1), full precision
    col_hours,     // normal around 38, 0..80, rounded to the half hour
    col_distance,  // exponential, mean 12, rounded to a tenth
    col_children,  // counts 0..6
    col_score,     // standard normal
    col_price,     // uniform 1..500, two decimals
    col_class,     // categorical, 20 codes: the class of class mode
    col_type,      // categorical, 5 codes
    num_cols
};

constexpr int num_classes = 20;
constexpr int category_counts[num_cols] = {0, 0, 0, 0, 0, 0, 0, 0, num_classes, 5};
constexpr int code_row_length = num_classes;

const double missing_code = -std::numeric_limits<double>::max();

// The routine's settings.
constexpr int tie_limit = 5;
constexpr int seed = 1;
constexpr int no_reuse_penalty = 1;

enum class Mode { all, klass };

struct DataSet {
    std::string label;  // "all/20000"
    Mode mode = Mode::all;
    int num_obs = 0;
    std::vector<double> matrix;  // num_obs x num_cols, row-major
    long missing_cells = 0;

    std::vector<double> weights, scales, category_distances;
    std::vector<int> dist_types, ncat, codes;

    // Outputs of the timed runs.
    int n_cells = 0;
    std::vector<int> cell_recs, cell_vars;
    std::vector<double> cell_vals;
    int report[5] = {0, 0, 0, 0, 0};
    double baseline_minimum = 0;

    long long triples = 0;  // recipient-donor-variable triples of one search
    long recipients = 0;
};

void generate(DataSet& ds, uint64_t generator_seed)
{
    Generator gen(generator_seed);
    ds.matrix.assign(static_cast<std::size_t>(ds.num_obs) * num_cols, 0.0);
    for (int r = 0; r < ds.num_obs; ++r) {
        double* row = ds.matrix.data() + static_cast<std::ptrdiff_t>(r) * num_cols;
        row[col_age] = 16 + gen.below(80);
        row[col_income] = 100.0 * std::round(std::exp(10.0 + 0.7 * gen.normal()) / 100.0);
        row[col_share] = gen.uniform();
        row[col_hours] = std::clamp(std::round(2.0 * (38.0 + 9.0 * gen.normal())) / 2.0, 0.0, 80.0);
        row[col_distance] = std::round(-120.0 * std::log(1.0 - gen.uniform())) / 10.0;
        row[col_children] = gen.below(7);
        row[col_score] = gen.normal();
        row[col_price] = std::round(100.0 * (1.0 + 499.0 * gen.uniform())) / 100.0;
        row[col_class] = 1 + gen.below(num_classes);
        row[col_type] = 1 + gen.below(5);
        // A tenth of the records miss one or two values, never the class.
        if (gen.below(10) == 0) {
            const int gaps = 1 + gen.below(2);
            for (int g = 0; g < gaps; ++g) {
                int c = gen.below(num_cols - 1);
                if (c >= col_class) ++c;
                row[c] = missing_code;
            }
        }
    }
    ds.missing_cells = static_cast<long>(std::count(ds.matrix.begin(), ds.matrix.end(), missing_code));

    ds.ncat.assign(category_counts, category_counts + num_cols);
    ds.codes.assign(static_cast<std::size_t>(num_cols) * code_row_length, 0);
    for (int j = 0; j < num_cols; ++j)
        for (int k = 0; k < ds.ncat[static_cast<std::size_t>(j)]; ++k)
            ds.codes[static_cast<std::size_t>(j) * code_row_length + k] = k + 1;
    ds.weights.assign(num_cols, 1.0);
    ds.dist_types.assign(num_cols, 0);
    ds.category_distances.assign(static_cast<std::size_t>(num_cols) * code_row_length * code_row_length, 0.0);
    ds.scales.assign(num_cols, 1.0);
    for (int j = 0; j < num_cols; ++j) {
        if (ds.ncat[static_cast<std::size_t>(j)] > 0) continue;
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (int r = 0; r < ds.num_obs; ++r) {
            const double v = ds.matrix[static_cast<std::size_t>(r) * num_cols + j];
            if (v == missing_code) continue;
            low = std::min(low, v);
            high = std::max(high, v);
        }
        if (high > low) ds.scales[static_cast<std::size_t>(j)] = 1.0 / (high - low);
    }
    const std::size_t capacity = static_cast<std::size_t>(std::max(1L, ds.missing_cells));
    ds.cell_recs.assign(capacity, 0);
    ds.cell_vars.assign(capacity, 0);
    ds.cell_vals.assign(capacity, 0.0);
}

const double* row_of(const DataSet& ds, int r) { return ds.matrix.data() + static_cast<std::ptrdiff_t>(r) * num_cols; }

void impute(DataSet& ds)
{
    const int pool[3] = {ds.mode == Mode::klass ? -1 : 0, ds.mode == Mode::klass ? col_class : 0, 0};
    ds.n_cells = 0;  // the routine builds the cell list
    gen_imp(pool, seed, tie_limit, 0, no_reuse_penalty, 0.0, ds.weights.data(), ds.scales.data(), ds.dist_types.data(),
            ds.category_distances.data(), ds.num_obs, num_cols, ds.matrix.data(), ds.ncat.data(), ds.codes.data(),
            code_row_length, missing_code, &ds.n_cells, ds.cell_recs.data(), ds.cell_vars.data(), ds.cell_vals.data(),
            ds.report);
}

// ---------------------------------------------------------------------------
// Baseline: the recipients and their candidates as the routine sees them

// The candidate donors of every class, in record order (the baseline's
// share of the routine's preparation).
std::vector<std::vector<int>> class_members(const DataSet& ds)
{
    std::vector<std::vector<int>> members(num_classes);
    for (int r = 0; r < ds.num_obs; ++r)
        members[static_cast<std::size_t>(row_of(ds, r)[col_class]) - 1].push_back(r);
    return members;
}

// The variables a record has; empty when it has them all.
bool present_variables(const double* row, std::vector<int>& present)
{
    present.clear();
    for (int j = 0; j < num_cols; ++j)
        if (row[j] != missing_code) present.push_back(j);
    return static_cast<int>(present.size()) < num_cols;
}

double baseline(const DataSet& ds)
{
    std::vector<std::vector<int>> members;
    if (ds.mode == Mode::klass) members = class_members(ds);
    std::vector<int> present;
    std::vector<double> scales(ds.scales);
    double overall = std::numeric_limits<double>::infinity();
    for (int r = 0; r < ds.num_obs; ++r) {
        const double* rec = row_of(ds, r);
        if (!present_variables(rec, present)) continue;
        const std::size_t m = present.size();
        double best = std::numeric_limits<double>::infinity();
        const auto visit = [&](int c) {
            const double* donor = row_of(ds, c);
            double q = 0;
            for (std::size_t i = 0; i < m; ++i) {
                const int j = present[i];
                const double d = (donor[j] - rec[j]) * scales[static_cast<std::size_t>(j)];
                q += d * d;
            }
            if (q < best) best = q;
        };
        if (ds.mode == Mode::klass) {
            for (int c : members[static_cast<std::size_t>(rec[col_class]) - 1])
                if (c != r) visit(c);
        } else {
            for (int c = 1; c < ds.num_obs; ++c)
                if (c != r) visit(c);
        }
        overall = std::min(overall, best);
    }
    return overall;
}

void count_work(DataSet& ds)
{
    std::vector<std::vector<int>> members;
    if (ds.mode == Mode::klass) members = class_members(ds);
    std::vector<int> present;
    ds.triples = 0;
    ds.recipients = 0;
    for (int r = 0; r < ds.num_obs; ++r) {
        const double* rec = row_of(ds, r);
        if (!present_variables(rec, present)) continue;
        ++ds.recipients;
        const long long candidates =
            ds.mode == Mode::klass ? static_cast<long long>(members[static_cast<std::size_t>(rec[col_class]) - 1].size()) - 1
                                   : ds.num_obs - 1 - (r >= 1 ? 1 : 0);
        ds.triples += candidates * static_cast<long long>(present.size());
    }
}

// ---------------------------------------------------------------------------
// Checks of the imputed values

std::vector<std::string> problems;  // reported after the run

void problem(const DataSet& ds, const std::string& what)
{
    problems.push_back(ds.label + ": " + what);
    std::fprintf(stderr, "bench_imputation: %s: %s\n", ds.label.c_str(), what.c_str());
}

// The routine's distance of a donor: continuous variables squared and
// scaled under a square root, categorical ones the full weight when they
// differ, over the total weight.
double distance(const DataSet& ds, const double* rec, const double* donor, const std::vector<int>& present)
{
    double a = 0, q = 0, total = 0;
    for (double w : ds.weights) total += w;
    for (int j : present) {
        const double w = ds.weights[static_cast<std::size_t>(j)];
        if (ds.ncat[static_cast<std::size_t>(j)] > 0) {
            if (donor[j] != rec[j]) a += w;
        } else {
            const double d = (donor[j] - rec[j]) * ds.scales[static_cast<std::size_t>(j)];
            q += d * d * w;
        }
    }
    return (a + (q > 0 ? std::sqrt(q) : 0.0)) / total;
}

constexpr int checked_recipients = 300;

// Every recipient group must be filled, with the values of one acceptable
// donor at the smallest distance; a sample of them is searched here.
void check(DataSet& ds)
{
    if (ds.report[0] != 0) {
        problem(ds, "gen_imp reported " + std::to_string(ds.report[0]) + "," + std::to_string(ds.report[1]));
        return;
    }
    if (ds.n_cells != ds.missing_cells)
        problem(ds, std::to_string(ds.n_cells) + " cells listed for " + std::to_string(ds.missing_cells) + " missing");
    if (ds.report[KEST_REPORT_SKIPPED] != 0 || ds.report[KEST_REPORT_NO_DONOR] != 0)
        problem(ds, "groups skipped " + std::to_string(ds.report[KEST_REPORT_SKIPPED]) + ", without a donor " +
                        std::to_string(ds.report[KEST_REPORT_NO_DONOR]));
    std::vector<std::vector<int>> members;
    if (ds.mode == Mode::klass) members = class_members(ds);
    std::vector<int> present;
    int checked = 0;
    for (int k = 0; k < ds.n_cells && checked < checked_recipients;) {
        const int r = ds.cell_recs[static_cast<std::size_t>(k)];
        int end = k;
        while (end < ds.n_cells && ds.cell_recs[static_cast<std::size_t>(end)] == r) ++end;
        const double* rec = row_of(ds, r);
        present_variables(rec, present);
        double best = std::numeric_limits<double>::infinity();
        std::vector<int> nearest;
        const auto visit = [&](int c) {
            const double* donor = row_of(ds, c);
            for (int j = 0; j < num_cols; ++j)
                if (donor[j] == missing_code) return;  // lacks a value the recipient needs or is matched on
            const double dist = distance(ds, rec, donor, present);
            if (dist < best * (1 - 1e-12)) {
                best = dist;
                nearest.assign(1, c);
            } else if (dist <= best * (1 + 1e-12)) {
                nearest.push_back(c);
            }
        };
        if (ds.mode == Mode::klass) {
            for (int c : members[static_cast<std::size_t>(rec[col_class]) - 1])
                if (c != r) visit(c);
        } else {
            for (int c = 1; c < ds.num_obs; ++c)
                if (c != r) visit(c);
        }
        const bool matched = std::any_of(nearest.begin(), nearest.end(), [&](int c) {
            for (int i = k; i < end; ++i)
                if (row_of(ds, c)[ds.cell_vars[static_cast<std::size_t>(i)]] != ds.cell_vals[static_cast<std::size_t>(i)])
                    return false;
            return true;
        });
        if (!matched) {
            problem(ds, "record " + std::to_string(r) + " did not receive the values of a nearest donor (" +
                            std::to_string(nearest.size()) + " at distance " + std::to_string(best) + ")");
            return;
        }
        ++checked;
        k = end;
    }
}

// ---------------------------------------------------------------------------
// Benchmarks

std::string routine_name(const DataSet& ds) { return "gen_imp/" + ds.label; }
std::string baseline_name(const DataSet& ds) { return "baseline/" + ds.label; }

// Fixed iterations, repeated; the ratios use the medians of the
// repetitions.  The whole run takes well under two minutes, most of it in
// class mode.
constexpr int repetitions = 3;

void configure(benchmark::internal::Benchmark* b, int iterations)
{
    b->Unit(benchmark::kMillisecond)->Iterations(iterations)->UseRealTime();
    b->Repetitions(repetitions)->ReportAggregatesOnly(true);
    b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

void register_benchmarks(std::vector<DataSet>& sets)
{
    for (DataSet& set : sets) {
        DataSet* d = &set;
        const int iterations = d->mode == Mode::all ? 3 : 1;
        auto* routine = benchmark::RegisterBenchmark(routine_name(*d).c_str(), [d](benchmark::State& state) {
            for (auto _ : state) {
                impute(*d);
                if (d->report[0] > 0) break;
                benchmark::DoNotOptimize(d->cell_vals.data());
                benchmark::ClobberMemory();
            }
            if (d->report[0] > 0)
                state.SkipWithError(("gen_imp failed with " + std::to_string(d->report[0]) + "," +
                                     std::to_string(d->report[1])).c_str());
            state.counters["triples"] = static_cast<double>(d->triples);
        });
        configure(routine, iterations);
        auto* plain = benchmark::RegisterBenchmark(baseline_name(*d).c_str(), [d](benchmark::State& state) {
            for (auto _ : state) {
                d->baseline_minimum = baseline(*d);
                benchmark::DoNotOptimize(d->baseline_minimum);
            }
            state.counters["triples"] = static_cast<double>(d->triples);
        });
        configure(plain, iterations);
    }
}

// ---------------------------------------------------------------------------
// Report

constexpr double ratio_target = 2.0;

void print_ratios(const std::vector<DataSet>& sets, const RatioReporter& reporter)
{
    auto find = [&](const std::string& name) -> const Timing* {
        auto it = reporter.timings.find(name);
        if (it == reporter.timings.end() || !it->second.error.empty() || it->second.median_ms <= 0) return nullptr;
        return &it->second;
    };
    std::printf("\ngen_imp against the plain nearest-record loop: real times per call, medians of %d repetitions.\n",
                repetitions);
    std::printf("In brackets: the ratio of CPU times and of the fastest repetitions.\n");
    std::printf("--------------------------------------------------------------------------------------------\n");
    std::printf("%-16s %10s %10s %12s %7s  %16s  %s\n", "data set", "recipients", "gen_imp ms", "baseline ms", "ratio",
                "triples", "");
    for (const DataSet& ds : sets) {
        const Timing* g = find(routine_name(ds));
        const Timing* b = find(baseline_name(ds));
        if (g == nullptr || b == nullptr) {
            std::printf("%-16s not measured (a run failed or was filtered out)\n", ds.label.c_str());
            continue;
        }
        const double ratio = g->median_ms / b->median_ms;
        std::printf("%-16s %10ld %10.1f %12.1f %7.2f  %16lld  [CPU %.2f, fastest %.2f]  target <= %g: %s\n",
                    ds.label.c_str(), ds.recipients, g->median_ms, b->median_ms, ratio, ds.triples,
                    b->median_cpu_ms > 0 ? g->median_cpu_ms / b->median_cpu_ms : 0.0,
                    b->min_ms > 0 ? g->min_ms / b->min_ms : 0.0, ratio_target, ratio <= ratio_target ? "within" : "ABOVE");
    }
    std::printf("\nPer data set: cells filled, and the routine's counts of recipient groups.\n");
    for (const DataSet& ds : sets)
        std::printf("%-16s %8d of %ld missing cells filled; groups reduced %d, skipped %d, without a donor %d\n",
                    ds.label.c_str(), ds.n_cells, ds.missing_cells, ds.report[KEST_REPORT_REDUCED],
                    ds.report[KEST_REPORT_SKIPPED], ds.report[KEST_REPORT_NO_DONOR]);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);

    double scale = 1.0;
    if (!bench_support::read_scale_only(argc, argv, "bench_imputation", scale)) return 0;

    auto records = [scale](int n) { return std::max(2 * num_classes, static_cast<int>(std::lround(n * scale))); };
    std::vector<DataSet> sets(2);
    sets[0].mode = Mode::all;
    sets[0].num_obs = records(20000);
    sets[0].label = "all/" + std::to_string(sets[0].num_obs);
    sets[1].mode = Mode::klass;
    sets[1].num_obs = records(200000);
    sets[1].label = "class/" + std::to_string(sets[1].num_obs);

    std::printf("Generating data sets ...\n");
    for (std::size_t i = 0; i < sets.size(); ++i) {
        generate(sets[i], 71 + i);
        count_work(sets[i]);
        std::printf("  %-14s records x %d columns, %ld recipients, %ld missing cells\n", sets[i].label.c_str(), num_cols,
                    sets[i].recipients, sets[i].missing_cells);
    }
    std::fflush(stdout);

    RatioReporter reporter;
    register_benchmarks(sets);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    // The last timed call left its cells in place.
    for (DataSet& ds : sets)
        if (reporter.timings.count(routine_name(ds)) > 0) check(ds);
    print_ratios(sets, reporter);
    if (!problems.empty()) {
        std::printf("\nProblems found while checking the imputed values:\n");
        for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
    }
    benchmark::Shutdown();
    return 0;
}
