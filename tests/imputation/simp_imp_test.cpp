// Mean and mode imputation: argument codes, the fill value of continuous and
// categorical variables, and the record-major list of filled cells.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kest.h"

namespace {

constexpr double miss = -999.0;
constexpr int untouched = -77;
constexpr double untouched_val = -77.5;

struct SimpCall {
    int num_recs;
    int num_vars;
    std::vector<double> data;
    std::vector<int> ncat;
    std::vector<int> codes;
    int d;
    int n_cells = untouched;
    std::vector<int> recs, vars;
    std::vector<double> vals;
    int error[2] = {55, 55};

    SimpCall(int records, int variables, std::vector<double> values, int row_length = 0)
        : num_recs(records), num_vars(variables), data(std::move(values)), ncat(variables, 0),
          codes(variables * row_length + 1, 0), d(row_length)
    {
    }

    // Makes variable k categorical with the given codes.
    void categorical(int k, const std::vector<int>& list)
    {
        ncat[k] = static_cast<int>(list.size());
        std::copy(list.begin(), list.end(), codes.begin() + k * d);
    }

    void run()
    {
        recs.assign(data.size() + 1, untouched);
        vars.assign(data.size() + 1, untouched);
        vals.assign(data.size() + 1, untouched_val);
        simp_imp(num_recs, num_vars, data.data(), ncat.data(), codes.data(), d, miss, &n_cells, recs.data(),
                 vars.data(), vals.data(), error);
    }
};

struct Cell {
    int rec, var;
    double val;
};

void expect_cells(const SimpCall& c, const std::vector<Cell>& want)
{
    ASSERT_EQ(c.error[0], 0);
    ASSERT_EQ(c.n_cells, static_cast<int>(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(c.recs[i], want[i].rec) << "cell " << i;
        EXPECT_EQ(c.vars[i], want[i].var) << "cell " << i;
        EXPECT_DOUBLE_EQ(c.vals[i], want[i].val) << "cell " << i;
    }
    EXPECT_EQ(c.recs[want.size()], untouched) << "written past the last cell";
}

struct CodeCase {
    const char* name;
    std::function<void(SimpCall&)> change;
    int code, detail;
};
void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }

class SimpImpCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(SimpImpCodes, RefusesInCheckingOrderAndWritesNothing)
{
    // Two records, one continuous and one categorical variable, one cell missing.
    SimpCall c(2, 2, {1.0, 2.0, miss, 3.0}, 2);
    c.categorical(1, {2, 3});
    GetParam().change(c);
    c.run();
    EXPECT_EQ(c.error[0], GetParam().code);
    EXPECT_EQ(c.error[1], GetParam().detail);
    EXPECT_EQ(c.n_cells, GetParam().code == 0 ? 1 : untouched);
    EXPECT_EQ(c.recs[0], GetParam().code == 0 ? 1 : untouched);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SimpImpCodes,
    testing::Values(CodeCase{"valid_call_clears_error", [](SimpCall&) {}, 0, 0},
                    CodeCase{"no_records", [](SimpCall& c) { c.num_recs = 0; }, 1, 0},
                    CodeCase{"negative_records", [](SimpCall& c) { c.num_recs = -4; }, 1, -4},
                    CodeCase{"no_variables", [](SimpCall& c) { c.num_vars = 0; }, 2, 0},
                    CodeCase{"negative_variables", [](SimpCall& c) { c.num_vars = -2; }, 2, -2},
                    CodeCase{"records_before_variables",
                             [](SimpCall& c) {
                                 c.num_recs = 0;
                                 c.num_vars = 0;
                             },
                             1, 0},
                    CodeCase{"negative_category_count", [](SimpCall& c) { c.ncat[1] = -1; }, 10, 2},
                    CodeCase{"category_count_above_row_length", [](SimpCall& c) { c.ncat[0] = 3; }, 10, 1},
                    CodeCase{"counts_before_category_counts",
                             [](SimpCall& c) {
                                 c.num_vars = -1;
                                 c.ncat[0] = -1;
                             },
                             2, -1}),
    testing::PrintToStringParamName());

TEST(SimpImpTest, ContinuousMeanFillsRecordMajor)
{
    // Means: variable 0 (1 + 4) / 2 = 2.5, variable 1 (2 + 3 + 7) / 3 = 4,
    // variable 2 (-1 + 0.5) / 2 = -0.25.  A value next to the missing code is
    // observed.
    SimpCall c(4, 3, {1.0, miss, -1.0, /**/ miss, 2.0, miss, /**/ 4.0, 3.0, 0.5, /**/ miss, 7.0, miss});
    c.run();
    expect_cells(c, {{0, 1, 4.0}, {1, 0, 2.5}, {1, 2, -0.25}, {3, 0, 2.5}, {3, 2, -0.25}});
}

TEST(SimpImpTest, MissingCodeMatchesExactly)
{
    SimpCall c(3, 1, {miss + 1e-9, miss, 1.0});
    c.run();
    expect_cells(c, {{1, 0, (miss + 1e-9 + 1.0) / 2}});
}

TEST(SimpImpTest, VariableWithoutObservedValuesGetsTheMissingCode)
{
    SimpCall c(2, 2, {miss, 5.0, miss, miss}, 1);
    c.categorical(1, {4});  // a categorical neighbour does not change the rule
    c.run();
    expect_cells(c, {{0, 0, miss}, {1, 0, miss}, {1, 1, 4.0}});
}

TEST(SimpImpTest, NoMissingCellLeavesOutputArraysAlone)
{
    SimpCall c(2, 2, {1.0, 2.0, 3.0, 4.0});
    c.run();
    expect_cells(c, {});
    EXPECT_EQ(c.vars[0], untouched);
    EXPECT_EQ(c.vals[0], untouched_val);
}

struct ModeCase {
    const char* name;
    std::vector<int> codes;     // of the categorical variable; d is 4
    std::vector<double> values; // observed values; one more record is missing
    double fill;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class SimpImpMode : public testing::TestWithParam<ModeCase> {};

TEST_P(SimpImpMode, FillsTheMostFrequentCode)
{
    const ModeCase& m = GetParam();
    std::vector<double> data = m.values;
    data.push_back(miss);
    const int records = static_cast<int>(data.size());
    SimpCall c(records, 1, data, 4);
    // Codes past the variable's count stand in the row but are not its codes.
    std::fill(c.codes.begin(), c.codes.end(), 9);
    c.categorical(0, m.codes);
    c.run();
    expect_cells(c, {{records - 1, 0, m.fill}});
}

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, SimpImpMode,
    testing::Values(
        ModeCase{"plain_majority", {1, 2, 3}, {2, 3, 2, 1}, 2},
        ModeCase{"earliest_code_wins_tie", {5, 3, 1}, {1, 3, 3, 1}, 3},
        ModeCase{"later_code_needs_strictly_more", {5, 3, 1}, {1, 1, 3, 3, 1}, 1},
        ModeCase{"rounds_half_up", {2, 3}, {2.5, 2.5, 2.0}, 3},
        ModeCase{"rounds_negative_half_up", {-3, -2}, {-2.5, -2.5, -3.0}, -2},
        ModeCase{"rounds_to_nearest", {1, 2}, {1.49, 1.6, 2.4}, 2},
        ModeCase{"ignores_values_outside_codes", {4, 5}, {7, 7, 7, 5}, 5},
        ModeCase{"only_counted_codes_belong_to_the_variable", {4, 5}, {9, 9, 9, 4}, 4},
        ModeCase{"first_code_when_nothing_counted", {6, 8}, {7, 9, 10}, 6},
        ModeCase{"first_code_when_all_values_unroundable", {6, 8}, {inf, -inf, nan, 1e300, -3e9}, 6},
        ModeCase{"unroundable_values_are_not_counted", {2, 1}, {1, 1e10, 1e10, 2.3e9}, 1},
        ModeCase{"zero_and_negative_zero_are_code_zero", {1, 0}, {0.0, -0.0, 1.0}, 0}),
    testing::PrintToStringParamName());

TEST(SimpImpTest, MixedVariablesUseOneFillEach)
{
    // Variable 0 continuous (mean 2), variable 1 categorical with codes 7, 8
    // (8 twice), variable 2 categorical with no code observed.
    SimpCall c(4, 3, {1.0, 8.0, miss, /**/ miss, 8.0, 3.0, /**/ 3.0, 7.0, miss, /**/ miss, miss, miss}, 3);
    c.categorical(1, {7, 8});
    c.categorical(2, {1, 2, 4});
    c.run();
    expect_cells(c, {{0, 2, 1.0}, {1, 0, 2.0}, {2, 2, 1.0}, {3, 0, 2.0}, {3, 1, 8.0}, {3, 2, 1.0}});
}

}  // namespace

