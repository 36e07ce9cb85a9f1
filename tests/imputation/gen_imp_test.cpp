// Nearest-neighbour donor imputation through its export: argument codes in
// checking order, the distance of every variable kind against hand-worked
// values, the donor pools, ties, reuse penalties and the report counts.
//
// Every donor's value of an imputed variable is 100 + its record, so the
// value a cell receives names the donor that gave it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "kest.h"
#include "numeric/random.h"

namespace {

constexpr double miss = -999.0;
constexpr double sentinel = 4242.0;

struct GenCall {
    int pool[3] = {0, 0, 0};
    int seed = 0, tie_limit = 1, selector = 0, reuse = 1;
    double min_weight = 0.0;
    int n, len, d = 0;
    std::vector<double> data, weights, scales, cat_dist;
    std::vector<int> types, ncat, codes;
    int n_cells = 0;
    std::vector<int> recs, vars;
    std::vector<double> vals;
    int report[5] = {9, 9, 9, 9, 9};

    GenCall(int records, int variables, std::vector<double> values)
        : n(records), len(variables), data(std::move(values)), weights(variables, 1.0), scales(variables, 1.0),
          types(variables, 0), ncat(variables, 0)
    {
    }

    // Makes variable k categorical with the given codes (one per category;
    // only one categorical variable may be wider than the others).
    void categorical(int k, const std::vector<int>& list)
    {
        d = std::max(d, static_cast<int>(list.size()));
        codes.resize(len * d, 0);
        ncat[k] = static_cast<int>(list.size());
        std::copy(list.begin(), list.end(), codes.begin() + k * d);
    }

    void supply(const std::vector<std::pair<int, int>>& cells)
    {
        n_cells = static_cast<int>(cells.size());
        recs.clear();
        vars.clear();
        for (auto [r, v] : cells) recs.push_back(r), vars.push_back(v);
        vals.assign(cells.size(), sentinel);
    }

    void run()
    {
        if (n_cells <= 0) {  // room for every cell the routine may list
            recs.assign(data.size() + 1, -5);
            vars.assign(data.size() + 1, -5);
            vals.assign(data.size() + 1, sentinel);
        }
        cat_dist.resize(std::max<size_t>(cat_dist.size(), std::max(len, 1) * std::max(d, 1) * std::max(d, 1)), 0.0);
        if (codes.empty()) codes.push_back(0);
        gen_imp(pool, seed, tie_limit, selector, reuse, min_weight, weights.data(), scales.data(), types.data(),
                cat_dist.data(), n, len, data.data(), ncat.data(), codes.data(), d, miss, &n_cells, recs.data(),
                vars.data(), vals.data(), report);
    }

    // Value given to cell (rec, var) of the list; sentinel when not listed.
    double value(int rec, int var) const
    {
        for (int i = 0; i < n_cells; ++i)
            if (recs[i] == rec && vars[i] == var) return vals[i];
        return sentinel;
    }
};

void expect_counts(const GenCall& c, int skipped, int reduced, int no_donor)
{
    EXPECT_EQ(c.report[KEST_REPORT_SKIPPED], skipped);
    EXPECT_EQ(c.report[KEST_REPORT_REDUCED], reduced);
    EXPECT_EQ(c.report[KEST_REPORT_NO_DONOR], no_donor);
}

// ---------------------------------------------------------------- codes --

// Variable 0 categorical (codes 1, 2), variable 1 continuous, variable 2 the
// one missing in record 0.
GenCall base_call()
{
    GenCall c(4, 3, {1, 0, miss, /**/ 1, 0, 105, /**/ 2, 1, 106, /**/ 2, 2, 107});
    c.categorical(0, {1, 2});
    return c;
}

constexpr int any_detail = -12345;  // the detail is not fixed for this code

struct CodeCase {
    const char* name;
    std::function<void(GenCall&)> change;
    int code, detail;
};
void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.name; }

class GenImpCodes : public testing::TestWithParam<CodeCase> {};

TEST_P(GenImpCodes, RefusesInCheckingOrder)
{
    GenCall c = base_call();
    GetParam().change(c);
    c.run();
    EXPECT_EQ(c.report[0], GetParam().code);
    if (GetParam().detail != any_detail) {
        EXPECT_EQ(c.report[1], GetParam().detail);
    }
    // A refused call imputes nothing and counts nothing.
    EXPECT_EQ(c.value(0, 2) == 105.0, GetParam().code == 0);
    expect_counts(c, 0, GetParam().code == 0 ? 1 : 0, 0);
}

