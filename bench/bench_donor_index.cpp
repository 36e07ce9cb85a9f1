// bench_donor_index: gen_imp's indexed donor search against the walk over
// every candidate, in all-records mode on 8 continuous variables with a
// tenth of one variable missing.
//
//   indexed/200000, linear/200000   the same call both ways
//   indexed/1000000                 five times the records
//
// Targets: the indexed search at least 20 times faster than the walk at
// 200 000 records, and the 1 000 000 case at most 7 times the 200 000 one.
// Before anything is reported, the two searches' cells at 200 000 records
// are compared bit for bit.  The index's memory is reported as the growth of
// the process's peak resident size during the first indexed call at
// 1 000 000 records.
//
// The variables have different shapes (a uniform, a normal, a skewed
// income, whole years, a share, hours rounded to the half hour, counts and
// a price with two decimals), with weight 1, scales of 1/(max - min), the
// default squared distance, 5 tied donors and seed 1.  The program only
// reports and exits 0 whatever the figures are.
//
// Options besides Google Benchmark's own:
//   --scale=F   records multiplied by F (0 < F <= 1), for quick runs
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "imputation/gen_imp_internal.h"

namespace {

using bench_support::Generator;
using bench_support::RatioReporter;

constexpr int num_cols = 8;
constexpr double missing = -1e300;

struct DataSet {
    int n = 0;
    std::string label;
    std::vector<double> data, weights, scales;
    std::vector<int> types, ncat, codes;
    std::vector<double> cat_dist;
    std::vector<int> recs, vars;
    std::vector<double> vals;
    int n_cells = 0;
    int report[5] = {};
};

void generate(DataSet& ds, uint64_t seed)
{
    Generator g(seed);
    ds.data.resize(static_cast<std::size_t>(ds.n) * num_cols);
    for (int r = 0; r < ds.n; ++r) {
        double* row = ds.data.data() + static_cast<std::size_t>(r) * num_cols;
        row[0] = g.uniform();
        row[1] = g.normal();
        row[2] = std::round(std::exp(10.0 + 0.6 * g.normal()) / 100.0) * 100.0;
        row[3] = std::floor(18 + 70 * g.uniform());
        row[4] = g.uniform() * g.uniform();
        row[5] = std::round(80 * g.uniform()) / 2.0;
        row[6] = std::floor(-std::log(1.0 - g.uniform()) * 3.0);
        row[7] = std::round(100000 * g.uniform()) / 100.0;
        if (g.uniform() < 0.1) row[2] = missing;
    }
    ds.weights.assign(num_cols, 1.0);
    ds.scales.assign(num_cols, 1.0);
    for (int j = 0; j < num_cols; ++j) {
        double low = 1e300, high = -1e300;
        for (int r = 0; r < ds.n; ++r) {
            const double x = ds.data[static_cast<std::size_t>(r) * num_cols + j];
            if (x == missing) continue;
            low = std::min(low, x);
            high = std::max(high, x);
        }
        if (high > low) ds.scales[static_cast<std::size_t>(j)] = 1.0 / (high - low);
    }
    ds.types.assign(num_cols, 0);
    ds.ncat.assign(num_cols, 0);
    ds.codes.assign(1, 0);
    ds.cat_dist.assign(1, 0.0);
    const std::size_t room = static_cast<std::size_t>(ds.n) * num_cols;
    ds.recs.resize(room);
    ds.vars.resize(room);
    ds.vals.resize(room);
}

void impute(DataSet& ds, kest::DonorSearch search)
{
    const int pool[3] = {0, 0, 0};
    ds.n_cells = 0;
    kest::gen_imp_search(search, pool, 1, 5, 0, 1, 0.0, ds.weights.data(), ds.scales.data(), ds.types.data(),
                         ds.cat_dist.data(), ds.n, num_cols, ds.data.data(), ds.ncat.data(), ds.codes.data(), 0, missing,
                         &ds.n_cells, ds.recs.data(), ds.vars.data(), ds.vals.data(), ds.report);
}

long peak_resident_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void register_run(DataSet* ds, kest::DonorSearch search, const char* name)
{
    auto* b = benchmark::RegisterBenchmark((std::string(name) + "/" + ds->label).c_str(),
                                           [ds, search](benchmark::State& state) {
                                               for (auto _ : state) {
                                                   impute(*ds, search);
                                                   benchmark::DoNotOptimize(ds->vals.data());
                                               }
                                           });
    b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();
    b->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    double scale = 1.0;
    if (!bench_support::read_scale_only(argc, argv, "bench_donor_index", scale)) return 0;

    DataSet small, large;
    small.n = std::max(100, static_cast<int>(std::lround(200000 * scale)));
    large.n = 5 * small.n;
    small.label = std::to_string(small.n);
    large.label = std::to_string(large.n);
    generate(small, 11);
    generate(large, 12);

    // The two searches must agree before their times mean anything.
    impute(small, kest::DonorSearch::linear);
    const std::vector<double> walked(small.vals.begin(), small.vals.begin() + small.n_cells);
    impute(small, kest::DonorSearch::automatic);
    const bool same = walked.size() == static_cast<std::size_t>(small.n_cells) &&
                      std::memcmp(walked.data(), small.vals.data(), walked.size() * sizeof(double)) == 0;
    std::printf("%d cells filled at %d records; the searches %s\n", small.n_cells, small.n,
                same ? "agree bit for bit" : "DIFFER");

    const long before = peak_resident_kib();
    impute(large, kest::DonorSearch::automatic);
    const long index_kib = peak_resident_kib() - before;
    std::fflush(stdout);

    RatioReporter reporter;
    register_run(&small, kest::DonorSearch::linear, "linear");
    register_run(&small, kest::DonorSearch::automatic, "indexed");
    register_run(&large, kest::DonorSearch::automatic, "indexed");
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const auto median = [&](const std::string& name) {
        const auto it = reporter.timings.find(name);
        return it == reporter.timings.end() ? -1.0 : it->second.median_ms;
    };
    const double walk = median("linear/" + small.label);
    const double indexed_small = median("indexed/" + small.label);
    const double indexed_large = median("indexed/" + large.label);
    std::printf("\nmedians of 3 runs, real time\n");
    std::printf("linear  %8d records %10.1f ms\n", small.n, walk);
    std::printf("indexed %8d records %10.1f ms   speed-up %.1f (target >= 20)\n", small.n, indexed_small,
                walk / indexed_small);
    std::printf("indexed %8d records %10.1f ms   %.2f times the smaller case (target <= 7)\n", large.n,
                indexed_large, indexed_large / indexed_small);
    std::printf("peak resident size grew by %ld KiB during the first indexed call at %d records\n", index_kib,
                large.n);
    benchmark::Shutdown();
    return 0;
}
