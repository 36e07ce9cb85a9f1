// BACON outlier detection: its building blocks against hand-worked and
// two-pass values, its codes in checking order, the final subset checked as
// a fixed point of the method with the exact chi-square quantile of two
// degrees of freedom, missing cells in every start mode, weights, and the
// data matrix unchanged on every way out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "estimation/bacon_internal.h"
#include "kest.h"

namespace {

constexpr double M = -999.0;
const double nan = std::numeric_limits<double>::quiet_NaN();

// Bivariate normal records with correlation 0.6 around (50, 20), drawn with
// Box-Muller from a fixed Mersenne Twister so the data are the same
// everywhere.
std::vector<double> normal_records(int n, unsigned seed)
{
    std::mt19937 gen(seed);
    const auto uniform = [&gen] { return (static_cast<double>(gen()) + 0.5) / 4294967296.0; };
    std::vector<double> data;
    for (int i = 0; i < n; ++i) {
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        const double t = 2.0 * std::numbers::pi * uniform();
        const double z1 = r * std::cos(t);
        const double z2 = r * std::sin(t);
        data.push_back(50.0 + 10.0 * z1);
        data.push_back(20.0 + 4.0 * (0.6 * z1 + 0.8 * z2));
    }
    return data;
}

std::vector<double> with_planted_outliers()
{
    std::vector<double> data = normal_records(300, 11);
    // Far from the cloud, though not in either coordinate alone for the
    // last: it breaks the correlation.
    const double planted[][2] = {{150, 60}, {-40, -20}, {52, 60}, {90, 4}, {10, 36}};
    for (int q = 0; q < 5; ++q) {
        data[static_cast<std::size_t>(2 * (q * 60 + 7))] = planted[q][0];
        data[static_cast<std::size_t>(2 * (q * 60 + 7) + 1)] = planted[q][1];
    }
    return data;
}

struct BaconCall {
    int n, p;
    std::vector<int> include;
    std::vector<double> data;
    std::vector<double> weights;  // empty: no weights
    int c = 4;
    double alpha = 0.05;
    int start = 1;
    std::vector<double> member;
    int error[2] = {-5, -5};

    BaconCall(int variables, std::vector<double> values)
        : n(static_cast<int>(values.size()) / variables), p(variables), include(variables, 1), data(std::move(values)),
          member(static_cast<std::size_t>(n), -7.0)
    {
    }
    double& at(int i, int j) { return data[static_cast<std::size_t>(i * p + j)]; }
    void run()
    {
        bacon(n, p, include.data(), data.data(), M, c, alpha, start, member.data(),
              weights.empty() ? nullptr : weights.data(), error);
    }
    std::vector<int> outside() const
    {
        std::vector<int> records;
        for (int i = 0; i < n; ++i)
            if (member[static_cast<std::size_t>(i)] == 0.0) records.push_back(i);
        return records;
    }
};

// Bytes of a double array, so that a restored missing cell must be the very
// missing code and not merely compare equal.
bool same_bits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

TEST(BaconParts, PackedFactorOfAWorkedMatrix)
{
    // [[4, 2, 2], [2, 10, 7], [2, 7, 21]] = L L^T with L = [[2], [1, 3], [1, 2, 4]].
    double packed[] = {4, 2, 10, 2, 7, 21};
    const kest::FactorResult r = kest::packed_factor(3, packed);
    ASSERT_EQ(r.code, 0);
    const double expected[] = {2, 1, 3, 1, 2, 4};
    for (int e = 0; e < 6; ++e) EXPECT_DOUBLE_EQ(packed[e], expected[e]) << e;

    // L y = (2, 7, 13) gives y = (1, 2, 2).
    double y[] = {2, 7, 13};
    kest::packed_forward(3, packed, y);
    EXPECT_DOUBLE_EQ(y[0], 1.0);
    EXPECT_DOUBLE_EQ(y[1], 2.0);
    EXPECT_DOUBLE_EQ(y[2], 2.0);
}

TEST(BaconParts, PackedFactorCodes)
{
    double one[] = {1.0};
    EXPECT_EQ(kest::packed_factor(0, one).code, 1);
    EXPECT_EQ(kest::packed_factor(-3, one).detail, -3);
    double first_zero[] = {0.0, 1.0, 1.0};
    EXPECT_EQ(kest::packed_factor(2, first_zero).code, 2);
    EXPECT_EQ(kest::packed_factor(2, first_zero).detail, 1);
    double singular[] = {1.0, 2.0, 4.0, 0.0, 0.0, 1.0};  // rows 1 and 2 proportional
    const kest::FactorResult r = kest::packed_factor(3, singular);
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.detail, 2);
    double not_a_number[] = {1.0, 0.0, nan};
    EXPECT_EQ(kest::packed_factor(2, not_a_number).detail, 2);
}