using P = std::pair<int, int>;
#define CASE(name, code, detail, ...) CodeCase{name, [](GenCall& c) { __VA_ARGS__; }, code, detail}

INSTANTIATE_TEST_SUITE_P(
    Table, GenImpCodes,
    testing::Values(
        CASE("valid", 0, 0, (void)c),
        CASE("tie_limit", 3, 0, c.tie_limit = 0),
        CASE("records", 14, 0, c.n = 0),
        CASE("variables", 15, 0, c.len = -1),
        CASE("row_length", 11, 0, c.d = -1),
        CASE("selector", 4, 0, c.selector = -1),
        CASE("min_weight", 6, 0, c.min_weight = -0.5),
        CASE("tie_limit_before_records", 3, 0, c.tie_limit = 0, c.n = 0),
        CASE("records_before_variables", 14, 0, c.n = 0, c.len = -1),
        CASE("variables_before_row_length", 15, 0, c.len = -1, c.d = -1),
        CASE("row_length_before_selector", 11, 0, c.d = -1, c.selector = -1),
        CASE("selector_before_min_weight", 4, 0, c.selector = -1, c.min_weight = -1),
        CASE("min_weight_before_pool", 6, 0, c.min_weight = -1, c.pool[0] = 1),
        CASE("class_variable_continuous", 1, 0, c.pool[0] = -1, c.pool[1] = 1),
        CASE("class_variable_one_code", 1, 0, c.pool[0] = -1, c.ncat[0] = 1),
        CASE("class_variable_past_last", 1, 0, c.pool[0] = -1, c.pool[1] = 3),
        CASE("class_variable_negative", 1, 0, c.pool[0] = -2, c.pool[1] = -1),
        CASE("class_codes_descending", 1, 0, c.pool[0] = -1, c.codes[0] = 2, c.codes[1] = 1),
        CASE("class_codes_repeated", 1, 0, c.pool[0] = -1, c.codes[1] = 1, c.data[6] = 1, c.data[9] = 1),
        CASE("range_first_zero", 1, 0, c.pool[0] = 1, c.pool[1] = 0, c.pool[2] = 3),
        CASE("range_empty", 1, 0, c.pool[0] = 1, c.pool[1] = 2, c.pool[2] = 2),
        CASE("range_past_last_record", 1, 0, c.pool[0] = 1, c.pool[1] = 1, c.pool[2] = 5),
        CASE("pool_before_cells", 1, 0, c.pool[0] = 1, c.supply({P{-1, 2}})),
        CASE("cell_negative_record", 20, 2, c.supply({P{0, 2}, P{-1, 2}})),
        CASE("cell_record_past_last", 20, 2, c.supply({P{0, 2}, P{4, 2}})),
        CASE("cell_negative_variable", 21, 1, c.supply({P{0, -1}})),
        CASE("cell_variable_past_last", 21, 2, c.supply({P{0, 2}, P{0, 3}})),
        CASE("cells_in_list_order", 21, 1, c.supply({P{0, 3}, P{-1, 2}})),
        CASE("no_variables", 7, 0, c.len = 0),
        CASE("negative_weight", 6, 2, c.weights[1] = -1, c.weights[2] = -2),
        CASE("all_weights_zero", 7, 0, c.weights = {0, 0, 0}),
        CASE("cells_before_weights", 20, 1, c.supply({P{9, 2}}), c.weights[0] = -1),
        CASE("negative_category_count", 10, 2, c.ncat[1] = -1),
        CASE("category_count_past_row", 10, 0, c.ncat[0] = 3),
        CASE("weights_before_category_counts", 6, 3, c.weights[2] = -1, c.ncat[0] = -1),
        CASE("class_code_not_listed", 50, any_detail, c.pool[0] = -1, c.data[9] = 3)),
    testing::PrintToStringParamName());
#undef CASE

