// Inverting permutations in place and ranking entries by a key column.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "numeric/permutation.h"

namespace {

constexpr int32_t marker_bit = 0x40000000;

TEST(InvertPermutationTest, SmallCasesAndCodes)
{
    std::vector<int32_t> v{1, 2, 0};
    EXPECT_EQ(kest::invert_permutation(v.data(), 3), 0);
    EXPECT_EQ(v, (std::vector<int32_t>{2, 0, 1}));

    int32_t one[1] = {0};
    EXPECT_EQ(kest::invert_permutation(one, 1), 0);
    EXPECT_EQ(one[0], 0);
    EXPECT_EQ(kest::invert_permutation(nullptr, 0), 0);

    int32_t twice[2] = {1, 1};
    EXPECT_EQ(kest::invert_permutation(twice, 2), 51);

    // The elements before the bad one keep the marker; the rest are untouched.
    int32_t outside[3] = {0, 3, 1};
    EXPECT_EQ(kest::invert_permutation(outside, 3), 1);
    EXPECT_EQ(outside[0], marker_bit);
    EXPECT_EQ(outside[1], 3);
    EXPECT_EQ(outside[2], 1);
    int32_t negative[3] = {2, 0, -1};
    EXPECT_EQ(kest::invert_permutation(negative, 3), 1);
    EXPECT_EQ(negative[2], -1);

    // A negative count, or one whose values would reach the marker bit, is
    // refused before the array is read.
    int32_t untouched[2] = {1, 0};
    EXPECT_EQ(kest::invert_permutation(untouched, -1), 2);
    EXPECT_EQ(kest::invert_permutation(untouched, marker_bit + 1), 2);
    EXPECT_EQ(kest::invert_permutation(untouched, std::numeric_limits<int>::max()), 2);
    EXPECT_EQ(untouched[0], 1);
    EXPECT_EQ(untouched[1], 0);
}

// Every array of length up to 6 with values in [0, n): code 0 exactly for the
// permutations, and then the array holds the inverse.  Arrays in which one
// value repeats such as [2, 0, 0] or [0, 0] must not pass as permutations.
TEST(InvertPermutationTest, ExhaustiveSmallArrays)
{
    for (int n = 1; n <= 6; ++n) {
        std::vector<int32_t> digits(n, 0);
        for (;;) {
            std::vector<bool> seen(n, false);
            bool is_permutation = true;
            for (int32_t d : digits) {
                if (seen[d]) is_permutation = false;
                seen[d] = true;
            }
            std::vector<int32_t> v = digits;
            const int code = kest::invert_permutation(v.data(), n);
            ASSERT_EQ(code, is_permutation ? 0 : 51) << testing::PrintToString(digits);
            if (is_permutation) {
                for (int i = 0; i < n; ++i) ASSERT_EQ(v[digits[i]], i) << testing::PrintToString(digits);
            }

            int k = 0;
            while (k < n && ++digits[k] == n) digits[k++] = 0;
            if (k == n) break;
        }
    }
}

// Checks that ranks is a permutation of 0..m-1 and that the keys do not
// decrease along rank order, with NaN after every number.
void expect_valid_ranking(const std::vector<double>& keys, const std::vector<int32_t>& ranks)
{
    const size_t m = keys.size();
    ASSERT_EQ(ranks.size(), m);
    std::vector<int32_t> order(m, -1);
    for (size_t j = 0; j < m; ++j) {
        ASSERT_GE(ranks[j], 0);
        ASSERT_LT(ranks[j], static_cast<int32_t>(m));
        ASSERT_EQ(order[ranks[j]], -1) << "rank " << ranks[j] << " given twice";
        order[ranks[j]] = static_cast<int32_t>(j);
    }
    for (size_t r = 1; r < m; ++r) {
        const double a = keys[order[r - 1]];
        const double b = keys[order[r]];
        if (std::isnan(b)) continue;
        ASSERT_FALSE(std::isnan(a)) << "NaN ranked before a number at rank " << r;
        ASSERT_LE(a, b) << "at rank " << r;
    }
}

std::vector<int32_t> rank_column(const std::vector<double>& keys)
{
    std::vector<int32_t> rows(keys.size());
    std::iota(rows.begin(), rows.end(), 0);
    std::vector<int32_t> ranks(keys.size(), -9);
    kest::rank_by_key(keys.data(), static_cast<int>(keys.size()), rows.data(), 0, 1, ranks.data());
    return ranks;
}

TEST(RankByKeyTest, SmallCases)
{
    EXPECT_EQ(rank_column({5.0, 1.0, 3.0}), (std::vector<int32_t>{2, 0, 1}));
    EXPECT_EQ(rank_column({-4.0}), (std::vector<int32_t>{0}));

    int32_t untouched[1] = {-9};
    const double key = 1.0;
    const int32_t row = 0;
    kest::rank_by_key(&key, 0, &row, 0, 1, untouched);
    kest::rank_by_key(&key, -3, &row, 0, 1, untouched);
    EXPECT_EQ(untouched[0], -9);

    // Keys are element column + stride * row of a row-major matrix, for the
    // rows listed (in any order, with repeats).
    const double matrix[4][3] = {{0, 40, 0}, {0, 10, 0}, {0, 30, 0}, {0, 20, 0}};
    const int32_t rows[5] = {2, 0, 3, 1, 3};
    int32_t ranks[5];
    kest::rank_by_key(&matrix[0][0], 5, rows, 1, 3, ranks);
    EXPECT_EQ(ranks[0], 3);
    EXPECT_EQ(ranks[1], 4);
    EXPECT_EQ(ranks[3], 0);
    EXPECT_EQ(std::min(ranks[2], ranks[4]), 1);
    EXPECT_EQ(std::max(ranks[2], ranks[4]), 2);
}

TEST(RankByKeyTest, DistinctKeysMatchStdSort)
{
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> dist(-1e6, 1e6);
    for (int m : {2, 3, 7, 31, 32, 33, 1023, 1024, 1025, 65537}) {
        std::vector<double> keys(m);
        for (double& k : keys) k = dist(rng);
        std::vector<int32_t> order(m);
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return keys[a] < keys[b]; });
        const std::vector<int32_t> ranks = rank_column(keys);
        for (int r = 0; r < m; ++r) ASSERT_EQ(ranks[order[r]], r) << "m " << m;
    }
}