TEST(BaconParts, WeightedScatterAgainstTwoPassSums)
{
    // Three columns, the middle one left out; weights with a zero.
    const std::vector<double> data = {1, 99, 2, 4, 99, 1, 2, 99, 7, 8, 99, 3, 5, 99, 5};
    const std::vector<double> weights = {1.5, 0.0, 2.0, 0.5, 1.0};
    const int include[] = {1, 0, 1};
    double means[2], packed[3];
    const kest::ScatterResult r = kest::weighted_scatter(5, 3, include, data.data(), weights.data(), means, packed);
    ASSERT_EQ(r.code, 0);
    double total = 0, m0 = 0, m1 = 0;
    for (int i = 0; i < 5; ++i) {
        total += weights[i];
        m0 += weights[i] * data[i * 3];
        m1 += weights[i] * data[i * 3 + 2];
    }
    m0 /= total;
    m1 /= total;
    double s00 = 0, s10 = 0, s11 = 0;
    for (int i = 0; i < 5; ++i) {
        const double d0 = data[i * 3] - m0, d1 = data[i * 3 + 2] - m1;
        s00 += weights[i] * d0 * d0;
        s10 += weights[i] * d1 * d0;
        s11 += weights[i] * d1 * d1;
    }
    EXPECT_DOUBLE_EQ(r.total, 5.0);
    EXPECT_NEAR(means[0], m0, 1e-14);
    EXPECT_NEAR(means[1], m1, 1e-14);
    EXPECT_NEAR(packed[0], s00, 1e-12);
    EXPECT_NEAR(packed[1], s10, 1e-12);
    EXPECT_NEAR(packed[2], s11, 1e-12);

    const int none[] = {0, 0, 0};
    EXPECT_EQ(kest::weighted_scatter(5, 3, none, data.data(), nullptr, means, packed).code, 3);
    EXPECT_EQ(kest::weighted_scatter(5, 0, include, data.data(), nullptr, means, packed).code, 2);
    EXPECT_EQ(kest::weighted_scatter(2, 3, include, data.data(), nullptr, means, packed).code, 1);
    const std::vector<double> zero(5, 0.0);
    EXPECT_EQ(kest::weighted_scatter(5, 3, include, data.data(), zero.data(), means, packed).code, 5);
}

