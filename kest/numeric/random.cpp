#include "numeric/random.h"

#include <cmath>
#include <cstdint>
#include <ctime>

namespace kest {

namespace {

constexpr int32_t initialised_marker = 1851;

// Multiplier 13^13 = 302875106592253 as four 15-bit limbs, low limb first.
constexpr int64_t m0 = 17917;
constexpr int64_t m1 = 13895;
constexpr int64_t m2 = 19930;
constexpr int64_t m3 = 8;
static_assert(m0 + (m1 << 15) + (m2 << 30) + (m3 << 45) == 302875106592253);

// State installed on the first draw from a state that was never seeded.
constexpr int32_t default_limb[4] = {6698, 7535, 26792, 30140};

// Largest value handed out: X / 2^60 for X close to 2^60 would round to 1.0
// in double, and callers rely on u < 1.
constexpr double upper_clamp = 0.999999999999999;

constexpr int64_t limb_mask = 0x7FFF;

}  // namespace

double rand_uniform(RandState* state) noexcept
{
    if (state->marker != initialised_marker) {
        for (int i = 0; i < 4; ++i) state->limb[i] = default_limb[i];
        state->marker = initialised_marker;
    }

    // X <- a * X mod 2^60, column by column from the old limbs.  The columns
    // are formed in 64-bit: the top one exceeds 31 bits, and even limbs a
    // caller has stored out of range cannot overflow.  Only the low 15 bits
    // of each column are kept, the rest carries into the next.
    const int64_t x0 = state->limb[0];
    const int64_t x1 = state->limb[1];
    const int64_t x2 = state->limb[2];
    const int64_t x3 = state->limb[3];
    const int64_t c0 = x0 * m0;
    const int64_t c1 = x1 * m0 + x0 * m1 + (c0 >> 15);
    const int64_t c2 = x2 * m0 + x1 * m1 + x0 * m2 + (c1 >> 15);
    const int64_t c3 = x3 * m0 + x2 * m1 + x1 * m2 + x0 * m3 + (c2 >> 15);
    const int64_t n0 = c0 & limb_mask;
    const int64_t n1 = c1 & limb_mask;
    const int64_t n2 = c2 & limb_mask;
    const int64_t n3 = c3 & limb_mask;
    state->limb[0] = static_cast<int32_t>(n0);
    state->limb[1] = static_cast<int32_t>(n1);
    state->limb[2] = static_cast<int32_t>(n2);
    state->limb[3] = static_cast<int32_t>(n3);

    // u = X / 2^60 in double arithmetic.  Both halves are below 2^30, so each
    // scaled term is exact and the sum is rounded once: u is X / 2^60
    // correctly rounded to the nearest double.
    const double hi = static_cast<double>((n3 << 15) | n2);
    const double lo = static_cast<double>((n1 << 15) | n0);
    const double u = hi * 0x1p-30 + lo * 0x1p-60;
    return u > upper_clamp ? upper_clamp : u;
}

void rand_sample(int replace, int count, int lo, int hi, int32_t* out, RandState* state, int* code) noexcept
{
    *code = 0;
    if (count < 1) {
        *code = 2;
        return;
    }
    if (lo < 0) {
        *code = 3;
        return;
    }
    if (lo >= hi) {
        *code = 4;
        return;
    }
    // hi - lo + 1 may be 2^31 (lo 0, hi INT_MAX), so the range is 64-bit.
    const int64_t range = static_cast<int64_t>(hi) - lo + 1;

    if (replace > 0) {
        const double span = static_cast<double>(range);
        for (int i = 0; i < count; ++i) {
            const double d = lo + span * rand_uniform(state);
            int64_t k = static_cast<int64_t>(std::floor(d));
            if (k < lo) k = lo;
            if (k > hi) k = hi;
            out[i] = static_cast<int32_t>(k);
        }
        return;
    }

    if (count >= range) {
        *code = 1;
        return;
    }
    // Selection sampling: candidate v is taken with probability
    // (still needed) / (candidates left).  Every candidate costs one draw,
    // also after the sample is complete, so the number of draws depends on
    // the range only.  The test r > 0 keeps the output within count values
    // even for a state that has been damaged into yielding 0.
    int64_t needed = count;
    int64_t pool = range;
    int filled = 0;
    for (int64_t v = lo; v <= hi; ++v) {
        const double u = rand_uniform(state);
        if (needed > 0 && u * static_cast<double>(pool) <= static_cast<double>(needed)) {
            out[filled++] = static_cast<int32_t>(v);
            --needed;
        }
        --pool;
    }
}

}  // namespace kest

extern "C" KEST_API void set_rand_seed(int seed, RandState* state)
{
    if (state == nullptr) return;
    if (seed < 0) {
        // The clock in whole seconds, kept a non-negative 32-bit value also
        // past 2038 (and if the clock is unavailable).
        const auto now = static_cast<int64_t>(std::time(nullptr));
        seed = static_cast<int>(now & 0x7FFFFFFF);
    }
    // X = 4 * seed + 2 spread over the limbs: X is 2 mod 4, which the
    // multiplier (1 mod 4) preserves, so the generator never reaches 0.
    state->limb[0] = (seed % 8192) * 4 + 2;
    int s = seed / 8192;
    state->limb[1] = s % 32768;
    s /= 32768;
    state->limb[2] = s % 32768;
    s /= 32768;
    state->limb[3] = s % 32768;
    state->marker = 1851;
    // The first value of a freshly seeded state is discarded.
    kest::rand_uniform(state);
}
