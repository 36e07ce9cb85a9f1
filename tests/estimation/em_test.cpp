// EM completion of a data matrix: the factorisation and solve it rests on,
// its codes in checking order and what each leaves behind, the filled values
// against independently computed bivariate results, weights, and the list of
// filled cells.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <random>
#include <limits>
#include <utility>
#include <vector>

#include "estimation/em_internal.h"
#include "kest.h"

namespace {

constexpr double M = -999.0;
constexpr int untouched = -77;
constexpr double untouched_val = -77.5;
const double nan = std::numeric_limits<double>::quiet_NaN();

struct EmCall {
    int n, p;
    std::vector<int> include;
    std::vector<double> data;
    std::vector<double> weights;  // empty: no weights
    double tol = 1e-13;
    int maxit = 5000;
    int n_cells = untouched;
    std::vector<int> recs, cols;
    std::vector<double> vals;
    int error[2] = {0, 0};

    EmCall(int records, int variables, std::vector<double> values)
        : n(records), p(variables), include(variables, 1), data(std::move(values))
    {
        recs.assign(data.size() + 1, untouched);
        cols.assign(data.size() + 1, untouched);
        vals.assign(data.size() + 1, untouched_val);
    }
    double& at(int i, int j) { return data[static_cast<std::size_t>(i * p + j)]; }
    void run()
    {  // the list arrays get one spare entry that must stay untouched
        em(n, p, include.data(), data.data(), M, tol, maxit, weights.empty() ? nullptr : weights.data(), &n_cells,
           recs.data(), cols.data(), vals.data(), error);
    }
    bool lists_untouched() const
    {
        for (std::size_t q = 0; q < recs.size(); ++q)
            if (recs[q] != untouched || cols[q] != untouched || vals[q] != untouched_val) return false;
        return true;
    }
};

// The list holds exactly the given (record, column) cells with their
// current values in the data matrix, and the spare entry is untouched.
void expect_cells(EmCall& call, const std::vector<std::pair<int, int>>& cells)
{
    ASSERT_EQ(call.n_cells, static_cast<int>(cells.size()));
    for (std::size_t q = 0; q < cells.size(); ++q) {
        EXPECT_EQ(call.recs[q], cells[q].first) << q;
        EXPECT_EQ(call.cols[q], cells[q].second) << q;
        EXPECT_EQ(call.vals[q], call.at(cells[q].first, cells[q].second)) << q;
    }
    EXPECT_EQ(call.recs[cells.size()], untouched);
    EXPECT_EQ(call.vals[cells.size()], untouched_val);
}

std::vector<double> interleave(const std::vector<double>& x, const std::vector<double>& y)
{
    std::vector<double> out;
    for (std::size_t i = 0; i < x.size(); ++i) {
        out.push_back(std::isnan(x[i]) ? M : x[i]);
        out.push_back(std::isnan(y[i]) ? M : y[i]);
    }
    return out;
}

// The bivariate iteration written out directly (NaN marks a missing value):
// mean fill, then per pass each record's missing value is regressed on its
// observed one with the previous pass's moments, and the means and
// covariance (divisor n) are formed from the completed columns by two-pass sums.
std::pair<std::vector<double>, std::vector<double>> bivariate_passes(const std::vector<double>& x0,
                                                                     const std::vector<double>& y0, int passes)
{
    const std::size_t n = x0.size();
    auto mean_of = [](const std::vector<double>& v) {
        double s = 0;
        int c = 0;
        for (double e : v)
            if (!std::isnan(e)) s += e, ++c;
        return s / c;
    };
    double mx = mean_of(x0), my = mean_of(y0);
    std::vector<double> x = x0, y = y0;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(x[i])) x[i] = mx;
        if (std::isnan(y[i])) y[i] = my;
    }
    for (int pass = 0; pass < passes; ++pass) {
        double sxx = 0, syy = 0, sxy = 0;
        for (std::size_t i = 0; i < n; ++i)
            sxx += (x[i] - mx) * (x[i] - mx), syy += (y[i] - my) * (y[i] - my), sxy += (x[i] - mx) * (y[i] - my);
        for (std::size_t i = 0; i < n; ++i) {
            const bool xm = std::isnan(x0[i]), ym = std::isnan(y0[i]);
            if (xm && ym) x[i] = mx, y[i] = my;
            else if (ym) y[i] = my + (x[i] - mx) * sxy / sxx;
            else if (xm) x[i] = mx + (y[i] - my) * sxy / syy;
        }
        mx = mean_of(x);
        my = mean_of(y);
    }
    return {x, y};
}