TEST(GenImpTest, FailureAfterBuildingListLeavesMissingCodes)
{
    GenCall c = base_call();
    c.weights[0] = -1;
    c.run();
    EXPECT_EQ(c.report[0], 6);
    ASSERT_EQ(c.n_cells, 1);
    EXPECT_EQ(c.value(0, 2), miss);
}

// ------------------------------------------------------------- distances --

struct TestVar {
    double weight, scale;
    int type;
    std::vector<int> codes;  // empty: continuous
    double recipient, donor;
};

struct DistanceCase {
    const char* name;
    std::vector<TestVar> vars;
    double expected;  // A + |S| + sqrt(Q), before division by the total weight
    std::vector<double> matrix = {};  // d x d entries for the categorical variables of type 2
};
void PrintTo(const DistanceCase& c, std::ostream* os) { *os << c.name; }

class GenImpDistance : public testing::TestWithParam<DistanceCase> {};

// Record 0 is the recipient, record 1 the donor under test (differing on the
// test variables only), record 2 a reference donor that matches the test
// variables and differs by delta on a continuous absolute variable of weight
// 1.  Both distances share the total weight, so the reference wins exactly
// when delta is below the test donor's undivided distance.
int chosen_donor(const DistanceCase& dc, double delta)
{
    const int t = static_cast<int>(dc.vars.size()), len = t + 2;
    std::vector<double> data(3 * len);
    for (int k = 0; k < t; ++k) {
        data[k] = data[2 * len + k] = dc.vars[k].recipient;
        data[len + k] = dc.vars[k].donor;
    }
    data[2 * len + t] = delta;
    data[t + 1] = miss, data[len + t + 1] = 101, data[2 * len + t + 1] = 102;
    GenCall c(3, len, data);
    for (int k = 0; k < t; ++k) {
        const TestVar& v = dc.vars[k];
        c.weights[k] = v.weight, c.scales[k] = v.scale, c.types[k] = v.type;
        if (!v.codes.empty()) c.categorical(k, v.codes);
    }
    c.types[t] = 1;
    c.weights[t + 1] = 0.0;  // the imputed variable excludes no weight
    c.cat_dist.assign(len * std::max(c.d, 1) * std::max(c.d, 1), 0.0);
    for (int k = 0; k < t; ++k)
        if (c.types[k] == 2 && c.ncat[k] > 0)
            std::copy(dc.matrix.begin(), dc.matrix.end(), c.cat_dist.begin() + k * c.d * c.d);
    c.run();
    EXPECT_EQ(c.report[0], 0);
    expect_counts(c, 0, 0, 0);
    return static_cast<int>(c.value(0, t + 1)) - 100;
}

