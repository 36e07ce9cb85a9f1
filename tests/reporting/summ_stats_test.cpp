// Summary statistics: codes in their order, the running mean and deviation
// against values known independently, the bin count rule, the bin of a
// value on an edge, category frequencies and the tables left unwritten.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kest.h"

namespace {

constexpr double miss = -999.0;
constexpr double unset = -77.5;  // a double output not written
constexpr int unset_int = -77;   // an int output not written

struct SummCall {
    int num_recs;
    int num_vars;
    std::vector<double> data;
    std::vector<int> ncat;
    std::vector<int> codes;
    int a;
    std::vector<double> mean, sd, min, max, mids;
    std::vector<int> n_obs, freqs;
    int error[2] = {55, 55};

    SummCall(int records, int variables, std::vector<double> values, int row_length = 11)
        : num_recs(records), num_vars(variables), data(std::move(values)),
          ncat(static_cast<std::size_t>(std::max(variables, 1)), 0),
          codes(static_cast<std::size_t>(std::max(variables, 1) * std::max(row_length, 1)), 0), a(row_length)
    {
        const std::size_t v = ncat.size();
        const std::size_t cells = codes.size();
        mean.assign(v, unset);
        sd.assign(v, unset);
        min.assign(v, unset);
        max.assign(v, unset);
        n_obs.assign(v, unset_int);
        mids.assign(cells, unset);
        freqs.assign(cells, unset_int);
    }

    void categorical(int k, const std::vector<int>& list)
    {
        ncat[static_cast<std::size_t>(k)] = static_cast<int>(list.size());
        for (std::size_t j = 0; j < list.size(); ++j) codes[static_cast<std::size_t>(k * a) + j] = list[j];
    }

    void run()
    {
        summ_stats(num_recs, num_vars, miss, data.data(), ncat.data(), codes.data(), a, mean.data(), sd.data(),
                   min.data(), max.data(), n_obs.data(), mids.data(), freqs.data(), error);
    }