// ---------------------------------------------------------------------------
// Factorisation and solve

TEST(EmFactor, FactorAndSolveAgainstKnownFactor)
{
    // A = L*L^T with L = [[2,0,0],[1,3,0],[-1,2,4]], stored with stride 4.
    const double L[3][3] = {{2, 0, 0}, {1, 3, 0}, {-1, 2, 4}};
    std::vector<double> a(12, 0.0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int l = 0; l < 3; ++l) a[i * 4 + j] += L[i][l] * L[j][l];
    const std::vector<double> original = a;
    std::vector<double> inv(3, 0.0);
    const kest::FactorResult r = kest::cholesky_factor(3, a.data(), 4, inv.data());
    ASSERT_EQ(r.code, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_DOUBLE_EQ(inv[i], 1.0 / L[i][i]);
        for (int j = 0; j <= i; ++j) EXPECT_DOUBLE_EQ(a[i * 4 + j], L[i][j]) << i << "," << j;
        for (int j = i + 1; j < 4; ++j) EXPECT_EQ(a[i * 4 + j], original[i * 4 + j]);  // upper part kept
    }
    // Right-hand side B = A*X for a known X (3 by 2, stride 2).
    const double X[3][2] = {{1, -2}, {0.5, 3}, {-4, 0.25}};
    std::vector<double> b(6, 0.0), x(6, 0.0);
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 2; ++c)
            for (int l = 0; l < 3; ++l) b[i * 2 + c] += original[i * 4 + l] * X[l][c];
    kest::cholesky_solve(3, 2, a.data(), 4, inv.data(), b.data(), 2, x.data(), 2);
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 2; ++c) EXPECT_NEAR(x[i * 2 + c], X[i][c], 1e-13);
    kest::cholesky_solve(3, 2, a.data(), 4, inv.data(), b.data(), 2, b.data(), 2);  // in place
    EXPECT_EQ(b, x);
}

TEST(EmFactor, CodesInOrder)
{
    std::vector<double> a = {4, 2, 2, 1}, inv(2, 0.0);  // singular: second pivot 0
    struct Row { int m, lda, code, detail; } rows[] = {{0, 0, 1, 0}, {-2, 5, 1, -2}, {2, 1, 3, 1}, {2, 2, 2, 2}};
    for (const Row& row : rows) {
        std::vector<double> work = a;
        const kest::FactorResult r = kest::cholesky_factor(row.m, work.data(), row.lda, inv.data());
        EXPECT_EQ(r.code, row.code) << row.m << " " << row.lda;
        EXPECT_EQ(r.detail, row.detail) << row.m << " " << row.lda;
    }
    std::vector<double> negative = {-1.0};
    EXPECT_EQ(kest::cholesky_factor(1, negative.data(), 1, inv.data()).code, 2);
    std::vector<double> not_a_number = {1.0, 0.0, 0.0, nan};
    const kest::FactorResult r = kest::cholesky_factor(2, not_a_number.data(), 2, inv.data());
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.detail, 2);
}

// ---------------------------------------------------------------------------
// Entry rule and codes in checking order