TEST(BaconParts, WeightedMedianWithEqualWeightsIsThePlainMedian)
{
    const std::vector<double> even = {1, 2, 3, 10};
    const std::vector<double> odd = {1, 2, 3, 10, 11};
    const std::vector<int32_t> records = {0, 1, 2, 3, 4};
    EXPECT_EQ(kest::weighted_median(even, std::span(records).first(4), nullptr), 2.5);
    EXPECT_EQ(kest::weighted_median(odd, records, nullptr), 3.0);
    for (double w : {1.0, 0.1, 3.7, 1e-300}) {
        const std::vector<double> weights(5, w);
        EXPECT_EQ(kest::weighted_median(even, std::span(records).first(4), weights.data()), 2.5) << w;
        EXPECT_EQ(kest::weighted_median(odd, records, weights.data()), 3.0) << w;
    }
    // Ten values of weight 0.1, whose running sum is not exact.
    std::vector<double> ten;
    std::vector<int32_t> ten_records;
    for (int i = 0; i < 10; ++i) {
        ten.push_back(i);
        ten_records.push_back(i);
    }
    const std::vector<double> tenths(10, 0.1);
    EXPECT_EQ(kest::weighted_median(ten, ten_records, tenths.data()), 4.5);
    // A heavy value draws the median to it; zero weights are passed over.
    const std::vector<double> heavy = {1, 1, 5, 1, 1};
    EXPECT_EQ(kest::weighted_median(odd, records, heavy.data()), 3.0);
    const std::vector<double> skewed = {0, 1, 1, 0, 1};  // 2, 3, 11 remain
    EXPECT_EQ(kest::weighted_median(odd, records, skewed.data()), 3.0);
    const std::vector<double> split = {1, 0, 1, 0, 0};  // 1 and 3 remain: halfway
    EXPECT_EQ(kest::weighted_median(odd, records, split.data()), 2.0);
    EXPECT_EQ(kest::weighted_median({}, {}, nullptr), 0.0);
}

TEST(Bacon, CodesInCheckingOrder)
{
    std::vector<double> data = normal_records(40, 3);
    const std::vector<double> original = data;
    struct Case {
        int n, p, c;
        double alpha;
        int weight_at;  // -1: no weights; else that weight is made bad
        double bad_weight;
        int code, detail;
    };
    const Case cases[] = {
        {40, 0, 0, nan, -1, 0, 2, 0},     {2, 2, 0, nan, -1, 0, 1, 2},      {40, 2, 0, nan, -1, 0, 4, 0},
        {40, 2, 1, 0.0, -1, 0, 5, 0},     {40, 2, 1, 1.0, -1, 0, 5, 0},     {40, 2, 1, nan, -1, 0, 5, 0},
        {40, 2, 1, 0.05, 7, -1.0, 9, 0},  {40, 2, 1, 0.05, 0, nan, 9, 0},   {40, 2, 1, 0.05, 39, INFINITY, 9, 0},
        {40, -1, 0, 2.0, 3, -1.0, 2, -1},
    };
    for (const Case& k : cases) {
        std::vector<double> weights(40, 1.0);
        if (k.weight_at >= 0) weights[static_cast<std::size_t>(k.weight_at)] = k.bad_weight;
        const int include[] = {1, 1};
        std::vector<double> member(40, -7.0);
        int error[2] = {-5, -5};
        bacon(k.n, k.p, include, data.data(), M, k.c, k.alpha, 1, member.data(),
              k.weight_at >= 0 ? weights.data() : nullptr, error);
        EXPECT_EQ(error[0], k.code) << k.n << " " << k.p << " " << k.c << " " << k.alpha;
        EXPECT_EQ(error[1], k.detail);
    }
    EXPECT_TRUE(same_bits(data, original));

    BaconCall none(2, original);
    none.include = {0, -1};
    none.run();
    EXPECT_EQ(none.error[0], 3);
    EXPECT_EQ(none.error[1], 0);
}

TEST(Bacon, StartingSubsetTooLargeOrTooFewForTheCutoff)
{
    // c*k equal to the usable count w.
    BaconCall start_two(2, normal_records(10, 5));
    start_two.c = 5;
    start_two.start = 2;
    start_two.run();
    EXPECT_EQ(start_two.error[0], 11);
    EXPECT_EQ(start_two.error[1], 10);
    BaconCall start_one(2, normal_records(10, 5));
    start_one.c = 5;
    start_one.run();
    EXPECT_EQ(start_one.error[0], 11);
    EXPECT_EQ(start_one.error[1], 2);

    // w = 5, k = 2, h = 4: w - h - k = -1 leaves no correction term.
    BaconCall few(2, normal_records(5, 5));
    few.c = 1;
    few.run();
    EXPECT_EQ(few.error[0], 12);
    EXPECT_EQ(few.error[1], 5);

    // With start 1 three missing cells of two variables take two records
    // from the usable count: w = 6, h = 4, w - h - k = 0.
    BaconCall after_em(2, normal_records(8, 6));
    after_em.at(1, 0) = after_em.at(4, 1) = after_em.at(6, 0) = M;
    after_em.c = 1;
    after_em.run();
    EXPECT_EQ(after_em.error[0], 12);
    EXPECT_EQ(after_em.error[1], 6);
}