namespace {

TEST(SimpImpTest, NullArraysAreRefusedWithTheirArgumentNumber)
{
    SimpCall c(2, 2, {1.0, 2.0, miss, 3.0}, 2);
    c.categorical(1, {2, 3});
    c.recs.assign(5, untouched);
    c.vars.assign(5, untouched);
    c.vals.assign(5, untouched_val);
    struct Case {
        int argument;
        bool codes_only;
    };
    for (const Case k : {Case{3, false}, Case{4, false}, Case{5, true}, Case{8, false}, Case{9, false},
                         Case{10, false}, Case{11, false}}) {
        int error[2] = {55, 55};
        simp_imp(2, 2, k.argument == 3 ? nullptr : c.data.data(), k.argument == 4 ? nullptr : c.ncat.data(),
                 k.argument == 5 ? nullptr : c.codes.data(), 2, miss, k.argument == 8 ? nullptr : &c.n_cells,
                 k.argument == 9 ? nullptr : c.recs.data(), k.argument == 10 ? nullptr : c.vars.data(),
                 k.argument == 11 ? nullptr : c.vals.data(), error);
        EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT) << k.argument;
        EXPECT_EQ(error[1], k.argument);
        EXPECT_EQ(c.n_cells, untouched);
    }
    // Without a categorical variable the codes are not needed.
    c.ncat[1] = 0;
    int error[2] = {55, 55};
    simp_imp(2, 2, c.data.data(), c.ncat.data(), nullptr, 0, miss, &c.n_cells, c.recs.data(), c.vars.data(),
             c.vals.data(), error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(c.n_cells, 1);
}

}  // namespace