TEST(EmCodes, TableInCheckingOrder)
{
    struct Row {
        const char* what;
        int entry, n, p, maxit;
        double tol;
        std::vector<double> weights;
        int code, detail;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {"positive code on entry: nothing", 7, 1, 0, 0, 0.0, {}, 7, 8},
        {"n and p bad", -1, 1, 0, 0, 0.0, {}, 1, 1},
        {"n negative", -1, -3, 2, 1, 1e-6, {}, 1, -3},
        {"p and maxit bad", -1, 3, 0, 0, 0.0, {}, 2, 0},
        {"maxit and tol bad", -1, 3, 2, 0, 0.0, {}, 6, 0},
        {"maxit negative", -1, 3, 2, -4, 1e-6, {}, 6, -4},
        {"tol too small, weight bad", -1, 3, 2, 1, 1e-17, {-1, 1, 1}, 5, 0},
        {"tol NaN", -1, 3, 2, 1, nan, {}, 5, 0},
        {"negative weight", -1, 3, 2, 1, 1e-16, {1, 1, -0.5}, 9, 2},
        {"NaN weight before negative", -1, 3, 2, 1, 1e-6, {1, nan, -1}, 9, 1},
        {"infinite weight", -1, 3, 2, 1, 1e-6, {inf, 1, 1}, 9, 0},
        {"weights sum to 0", -1, 3, 2, 1, 1e-6, {0, 0, 0}, 9, -1},
        {"weight sum overflows", -1, 3, 2, 1, 1e-6, {1e308, 1e308, 0}, 9, -1},
    };
    for (const Row& row : rows) {
        EmCall call(3, 2, {1, M, 2, 3, M, 5});
        const std::vector<double> before = call.data;
        call.n = row.n;
        call.p = row.p;
        call.maxit = row.maxit;
        call.tol = row.tol;
        call.weights = row.weights;
        call.error[0] = row.entry;  // a warning on entry is cleared
        call.error[1] = 8;
        call.run();
        EXPECT_EQ(call.error[0], row.code) << row.what;
        EXPECT_EQ(call.error[1], row.detail) << row.what;
        EXPECT_EQ(call.data, before) << row.what;
        EXPECT_EQ(call.n_cells, untouched) << row.what;
        EXPECT_TRUE(call.lists_untouched()) << row.what;
    }
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(EmCodes, StorageThatCannotBeObtainedIs99With1)
{
    const int p = 1 << 20;  // p by p blocks far beyond any memory
    EmCall call(2, p, std::vector<double>(2u * p, 1.0));
    call.at(0, 0) = M;
    const std::vector<double> before = call.data;
    call.run();
    EXPECT_EQ(call.error[0], KEST_ERR_NO_MEMORY);
    EXPECT_EQ(call.error[1], 1);
    EXPECT_EQ(call.data, before);
}
#endif

// Data conditions found before anything is changed: a variable with no
// observed cell to start from (22, its column), and nothing to fill (20, 1,
// count 0).  Neither touches the data or the lists.
TEST(EmCodes, DataConditionsThatChangeNothing)
{
    struct Case {
        const char* what;
        int n, p;
        std::vector<double> data;
        std::vector<int> include;
        std::vector<double> weights;
        int code, detail, n_cells;
    } cases[] = {
        {"column 1 all missing", 3, 3, {1, M, 7, 2, M, 8, 4, M, 9}, {1, 1, 1}, {}, 22, 1, untouched},
        {"observed only at weight 0", 3, 2, {1, 5, 2, M, 3, M}, {1, 1}, {0, 1, 1}, 22, 1, untouched},
        {"nothing missing", 3, 2, {1, 2, 3, 4, 5, 6}, {1, 1}, {}, 20, 1, 0},
        {"missing only at weight 0", 3, 2, {1, M, 3, 4, 5, 6}, {1, 1}, {0, 1, 1}, 20, 1, 0},
        {"empty excluded column", 3, 2, {1, M, 3, M, 5, M}, {1, 0}, {}, 20, 1, 0},
        {"no variable included", 3, 2, {M, M, M, M, M, M}, {0, -1}, {}, 20, 1, 0},
    };
    for (const Case& c : cases) {
        EmCall call(c.n, c.p, c.data);
        call.include = c.include;
        call.weights = c.weights;
        call.run();
        EXPECT_EQ(call.error[0], c.code) << c.what;
        EXPECT_EQ(call.error[1], c.detail) << c.what;
        EXPECT_EQ(call.n_cells, c.n_cells) << c.what;
        EXPECT_EQ(call.data, c.data) << c.what;
        EXPECT_TRUE(call.lists_untouched()) << c.what;
    }
}

TEST(EmCodes, NotPositiveDefiniteIs20With2AndStillListsChangedCells)
{
    // y is constant where observed, so its variance is 0.  Record 0 (y
    // missing) is regressed on x; record 1 (x missing, y observed) fails.
    EmCall call(4, 2, {1, M, M, 5, 3, 5, 6, 5});
    const std::vector<double> before = call.data;
    call.run();
    EXPECT_EQ(call.error[0], 20);
    EXPECT_EQ(call.error[1], 2);
    expect_cells(call, {{0, 1}, {1, 0}});
    EXPECT_DOUBLE_EQ(call.vals[0], 5.0);                // regression with slope 0
    EXPECT_DOUBLE_EQ(call.vals[1], (1.0 + 3 + 6) / 3);  // still the starting mean
    for (int q = 0; q < call.n_cells; ++q) call.at(call.recs[q], call.cols[q]) = M;
    EXPECT_EQ(call.data, before);  // the list is enough to restore the data
}

// ---------------------------------------------------------------------------
// Filled values against the bivariate iteration and its fixed point

const std::vector<double> bx = {1, 2, 3, 4};
const std::vector<double> by = {2, nan, 5, nan};

TEST(EmValues, EachPassRegressesOnThePreviousMoments)
{
    // Pass 1: means 2.5 and 3.5, covariance 1.25 and 0.75, slope 0.6.
    // Pass 2: means 2.5 and 3.65, slope 0.9.  A huge tol stops after pass 1;
    // maxit 1 with a tiny tol runs a second pass and reports (40, 1).
    struct Row { double tol; int passes, code; double y1, y3; } rows[] = {{1e300, 1, 0, 3.2, 4.4},
                                                                           {1e-16, 2, 40, 3.2, 5.0}};
    for (const Row& row : rows) {
        EmCall call(4, 2, interleave(bx, by));
        call.tol = row.tol;
        call.maxit = 1;
        call.run();
        EXPECT_EQ(call.error[0], row.code);
        EXPECT_EQ(call.error[1], row.code == 0 ? 0 : 1);
        expect_cells(call, {{1, 1}, {3, 1}});
        EXPECT_NEAR(call.vals[0], row.y1, 1e-13);
        EXPECT_NEAR(call.vals[1], row.y3, 1e-13);
        const auto ref = bivariate_passes(bx, by, row.passes);
        EXPECT_NEAR(call.vals[1], ref.second[3], 1e-13);
    }
}

TEST(EmValues, MonotonePatternConvergesToCompleteCaseRegression)
{
    // With x always observed the fixed point fills y by the least-squares
    // line of the complete records: y = ybar_c + beta*(x - xbar_c).
    const std::vector<double> x = {1.0, 2.5, 3.0, 4.5, 5.0, 6.0, 7.5, 9.0};
    const std::vector<double> y = {1.2, nan, 2.9, nan, 4.1, 6.3, nan, 7.7};
    double sx = 0, sy = 0, c = 0;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!std::isnan(y[i])) sx += x[i], sy += y[i], ++c;
    const double xbar = sx / c, ybar = sy / c;
    double sxy = 0, sxx = 0;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (!std::isnan(y[i])) sxy += (x[i] - xbar) * (y[i] - ybar), sxx += (x[i] - xbar) * (x[i] - xbar);
    const double beta = sxy / sxx;

    EmCall call(8, 2, interleave(x, y));
    call.tol = 1e-14;
    call.maxit = INT_MAX;  // the pass counter must not overflow
    call.run();
    EXPECT_EQ(call.error[0], 0);
    expect_cells(call, {{1, 1}, {3, 1}, {6, 1}});
    const int missing[] = {1, 3, 6};
    for (int q = 0; q < 3; ++q) EXPECT_NEAR(call.vals[q], ybar + beta * (x[missing[q]] - xbar), 1e-10);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(call.at(i, 0), x[i]);
}