TEST(Bacon, StartModeOneServesASurveyWithAFifthOfTheCellsMissing)
{
    // Five variables with a fifth of the cells missing: about as many
    // missing cells as records, and a usable count of about 400 of 500.
    constexpr int n = 500, p = 5;
    std::mt19937 gen(8);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> data;
    int cells = 0;
    for (int i = 0; i < n; ++i) {
        const double common = z(gen);
        for (int j = 0; j < p; ++j) {
            double x = 20.0 * (j + 1) + 5.0 * common + 2.0 * z(gen);
            if (i % 100 == 7 && j == 1) x += 40.0;  // planted, the record kept complete
            const bool missing = i % 100 != 7 && gen() % 5 == 0;
            data.push_back(missing ? M : x);
            cells += missing ? 1 : 0;
        }
    }
    // Taken one record per cell, the missing cells would leave fewer usable
    // records than the starting subset's c*k = 20.
    ASSERT_GT(cells, n - 20);
    BaconCall call(p, data);
    call.run();
    ASSERT_EQ(call.error[0], 0) << call.error[1];
    EXPECT_TRUE(same_bits(call.data, data));
    for (int q = 0; q < 5; ++q) EXPECT_EQ(call.member[static_cast<std::size_t>(q * 100 + 7)], 0.0) << q;
    int members = 0;
    for (double v : call.member) members += v == 1.0 ? 1 : 0;
    EXPECT_GT(members, 400);
}

// Squared Mahalanobis distances of all records from the mean and
// covariance of the members, formed in two passes with the explicit inverse
// of the 2 by 2 covariance.
std::vector<double> distances_from_members(const BaconCall& call, bool weighted)
{
    double total = 0, m0 = 0, m1 = 0;
    for (int i = 0; i < call.n; ++i) {
        const double v = call.member[static_cast<std::size_t>(i)];
        if (v <= 0) continue;
        total += v;
        m0 += v * call.data[static_cast<std::size_t>(2 * i)];
        m1 += v * call.data[static_cast<std::size_t>(2 * i + 1)];
    }
    m0 /= total;
    m1 /= total;
    double s00 = 0, s01 = 0, s11 = 0;
    for (int i = 0; i < call.n; ++i) {
        const double v = call.member[static_cast<std::size_t>(i)];
        if (v <= 0) continue;
        const double d0 = call.data[static_cast<std::size_t>(2 * i)] - m0;
        const double d1 = call.data[static_cast<std::size_t>(2 * i + 1)] - m1;
        s00 += v * d0 * d0;
        s01 += v * d0 * d1;
        s11 += v * d1 * d1;
    }
    const double divisor = weighted ? total : total - 1;
    s00 /= divisor;
    s01 /= divisor;
    s11 /= divisor;
    const double det = s00 * s11 - s01 * s01;
    std::vector<double> d;
    for (int i = 0; i < call.n; ++i) {
        const double d0 = call.data[static_cast<std::size_t>(2 * i)] - m0;
        const double d1 = call.data[static_cast<std::size_t>(2 * i + 1)] - m1;
        d.push_back((s11 * d0 * d0 - 2 * s01 * d0 * d1 + s00 * d1 * d1) / det);
    }
    return d;
}