TEST_P(GenImpDistance, MatchesHandWorkedValue)
{
    const DistanceCase& dc = GetParam();
    EXPECT_EQ(chosen_donor(dc, dc.expected + 0.25), 1) << "distance above " << dc.expected;
    if (dc.expected > 0) {
        EXPECT_EQ(chosen_donor(dc, dc.expected - 0.25), 2) << "distance below " << dc.expected;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, GenImpDistance,
    testing::Values(
        // |2 - 5| * 0.5 * 2
        DistanceCase{"continuous_absolute", {{2, 0.5, 1, {}, 5, 2}}, 3},
        // |(4 - 0) + (-1 - 0)|: signed differences cancel before the absolute value
        DistanceCase{"continuous_signed", {{1, 1, 2, {}, 0, 4}, {1, 1, 2, {}, 0, -1}}, 3},
        DistanceCase{"tolerance_exceeded", {{2, 2, 3, {}, 5, 7.5}}, 2},
        DistanceCase{"tolerance_exceeded_below", {{2, 2, 3, {}, 5, 2.5}}, 2},
        DistanceCase{"tolerance_reached", {{2, 2, 3, {}, 5, 7}}, 0},
        // sqrt(((2 - 5) * 0.5)^2 * 4)
        DistanceCase{"continuous_squared", {{4, 0.5, 0, {}, 5, 2}}, 3},
        DistanceCase{"continuous_other_type_squared", {{4, 0.5, 7, {}, 5, 2}}, 3},
        // sqrt(3^2 + 4^2)
        DistanceCase{"squares_summed_before_root", {{1, 1, 0, {}, 0, 3}, {1, 1, 0, {}, 0, 4}}, 5},
        // A = 1, S = -2, Q = 16: 1 + 2 + 4
        DistanceCase{"three_sums_combined", {{1, 1, 1, {}, 0, 1}, {2, 1, 2, {}, 0, -1}, {1, 1, 0, {}, 0, 4}}, 7},
        // positions 0 and 3 of 4: 3 * 3 / 3
        DistanceCase{"categorical_positions", {{3, 9, 1, {10, 20, 30, 40}, 10, 40}}, 3},
        // 20.4 and 29.6 round to positions 1 and 2: 3 * 1 / 3
        DistanceCase{"categorical_positions_rounded", {{3, 9, 1, {10, 20, 30, 40}, 20.4, 29.6}}, 1},
        // entry (recipient 0, donor 2) = 0.75, times weight 2
        DistanceCase{"categorical_matrix",
                     {{2, 9, 2, {1, 2, 3}, 1, 3}},
                     1.5,
                     {0, 1, 0.75, 1, 0, 1, 5, 1, 0}},
        DistanceCase{"categorical_mismatch_unrounded", {{2, 9, 0, {1, 2, 3}, 2, 2.25}}, 2},
        DistanceCase{"categorical_mismatch_outside_codes", {{2, 9, 3, {1, 2, 3}, 2, 9}}, 2},
        DistanceCase{"categorical_equal", {{2, 9, 0, {1, 2, 3}, 2, 2}}, 0}),
    testing::PrintToStringParamName());

// A donor whose category is not among the codes is refused by the position
// and matrix distances, and merely differs under the mismatch distances.
TEST(GenImpTest, DonorCategoryOutsideCodes)
{
    for (int type : {0, 1, 2, 3}) {
        GenCall c(3, 3, {1, 0, miss, /**/ 9, 0, 101, /**/ 1, 3, 102});
        c.categorical(0, {1, 2, 3});
        c.types = {type, 1, 0};
        c.weights[2] = 0;
        c.run();
        EXPECT_EQ(c.report[0], 0) << "type " << type;
        EXPECT_EQ(c.value(0, 2), type == 1 || type == 2 ? 102.0 : 101.0) << "type " << type;
    }
}

// ------------------------------------------------------------------ pools --

// Variable 0 the class (codes 1, 2), variable 1 matching, variable 2
// imputed.  Records 1 (class 2) and 2 (class 1) are the recipients.  In
// class 2 only records 3 and 4 (tied) can donate; record 0 and 5 of class 1
// are tied and closer to record 1 than its own class.
GenCall pool_call(int mode, int first, int end)
{
    GenCall c(6, 3, {1, 0, 100, /**/ 2, 0, miss, /**/ 1, 0, miss, /**/ 2, 5, 103, /**/ 2, 5, 104, /**/ 1, 0, 105});
    c.categorical(0, {1, 2});
    c.weights[2] = 0;
    c.pool[0] = mode, c.pool[1] = first, c.pool[2] = end;
    return c;
}

struct PoolCase {
    const char* name;
    int mode, first, end;
    double for_record_1, for_record_2;
};
void PrintTo(const PoolCase& c, std::ostream* os) { *os << c.name; }

class GenImpPool : public testing::TestWithParam<PoolCase> {};

TEST_P(GenImpPool, DrawsDonorsFromThePool)
{
    const PoolCase& p = GetParam();
    GenCall c = pool_call(p.mode, p.first, p.end);
    c.run();
    ASSERT_EQ(c.report[0], 0);
    ASSERT_EQ(c.n_cells, 2);
    EXPECT_EQ(c.value(1, 2), p.for_record_1);
    EXPECT_EQ(c.value(2, 2), p.for_record_2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GenImpPool,
    testing::Values(
        // Record 0 is no candidate: record 5 is the closest for both.
        PoolCase{"all_records", 0, 0, 0, 105, 105},
        // Within the class the first of the tied records wins; record 0 donates.
        PoolCase{"class", -1, 0, 0, 103, 100},
        // Records 3 and 4 only; the first wins the tie.
        PoolCase{"range", 1, 3, 5, 103, 103},
        PoolCase{"range_to_last_record", 2, 4, 6, 105, 105}),
    testing::PrintToStringParamName());

TEST(GenImpTest, ClassCodeNotListedEndsCallEvenWithoutMissingCell)
{
    GenCall c = pool_call(-1, 0, 0);
    c.data[15] = 3;  // record 5, complete, has a class code outside the list
    c.run();
    EXPECT_EQ(c.report[0], 50);
    expect_counts(c, 0, 0, 0);
    EXPECT_EQ(c.value(1, 2), miss);
    EXPECT_EQ(c.value(2, 2), miss);
}

// ------------------------------------------------------------ ties, seeds --

// Record 0 has one closest donor (record 8); records 1 and 2 are tied
// between donors 3 to 7, of which the tie limit keeps the first three.
GenCall tie_call(int seed, int tie_limit)
{
    GenCall c(9, 2, {50, miss, 0, miss, 0, miss, 0, 103, 0, 104, 0, 105, 0, 106, 0, 107, 50, 108});
    c.weights[1] = 0, c.seed = seed, c.tie_limit = tie_limit;
    return c;
}

TEST(GenImpTest, SeedZeroTakesFirstTiedDonor)
{
    GenCall c = tie_call(0, 3);
    c.run();
    EXPECT_EQ(c.value(0, 1), 108.0);
    EXPECT_EQ(c.value(1, 1), 103.0);
    EXPECT_EQ(c.value(2, 1), 103.0);
}

TEST(GenImpTest, SeededDrawAmongKeptTies)
{
    for (int seed : {1, 7, 2024, 99991}) {
        // One draw from 1..3 per tied group, none for record 0's single best.
        RandState state{};
        set_rand_seed(seed, &state);
        int draw[2] = {0, 0};
        int code = 0;
        kest::rand_sample(1, 1, 1, 3, &draw[0], &state, &code);
        kest::rand_sample(1, 1, 1, 3, &draw[1], &state, &code);
        for (int repeat = 0; repeat < 2; ++repeat) {  // and again: nothing carries over between calls
            GenCall c = tie_call(seed, 3);
            c.run();
            EXPECT_EQ(c.value(0, 1), 108.0) << "seed " << seed;
            EXPECT_EQ(c.value(1, 1), 102.0 + draw[0]) << "seed " << seed;
            EXPECT_EQ(c.value(2, 1), 102.0 + draw[1]) << "seed " << seed;
        }
    }
}

TEST(GenImpTest, TieLimitOneIgnoresSeed)
{
    for (int seed : {-1, 3}) {
        GenCall c = tie_call(seed, 1);
        c.run();
        EXPECT_EQ(c.value(1, 1), 103.0);
        EXPECT_EQ(c.value(2, 1), 103.0);
    }
}

// ---------------------------------------------------------------- reuse --

// Records 0 and 1 are identical recipients, record 2 matches them exactly
// and record 3 differs by delta.  Total weight 2: once used, record 2 carries
// 2 extra, and record 3 is at delta / 2.
TEST(GenImpTest, ReusePenaltySteersToUnusedDonor)
{
    struct Case {
        int reuse;
        double delta, second;
    };
    for (const Case& k : {Case{0, 3.5, 103}, Case{0, 4.5, 102}, Case{0, 4.0, 102}, Case{1, 0.5, 102}}) {
        GenCall c(4, 2, {0, miss, 0, miss, 0, 102, k.delta, 103});
        c.types[0] = 1;
        c.reuse = k.reuse;
        c.run();
        ASSERT_EQ(c.report[0], 0);
        EXPECT_EQ(c.value(0, 1), 102.0) << "delta " << k.delta;
        EXPECT_EQ(c.value(1, 1), k.second) << "reuse " << k.reuse << " delta " << k.delta;
    }
}

// ------------------------------------------------------- groups, selector --

// Record 0 misses variables 1 and 2.  Record 1 is closest but misses
// variable 2, record 3 is next but misses variable 1, record 2 is complete.
GenCall group_call()
{
    return GenCall(4, 3, {0, miss, miss, /**/ 0, 11, miss, /**/ 1, 21, 22, /**/ 0.5, miss, 32});
}

struct Filled {
    int rec, var;
    double val;
};

struct GroupCase {
    const char* name;
    int selector;
    std::vector<std::pair<int, int>> supplied;  // empty: built by the routine
    std::vector<Filled> want;
    int reduced;
};
void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }

class GenImpGroups : public testing::TestWithParam<GroupCase> {};

TEST_P(GenImpGroups, FillsCellsFromOneDonorPerGroup)
{
    const GroupCase& g = GetParam();
    GenCall c = group_call();
    c.selector = g.selector;
    if (!g.supplied.empty()) c.supply(g.supplied);
    c.run();
    ASSERT_EQ(c.report[0], 0);
    ASSERT_EQ(c.n_cells, static_cast<int>(g.want.size()));
    for (size_t i = 0; i < g.want.size(); ++i) {
        EXPECT_EQ(c.recs[i], g.want[i].rec) << i;
        EXPECT_EQ(c.vars[i], g.want[i].var) << i;
        EXPECT_EQ(c.vals[i], g.want[i].val) << i;
    }
    EXPECT_EQ(c.report[KEST_REPORT_REDUCED], g.reduced);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GenImpGroups,
    testing::Values(
        // Every group gets a donor that has all of the group's variables.
        GroupCase{"all_variables_built", 0, {}, {{0, 1, 21}, {0, 2, 22}, {1, 2, 22}, {3, 1, 21}}, 3},
        // Variable 1 only (the selector counts from 1): record 0's other
        // missing cell is left out, so record 1 may donate.
        GroupCase{"one_variable_built", 2, {}, {{0, 1, 11}, {3, 1, 21}}, 2},
        GroupCase{"other_variable_built", 3, {}, {{0, 2, 32}, {1, 2, 22}}, 2},
        GroupCase{"all_variables_supplied", 0, {{0, 1}, {0, 2}}, {{0, 1, 21}, {0, 2, 22}}, 1},
        // Cells of one record that do not follow each other are groups of their own.
        GroupCase{"split_groups_supplied", 0, {{0, 1}, {1, 2}, {0, 2}}, {{0, 1, 11}, {1, 2, 22}, {0, 2, 32}}, 3},
        // Cells of other variables are passed over: untouched and not counted.
        GroupCase{"selector_passes_over", 3, {{0, 1}, {0, 2}, {2, 0}},
                  {{0, 1, sentinel}, {0, 2, 32}, {2, 0, sentinel}}, 1},
        // A supplied cell that is not missing is imputed all the same.
        GroupCase{"observed_cell_supplied", 0, {{1, 1}}, {{1, 1, 21}}, 1}),
    testing::PrintToStringParamName());

// ----------------------------------------------------- weights and counts --

// Variables 0 and 1 match, variable 2 is imputed alone; all weights 1,
// total 3.  Record 0 misses everything (matching weight 0 left), record 1 only the
// imputed variable (matching weight 2 left).
TEST(GenImpTest, MinimumMatchingWeight)
{
    struct Case {
        double min_weight;
        int skipped, reduced;
        bool record_0, record_1;
    };
    for (const Case& k : {Case{0, 0, 2, true, true}, Case{0.5, 1, 1, false, true}, Case{2, 1, 1, false, true},
                          Case{2.5, 2, 0, false, false}}) {
        GenCall c(4, 3, {miss, miss, miss, /**/ 5, 5, miss, /**/ 0, 0, 102, /**/ 5, 5, 103});
        c.selector = 3;
        c.min_weight = k.min_weight;
        c.run();
        ASSERT_EQ(c.report[0], 0);
        expect_counts(c, k.skipped, k.reduced, 0);
        // With nothing to match, every donor is at distance 0 and the first wins.
        EXPECT_EQ(c.value(0, 2), k.record_0 ? 102.0 : miss) << "minimum " << k.min_weight;
        EXPECT_EQ(c.value(1, 2), k.record_1 ? 103.0 : miss) << "minimum " << k.min_weight;
    }
}

// A group that excludes weight and finds no donor counts in both elements;
// a single record never has a donor.
TEST(GenImpTest, GroupsWithoutDonor)
{
    for (int n : {1, 2}) {
        GenCall c(n, 2, {0, miss, 0, miss});
        c.run();
        EXPECT_EQ(c.report[0], 0);
        ASSERT_EQ(c.n_cells, n);
        for (int r = 0; r < n; ++r) EXPECT_EQ(c.value(r, 1), miss);
        expect_counts(c, 0, n, n);
    }
}

TEST(GenImpTest, UnknownRecipientCategorySkipsOnlyItsGroup)
{
    // Variable 0 categorical (codes 1 to 3, position distance), variable 1
    // imputed.  Records 0 and 1 hold categories that are not listed; the last
    // one found is reported.
    GenCall c(4, 2, {7, miss, 4.4, miss, 2, miss, 2, 103});
    c.categorical(0, {1, 2, 3});
    c.types[0] = 1;
    c.run();
    EXPECT_EQ(c.report[0], 55);
    EXPECT_EQ(c.report[1], 4);
    EXPECT_EQ(c.value(0, 1), miss);
    EXPECT_EQ(c.value(1, 1), miss);
    EXPECT_EQ(c.value(2, 1), 103.0);
    expect_counts(c, 0, 3, 0);
}

TEST(GenImpTest, CategoricalValuesCopiedUnrounded)
{
    GenCall c(3, 2, {1, miss, 1, 2.4, 2, 3});
    c.categorical(1, {2, 3});
    c.run();
    EXPECT_EQ(c.report[0], 0);
    EXPECT_EQ(c.value(0, 1), 2.4);
}

}  // namespace

