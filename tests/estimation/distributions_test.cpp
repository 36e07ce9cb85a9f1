// Gamma and chi-square distribution functions against the C++ library's
// lgamma, tgamma and erfc, long double series and continued fractions,
// their identities, and published chi-square tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "estimation/distributions.h"

namespace {

constexpr double eps = std::numeric_limits<double>::epsilon();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

double relative(double value, double reference)
{
    return std::fabs(value - reference) / std::fabs(reference);
}

// Regularised P(a, x) and Q(a, x) in long double: the power series below
// x = a + 1, Legendre's continued fraction (modified Lentz) above.
void reference_gamma(long double a, long double x, long double& p, long double& q)
{
    const long double log_front = a * std::log(x) - x - std::lgamma(a);
    if (x < a + 1) {
        long double term = 1 / a, sum = term;
        for (int n = 1; n < 100000 && std::fabs(term) > sum * 1e-21L; ++n) sum += term *= x / (a + n);
        q = 1 - (p = std::exp(log_front) * sum);
        return;
    }
    long double b = x + 1 - a, c = 1e4000L, d = 1 / b, h = d;
    for (int i = 1; i < 100000; ++i) {
        const long double an = -i * (i - a);
        b += 2;
        d = 1 / (an * d + b);
        c = b + an / c;
        h *= d * c;
        if (std::fabs(d * c - 1) < 1e-21L) break;
    }
    p = 1 - (q = std::exp(log_front) * h);
}

TEST(LogGammaTest, MatchesStandardLibraryAndReportsCodes)
{
    int32_t pair[2];
    double worst = 0;  // largest error seen: 2 eps
    for (double x = 1e-17; x < 1e300; x *= 1.0137) {
        worst = std::max(worst, relative(kest::log_gamma(x, pair), std::lgamma(x)) / eps);
        EXPECT_EQ(pair[0], 0);
    }
    for (double x : {1 - 1e-9, 1 + 1e-9, 2 - 1e-9, 2 + 1e-9, 0.5, 2.5, 14.999, 15.001, 7.7e7, 7.8e7})
        worst = std::max(worst, relative(kest::log_gamma(x, pair), std::lgamma(x)) / eps);
#if !defined(_WIN32)  // mingw-w64's lgamma loses its relative accuracy next to the roots at 1 and 2
    EXPECT_LE(worst, 8.0);
#endif
    EXPECT_EQ(kest::log_gamma(1.0, pair), 0.0);
    EXPECT_DOUBLE_EQ(kest::log_gamma(1e-18, pair), -std::log(1e-18));
    EXPECT_EQ(pair[0], 0);
    // (code, detail, result) for arguments outside the domain.
    struct Case { double x; int32_t detail; double result; };
    for (const Case& c : {Case{0.0, 1, 0.0}, Case{-2.5, 1, 0.0}, Case{-inf, 1, 0.0}, Case{nan, 1, 0.0},
                          Case{2.6e305, 2, 1.79e308}, Case{inf, 2, 1.79e308}}) {
        EXPECT_EQ(kest::log_gamma(c.x, pair), c.result) << c.x;
        EXPECT_TRUE(pair[0] == 1 && pair[1] == c.detail) << c.x;
    }
}

TEST(GammaTest, MatchesStandardLibraryAndReportsCodes)
{
    int32_t pair[2];
    double worst = 0;  // largest error seen: 5 eps
    for (double x = -169.97; x < 170; x += 0.0173) {
        worst = std::max(worst, relative(kest::gamma_function(x, pair), std::tgamma(x)) / eps);
        EXPECT_EQ(pair[0], 0);
    }
    for (double x : {1e-17, -1e-17, 1.0, 2.0, 3 - 1e-12, -3 + 1e-9, -15.5, 15.0, 16.0, 170.0})
        worst = std::max(worst, relative(kest::gamma_function(x, pair), std::tgamma(x)) / eps);
    EXPECT_LE(worst, 16.0);
    EXPECT_EQ(kest::gamma_function(5.0, pair), 24.0);
    struct Case { double x; int32_t detail; double result; };
    for (const Case& c : {Case{170.5, 2, 4.3e304}, Case{-171.0, 2, 4.3e304}, Case{inf, 2, 4.3e304},
                          Case{nan, 2, 4.3e304}, Case{-1.0, 3, 4.3e304}, Case{-100.0, 3, 4.3e304},
                          Case{0.0, 3, 4.484e307}, Case{-0.0, 3, -4.484e307}, Case{1e-310, 3, 4.484e307}}) {
        EXPECT_EQ(kest::gamma_function(c.x, pair), c.result) << c.x;
        EXPECT_TRUE(pair[0] == 1 && pair[1] == c.detail) << c.x;
    }
}

TEST(ErfcTest, MatchesStandardLibraryAndSaturates)
{
    double worst = 0;  // largest error seen: 13 eps, near x = 26
    for (double x = -6.2; x < 26.5; x += 0.00113)
        worst = std::max(worst, relative(kest::complementary_error_function(x), std::erfc(x)) / eps);
    EXPECT_LE(worst, 32.0);
    EXPECT_NEAR(kest::complementary_error_function(0.0), 1.0, eps);
    for (double x : {26.6, 30.0, inf}) EXPECT_EQ(kest::complementary_error_function(x), 0.0);
    for (double x : {-6.25, -40.0, -inf}) EXPECT_EQ(kest::complementary_error_function(x), 2.0);
    EXPECT_TRUE(std::isnan(kest::complementary_error_function(nan)));
}

TEST(InverseNormalTest, InvertsTheNormalDistributionAndRefusesOutsideTheOpenInterval)
{
    int32_t pair[2];
    // Phi(z) = erfc(-z/sqrt 2)/2 in long double must give back p; the
    // allowance grows with z^2 (the conditioning of Phi).  Seen: 2 eps.
    for (double p = 1e-300; p < 1; p = p < 0.5 ? p * 1.07 : 1 - (1 - p) / 1.07) {
        const double z = kest::inverse_normal(p, pair);
        ASSERT_EQ(pair[0], 0);
        const long double phi = 0.5L * std::erfc(-static_cast<long double>(z) / std::sqrt(2.0L));
        const double tail = p < 0.5 ? p : 1 - p;
        const long double tail_phi = p < 0.5 ? phi : 1 - phi;
        EXPECT_LE(std::fabs(tail_phi - tail) / tail, 16 * eps * (1 + z * z)) << p;
        if (p >= 0.5 && 1 - p < 1e-15) break;
    }
    struct Known { double p, z; };  // published normal quantiles
    for (const Known& k : {Known{0.5, 0.0}, Known{0.975, 1.959963984540054}, Known{0.995, 2.5758293035489004},
                           Known{0.05, -1.6448536269514722}, Known{1e-10, -6.3613409024040557}})
        EXPECT_NEAR(kest::inverse_normal(k.p, pair), k.z, 4 * eps * (1 + std::fabs(k.z))) << k.p;
    struct Case { double p; int32_t detail; };
    for (const Case& c : {Case{0.0, 1}, Case{-0.5, 1}, Case{-inf, 1}, Case{nan, 1}, Case{1.0, 2}, Case{2.0, 2},
                          Case{inf, 2}}) {
        EXPECT_EQ(kest::inverse_normal(c.p, pair), 0.0);
        EXPECT_TRUE(pair[0] == 1 && pair[1] == c.detail) << c.p;
    }
}

TEST(IncompleteGammaTest, MatchesLongDoubleReferenceAcrossAllBranches)
{
    // Points on both sides of the switches: x = 1/4 and 1.5 (Taylor series of
    // Q), x = a + 1/4 (series of P / continued fraction), and 0.7a and 1.4a
    // for a >= 20 (Temme's expansion).  Allowance 64 eps (1 + |ln value|),
    // the conditioning of exp of a large exponent.  Seen: 14 eps (1 + |ln|).
    const std::vector<double> shapes{0.01, 0.1, 0.5, 0.9, 1, 2.5, 10, 19.5, 20, 50, 200, 1000, 1e4};
    const std::vector<double> ratios{1e-3, 0.3, 0.6999, 0.7, 0.7001, 0.95, 1, 1.05, 1.3999, 1.4, 1.4001, 3, 10};
    const std::vector<double> points{1e-10, 0.2, 0.25, 0.3, 1.49, 1.5, 1.51, 5};
    int32_t pair[2];
    for (double a : shapes) {
        std::vector<double> xs = points;
        for (double r : ratios) xs.push_back(a * r);
        for (double x : xs) {
            double p = 0, q = 0;
            const double returned = kest::incomplete_gamma(a, x, 0.0, &p, &q, pair);
            ASSERT_TRUE(pair[0] == 0 && returned == p) << a << ' ' << x;
            EXPECT_NEAR(p + q, 1.0, 2 * eps);
            long double rp, rq;
            reference_gamma(a, x, rp, rq);
            for (auto [value, ref] : {std::pair<double, long double>{p, rp}, {q, rq}}) {
                if (ref < 1e-290L) {
                    EXPECT_LE(value, 1e-290) << a << ' ' << x;
                    continue;
                }
                const double allowed = 64 * eps * (1 + std::fabs(std::log(static_cast<double>(ref))));
                EXPECT_LE(std::fabs(value - ref) / ref, allowed) << a << ' ' << x;
            }
        }
    }
}

TEST(IncompleteGammaTest, EdgesCodesAndToleranceFallback)
{
    int32_t pair[2];
    double p, q;
    for (double a : {1e-300, 1e-5, 1.0, 1e6, 1e300}) {
        kest::incomplete_gamma(a, 0.0, 0.0, &p, &q, pair);
        EXPECT_TRUE(pair[0] == 0 && p == 0.0 && q == 1.0) << a;
    }
    struct Case { double a, x; int32_t code; };
    for (const Case& c : {Case{0, 1, 1}, Case{-1, 1, 1}, Case{nan, 1, 1}, Case{inf, 1, 1}, Case{-1, -1, 1},
                          Case{1, -1e-300, 2}, Case{1, nan, 2}, Case{1, inf, 2}}) {
        kest::incomplete_gamma(c.a, c.x, 0.0, &p, &q, pair);
        EXPECT_EQ(pair[0], c.code) << c.a << ' ' << c.x;
        EXPECT_TRUE(std::isnan(p) && std::isnan(q));
    }
    // Far tails: underflow to 0 and 1 rather than garbage.
    kest::incomplete_gamma(1e300, 1e299, 0.0, &p, &q, pair);
    EXPECT_TRUE(pair[0] == 0 && p == 0.0 && q == 1.0);
    kest::incomplete_gamma(2.0, 1e200, 0.0, &p, &q, pair);
    EXPECT_TRUE(pair[0] == 0 && p == 1.0 && q == 0.0);
    // Tolerances outside (1e-16, 1] fall back to 1e-16.
    const double reference = kest::incomplete_gamma(3.5, 2.0, 1e-16, nullptr, nullptr, pair);
    for (double tolerance : {0.0, -1.0, 1e-17, 1.5, nan})
        EXPECT_EQ(kest::incomplete_gamma(3.5, 2.0, tolerance, nullptr, nullptr, pair), reference);
    EXPECT_NEAR(kest::incomplete_gamma(3.5, 2.0, 1e-4, nullptr, nullptr, pair), reference, 1e-4);
}

TEST(PercentagePointTest, PublishedChiSquareTable)
{
    struct Row { double df, p, value; };  // three decimals (five for the smallest)
    const Row rows[] = {{1, 0.975, 5.024},  {2, 0.95, 5.991},    {10, 0.99, 23.209}, {5, 0.05, 1.145},
                        {30, 0.95, 43.773}, {100, 0.5, 99.334},  {1, 0.95, 3.841},   {1, 0.99, 6.635},
                        {2, 0.99, 9.210},   {3, 0.95, 7.815},    {4, 0.95, 9.488},   {5, 0.95, 11.070},
                        {10, 0.95, 18.307}, {20, 0.95, 31.410},  {2, 0.05, 0.103},   {10, 0.05, 3.940},
                        {20, 0.99, 37.566}, {50, 0.95, 67.505},  {100, 0.95, 124.342}, {100, 0.99, 135.807},
                        {3, 0.01, 0.115},   {4, 0.5, 3.357},     {1, 0.5, 0.455},    {6, 0.995, 18.548},
                        {15, 0.9, 22.307},  {25, 0.1, 16.473},   {40, 0.999, 73.402}, {1, 0.05, 0.00393}};
    int32_t pair[2];
    for (const Row& r : rows) {
        EXPECT_NEAR(kest::chi_square_percentage_point(r.p, r.df, pair), r.value, r.value < 0.01 ? 5e-6 : 5e-4)
            << r.df << ' ' << r.p;
        EXPECT_TRUE(pair[0] == 0 && pair[1] == 1);
        // Scale b multiplies the gamma percentage point: b/2 times chi-square.
        EXPECT_NEAR(kest::gamma_percentage_point(r.p, r.df / 2, 5.0, 0.0, pair),
                    2.5 * kest::chi_square_percentage_point(r.p, r.df, pair), 1e-13 * r.value);
    }
}

TEST(PercentagePointTest, InvertsTheIncompleteGammaIntegral)
{
    // P(x/2, df/2) = p, checked as a backward error: the change of x that the
    // residual of the tail amounts to, |residual| / (x f(x)), below 1e-13
    // relative (seen: 4e-15).
    int32_t pair[2];
    for (double df : {0.3, 1.0, 2.0, 7.0, 30.0, 250.0, 5000.0, 2e6}) {
        for (double p : {1e-12, 1e-4, 0.01, 0.3, 0.5, 0.9, 0.99, 1 - 1e-6, 1 - 1e-12}) {
            const double x = kest::chi_square_percentage_point(p, df, pair);
            if (pair[0] == 11 && x < 1e-15) continue;  // small-p start below the tolerance
            ASSERT_EQ(pair[0], 0) << df << ' ' << p;
            const long double a = df / 2;
            long double rp, rq;
            reference_gamma(a, x / 2.0L, rp, rq);
            const long double residual = p < 0.5 ? rp - p : rq - (1 - p);
            const long double x_density = std::exp(a * std::log(x / 2.0L) - x / 2.0L - std::lgamma(a));
            EXPECT_LE(std::fabs(residual) / x_density, 1e-13L) << df << ' ' << p;
        }
    }
}

TEST(PercentagePointTest, OutlierCutoffsConvergeNearOne)
{
    // The outlier cutoff asks for 1 - alpha/w, where the relative change of
    // the iterate can hover at the last bits of a double: every such point
    // must come out clean, and increase with the probability.
    int32_t pair[2];
    for (int df = 1; df <= 40; ++df) {
        double last = 0.0;
        for (double w : {10.0, 37.0, 100.0, 999.0, 2000.0, 12345.0, 1e5, 1e6, 1e7}) {
            const double x = kest::chi_square_percentage_point(1.0 - 0.05 / w, df, pair);
            ASSERT_EQ(pair[0], 0) << df << ' ' << w;
            EXPECT_GT(x, last) << df << ' ' << w;
            last = x;
        }
        for (double alpha : {0.15, 0.01, 0.001}) {
            kest::chi_square_percentage_point(1.0 - alpha / 2000.0, df, pair);
            EXPECT_EQ(pair[0], 0) << df << ' ' << alpha;
        }
    }
    // Two degrees of freedom have the closed form -2 ln(1 - p); 1 - p is
    // taken from the rounded p, where it is exact.
    for (double w : {50.0, 2000.0, 1e6}) {
        const double p = 1.0 - 0.05 / w;
        const double q = 1.0 - p;
        EXPECT_NEAR(kest::chi_square_percentage_point(p, 2, pair), -2.0 * std::log(q), 1e-13 * -std::log(q));
    }
}

TEST(PercentagePointTest, CodesInArgumentOrderAndFallbacks)
{
    int32_t pair[2] = {7, 7};
    struct Case { double p, a, b; int32_t code; };
    for (const Case& c : {Case{-0.1, 1, 2, 1}, Case{1.0, 1, 2, 1}, Case{nan, -1, 2, 1}, Case{inf, 1, 2, 1},
                          Case{0.5, 0, 2, 2}, Case{0.5, 1.000001e6, 2, 2}, Case{0.5, nan, -1, 2},
                          Case{0.5, 1, 0, 3}, Case{0.5, 1, nan, 3}, Case{0.5, 1, inf, 3},
                          Case{1e-300, 0.5, 2, 10}}) {
        EXPECT_EQ(kest::gamma_percentage_point(c.p, c.a, c.b, 0.0, pair), 0.0);
        EXPECT_TRUE(pair[0] == c.code && pair[1] == 1) << c.p << ' ' << c.a << ' ' << c.b;
    }
    EXPECT_EQ(kest::gamma_percentage_point(0.0, 3.0, 2.0, 0.0, pair), 0.0);
    EXPECT_EQ(pair[0], 0);
    // Small-p start below the tolerance is returned with code 11: for one
    // degree of freedom x = pi p^2 / 2 to leading order.
    EXPECT_NEAR(kest::chi_square_percentage_point(1e-20, 1, pair), 1.5707963267948966e-40, 1e-52);
    EXPECT_EQ(pair[0], 11);
    // Tolerances outside (1e-15, 1) fall back to 1e-15.
    const double reference = kest::chi_square_percentage_point(0.99, 7, pair);
    for (double tolerance : {0.0, 1e-15, 1.0, 2.0, -1.0, nan})
        EXPECT_EQ(kest::gamma_percentage_point(0.99, 3.5, 2.0, tolerance, pair), reference);
    EXPECT_NEAR(kest::gamma_percentage_point(0.99, 3.5, 2.0, 1e-6, pair), reference, 1e-5 * reference);
}

TEST(LogDeficitTest, MatchesLongDoubleSeriesOnTheHalfInterval)
{
    // mu - ln(1 + mu) = sum_{n>=2} (-mu)^n / n in long double (no cancellation).
    for (double mu = -0.5; mu <= 0.5; mu += 0.0009765625 * 0.37) {
        long double power = mu * static_cast<long double>(mu), ref = 0;
        for (int n = 2; n < 200; ++n, power *= -mu) ref += power / n;
        EXPECT_LE(std::fabs(kest::log1p_deficit(mu) - ref) / ref, 4 * eps) << mu;
    }
    EXPECT_EQ(kest::log1p_deficit(0.0), 0.0);
}

}  // namespace