// The corrected cutoff for k = 2, where the chi-square quantile at 1 - q is
// exactly -2 ln q.
double cutoff_for_two(int w, int r, double alpha)
{
    const double chi = -2.0 * std::log(alpha / w);
    const int h = (w + 3) / 2;
    const double c_hr = std::max(0.0, static_cast<double>(h - r) / (h + r));
    return chi * (1.0 + 3.0 / (w - 2) + 1.0 / (w - h - 2) + c_hr);
}

// The final subset is a fixed point: every record below the cutoff, measured
// from the subset's own estimates, is a member and no other.  Members of
// weight 0 show 0 and are given by their number.
void expect_fixed_point(const BaconCall& call, int usable, bool weighted, int weightless_members = 0)
{
    int members = weightless_members;
    for (double v : call.member) members += v > 0 ? 1 : 0;
    const double cutoff = cutoff_for_two(usable, members, call.alpha);
    const std::vector<double> d = distances_from_members(call, weighted);
    for (int i = 0; i < call.n; ++i) {
        if (std::fabs(d[static_cast<std::size_t>(i)] - cutoff) < 1e-9 * cutoff) continue;  // too close to call
        if (!call.weights.empty() && call.weights[static_cast<std::size_t>(i)] == 0.0) continue;
        EXPECT_EQ(call.member[static_cast<std::size_t>(i)] > 0, d[static_cast<std::size_t>(i)] < cutoff)
            << "record " << i << " distance " << d[static_cast<std::size_t>(i)] << " cutoff " << cutoff;
    }
}

TEST(Bacon, FindsPlantedOutliersAndStopsAtAFixedPoint)
{
    for (int start : {1, 2, 0}) {
        BaconCall call(2, with_planted_outliers());
        call.start = start;
        call.run();
        ASSERT_EQ(call.error[0], 0) << start;
        const std::vector<int> out = call.outside();
        for (int q = 0; q < 5; ++q)
            EXPECT_NE(std::find(out.begin(), out.end(), q * 60 + 7), out.end()) << "planted " << q << " start " << start;
        EXPECT_LE(out.size(), 12u) << start;
        for (double v : call.member) EXPECT_TRUE(v == 0.0 || v == 1.0);
        expect_fixed_point(call, 300, false);
    }
}

TEST(Bacon, WeightsAreCarriedIntoTheMembership)
{
    BaconCall call(2, with_planted_outliers());
    call.weights.assign(300, 2.0);
    call.weights[100] = 0.0;  // close to the centre or not, it shows 0
    call.weights[101] = 0.5;
    call.run();
    ASSERT_EQ(call.error[0], 0);
    for (int i = 0; i < call.n; ++i) {
        const double v = call.member[static_cast<std::size_t>(i)];
        EXPECT_TRUE(v == 0.0 || v == call.weights[static_cast<std::size_t>(i)]) << i;
    }
    EXPECT_EQ(call.member[100], 0.0);
    EXPECT_EQ(call.member[7], 0.0);
    expect_fixed_point(call, 300, true, 1);  // record 100 lies near the centre
}

TEST(Bacon, MissingCellsInEveryStartModeLeaveTheDataAsTheyWere)
{
    std::vector<double> data = with_planted_outliers();
    for (int i = 3; i < 300; i += 17) data[static_cast<std::size_t>(2 * i + (i % 2))] = M;
    data[2 * 200] = data[2 * 200 + 1] = M;  // a record without any observed cell
    int incomplete = 0;
    for (int i = 0; i < 300; ++i) incomplete += data[2 * i] == M || data[2 * i + 1] == M ? 1 : 0;

    for (int start : {1, 2, 0}) {
        BaconCall call(2, data);
        call.start = start;
        call.run();
        ASSERT_EQ(call.error[0], 0) << start;
        EXPECT_TRUE(same_bits(call.data, data)) << start;
        EXPECT_EQ(call.member[200], start < 1 ? -1.0 : 0.0) << start;
        int left_out = 0;
        for (int i = 0; i < 300; ++i) {
            const bool has_missing = data[2 * i] == M || data[2 * i + 1] == M;
            if (start < 1) {
                EXPECT_EQ(call.member[static_cast<std::size_t>(i)] == -1.0, has_missing) << i;
            }
            left_out += call.member[static_cast<std::size_t>(i)] == -1.0 ? 1 : 0;
        }
        EXPECT_EQ(left_out, start < 1 ? incomplete : 0);
        for (int q = 0; q < 5; ++q) EXPECT_EQ(call.member[static_cast<std::size_t>(q * 60 + 7)], 0.0) << start;
    }
}