namespace {

// Calls gen_imp on the call's arrays with the pointer of one argument
// (counted from 1; 0 none) replaced by null.
void run_without(GenCall& c, int argument)
{
    auto given = [argument](int number, auto* pointer) { return number == argument ? nullptr : pointer; };
    c.recs.assign(c.data.size() + 1, -5);
    c.vars.assign(c.data.size() + 1, -5);
    c.vals.assign(c.data.size() + 1, sentinel);
    c.cat_dist.resize(std::max<size_t>(c.cat_dist.size(), c.len * c.d * c.d), 0.0);
    gen_imp(given(1, c.pool), c.seed, c.tie_limit, c.selector, c.reuse, c.min_weight, given(7, c.weights.data()),
            given(8, c.scales.data()), given(9, c.types.data()), given(10, c.cat_dist.data()), c.n, c.len,
            given(13, c.data.data()), given(14, c.ncat.data()), given(15, c.codes.data()), c.d, miss,
            given(18, &c.n_cells), given(19, c.recs.data()), given(20, c.vars.data()), given(21, c.vals.data()),
            c.report);
}

TEST(GenImpTest, NullArraysAreRefusedWithTheirArgumentNumber)
{
    for (int argument : {1, 7, 8, 9, 13, 14, 15, 18, 19, 20, 21}) {
        GenCall c = base_call();
        run_without(c, argument);
        EXPECT_EQ(c.report[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(c.report[1], argument);
        expect_counts(c, 0, 0, 0);
        EXPECT_EQ(c.n_cells, 0) << argument;
        EXPECT_EQ(c.vals, std::vector<double>(c.data.size() + 1, sentinel)) << argument;
    }
    // The category distances are needed only by a categorical variable of
    // distance type 2; the codes only with a categorical variable.
    GenCall c = base_call();
    run_without(c, 10);
    EXPECT_EQ(c.report[0], 0);
    EXPECT_EQ(c.value(0, 2), 105.0);
    c = base_call();
    c.types[0] = 2;
    run_without(c, 10);
    EXPECT_EQ(c.report[0], KEST_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c.report[1], 10);
    EXPECT_EQ(c.n_cells, 0);
    c = base_call();
    c.ncat[0] = 0;
    run_without(c, 15);
    EXPECT_EQ(c.report[0], 0);
    // Class mode reads the class variable's codes first.
    c = base_call();
    c.pool[0] = -1;
    run_without(c, 15);
    EXPECT_EQ(c.report[0], KEST_ERR_NULL_ARGUMENT);
    EXPECT_EQ(c.report[1], 15);
    // Without variables there is nothing per variable to read.
    GenCall none(2, 0, {});
    run_without(none, 7);
    EXPECT_EQ(none.report[0], 7);
    // A null report makes the call return.
    c = base_call();
    gen_imp(c.pool, 0, 1, 0, 1, 0.0, c.weights.data(), c.scales.data(), c.types.data(), nullptr, c.n, c.len,
            c.data.data(), c.ncat.data(), c.codes.data(), c.d, miss, &c.n_cells, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(c.n_cells, 0);
}

}  // namespace
