// Gamma and chi-square distribution functions: the gamma percentage point
// (AS 91 with the AS R85 revisions), the regularised incomplete gamma
// integral (Gautschi, ACM TOMS 542, with Temme's uniform asymptotic
// expansion), log gamma, gamma, the complementary error function and the
// inverse of the unit normal distribution function.  Internal to the
// library, not exported.
//
// Routines that can fail fill a pair of 32-bit ints (code, detail) laid out
// like an ErrorPair; code 0 is success.  A null pair is accepted (the codes
// are then lost).  Nothing allocates, nothing keeps state between calls, and
// every loop is bounded.
#pragma once

#include <cstdint>

namespace kest {

// Percentage point (quantile) x with G(x) = p of the gamma distribution with
// shape a and scale b.  The pair is set to (0, 1) first; only element 0
// carries a code afterwards:
//   1  p below 0, not below 1, or not a number (result 0)
//   2  a not positive, above 1e6, or not a number (result 0)
//   3  b not positive, infinite or not a number (result 0)
//   10 the small-p starting value underflows (ln of it below -300; result 0)
//   11 the small-p starting value is below the tolerance; it is returned
//   13 the incomplete gamma integral reported a code during the iteration
//      (the iteration goes on)
//   20 no convergence within 100 steps (the last iterate is returned), or a
//      starting value that is not positive and finite (result 0)
// p = 0 gives 0 with code 0.  The tolerance is the caller's value when it
// lies strictly between 1e-15 and 1, otherwise 1e-15.  The result is b/2
// times the chi-square value with 2a degrees of freedom; for a huge b it may
// overflow to infinity.
double gamma_percentage_point(double p, double a, double b, double tolerance,
                              int32_t* pair) noexcept;

// Chi-square percentage point with df degrees of freedom at probability p:
// the gamma percentage point with shape df/2, scale 2 and the default
// tolerance, with its codes.
inline double chi_square_percentage_point(double p, double df, int32_t* pair) noexcept
{
    return gamma_percentage_point(p, df / 2.0, 2.0, 0.0, pair);
}

// Regularised incomplete gamma integrals P(a, x) (lower) and Q(a, x)
// (upper), P + Q = 1; returns P.  The pair is set to (0, 0) first; codes:
//   1  a not positive, infinite or not a number
//   2  x negative, infinite or not a number
//   10 the power series of P needed more than 600 terms
//   11 the continued fraction of Q needed more than 600 terms
//   12 the series of x^a - 1 needed more than 600 terms (x <= 1.5)
//   13 the Taylor series of Q needed more than 600 terms (x <= 1.5)
// Codes 1 and 2 leave P and Q as NaN; codes 10 to 13 leave the partial
// sums' values.  The tolerance is the caller's value when it is above 1e-16
// and not above 1, otherwise 1e-16.  Either output pointer may be null.
double incomplete_gamma(double a, double x, double tolerance, double* lower, double* upper,
                        int32_t* pair) noexcept;

// ln Gamma(x) for x > 0.  Pair (1, 1) with result 0 when x is not positive
// or not a number; pair (1, 2) with result 1.79e308 when x is above
// 2.55e305 (or infinite).
double log_gamma(double x, int32_t* pair) noexcept;

// Gamma(x).  Pair (1, 2) with result 4.3e304 when |x| is above 170, infinite
// or not a number; pair (1, 3) with result 4.3e304 at a negative integer,
// and with +-4.484e307 when |x| is below 2.23e-308 (zero included).
double gamma_function(double x, int32_t* pair) noexcept;

// erfc(x): 0 for x >= 26.6, 2 for x <= -6.25; NaN for NaN.
double complementary_error_function(double x) noexcept;

// Unit normal deviate z with Phi(z) = p.  Pair (1, 1) when p is not above 0
// or not a number, (1, 2) when p is not below 1, both with result 0.
// Accurate to a few units in the last place except for p below about
// 1e-307, where the deviate is a starting approximation (error < 5e-4).
double inverse_normal(double p, int32_t* pair) noexcept;

// mu - ln(1 + mu) for -1/2 <= mu <= 1/2 with full relative precision (an
// auxiliary of Temme's expansion).  Outside that range the plain formula.
double log1p_deficit(double mu) noexcept;

// The series S(eta) of Temme's uniform asymptotic expansion
//   Q(a, x) = erfc(eta sqrt(a/2))/2 + exp(-a eta^2/2)/sqrt(2 pi a) S(eta),
// eta = sign(x - a) sqrt(2 (mu - ln(1 + mu))), mu = x/a - 1, summed until a
// term's share of the sum is below the tolerance or 25 terms are added.
// Meant for a >= 20 and |eta| below about 0.4.
double temme_series(double eta, double a, double tolerance) noexcept;

}  // namespace kest