TEST(EmValues, BothVariablesMissingFollowsTheIteration)
{
    const std::vector<double> x = {1.0, nan, 3.0, 4.0, nan, 6.0, 2.0, 8.0, 5.5};
    const std::vector<double> y = {2.0, 3.5, nan, 5.0, nan, 7.5, 2.5, nan, 6.0};
    for (int passes : {3, 5}) {  // maxit passes - 1 with a tiny tol: (40, maxit)
        EmCall call(9, 2, interleave(x, y));
        call.tol = 1e-16;
        call.maxit = passes - 1;
        call.run();
        EXPECT_EQ(call.error[0], 40);
        const auto ref = bivariate_passes(x, y, passes);
        for (int i = 0; i < 9; ++i) {
            EXPECT_NEAR(call.at(i, 0), ref.first[i], 1e-12) << passes << " " << i;
            EXPECT_NEAR(call.at(i, 1), ref.second[i], 1e-12) << passes << " " << i;
        }
    }
    EmCall call(9, 2, interleave(x, y));
    call.run();
    EXPECT_EQ(call.error[0], 21);  // record 4 has nothing observed
    EXPECT_EQ(call.error[1], 1);
    const auto ref = bivariate_passes(x, y, 3000);
    expect_cells(call, {{1, 0}, {2, 1}, {4, 0}, {4, 1}, {7, 1}});
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(call.at(i, 0), ref.first[i], 1e-9) << i;
        EXPECT_NEAR(call.at(i, 1), ref.second[i], 1e-9) << i;
    }
}

