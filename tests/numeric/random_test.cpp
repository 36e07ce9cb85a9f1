// The generator against 128-bit reference arithmetic, seeding, and the
// integer sampler's codes, outputs and consumption of draws.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <vector>

#include "kest.h"
#include "numeric/random.h"

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr uint64_t multiplier = 302875106592253ULL;  // 13^13
constexpr uint64_t mask60 = (uint64_t{1} << 60) - 1;
constexpr double clamp_value = 0.999999999999999;

uint64_t step(uint64_t x) { return static_cast<uint64_t>((static_cast<u128>(multiplier) * x) & mask60); }

// Inverse of the multiplier modulo 2^64 by Newton's iteration.
uint64_t inverse_multiplier()
{
    uint64_t inv = multiplier;
    for (int i = 0; i < 6; ++i) inv *= 2 - multiplier * inv;
    return inv;
}

uint64_t value_of(const RandState& s)
{
    return static_cast<uint64_t>(s.limb[0]) | static_cast<uint64_t>(s.limb[1]) << 15 |
           static_cast<uint64_t>(s.limb[2]) << 30 | static_cast<uint64_t>(s.limb[3]) << 45;
}

RandState state_of(uint64_t x)
{
    return RandState{{static_cast<int32_t>(x & 0x7FFF), static_cast<int32_t>(x >> 15 & 0x7FFF),
                      static_cast<int32_t>(x >> 30 & 0x7FFF), static_cast<int32_t>(x >> 45 & 0x7FFF)},
                     1851};
}

// X / 2^60 correctly rounded, then clamped.
double expected_draw(uint64_t x)
{
    const double u = static_cast<double>(x) * 0x1p-60;
    return u > clamp_value ? clamp_value : u;
}

void expect_state(const RandState& s, uint64_t x)
{
    const RandState want = state_of(x);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(s.limb[i], want.limb[i]) << "limb " << i;
    EXPECT_EQ(s.marker, 1851);
}

TEST(RandomTest, DrawsMatchReferenceArithmeticBitForBit)
{
    for (int seed : {0, 1, 8191, 8192, 123456789, INT_MAX}) {
        SCOPED_TRACE(seed);
        RandState s{};
        set_rand_seed(seed, &s);
        uint64_t x = step(4 * static_cast<uint64_t>(seed) + 2);  // after the discarded draw
        expect_state(s, x);
        for (int n = 0; n < 5000; ++n) {
            x = step(x);
            const double u = kest::rand_uniform(&s);
            ASSERT_EQ(std::bit_cast<uint64_t>(u), std::bit_cast<uint64_t>(expected_draw(x))) << "step " << n;
            ASSERT_EQ(value_of(s), x) << "step " << n;
            ASSERT_GT(u, 0.0);
            ASSERT_LE(u, clamp_value);
        }
    }
}

TEST(RandomTest, SeedZeroGivesTwiceTheSquareOfTheMultiplier)
{
    RandState s{};
    set_rand_seed(0, &s);
    const uint64_t x = static_cast<uint64_t>((static_cast<u128>(2) * multiplier * multiplier) & mask60);
    EXPECT_EQ(kest::rand_uniform(&s), static_cast<double>(x) / 0x1p60);
}

TEST(RandomTest, UnsetMarkerStartsFromTheDefaultState)
{
    RandState unset{{-5, 99999, 0, 7}, 0};
    RandState explicit_default{{6698, 7535, 26792, 30140}, 1851};
    uint64_t x = value_of(explicit_default);
    for (int n = 0; n < 100; ++n) {
        x = step(x);
        const double u = kest::rand_uniform(&unset);
        EXPECT_EQ(u, kest::rand_uniform(&explicit_default));
        EXPECT_EQ(u, expected_draw(x));
    }
    expect_state(unset, x);
}

TEST(RandomTest, OutputIsClampedBelowOne)
{
    EXPECT_EQ(std::bit_cast<uint64_t>(clamp_value), 0x3FEFFFFFFFFFFFF7ULL);
    const uint64_t inv = inverse_multiplier();
    ASSERT_EQ(step(inv & mask60), 1u);
    struct Case {
        uint64_t next;  // state value after the draw
        double want;
    };
    const uint64_t top = uint64_t{1} << 60;
    const Case cases[] = {
        {top - 2, clamp_value},                  // rounds to 1.0 in double
        {top - 1024, clamp_value},               // 1 - 8 * 2^-53, above the clamp
        {top - 1152, clamp_value},               // exactly the clamp
        {top - 1280, 1.0 - 10 * 0x1p-53},        // just below: returned as is
    };
    for (const Case& c : cases) {
        RandState s = state_of(static_cast<uint64_t>((static_cast<u128>(c.next) * inv) & mask60));
        EXPECT_EQ(std::bit_cast<uint64_t>(kest::rand_uniform(&s)), std::bit_cast<uint64_t>(c.want));
        EXPECT_EQ(value_of(s), c.next);
    }
}

TEST(RandomTest, NegativeSeedTakesTheClockAndNullStateIsIgnored)
{
    set_rand_seed(3, nullptr);
    for (int attempt = 0; attempt < 5; ++attempt) {
        const std::time_t before = std::time(nullptr);
        RandState a{}, b{}, c{};
        set_rand_seed(-1, &a);
        set_rand_seed(-7, &b);
        const std::time_t after = std::time(nullptr);
        if (before != after) continue;  // crossed a second boundary
        set_rand_seed(static_cast<int>(before & 0x7FFFFFFF), &c);
        for (int n = 0; n < 10; ++n) {
            const double u = kest::rand_uniform(&c);
            EXPECT_EQ(kest::rand_uniform(&a), u);
            EXPECT_EQ(kest::rand_uniform(&b), u);
        }
        return;
    }
    FAIL() << "the clock kept changing seconds";
}