TEST(Bacon, MissingCodeAboveTheDataGivesTheSameCentre)
{
    // The starting centre uses the observed values only, wherever the
    // missing code sorts: a code above every value gives the same result as
    // one below.
    std::vector<double> low = with_planted_outliers();
    for (int i = 5; i < 300; i += 23) low[static_cast<std::size_t>(2 * i)] = M;
    std::vector<double> high = low;
    for (double& x : high) {
        if (x == M) x = 1e9;
    }
    BaconCall below(2, low);
    below.start = 2;
    below.run();
    std::vector<int> include = {1, 1};
    std::vector<double> member(300);
    int error[2];
    bacon(300, 2, include.data(), high.data(), 1e9, 4, 0.05, 2, member.data(), nullptr, error);
    ASSERT_EQ(below.error[0], 0);
    ASSERT_EQ(error[0], 0);
    EXPECT_EQ(member, below.member);
}

TEST(Bacon, EmFailuresEndTheCallWithTheDataRestored)
{
    // A variable that is never observed: EM refuses it before changing
    // anything.
    std::vector<double> data = normal_records(30, 2);
    for (int i = 0; i < 30; ++i) data[static_cast<std::size_t>(2 * i + 1)] = M;
    BaconCall unobserved(2, data);
    unobserved.run();
    EXPECT_EQ(unobserved.error[0], 25);
    EXPECT_EQ(unobserved.error[1], 22001);
    EXPECT_TRUE(same_bits(unobserved.data, data));

    // A constant variable: EM's regression on it fails part-way with cells
    // already filled, and the scatter cannot be factorised.  Every filled
    // cell is set back all the same.
    std::vector<double> three;
    const std::vector<double> pairs = normal_records(30, 4);
    for (int i = 0; i < 30; ++i) {
        three.push_back(pairs[static_cast<std::size_t>(2 * i)]);
        three.push_back(7.0);
        three.push_back(pairs[static_cast<std::size_t>(2 * i + 1)]);
    }
    three[3 * 4] = M;
    three[3 * 9 + 2] = M;
    three[3 * 12] = M;
    BaconCall constant(3, three);
    constant.run();
    EXPECT_EQ(constant.error[0], 30);
    EXPECT_EQ(constant.error[1], 2);
    EXPECT_TRUE(same_bits(constant.data, three));
}

TEST(Bacon, WithoutMissingCellsEveryStartModeAgrees)
{
    BaconCall one(2, with_planted_outliers());
    one.run();
    BaconCall two(2, with_planted_outliers());
    two.start = 2;
    two.run();
    ASSERT_EQ(one.error[0], 0);
    ASSERT_EQ(two.error[0], 0);
    // Different starting subsets converge to the same final one on clean
    // data with a clear structure.
    EXPECT_EQ(one.member, two.member);
}

TEST(Bacon, NullArraysAreRefusedWithTheirArgumentNumber)
{
    BaconCall call(2, normal_records(30, 1));
    for (int argument : {3, 4, 9}) {
        int error[2] = {-5, -5};
        bacon(30, 2, argument == 3 ? nullptr : call.include.data(), argument == 4 ? nullptr : call.data.data(), M,
              4, 0.05, 1, argument == 9 ? nullptr : call.member.data(), nullptr, error);
        EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(error[1], argument);
    }
    EXPECT_EQ(call.member, std::vector<double>(30, -7.0));
    bacon(30, 2, call.include.data(), call.data.data(), M, 4, 0.05, 1, call.member.data(), nullptr, nullptr);
}

}  // namespace
