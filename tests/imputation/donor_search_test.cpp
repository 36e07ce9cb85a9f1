// The indexed donor search against the walk over every candidate: on many
// random calls over every pool mode, distance type, tie limit, penalty and
// seed, both give the same cells, values and report, bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imputation/gen_imp_internal.h"

namespace {

constexpr double missing = -999.0;

struct Call {
    int pool[3] = {0, 0, 0};
    int seed = 0, tie_limit = 1, selector = 0, reuse = 1;
    double min_weight = 0.0;
    int n = 0, len = 0, d = 0;
    std::vector<double> weights, scales, cat_dist, data;
    std::vector<int> types, ncat, codes;
};

struct Result {
    int n_cells = 0;
    std::vector<int> recs, vars;
    std::vector<double> vals;
    int report[5] = {};
};

Result run(const Call& c, kest::DonorSearch search)
{
    Result r;
    const std::size_t room = static_cast<std::size_t>(c.n) * static_cast<std::size_t>(std::max(c.len, 1));
    r.recs.assign(room, -1);
    r.vars.assign(room, -1);
    r.vals.assign(room, 0.0);
    kest::gen_imp_search(search, c.pool, c.seed, c.tie_limit, c.selector, c.reuse, c.min_weight, c.weights.data(),
                         c.scales.data(), c.types.data(), c.cat_dist.data(), c.n, c.len, c.data.data(), c.ncat.data(),
                         c.codes.data(), c.d, missing, &r.n_cells, r.recs.data(), r.vars.data(), r.vals.data(),
                         r.report);
    return r;
}

// A random call.  Values come from coarse grids often enough for many
// donors to tie, and categories now and then from outside their codes.
Call random_call(std::mt19937_64& g, int n)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto chance = [&](double p) { return unit(g) < p; };
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(g); };
    Call c;
    c.n = n;
    c.len = pick(1, 7);
    c.d = 4;
    const int codes[] = {1, 2, 3, 5};
    for (int k = 0; k < c.len; ++k) {
        const bool categorical = chance(0.3);
        c.ncat.push_back(categorical ? pick(2, 4) : 0);
        c.types.push_back(categorical ? pick(0, 3) : (chance(0.1) ? 7 : pick(0, 3)));
        c.weights.push_back(chance(0.1) ? 0.0 : chance(0.5) ? 1.0 : unit(g) * 3.0);
        c.scales.push_back(chance(0.1) ? -unit(g) : chance(0.5) ? 1.0 : unit(g) * 2.0);
        for (int b = 0; b < c.d; ++b) c.codes.push_back(codes[b]);
        for (int b = 0; b < c.d * c.d; ++b) c.cat_dist.push_back(chance(0.1) ? -unit(g) : chance(0.3) ? 0.0 : unit(g));
    }
    const double grid = chance(0.5) ? 0.5 : 0.0;  // 0: any real
    for (int r = 0; r < n; ++r) {
        for (int k = 0; k < c.len; ++k) {
            double x;
            if (chance(0.12)) x = missing;
            else if (c.ncat[k] > 0) x = chance(0.03) ? 7.0 : codes[pick(0, c.ncat[k] - 1)] + (chance(0.2) ? 0.3 : 0.0);
            else x = grid > 0 ? grid * pick(-4, 6) : (unit(g) - 0.3) * 100.0;
            c.data.push_back(x);
        }
    }
    const int mode = pick(0, 2);
    if (mode == 1 && n >= 2) {
        c.pool[0] = 1;
        c.pool[1] = pick(1, n - 1);
        c.pool[2] = pick(c.pool[1] + 1, n);
    } else if (mode == 2) {
        // Class mode on a categorical variable made to hold only its codes.
        int cls = -1;
        for (int k = 0; k < c.len; ++k)
            if (c.ncat[k] >= 2) cls = k;
        if (cls >= 0) {
            c.pool[0] = -1;
            c.pool[1] = cls;
            for (int r = 0; r < n; ++r) c.data[static_cast<std::size_t>(r) * c.len + cls] = codes[pick(0, c.ncat[cls] - 1)];
        }
    }
    c.seed = chance(0.5) ? 0 : pick(1, 100000);
    c.tie_limit = chance(0.3) ? 1 : chance(0.5) ? pick(2, 5) : 1000;
    c.reuse = chance(0.5) ? 0 : 1;
    c.selector = chance(0.7) ? 0 : pick(1, c.len);
    c.min_weight = chance(0.8) ? 0.0 : unit(g) * 4.0;
    return c;
}

void expect_same(const Result& a, const Result& b, const std::string& what)
{
    ASSERT_EQ(a.n_cells, b.n_cells) << what;
    EXPECT_EQ(std::memcmp(a.report, b.report, sizeof a.report), 0) << what;
    const auto cells = static_cast<std::size_t>(a.n_cells);
    EXPECT_EQ(std::vector<int>(a.recs.begin(), a.recs.begin() + cells),
              std::vector<int>(b.recs.begin(), b.recs.begin() + cells)) << what;
    EXPECT_EQ(std::memcmp(a.vals.data(), b.vals.data(), cells * sizeof(double)), 0) << what;
}

TEST(DonorSearch, IndexedEqualsTheWalkOnRandomCalls)
{
    std::mt19937_64 g(20261208);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = trial % 10 == 0 ? 1 + static_cast<int>(g() % 3) : 2 + static_cast<int>(g() % 120);
        const Call c = random_call(g, n);
        expect_same(run(c, kest::DonorSearch::linear), run(c, kest::DonorSearch::indexed),
                    "trial " + std::to_string(trial));
        if (HasFailure()) return;
    }
}

TEST(DonorSearch, TheDefaultEqualsTheWalkOnLargePools)
{
    std::mt19937_64 g(7);
    for (int trial = 0; trial < 40; ++trial) {
        const Call c = random_call(g, 1500 + static_cast<int>(g() % 1500));
        expect_same(run(c, kest::DonorSearch::linear), run(c, kest::DonorSearch::automatic),
                    "trial " + std::to_string(trial));
        if (HasFailure()) return;
    }
}

TEST(DonorSearch, DistancesThatCouldOverflowAreWalked)
{
    // Values whose squared differences overflow: the walk's comparisons of
    // infinite distances decide, and the index stays out of the way.
    Call c;
    c.n = 6;
    c.len = 2;
    c.weights = {1.0, 1.0};
    c.scales = {1.0, 1.0};
    c.types = {0, 0};
    c.ncat = {0, 0};
    c.codes = {0};
    c.cat_dist = {0.0};
    c.data = {1e200, missing, -1e200, 1.0, 1e200, 2.0, 3e200, 3.0, -1e200, 4.0, 5.0, 5.0};
    c.tie_limit = 3;
    expect_same(run(c, kest::DonorSearch::linear), run(c, kest::DonorSearch::indexed), "overflow");
}

}  // namespace