TEST(RankByKeyTest, ManyTiesSortedAndReversedInput)
{
    std::mt19937_64 rng(12);
    for (int m : {1, 2, 5, 16, 17, 100, 4097, 300001}) {
        SCOPED_TRACE(m);
        std::uniform_int_distribution<int> few(0, 4);
        std::vector<double> keys(m);
        for (double& k : keys) k = few(rng) * 0.5;
        expect_valid_ranking(keys, rank_column(keys));

        std::sort(keys.begin(), keys.end());
        expect_valid_ranking(keys, rank_column(keys));
        std::reverse(keys.begin(), keys.end());
        expect_valid_ranking(keys, rank_column(keys));

        std::fill(keys.begin(), keys.end(), 3.0);
        expect_valid_ranking(keys, rank_column(keys));
    }
}

TEST(RankByKeyTest, NanKeysRankLastAndInfinitiesInPlace)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<int32_t> ranks = rank_column({nan, 2.0, -inf, nan, inf, -0.0, 0.0, 1.0});
    EXPECT_EQ(ranks[2], 0);
    EXPECT_EQ(ranks[7], 3);
    EXPECT_EQ(ranks[1], 4);
    EXPECT_EQ(ranks[4], 5);
    EXPECT_GE(ranks[0], 6);
    EXPECT_GE(ranks[3], 6);

    std::mt19937_64 rng(13);
    std::uniform_int_distribution<int> pick(0, 9);
    std::vector<double> keys(50000);
    for (double& k : keys) k = pick(rng) < 3 ? nan : pick(rng) - 5.0;
    expect_valid_ranking(keys, rank_column(keys));
}

TEST(RankByKeyTest, InvertedRanksListEntriesInKeyOrder)
{
    std::mt19937_64 rng(14);
    std::uniform_int_distribution<int> dist(0, 999);
    const int m = 20000;
    std::vector<double> keys(m);
    for (double& k : keys) k = dist(rng);
    std::vector<int32_t> order = rank_column(keys);
    ASSERT_EQ(kest::invert_permutation(order.data(), m), 0);
    for (int r = 1; r < m; ++r) ASSERT_LE(keys[order[r - 1]], keys[order[r]]);
}

TEST(RankIntKeysTest, SmallCasesAndTiesInEntryOrder)
{
    const int32_t keys[3] = {5, 1, 3};
    int32_t ranks[3] = {-9, -9, -9};
    kest::rank_int_keys(keys, 3, 0, 1, ranks);
    EXPECT_EQ(std::vector<int32_t>(ranks, ranks + 3), (std::vector<int32_t>{2, 0, 1}));

    const int32_t single = -4;
    int32_t rank = -9;
    kest::rank_int_keys(&single, 1, 0, 1, &rank);
    EXPECT_EQ(rank, 0);

    // Equal keys are ranked in the order in which they stand.
    const int32_t tied[6] = {2, 1, 2, 1, 2, -7};
    int32_t tied_ranks[6];
    kest::rank_int_keys(tied, 6, 0, 1, tied_ranks);
    EXPECT_EQ(std::vector<int32_t>(tied_ranks, tied_ranks + 6), (std::vector<int32_t>{3, 1, 4, 2, 5, 0}));

    // Nothing is written for a count below 1.
    int32_t untouched[1] = {-9};
    kest::rank_int_keys(keys, 0, 0, 1, untouched);
    kest::rank_int_keys(keys, -2, 0, 1, untouched);
    EXPECT_EQ(untouched[0], -9);
}

TEST(RankIntKeysTest, FirstPositionAndStride)
{
    // Keys are every third element from position 1: 30, 10, 30, 20.
    const int32_t table[12] = {0, 30, 0, 0, 10, 0, 0, 30, 0, 0, 20, 0};
    int32_t ranks[4];
    kest::rank_int_keys(table, 4, 1, 3, ranks);
    EXPECT_EQ(std::vector<int32_t>(ranks, ranks + 4), (std::vector<int32_t>{2, 0, 3, 1}));
}

// Inverted, the ranks list the entries by key and, within one key, in entry
// order: the same order as a stable sort, also for extreme keys.
TEST(RankIntKeysTest, InvertedRanksMatchStableSort)
{
    std::mt19937_64 rng(15);
    for (int m : {2, 3, 17, 1000, 65537}) {
        SCOPED_TRACE(m);
        std::uniform_int_distribution<int32_t> few(-3, 3);
        std::vector<int32_t> keys(m);
        for (int32_t& k : keys) {
            k = few(rng);
            if (k == 3) k = std::numeric_limits<int32_t>::max();
            if (k == -3) k = std::numeric_limits<int32_t>::min();
        }
        std::vector<int32_t> expected(m);
        std::iota(expected.begin(), expected.end(), 0);
        std::stable_sort(expected.begin(), expected.end(), [&](int32_t a, int32_t b) { return keys[a] < keys[b]; });

        std::vector<int32_t> order(m, -9);
        kest::rank_int_keys(keys.data(), m, 0, 1, order.data());
        ASSERT_EQ(kest::invert_permutation(order.data(), m), 0);
        ASSERT_EQ(order, expected);
    }
}

}  // namespace