TEST(EmValues, ChangeEqualToTolIsConverged)
{
    // Weights 1,1,2,4 keep every step exact: the mean of y moves from 1 to
    // 7/8 in the first pass (filled value 3/4).
    for (const auto& [tol, code] : {std::pair{0.125, 0}, std::pair{std::nextafter(0.125, 0.0), 40}}) {
        EmCall call(4, 2, {0, 0, 2, 0, 3, 2, 1, M});
        call.weights = {1, 1, 2, 4};
        call.tol = tol;
        call.maxit = 1;
        call.run();
        EXPECT_EQ(call.error[0], code);
        if (code == 0) {
            EXPECT_EQ(call.at(3, 1), 0.75);
        }
    }
}

TEST(EmValues, SingleIncludedVariableGetsMeansWith21AndExcludedColumnKept)
{
    EmCall call(5, 3, {1, M, M, M, 7, 2, 4, M, M, M, M, 1, 8, 9, 3});
    call.include = {0, 1, -2};
    call.run();
    EXPECT_EQ(call.error[0], 21);
    EXPECT_EQ(call.error[1], 3);
    expect_cells(call, {{0, 1}, {2, 1}, {3, 1}});
    for (int q = 0; q < 3; ++q) EXPECT_DOUBLE_EQ(call.vals[q], 8.0);
    EXPECT_EQ(call.at(0, 2), M);  // excluded columns are neither read nor changed
    EXPECT_EQ(call.at(2, 2), M);
    EXPECT_EQ(call.at(3, 0), M);
}

// ---------------------------------------------------------------------------
// Weights

TEST(EmWeights, IntegerWeightsEqualRepeatedRecords)
{
    const std::vector<double> rows = {1, 2, M, 2, M, 1, 3, 4, 2, M, 5, 3, 5, 7, M, 6, 6, 4, 7, 9, 5};
    const std::vector<double> weights = {2, 1, 3, 1, 2, 1, 1};
    EmCall weighted(7, 3, rows);
    weighted.weights = weights;
    weighted.run();
    std::vector<double> repeated;
    std::vector<int> first;  // position of each record's first copy
    for (int i = 0; i < 7; ++i) {
        first.push_back(static_cast<int>(repeated.size() / 3));
        for (int r = 0; r < weights[i]; ++r) repeated.insert(repeated.end(), rows.begin() + 3 * i, rows.begin() + 3 * i + 3);
    }
    EmCall plain(static_cast<int>(repeated.size() / 3), 3, repeated);
    plain.run();
    EXPECT_EQ(weighted.error[0], 0);
    EXPECT_EQ(plain.error[0], 0);
    ASSERT_EQ(weighted.n_cells, 4);
    for (int q = 0; q < weighted.n_cells; ++q) {
        const int i = weighted.recs[q], j = weighted.cols[q];
        EXPECT_NEAR(weighted.vals[q], plain.at(first[i], j), 1e-9) << i << "," << j;
    }
}

TEST(EmWeights, ZeroWeightRecordIsListedWithStartingMeanAndInfluencesNothing)
{
    const std::vector<double> base = {1, 2, 2, M, 3, 4, 5, 5, 6, 7, 7, M};
    EmCall without(6, 2, base);
    without.weights = {1, 2, 1, 1, 3, 1};
    without.run();
    std::vector<double> with_extra = base;
    with_extra.insert(with_extra.begin() + 4, {100, M});  // becomes record 2, weight 0
    EmCall with(7, 2, with_extra);
    with.weights = {1, 2, 0, 1, 1, 3, 1};
    with.run();
    EXPECT_EQ(without.error[0], 0);
    EXPECT_EQ(with.error[0], 0);
    expect_cells(with, {{1, 1}, {2, 1}, {6, 1}});
    const double start = (2 + 4 + 5 + 3 * 7) / 6.0;  // weighted mean of y where observed
    EXPECT_DOUBLE_EQ(with.vals[1], start);
    EXPECT_DOUBLE_EQ(with.vals[0], without.vals[0]);
    EXPECT_DOUBLE_EQ(with.vals[2], without.vals[1]);
}