    std::vector<int> freq_row(int k, int n) const
    {
        return std::vector<int>(freqs.begin() + k * a, freqs.begin() + k * a + n);
    }
    std::vector<double> mid_row(int k, int n) const
    {
        return std::vector<double>(mids.begin() + k * a, mids.begin() + k * a + n);
    }
    bool untouched(int k) const
    {
        const std::size_t i = static_cast<std::size_t>(k);
        bool rows = true;
        for (int j = 0; j < a; ++j) {
            rows = rows && mids[i * a + j] == unset && freqs[i * a + j] == unset_int;
        }
        return rows && mean[i] == unset && sd[i] == unset && min[i] == unset && max[i] == unset &&
               n_obs[i] == unset_int;
    }
};

// ---------------------------------------------------------------------------
// Refusals before anything is written

struct RefusalCase {
    const char* name;
    int records, variables, row_length;
    int too_many_codes_for;  // variable given a+1 codes, -1 none
    int code, detail;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class SummStatsRefusals : public testing::TestWithParam<RefusalCase> {};

TEST_P(SummStatsRefusals, EndTheCallBeforeAnyOutput)
{
    const RefusalCase& c = GetParam();
    const int cells = std::max(c.records, 1) * std::max(c.variables, 1);
    SummCall call(c.records, c.variables, std::vector<double>(static_cast<std::size_t>(cells), 1.0), c.row_length);
    if (c.too_many_codes_for >= 0) {
        call.ncat[static_cast<std::size_t>(c.too_many_codes_for)] = c.row_length + 1;
    }
    const std::vector<int> ncat_before = call.ncat;
    call.run();
    EXPECT_EQ(call.error[0], c.code);
    EXPECT_EQ(call.error[1], c.detail);
    EXPECT_EQ(call.ncat, ncat_before);
    for (int k = 0; k < static_cast<int>(call.ncat.size()); ++k) EXPECT_TRUE(call.untouched(k)) << "variable " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SummStatsRefusals,
    testing::Values(RefusalCase{"no_variables", 5, 0, 11, -1, 2, 0},
                    RefusalCase{"negative_variables", 5, -3, 11, -1, 2, -3},
                    // Checked before the records, which are then also too few.
                    RefusalCase{"variables_before_records", 0, 0, 11, -1, 2, 0},
                    RefusalCase{"fewer_records_than_variables_all_observed", 2, 3, 11, -1, 1, 2},
                    RefusalCase{"no_records", 0, 1, 11, -1, 1, 0},
                    RefusalCase{"row_length_zero", 4, 2, 0, -1, 3, 0},
                    RefusalCase{"row_length_negative", 4, 2, -2, -1, 3, -2},
                    RefusalCase{"more_codes_than_a_row_holds", 4, 3, 4, 2, 4, 3}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Continuous variables

TEST(SummStats, ContinuousMeanDeviationExtremesAndHistogram)
{
    // 2 4 4 4 5 5 7 9 among 10 records: mean 5, squares 32, deviation
    // sqrt(32/7).  B = floor(sqrt(10) + 1) = 4 bins of width 7/4, whose upper
    // edges 3.75, 5.5 and 7.25 part the values as 2 | 4 4 4 5 5 | 7 | 9.
    SummCall c(10, 1, {2, miss, 4, 4, 4, 5, miss, 5, 7, 9});
    c.run();
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.error[1], 0);
    EXPECT_EQ(c.n_obs[0], 8);
    EXPECT_DOUBLE_EQ(c.mean[0], 5.0);
    EXPECT_NEAR(c.sd[0], std::sqrt(32.0 / 7.0), 4 * DBL_EPSILON * std::sqrt(32.0 / 7.0));
    EXPECT_EQ(c.min[0], 2.0);
    EXPECT_EQ(c.max[0], 9.0);
    EXPECT_EQ(c.ncat[0], -4);
    EXPECT_EQ(c.freq_row(0, 5), (std::vector<int>{1, 5, 1, 1, unset_int}));
    const std::vector<double> mids = c.mid_row(0, 5);
    EXPECT_DOUBLE_EQ(mids[0], 2.875);
    EXPECT_DOUBLE_EQ(mids[1], 4.625);
    EXPECT_DOUBLE_EQ(mids[2], 6.375);
    EXPECT_DOUBLE_EQ(mids[3], 8.125);
    EXPECT_EQ(mids[4], unset) << "written beyond the bins";
}

TEST(SummStats, RunningUpdatesKeepSmallSpreadsOfLargeValues)
{
    // Sums of squares of values near 1e9 lose the spread entirely; the
    // running updates give it exactly: deviations 1 of a mean 1e9 + 2.
    SummCall c(3, 1, {1e9 + 1, 1e9 + 2, 1e9 + 3});
    c.run();
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.mean[0], 1e9 + 2);
    EXPECT_EQ(c.sd[0], 1.0);
}

TEST(SummStats, BinCountFollowsTheRecordsUpToElevenAndTheRowLength)
{
    // floor(sqrt(records) + 1), at most 11 and at most a.
    const std::pair<int, int> cases[] = {{1, 2},  {2, 2},  {3, 2},  {4, 3},   {8, 3},    {9, 4},
                                         {15, 4}, {16, 5}, {99, 10}, {100, 11}, {5000, 11}};
    for (const auto& [records, bins] : cases) {
        std::vector<double> values(static_cast<std::size_t>(records), miss);
        values[0] = 1;
        values[static_cast<std::size_t>(records - 1)] = 3;  // one record: fewer than two values
        SummCall c(records, 1, values);
        c.run();
        if (records == 1) {
            EXPECT_EQ(c.error[0], 5);
            continue;
        }
        ASSERT_EQ(c.error[0], 0) << records;
        EXPECT_EQ(c.ncat[0], -bins) << records << " records";
        int total = 0;
        for (int f : c.freq_row(0, bins)) total += f;
        EXPECT_EQ(total, 2) << records << " records";
    }
    SummCall limited(100, 1, std::vector<double>(100, 1.0), 3);
    limited.data[7] = 4.0;
    limited.run();
    ASSERT_EQ(limited.error[0], 0);
    EXPECT_EQ(limited.ncat[0], -3);
    EXPECT_EQ(limited.freq_row(0, 3), (std::vector<int>{99, 0, 1}));
}

TEST(SummStats, AValueOnAnEdgeFallsIntoTheLowerBin)
{
    // 4 records: 3 bins of width 1 with upper edges 1 and 2.
    SummCall c(4, 1, {0, 1, 2, 3});
    c.run();
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.freq_row(0, 3), (std::vector<int>{2, 1, 1}));
    EXPECT_EQ(c.mid_row(0, 3), (std::vector<double>{0.5, 1.5, 2.5}));
}

TEST(SummStats, EqualValuesHaveWidthZeroAndAllLandInTheFirstBin)
{
    SummCall c(9, 1, std::vector<double>(9, 2.5));
    c.run();
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.sd[0], 0.0);
    EXPECT_EQ(c.ncat[0], -4);
    EXPECT_EQ(c.mid_row(0, 4), (std::vector<double>(4, 2.5)));
    EXPECT_EQ(c.freq_row(0, 4), (std::vector<int>{9, 0, 0, 0}));
}

TEST(SummStats, TooFewValuesLeaveTheVariableUnwrittenAndTheNextFollows)
{
    // Variable 0 has one value, variable 1 none, variable 2 three.
    SummCall c(3, 3, {1, miss, 4, miss, miss, 5, miss, miss, 6});
    c.run();
    EXPECT_EQ(c.error[0], 5);
    EXPECT_EQ(c.error[1], 1) << "the first such variable, from 1";
    EXPECT_TRUE(c.untouched(0));
    EXPECT_TRUE(c.untouched(1));
    EXPECT_EQ(c.ncat[0], 0);
    EXPECT_EQ(c.ncat[1], 0);
    EXPECT_EQ(c.n_obs[2], 3);
    EXPECT_EQ(c.mean[2], 5.0);
    EXPECT_EQ(c.ncat[2], -2);
}

// ---------------------------------------------------------------------------
// Categorical variables

