// Gamma and chi-square distribution functions.
//
// Coefficient tables: Chebyshev expansions computed to 20 significant digits
// (ln Gamma on [1, 2), the scaled complementary error function, and
// mu - ln(1 + mu) on [-1/2, 1/2]), the Taylor coefficients of 1/Gamma(1 + a),
// the Stirling series, and the coefficients of eta/mu as a power series in
// eta (Temme).  Each reaches double precision on the range where it is used.
#include "estimation/distributions.h"

#include <cmath>
#include <cstddef>
#include <limits>

namespace kest {
namespace {

constexpr double ln_sqrt_2pi = 0.91893853320467274178;  // ln sqrt(2 pi)
constexpr double sqrt_2pi = 2.5066282746310005024;
constexpr double pi = 3.14159265358979323846;
constexpr double ln_tiny = -690.77552789821370521;  // ln 1e-300
constexpr double ln2 = 0.69314718055994530942;
constexpr int max_terms = 600;

void set_pair(int32_t* pair, int32_t code, int32_t detail) noexcept
{
    if (pair != nullptr) {
        pair[0] = code;
        pair[1] = detail;
    }
}

// Clenshaw summation of c[0]/2 + sum c[k] T_k(t).
template <std::size_t N>
double chebyshev(const double (&c)[N], double t) noexcept
{
    double b0 = 0.0, b1 = 0.0, b2 = 0.0;
    for (std::size_t k = N; k-- > 0;) {
        b2 = b1;
        b1 = b0;
        b0 = 2.0 * t * b1 - b2 + c[k];
    }
    return 0.5 * (b0 - b2);
}

// ln Gamma(1 + y) / (y (y - 1)) for 0 <= y <= 1, in t = 2y - 1.
constexpr double lngamma_ratio[] = {
    9.8283078605877425496e-1,  -7.6114161670435843041e-2, 8.4323249659327779588e-3,
    -1.0794937263286081511e-3, 1.4900748003692964505e-4,  -2.1512399888556785352e-5,
    3.1979329860862186449e-6,  -4.8516930121399261911e-7, 7.4714878211631597591e-8,
    -1.163829670017051855e-8,  1.8294004371186679595e-9,  -2.8969180607129606429e-10,
    4.6157014062090900998e-11, -7.3928102304979824561e-12, 1.1894280008333085569e-12,
    -1.921206867652280446e-13, 3.1139755263871640045e-14, -5.0628432984486112745e-15,
    8.2541502816311442781e-16, -1.3490578987574843217e-16, 2.2098761167826228497e-17,
    -3.6274129549239769289e-18, 5.9654300688215224037e-19, -9.8273309438344387191e-20};

// exp(x^2) erfc(x) for x >= 0, in t = (x - 3.75)/(x + 3.75).
constexpr double erfc_scaled[] = {
    6.1014308192320041793e-1,  -4.3484127271257747183e-1, 1.7635119364360550113e-1,
    -6.071079560924941486e-2,  1.7712068995694114486e-2,  -4.3211193855672938186e-3,
    8.5421667688709867882e-4,  -1.2715509060916274263e-4, 1.1248167243671189469e-5,
    3.1306388542182097263e-7,  -2.7098806853776202201e-7, 3.0737622701407688441e-8,
    2.5156203848176229373e-9,  -1.0289299213203191276e-9, 2.9944052119949939363e-11,
    2.605178968726693629e-11,  -2.6348399241719693865e-12, -6.4340450989063644335e-13,
    1.1245740180166344657e-13, 1.7281533389986098177e-14, -4.2641016949423751074e-15,
    -5.4537197788019059686e-16, 1.5869760776167122641e-16, 2.0899837844334043136e-17,
    -5.900526869408806212e-18, -9.4189338755442822745e-19, 2.1497735646960393028e-19,
    4.6660985007880333724e-20, -7.2430118618877752818e-21, -2.3879668237030562899e-21};

// (mu - ln(1 + mu)) / mu^2: in t = 4 mu - 1 for 0 < mu <= 1/2 ...
constexpr double deficit_positive[] = {
    8.6870769553395427388e-1,  -6.0543580064803845034e-2, 4.6830492514799473619e-3,
    -3.8376619451683121443e-4, 3.2631526483054421539e-5,  -2.8469247069374905246e-6,
    2.5313619786727153277e-7,  -2.2838557903750902555e-8, 2.0845406721546950971e-9,
    -1.9206130466645373742e-10, 1.7834445417899429943e-11, -1.6670060020679163631e-12,
    1.5669560528594643838e-13, -1.4800884540970801577e-14, 1.4039834676914300394e-15,
    -1.3367803946042836339e-16, 1.2770248022787593319e-17, -1.2235632936619916011e-18,
    1.1754693971035339748e-19};

// ... and in t = 4 mu + 1 for -1/2 <= mu <= 0.
constexpr double deficit_negative[] = {
    1.238576250846033008,      -1.3400675118444621118e-1, 1.6683771732108309631e-2,
    -2.2406838839787579975e-3, 3.1547595061977779911e-4,  -4.5867136889803398598e-5,
    6.8253517416231417019e-6,  -1.0336525699272035823e-6, 1.587037285442866545e-7,
    -2.4636990799899276262e-8, 3.8593658554405832982e-9,  -6.0914917189463924364e-10,
    9.6763199698550119939e-11, -1.5455434688764886312e-11, 2.4803926824506591745e-12,
    -3.9973344999701948379e-13, 6.4657531728590320114e-14, -1.0492748307409892903e-14,
    1.7077788977663288991e-15, -2.7868867936439009888e-16, 4.5587253079213242315e-17,
    -7.4732558002253492087e-18, 1.2275431099312162642e-18, -2.0200052559628506089e-19,
    3.3296150523298914254e-20};

// Taylor coefficients of 1/Gamma(1 + a) - 1 from a^1 on; |a| <= 1/2.
constexpr double reciprocal_gamma[] = {
    5.7721566490153286061e-1,  -6.5587807152025388108e-1, -4.2002635034095235529e-2,
    1.665386113822914895e-1,   -4.2197734555544336748e-2, -9.6219715278769735621e-3,
    7.2189432466630995424e-3,  -1.1651675918590651121e-3, -2.1524167411495097282e-4,
    1.2805028238811618615e-4,  -2.0134854780788238656e-5, -1.2504934821426706573e-6,
    1.1330272319816958824e-6,  -2.0563384169776071035e-7, 6.1160951044814158179e-9,
    5.0020076444692229301e-9,  -1.1812745704870201446e-9, 1.0434267116911005105e-10,
    7.782263439905071254e-12,  -3.6968056186422057082e-12, 5.100370287454475979e-13};

// Temme's coefficients: eta/mu = 1 + sum_{j>=1} temme[j-1] eta^j, with
// (eta^2)/2 = mu - ln(1 + mu); d1 = -1/3, d2 = 1/12, d3 = -2/135, ...
constexpr double temme[] = {
    -3.33333333333333333333e-01, 8.33333333333333333333e-02, -1.48148148148148148148e-02,
    1.15740740740740740741e-03,  3.52733686067019400353e-04, -1.78755144032921810700e-04,
    3.91926317852243778169e-05,  -2.18544851067999216147e-06, -1.85406221071515996024e-06,
    8.29671134095308600502e-07,  -1.76659527368260793044e-07, 6.70785354340149858037e-09,
    1.02618097842403080426e-08,  -4.38203601845335318655e-09, 9.14769958223679023418e-10,
    -2.55141939949462497669e-11, -5.83077213255042506746e-11, 2.43619480206674162437e-11,
    -5.02766928011417558910e-12, 1.10043920319561347708e-13, 3.37176326240098537882e-13,
    -1.39238872241816206591e-13, 2.85348938070474432039e-14, -5.13911183424257261899e-16,
    -1.97522882943494428353e-15, 8.09952115670456133408e-16, -1.65225312163981618191e-16,
    2.53054300974788842327e-18,  1.16869397385595765888e-17, -4.77003704982048475822e-18,
    9.69912605905623712420e-19};
constexpr int temme_count = static_cast<int>(sizeof temme / sizeof temme[0]);

// Stirling series ln Gamma*(x) = sum B_2k / (2k (2k - 1) x^(2k-1)); with
// eight terms it is below 1e-19 relative for x > 15.
double stirling_correction(double x) noexcept
{
    constexpr double b[] = {1.0 / 12.0,    -1.0 / 360.0,     1.0 / 1260.0, -1.0 / 1680.0,
                            1.0 / 1188.0,  -691.0 / 360360.0, 1.0 / 156.0,  -3617.0 / 122400.0};
    const double r = 1.0 / x;
    const double r2 = r * r;
    double s = 0.0;
    for (int k = 7; k >= 0; --k) s = s * r2 + b[k];
    return s * r;
}

// ln Gamma(1 + y) for 0 <= y <= 1, with full relative precision near the
// zeros at y = 0 and y = 1.
double lngamma_1p(double y) noexcept
{
    return y * (y - 1.0) * chebyshev(lngamma_ratio, 2.0 * y - 1.0);
}

// Reciprocal of the gamma function at 1 + a, minus 1, for |a| <= 1/2.
double reciprocal_gamma_1p_minus_1(double a) noexcept
{
    constexpr int n = static_cast<int>(sizeof reciprocal_gamma / sizeof reciprocal_gamma[0]);
    double s = 0.0;
    for (int k = n - 1; k >= 0; --k) s = s * a + reciprocal_gamma[k];
    return s * a;
}

// Gamma(x) for 15 < x <= 171.6 from Stirling's formula, split so that the
// power does not overflow.
double gamma_stirling(double x) noexcept
{
    const double half_power = std::pow(x, 0.5 * (x - 0.5));
    return sqrt_2pi * (half_power * std::exp(-x)) * half_power * std::exp(stirling_correction(x));
}

// ln(x^a e^-x / Gamma(a)) for a > 15, written as
// -a (mu - ln(1 + mu)) + ln sqrt(a / (2 pi)) - ln Gamma*(a) with mu = x/a - 1,
// which avoids the cancellation between a ln x, x and ln Gamma(a).
double log_power_over_gamma(double a, double x) noexcept
{
    const double mu = (x - a) / a;
    const double lead = mu >= -0.5 ? -a * log1p_deficit(mu) : a * std::log(x / a) - (x - a);
    return lead + 0.5 * std::log(a) - ln_sqrt_2pi - stirling_correction(a);
}

}  // namespace

double log_gamma(double x, int32_t* pair) noexcept
{
    set_pair(pair, 0, 0);
    if (!(x > 1e-17)) {
        if (x > 0.0) return -std::log(x);
        set_pair(pair, 1, 1);
        return 0.0;
    }
    if (x > 15.0) {
        if (x > 2.55e305) {
            set_pair(pair, 1, 2);
            return 1.79e308;
        }
        double r = (x - 0.5) * std::log(x) - x + ln_sqrt_2pi;
        if (x <= 7.7e7) r += stirling_correction(x);
        return r;
    }
    // Recurrence to [1, 2): Gamma(x) = (x-1)(x-2)...(1+y) Gamma(1+y), or
    // Gamma(x) = Gamma(1+x)/x below 1.
    if (x < 1.0) return lngamma_1p(x) - std::log(x);
    const int n = static_cast<int>(x);
    const double y = x - n;
    double product = 1.0;
    for (int k = 1; k < n; ++k) product *= y + k;
    return std::log(product) + lngamma_1p(y);
}

double gamma_function(double x, int32_t* pair) noexcept
{
    set_pair(pair, 0, 0);
    const double ax = std::fabs(x);
    if (!(ax <= 170.0)) {
        set_pair(pair, 1, 2);
        return 4.3e304;
    }
    if (ax <= 1e-17) {
        if (ax < 2.23e-308) {
            set_pair(pair, 1, 3);
            return std::signbit(x) ? -4.484e307 : 4.484e307;
        }
        return 1.0 / x;
    }
    if (x < 0.0 && x == std::floor(x)) {
        set_pair(pair, 1, 3);
        return 4.3e304;
    }
    if (x > 15.0) return gamma_stirling(x);
    if (x < -15.0) {
        // Reflection Gamma(x) = pi / (sin(pi x) Gamma(1 - x)), sin(pi x) from
        // the reduced argument so that it stays exact near the poles.
        const double n = std::nearbyint(x);
        const double s = std::sin(pi * (x - n));
        const double sign = std::fmod(n, 2.0) == 0.0 ? 1.0 : -1.0;
        // Gamma(1 - x) as -x Gamma(-x): -x is exact where 1 - x would round.
        return pi / (sign * s * (-x * gamma_stirling(-x)));
    }
    if (x < 1.0) {
        // Gamma(x) = Gamma(x + m) / (x (x+1) ... (x+m-1)) with x + m in [1, 2).
        double divisor = 1.0;
        double z = x;
        while (z < 1.0) {
            divisor *= z;
            z += 1.0;
        }
        const double y = z - 1.0;
        return std::exp(lngamma_1p(y)) / divisor;
    }
    const int n = static_cast<int>(x);
    const double y = x - n;
    double g = std::exp(lngamma_1p(y));
    for (int k = 1; k < n; ++k) g *= y + k;
    return g;
}

double complementary_error_function(double x) noexcept
{
    if (std::isnan(x)) return x;
    if (x >= 26.6) return 0.0;
    if (x <= -6.25) return 2.0;
    const double ax = std::fabs(x);
    const double t = 1.0 - 7.5 / (ax + 3.75);
    // exp(-x^2) with x split in a part whose square is exact and a rest.
    const double high = std::floor(ax * 16.0) / 16.0;
    const double e = std::exp(-high * high) * std::exp(-(ax - high) * (ax + high));
    const double r = e * chebyshev(erfc_scaled, t);
    return x < 0.0 ? 2.0 - r : r;
}

double inverse_normal(double p, int32_t* pair) noexcept
{
    set_pair(pair, 0, 0);
    if (!(p > 0.0)) {
        set_pair(pair, 1, 1);
        return 0.0;
    }
    if (!(p < 1.0)) {
        set_pair(pair, 1, 2);
        return 0.0;
    }
    const double q = p - 0.5;
    const double aq = std::fabs(q);
    const double tail = p < 0.5 ? p : 1.0 - p;  // exact for p >= 1/2
    double z;                                    // deviate of the lower tail, <= 0
    if (aq <= 0.3) {
        // Chebyshev-fitted polynomial in q^2 (rel. error 2e-8).
        const double s = q * q;
        const double f = (((((687.63504071342567 * s - 15.641045832829008) * s +
                             23.900687556651214) * s + 6.0789675793785563) * s +
                           2.3055677743793348) * s + 1.0471823343880025) * s +
                         1.0000000140202892;
        z = -aq * sqrt_2pi * f;
    } else if (aq <= 0.42) {
        // Chebyshev-fitted polynomial in |q| - 0.3 (abs. error 1e-6).
        const double u = aq - 0.3;
        z = -(((((((66932.27726866693 * u - 17102.342198206764) * u + 2479.9866822939941) * u -
                  76.197489885187422) * u + 22.956280815067043) * u + 5.2969284523993947) * u +
               3.5723349975300214) * u + 0.84162083752193688);
    } else {
        // Abramowitz & Stegun 26.2.23 (abs. error < 4.5e-4).
        const double r = std::sqrt(-2.0 * std::log(tail));
        z = -(r - (2.515517 + r * (0.802853 + r * 0.010328)) /
                      (1.0 + r * (1.432788 + r * (0.189269 + r * 0.001308))));
    }
    // Two Halley steps on Phi(z) = tail, written with the relative residual
    // so that exp(z^2/2) never overflows.  Left out where erfc underflows.
    for (int step = 0; step < 2 && z > -37.5; ++step) {
        const double phi = 0.5 * complementary_error_function(-z * 0.70710678118654752440);
        const double relative = (phi - tail) / tail;
        const double u = relative * sqrt_2pi * std::exp(std::log(tail) + 0.5 * z * z);
        const double next = z - u / (1.0 + 0.5 * z * u);
        if (!std::isfinite(next)) break;
        z = next;
    }
    return q < 0.0 ? z : -z;
}

double log1p_deficit(double mu) noexcept
{
    if (mu > 0.0 && mu <= 0.5) return mu * mu * chebyshev(deficit_positive, 4.0 * mu - 1.0);
    if (mu <= 0.0 && mu >= -0.5) return mu * mu * chebyshev(deficit_negative, 4.0 * mu + 1.0);
    return mu - std::log1p(mu);
}

double temme_series(double eta, double a, double tolerance) noexcept
{
    // The series S = sum s_j eta^j solves eta S - S'/a = eta/(mu Gamma*(a)) - 1,
    // so with s'_j = Gamma*(a) s_j: s'_j = d_(j+1) + (j+2)/a s'_(j+2), worked
    // downwards, and Gamma*(a) = 1 + s'_1/a.
    double s[temme_count];
    s[temme_count - 1] = temme[temme_count - 1];
    s[temme_count - 2] = temme[temme_count - 2];
    for (int j = temme_count - 3; j >= 0; --j) s[j] = temme[j] + (j + 2) / a * s[j + 2];
    double sum = 0.0;
    double power = 1.0;
    for (int j = 0; j < 25; ++j) {
        const double term = s[j] * power;
        sum += term;
        if (std::fabs(term) <= tolerance * std::fabs(sum)) break;
        power *= eta;
    }
    return sum / (1.0 + s[1] / a);
}

double incomplete_gamma(double a, double x, double tolerance, double* lower, double* upper,
                        int32_t* pair) noexcept
{
    set_pair(pair, 0, 0);
    double p = std::numeric_limits<double>::quiet_NaN();
    double q = p;
    auto finish = [&](double pv, double qv) {
        if (lower != nullptr) *lower = pv;
        if (upper != nullptr) *upper = qv;
        return pv;
    };
    if (!(a > 0.0) || std::isinf(a)) {
        set_pair(pair, 1, 0);
        return finish(p, q);
    }
    if (!(x >= 0.0) || std::isinf(x)) {
        set_pair(pair, 2, 0);
        return finish(p, q);
    }
    if (x == 0.0) return finish(0.0, 1.0);
    const double tol = (tolerance > 1e-16 && tolerance <= 1.0) ? tolerance : 1e-16;

    // Temme's uniform asymptotic expansion around the transition x = a.
    if (a >= 20.0 && x >= 0.7 * a && x <= 1.4 * a) {
        const double mu = (x - a) / a;
        const double deficit = log1p_deficit(mu);
        const double lambda = a * deficit;
        const double sign = x >= a ? 1.0 : -1.0;
        const double eta = sign * std::sqrt(2.0 * deficit);
        double r = 0.0;
        if (-lambda > ln_tiny)
            r = std::exp(-lambda) / std::sqrt(2.0 * pi * a) * temme_series(eta, a, tol);
        const double root = std::sqrt(lambda);
        if (x >= a) {
            q = 0.5 * complementary_error_function(root) + r;
            return finish(1.0 - q, q);
        }
        p = 0.5 * complementary_error_function(root) - r;
        return finish(p, 1.0 - p);
    }

    // Gautschi's choice between the series of P and the evaluations of Q.
    const double alpha = x >= 0.25 ? x + 0.25 : std::log(0.5) / std::log(x);
    const double log_x = std::log(x);
    if (a > alpha) {
        // P = x^a e^-x / Gamma(a+1) * sum x^n / ((a+1)...(a+n)).
        int32_t sub[2];
        const double log_gamma_a1 = log_gamma(a + 1.0, sub);
        if (sub[0] != 0) return finish(0.0, 1.0);  // a > x here
        double term = 1.0, sum = 1.0;
        int n = 1;
        for (; n <= max_terms; ++n) {
            term *= x / (a + n);
            sum += term;
            if (term <= tol * sum) break;
        }
        if (n > max_terms) set_pair(pair, 10, 0);
        const double exponent = (a > 15.0 ? log_power_over_gamma(a, x) - std::log(a)
                                          : a * (log_x - log_gamma_a1 / a) - x) +
                                std::log(sum);
        p = exponent > ln_tiny ? std::exp(exponent) : 0.0;
        return finish(p, 1.0 - p);
    }
    if (x > 1.5) {
        // Legendre's continued fraction for Q (modified Lentz).
        if (x + 1.0 - a > 1e150) return finish(1.0, 0.0);
        int32_t sub[2];
        const double log_gamma_a = log_gamma(a, sub);
        if (sub[0] != 0) return finish(1.0, 0.0);  // x > 1.4 a here
        constexpr double tiny = 1e-300;
        double b = x + 1.0 - a;
        double c = 1.0 / tiny;
        double d = 1.0 / b;
        double h = d;
        int i = 1;
        for (; i <= max_terms; ++i) {
            const double an = -i * (i - a);
            b += 2.0;
            d = an * d + b;
            if (std::fabs(d) < tiny) d = tiny;
            c = b + an / c;
            if (std::fabs(c) < tiny) c = tiny;
            d = 1.0 / d;
            const double delta = d * c;
            h *= delta;
            if (std::fabs(delta - 1.0) <= tol) break;
        }
        if (i > max_terms) set_pair(pair, 11, 0);
        const double log_q = (a > 15.0 ? log_power_over_gamma(a, x) : a * log_x - x - log_gamma_a) +
                             std::log(h);
        q = log_q > ln_tiny ? std::exp(log_q) : 0.0;
        return finish(1.0 - q, q);
    }
    // x <= 1.5, a <= alpha: Taylor series of Q,
    //   Q = u + x^a/Gamma(a) sum_{n>=1} (-1)^(n+1) x^n / (n! (a+n)),
    //   u = 1 - x^a/Gamma(a+1), formed without cancellation for a <= 1/2.
    double u, prefactor;
    if (a <= 0.5) {
        const double g = reciprocal_gamma_1p_minus_1(a);  // 1/Gamma(1+a) - 1
        const double y = a * log_x;                         // |y| <= 0.7 here
        double term = y, em1 = y;                           // x^a - 1
        int n = 2;
        for (; n <= max_terms; ++n) {
            if (std::fabs(term) <= tol / 100.0 * std::fabs(em1)) break;
            term *= y / n;
            em1 += term;
        }
        if (n > max_terms) set_pair(pair, 12, 0);
        const double xa = 1.0 + em1;
        u = -g * xa - em1;
        prefactor = a * xa * (1.0 + g);
    } else {
        int32_t sub[2];
        const double xa_over_gamma = std::exp(a * log_x) / gamma_function(a + 1.0, sub);
        u = 1.0 - xa_over_gamma;
        prefactor = a * xa_over_gamma;
    }
    double term = 1.0, sum = 0.0;
    int n = 1;
    for (; n <= max_terms; ++n) {
        term *= -x / n;
        const double contribution = -term / (a + n);
        sum += contribution;
        if (std::fabs(contribution) <= tol / 100.0 * std::fabs(sum)) break;
    }
    if (n > max_terms) set_pair(pair, 13, 0);
    q = u + prefactor * sum;
    return finish(1.0 - q, q);
}

double gamma_percentage_point(double p, double a, double b, double tolerance,
                              int32_t* pair) noexcept
{
    // AS 91 (Best and Roberts) with the AS R85 revisions.
    set_pair(pair, 0, 1);
    auto code = [pair](int32_t c) {
        if (pair != nullptr) pair[0] = c;
    };
    if (!(p >= 0.0 && p < 1.0)) {
        code(1);
        return 0.0;
    }
    if (!(a > 0.0 && a <= 1e6)) {
        code(2);
        return 0.0;
    }
    if (!(b > 0.0) || std::isinf(b)) {
        code(3);
        return 0.0;
    }
    if (p == 0.0) return 0.0;
    const double tol = (tolerance > 1e-15 && tolerance < 1.0) ? tolerance : 1e-15;

    const double g = log_gamma(a, nullptr);
    const double c = a - 1.0;
    double ch;
    if (a < -0.62 * std::log(p)) {
        // Small p: the leading term of the lower tail.
        const double log_ch = (std::log(p) + std::log(a) + a * ln2 + g) / a;
        if (log_ch < -300.0) {
            code(10);
            return 0.0;
        }
        ch = std::exp(log_ch);
        if (ch < tol) {
            code(11);
            return b * ch / 2.0;
        }
    } else if (a <= 0.16) {
        // Very small degrees of freedom: AS 91 starting iteration (at most
        // 100 steps; the main iteration reports any failure).
        const double log_1mp = std::log1p(-p);
        ch = 0.4;
        for (int step = 0; step < 100; ++step) {
            const double previous = ch;
            const double p1 = 1.0 + ch * (4.67 + ch);
            const double p2 = ch * (6.73 + ch * (6.66 + ch));
            const double t = -0.5 + (4.67 + 2.0 * ch) / p1 - (6.73 + ch * (13.32 + 3.0 * ch)) / p2;
            ch -= (1.0 - std::exp(log_1mp + g + 0.5 * ch + c * ln2) * p2 / p1) / t;
            if (!(std::isfinite(ch) && ch > 0.0) || std::fabs(previous / ch - 1.0) <= 0.01) break;
        }
    } else {
        // Wilson and Hilferty.
        const double z = inverse_normal(p, nullptr);
        const double t = 0.111111 / a;
        ch = 2.0 * a * std::pow(z * std::sqrt(t) + 1.0 - t, 3.0);
        if (ch > 4.4 * a + 6.0) ch = -2.0 * (std::log1p(-p) - c * std::log(0.5 * ch) + g);
    }
    if (!(std::isfinite(ch) && ch > 0.0)) {
        code(20);
        return 0.0;
    }

    auto bisect = [](double low, double high) {
        if (std::isinf(high)) return 2.0 * low;
        if (low == 0.0) return 0.5 * high;
        return std::sqrt(low) * std::sqrt(high);
    };
    // Seven-term Taylor series steps of AS 91.  Safeguards for the far
    // tails, where the start can be poor and a Taylor step in ch overshoots:
    // while the computed tail differs from the target by more than half of
    // it, a Newton step on the logarithm of the tail is taken instead (the
    // tails are log-concave, so these steps do not overshoot from the near
    // side); a step that leaves the bracket formed by the earlier iterates,
    // or is not finite, is replaced by a bisection step in ln ch; and once the
    // relative change is at most 1e-12 and stops shrinking the iterate is taken
    // as converged to the rounding level of the incomplete gamma integral.
    const double target = p < 0.5 ? p : 1.0 - p;  // 1 - p is exact here
    int32_t sub[2];
    double below = 0.0;                                     // P(a, below/2) < p
    double above = std::numeric_limits<double>::infinity();  // P(a, above/2) > p
    double last_change = std::numeric_limits<double>::infinity();
    for (int step = 1; step <= 100; ++step) {
        const double previous = ch;
        const double h = 0.5 * ch;
        double upper = 0.0;
        const double lower = incomplete_gamma(a, h, tol, nullptr, &upper, sub);
        if (sub[0] != 0) code(13);
        // p - P(a, h), taken as Q(a, h) - (1 - p) in the upper half, where
        // 1 - p is exact and Q keeps its relative precision.
        const double d = p < 0.5 ? p - lower : upper - (1.0 - p);
        if (d > 0.0) below = ch;
        if (d < 0.0) above = ch;
        const double log_inverse_density = a * ln2 + g + h - c * std::log(ch);
        const double tail = p < 0.5 ? lower : upper;
        if (tail > 0.0 && std::fabs(d) > 0.5 * target) {
            const double sign = p < 0.5 ? 1.0 : -1.0;
            ch += sign * std::log(target / tail) * std::exp(std::log(tail) + log_inverse_density);
            if (!(ch > below && ch < above)) ch = bisect(below, above);
            if (std::fabs(previous / ch - 1.0) <= tol) return b * ch / 2.0;
            continue;
        }
        const double t = d * std::exp(log_inverse_density);
        const double e = t / ch;
        const double f = 0.5 * t - e * c;
        const double s1 = (210.0 + f * (140.0 + f * (105.0 + f * (84.0 + f * (70.0 + 60.0 * f))))) / 420.0;
        const double s2 = (420.0 + f * (735.0 + f * (966.0 + f * (1141.0 + 1278.0 * f)))) / 2520.0;
        const double s3 = (210.0 + f * (462.0 + f * (707.0 + 932.0 * f))) / 2520.0;
        const double s4 = (252.0 + f * (672.0 + 1182.0 * f) + c * (294.0 + f * (889.0 + 1740.0 * f))) / 5040.0;
        const double s5 = (84.0 + 264.0 * f + c * (175.0 + 606.0 * f)) / 2520.0;
        const double s6 = (120.0 + c * (346.0 + 127.0 * c)) / 5040.0;
        double next =
            ch + t * (1.0 + 0.5 * t * s1 -
                      e * c * (s1 - e * (s2 - e * (s3 - e * (s4 - e * (s5 - e * s6))))));
        if (d != 0.0 && !(next > below && next < above)) next = bisect(below, above);
        ch = next;
        const double change = std::fabs(previous / ch - 1.0);
        if (change <= tol || (change <= 1e-12 && change >= last_change)) return b * ch / 2.0;
        last_change = change;
    }
    code(20);
    return b * ch / 2.0;
}

}  // namespace kest