// Runs EM with and without sharing the coefficients of a missing pattern
// and expects the same bits everywhere: data, list, count and codes.
int expect_sharing_changes_nothing(int n, int p, std::vector<double> data, const std::vector<double>& weights)
{
    const std::vector<int> include(static_cast<std::size_t>(p), 1);
    struct Outcome {
        std::vector<double> data, vals;
        std::vector<int> recs, cols;
        int n_cells = -1;
        int error[2] = {0, 0};
    } shared, single;
    for (Outcome* o : {&shared, &single}) {
        o->data = data;
        o->vals.assign(data.size(), 0.0);
        o->recs.assign(data.size(), 0);
        o->cols.assign(data.size(), 0);
        kest::em_sharing(o == &shared, n, p, include.data(), o->data.data(), M, 1e-9, 1000,
                         weights.empty() ? nullptr : weights.data(), &o->n_cells, o->recs.data(), o->cols.data(),
                         o->vals.data(), o->error);
    }
    EXPECT_EQ(shared.error[0], single.error[0]);
    EXPECT_EQ(shared.error[1], single.error[1]);
    EXPECT_EQ(shared.n_cells, single.n_cells);
    EXPECT_EQ(std::memcmp(shared.data.data(), single.data.data(), data.size() * sizeof(double)), 0);
    EXPECT_EQ(std::memcmp(shared.vals.data(), single.vals.data(), data.size() * sizeof(double)), 0);
    EXPECT_EQ(shared.recs, single.recs);
    EXPECT_EQ(shared.cols, single.cols);
    return shared.error[0] * 1000 + shared.error[1];
}

TEST(EmSharing, RecordsOfOnePatternShareCoefficientsWithoutChangingABit)
{
    std::mt19937 gen(17);
    std::normal_distribution<double> z(0.0, 1.0);
    constexpr int n = 600, p = 6;
    std::vector<double> data;
    for (int i = 0; i < n; ++i) {
        const double common = z(gen);
        for (int j = 0; j < p; ++j) {
            const double x = 10.0 * j + common * (j + 1) + z(gen);
            data.push_back(gen() % 4 == 0 ? M : x);
        }
    }
    EXPECT_EQ(expect_sharing_changes_nothing(n, p, data, {}), 0);
    std::vector<double> weights;
    for (int i = 0; i < n; ++i) weights.push_back(i % 7 == 0 ? 0.0 : 0.5 + (gen() % 100) / 50.0);
    EXPECT_EQ(expect_sharing_changes_nothing(n, p, data, weights), 0);

    // A constant variable stops the passes part-way with (20, 2); both ways
    // stop at the same record with the same cells changed.
    for (int i = 0; i < n; ++i)
        if (data[static_cast<std::size_t>(i * p + 2)] != M) data[static_cast<std::size_t>(i * p + 2)] = 3.0;
    EXPECT_EQ(expect_sharing_changes_nothing(n, p, data, {}), 20002);
}

TEST(EmCodes, NullArraysAreRefusedWithTheirArgumentNumber)
{
    EmCall call(3, 2, {1, 2, M, 4, 5, 7});
    for (int argument : {3, 4, 9, 10, 11, 12}) {
        int error[2] = {0, 0};
        em(3, 2, argument == 3 ? nullptr : call.include.data(), argument == 4 ? nullptr : call.data.data(), M, 1e-10,
           50, nullptr, argument == 9 ? nullptr : &call.n_cells, argument == 10 ? nullptr : call.recs.data(),
           argument == 11 ? nullptr : call.cols.data(), argument == 12 ? nullptr : call.vals.data(), error);
        EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(error[1], argument);
    }
    EXPECT_EQ(call.at(1, 0), M);
    EXPECT_TRUE(call.lists_untouched());
    em(3, 2, call.include.data(), call.data.data(), M, 1e-10, 50, nullptr, &call.n_cells, call.recs.data(),
       call.cols.data(), call.vals.data(), nullptr);
    EXPECT_EQ(call.at(1, 0), M);
}

}  // namespace