TEST(SummStats, CategoryFrequenciesOfRoundedValues)
{
    // Codes 1 2 3: 1, 2.4 -> 2, 2.5 -> 3 (half up), 0.6 -> 1, 3.
    SummCall c(6, 1, {1, 2.4, miss, 2.5, 0.6, 3}, 5);
    c.categorical(0, {1, 2, 3});
    c.run();
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.n_obs[0], 5);
    EXPECT_EQ(c.freq_row(0, 4), (std::vector<int>{2, 1, 2, unset_int}));
    EXPECT_EQ(c.mean[0], miss);
    EXPECT_EQ(c.sd[0], miss);
    EXPECT_EQ(c.min[0], miss);
    EXPECT_EQ(c.max[0], miss);
    EXPECT_EQ(c.ncat[0], 3) << "a categorical count is not rewritten";
    EXPECT_EQ(c.mid_row(0, 5), std::vector<double>(5, unset));
}

TEST(SummStats, AValueThatIsNoCodeEndsTheCallAfterTheVariablesBefore)
{
    // The third variable holds 7, which is not among 1 2 3: 3 * 10000 + 7.
    SummCall c(4, 4, {1, 2, 1, 1, 2, 3, 2, 5, 3, 4, 7, 9, 1, 5, 1, 1}, 4);
    c.categorical(0, {1, 2, 3});
    c.categorical(2, {1, 2, 3});
    c.categorical(3, {1, 5, 9});
    c.run();
    EXPECT_EQ(c.error[0], 10);
    EXPECT_EQ(c.error[1], 30007);
    EXPECT_EQ(c.freq_row(0, 3), (std::vector<int>{2, 1, 1}));
    EXPECT_EQ(c.ncat[1], -3) << "the continuous variable before it is written";
    EXPECT_EQ(c.freq_row(2, 3), (std::vector<int>{1, 1, 0})) << "counted up to the value at fault";
    EXPECT_EQ(c.n_obs[2], unset_int);
    EXPECT_TRUE(c.untouched(3));
}

TEST(SummStats, UnknownCodeDetailsStayWithinTheIntRange)
{
    struct Case {
        double value;
        int detail;
    };
    const Case cases[] = {{-4.0, 10000 - 4}, {1e12, INT_MAX}, {-1e12, INT_MIN + 10000}, {INFINITY, INT_MAX}};
    for (const Case& k : cases) {
        SummCall c(1, 1, {k.value}, 2);
        c.categorical(0, {1, 2});
        c.run();
        EXPECT_EQ(c.error[0], 10) << k.value;
        EXPECT_EQ(c.error[1], k.detail) << k.value;
    }
}

TEST(SummStats, ACodeFailureReplacesTooFewValues)
{
    SummCall c(2, 2, {1, 1, miss, 8}, 2);
    c.categorical(1, {1, 2});
    c.run();
    EXPECT_EQ(c.error[0], 10);
    EXPECT_EQ(c.error[1], 20008);
}

}  // namespace

namespace {

TEST(SummStats, NullArraysAreRefusedWithTheirArgumentNumber)
{
    // Variable 0 continuous, variable 1 categorical.
    for (int argument : {4, 5, 6, 8, 9, 10, 11, 12, 13, 14}) {
        SummCall c(4, 2, {1, 1, 2, 2, 3, 1, 4, 2}, 4);
        c.categorical(1, {1, 2});
        auto given = [argument](int number, auto* pointer) { return number == argument ? nullptr : pointer; };
        summ_stats(c.num_recs, c.num_vars, miss, given(4, c.data.data()), given(5, c.ncat.data()),
                   given(6, c.codes.data()), c.a, given(8, c.mean.data()), given(9, c.sd.data()),
                   given(10, c.min.data()), given(11, c.max.data()), given(12, c.n_obs.data()),
                   given(13, c.mids.data()), given(14, c.freqs.data()), c.error);
        EXPECT_EQ(c.error[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(c.error[1], argument);
        EXPECT_TRUE(c.untouched(0) && c.untouched(1)) << argument;
        EXPECT_EQ(c.ncat, (std::vector<int>{0, 2})) << argument;
    }
    // Without a categorical variable the codes are not read; a null
    // ErrorPair makes the call return.
    SummCall c(4, 1, {1, 2, 3, 4}, 4);
    summ_stats(4, 1, miss, c.data.data(), c.ncat.data(), nullptr, 4, c.mean.data(), c.sd.data(), c.min.data(),
               c.max.data(), c.n_obs.data(), c.mids.data(), c.freqs.data(), c.error);
    EXPECT_EQ(c.error[0], 0);
    EXPECT_EQ(c.mean[0], 2.5);
    SummCall quiet(4, 1, {1, 2, 3, 4}, 4);
    summ_stats(4, 1, miss, quiet.data.data(), quiet.ncat.data(), nullptr, 4, quiet.mean.data(), quiet.sd.data(),
               quiet.min.data(), quiet.max.data(), quiet.n_obs.data(), quiet.mids.data(), quiet.freqs.data(), nullptr);
    EXPECT_TRUE(quiet.untouched(0));
}

}  // namespace