// rand_sample with an unseeded state: a failure must draw nothing, so the
// state stays exactly as given.
TEST(RandomTest, SampleFailuresFollowTheValidationOrder)
{
    struct Case {
        int replace, count, lo, hi, code;
    };
    const Case cases[] = {
        {1, 0, -1, -2, 2},  {0, -3, 0, 5, 2},    {-1, 1, -1, -1, 3}, {1, 2, -1, 4, 3},
        {1, 1, 0, 0, 4},    {0, 1, 0, 0, 4},     {-1, 1, 0, 0, 4},   {0, 9, 5, 2, 4},
        {0, 4, 0, 3, 1},    {-1, 7, 10, 13, 1},  {0, 1, 3, 4, 0},    {1, 9, 3, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.replace << " " << c.count << " " << c.lo << " " << c.hi);
        RandState s{{1, 2, 3, 4}, 0};
        std::vector<int32_t> out(12, -77);
        int code = 55;
        kest::rand_sample(c.replace, c.count, c.lo, c.hi, out.data(), &s, &code);
        EXPECT_EQ(code, c.code);
        if (c.code != 0) {
            EXPECT_EQ(s.marker, 0);
            EXPECT_EQ(s.limb[0], 1);
            EXPECT_EQ(s.limb[3], 4);
            for (int32_t v : out) EXPECT_EQ(v, -77);
        }
    }
}

TEST(RandomTest, SamplingWithReplacementUsesOneDrawPerValue)
{
    struct Case {
        int count, lo, hi;
    };
    for (const Case c : {Case{1000, 0, 1}, Case{500, 7, 19}, Case{300, 0, INT_MAX}, Case{50, 1000000, INT_MAX}}) {
        RandState s{};
        set_rand_seed(2024, &s);
        uint64_t x = value_of(s);
        std::vector<int32_t> out(c.count + 1, -1);
        int code = -1;
        kest::rand_sample(1, c.count, c.lo, c.hi, out.data(), &s, &code);
        ASSERT_EQ(code, 0);
        const uint64_t range = static_cast<uint64_t>(static_cast<int64_t>(c.hi) - c.lo + 1);
        bool repeated = false;
        for (int i = 0; i < c.count; ++i) {
            x = step(x);
            // floor(lo + range * u) with exact arithmetic on the 60-bit state:
            // range * X / 2^60 never lands within double rounding of an integer
            // for these ranges, so both sides agree.
            const auto want = c.lo + static_cast<int64_t>((static_cast<u128>(range) * x) >> 60);
            ASSERT_EQ(out[i], want) << "element " << i;
            ASSERT_GE(out[i], c.lo);
            ASSERT_LE(out[i], c.hi);
            for (int j = 0; j < i && !repeated; ++j) repeated = out[j] == out[i];
        }
        EXPECT_EQ(out[c.count], -1);
        EXPECT_EQ(value_of(s), x);
        if (c.hi - c.lo < 20) {
            EXPECT_TRUE(repeated);
        }
    }
}

TEST(RandomTest, SamplingWithoutReplacementGivesAscendingDistinctValues)
{
    struct Case {
        int replace, count, lo, hi;
    };
    RandState s{};
    set_rand_seed(17, &s);
    for (const Case c : {Case{0, 3, 0, 3}, Case{-1, 1, 5, 6}, Case{0, 5, 100, 140}, Case{-1, 999, 0, 999},
                         Case{0, 37, 2, 1000}}) {
        SCOPED_TRACE(testing::Message() << c.count << " from " << c.lo << ".." << c.hi);
        uint64_t x = value_of(s);
        std::vector<int32_t> out(c.count + 1, -1);
        int code = -1;
        kest::rand_sample(c.replace, c.count, c.lo, c.hi, out.data(), &s, &code);
        ASSERT_EQ(code, 0);
        for (int i = 0; i < c.count; ++i) {
            EXPECT_GE(out[i], i == 0 ? c.lo : out[i - 1] + 1);
            EXPECT_LE(out[i], c.hi);
        }
        EXPECT_EQ(out[c.count], -1);
        for (int n = 0; n <= c.hi - c.lo; ++n) x = step(x);
        EXPECT_EQ(value_of(s), x);  // one draw per candidate
    }
}

TEST(RandomTest, SelectionSamplingIncludesEveryCandidateEvenly)
{
    RandState s{};
    set_rand_seed(99, &s);
    const int trials = 4000;
    int hits[10] = {};
    for (int t = 0; t < trials; ++t) {
        int32_t out[3];
        int code = -1;
        kest::rand_sample(0, 3, 0, 9, out, &s, &code);
        ASSERT_EQ(code, 0);
        for (int32_t v : out) ++hits[v];
    }
    // Expected 1200 each, standard deviation about 29.
    for (int v = 0; v < 10; ++v) EXPECT_NEAR(hits[v], 1200, 150) << "value " << v;
}

TEST(RandomTest, StateStuckAtZeroStillYieldsExactlyCountValues)
{
    RandState zero{{0, 0, 0, 0}, 1851};
    int32_t out[5] = {-1, -1, -1, -1, -1};
    int code = -1;
    kest::rand_sample(0, 2, 0, 5, out, &zero, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 1);
    EXPECT_EQ(out[2], -1);
}

}  // namespace
