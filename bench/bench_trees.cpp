// bench_trees: growth of WAID trees and scoring with them, on survey-like
// data generated in memory, so that the two sizes say how growth scales with
// the number of records and scoring is seen against growing.
//
//   waid_tree    1 000 000 records against 200 000, time ratio       (<= 6)
//                (n log n alone gives 5 ln 1e6 / ln 2e5 = 5.66; a ratio
//                above 6 means the cost per record grows with n faster)
//   tree_score   all 1 000 000 records, leaf value, against growing the
//                tree on them                                         (<= 1/20)
//
// Every data set has 11 columns: five continuous predictors of different
// shapes (whole years, incomes rounded to hundreds, a share in full
// precision, hours rounded to the half hour, distances to a tenth), five
// categorical ones with 3, 5, 7, 9 and 12 codes of unequal frequency, and a
// continuous dependent variable built from several predictors through
// interactions, with noise and a few gross outliers.  A fixed pseudo-random
// generator makes the same data every run.
//
// The trees are grown with the biweight scheme (tuning 4.685, tolerance
// 1e-4, at most 50 passes), min_node 10, min_child 5, and leaves that keep
// their values.  Scoring uses a tree grown once outside the timed region and
// scores every record it was grown on, with the leaf value (method 1) and
// with a random donor (method 3), routing unseen categories at random from
// a seeded generator state.  The scores and the record weights of that tree
// are checked before anything is reported; differences are listed after the
// tables.
//
// The three growers are compared on one more data set of 200 000 records
// with ten predictors (five continuous, five categorical with 3, 4, 5, 6
// and 8 codes), a continuous dependent variable for the WAID and ANOVA
// trees and a three-class one for the Gini tree, all with min_node 20 and
// min_child 7:
//
//   anova_tree   against waid_tree on the same data, time ratio   (<= 1.5)
//   gini_tree    against waid_tree on the same data, time ratio   (<= 1.5)
//   gini_tree    against R's rpart on the same data and settings,
//                times faster                                     (>= 10)
//
// rpart is run last, through Rscript on a copy of the data written to a
// private temporary folder, with only its call timed (the median of three).
// Without Rscript or rpart that line says so and is skipped.
//
// The Gini tree is also grown with an eleventh predictor of 12 codes, whose
// every node tries all 2047 divisions of its categories.  A division is
// judged from per-category class counts, so it should cost the same in a
// node of 1 000 records as in one of 100 000.  That cost is measured on
// trees that only search their root over ten 12-code predictors: with three
// classes (10 x 2047 divisions) against the same records with two classes,
// whose search orders the categories and tries 11 cuts per predictor.  The
// records are read and counted alike in both, so the difference in time is
// that of the divisions (less 110 cuts).  The two searches run in turn and
// each pair's difference is kept, so that a burst of other work on the
// machine moves both alike.
//
// The program only reports: it prints the ratio table and the size of the
// trees and exits 0 whatever the figures are.
//
// Options besides Google Benchmark's own:
//   --scale=F   records of every data set multiplied by F (0 < F <= 1), for
//               quick runs and for profiling under slow tools
#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include "kest.h"

namespace {

// ---------------------------------------------------------------------------
// Deterministic pseudo-random numbers (splitmix64): the same data every run.

using bench_support::Generator;

// ---------------------------------------------------------------------------
// Data sets

// Columns of the generated table.
enum Col {
    col_age,       // whole years 16..95: 80 distinct values
    col_income,    // log-normal, rounded to whole hundreds
    col_share,     // uniform in (0, 1), full precision: hardly any ties
    col_hours,     // normal around 38, 0..80, rounded to the half hour
    col_distance,  // exponential, mean 12, rounded to a tenth
    col_region,    // categorical, 3 codes
    col_sector,    // categorical, 5 codes
    col_size,      // categorical, 7 codes
    col_legal,     // categorical, 9 codes
    col_month,     // categorical, 12 codes
    col_turnover,  // the dependent variable
    num_cols
};

constexpr int category_counts[num_cols] = {0, 0, 0, 0, 0, 3, 5, 7, 9, 12, 0};

// The tree settings.
constexpr int weight_scheme = 3;  // biweight
constexpr double tolerance = 1e-4;
constexpr int max_passes = 50;
constexpr double tuning_constant = 4.685;
constexpr int min_node = 10;
constexpr int min_child = 5;
constexpr int keep_values = 1;
constexpr int score_seed = 20240611;

struct TreeShape {
    long nodes = 0, leaves = 0;
    int depth = 0;              // of the deepest leaf, the root at depth 0
    double mean_leaf_depth = 0;  // over the records: the mean path length of scoring
    int largest_leaf = 0;
    long internal_records = 0;  // sum of the counts of the internal nodes
};

struct DataSet {
    std::string label;  // "1000000"
    int num_obs = 0;
    std::vector<double> matrix;  // num_obs x num_cols, row-major
    std::vector<int> predictors, ncat;

    std::vector<double> rec_weights;     // output of the timed growths
    std::vector<double> values, spreads; // outputs of the timed scorings

    // The tree scored by the scoring benchmarks, grown when one first runs.
    TreeNode* tree = nullptr;
    bool tree_tried = false;
    int tree_error = 0;

    // Shape of the grown tree (every growth of a data set gives the same one).
    bool shape_known = false;
    TreeShape shape;
    int grow_warning = 0;
};

// A category 1..k with the lower codes more frequent.
double skewed_code(Generator& gen, int k)
{
    const double u = gen.uniform();
    return 1.0 + std::floor(static_cast<double>(k) * u * std::sqrt(u));
}

void generate(DataSet& ds, uint64_t seed)
{
    Generator gen(seed);
    ds.matrix.assign(static_cast<std::size_t>(ds.num_obs) * num_cols, 0.0);
    // Effects of the size classes on the hours worked; of the months on the level.
    const double size_effect[8] = {0, -6, -3, 0, 4, 9, 15, 24};
    for (int r = 0; r < ds.num_obs; ++r) {
        double* row = ds.matrix.data() + static_cast<std::ptrdiff_t>(r) * num_cols;
        row[col_age] = 16 + gen.below(80);
        row[col_income] = 100.0 * std::round(std::exp(10.0 + 0.7 * gen.normal()) / 100.0);
        row[col_share] = gen.uniform();
        row[col_hours] = std::clamp(std::round(2.0 * (38.0 + 9.0 * gen.normal())) / 2.0, 0.0, 80.0);
        row[col_distance] = std::round(-120.0 * std::log(1.0 - gen.uniform())) / 10.0;
        row[col_region] = 1 + gen.below(3);
        row[col_sector] = skewed_code(gen, 5);
        row[col_size] = skewed_code(gen, 7);
        row[col_legal] = skewed_code(gen, 9);
        row[col_month] = 1 + gen.below(12);

        const int region = static_cast<int>(row[col_region]);
        const int sector = static_cast<int>(row[col_sector]);
        const int size = static_cast<int>(row[col_size]);
        const int legal = static_cast<int>(row[col_legal]);
        const int month = static_cast<int>(row[col_month]);
        double y = 500.0 + 6.0 * row[col_age];
        y += 0.02 * row[col_income] * (region == 1 ? 1.6 : 1.0);                // income by region
        if ((sector == 2 || sector == 5) && row[col_share] > 0.6) y += 900.0;   // sector by share
        y += row[col_hours] * size_effect[size];                               // hours by size class
        if (row[col_distance] > 20.0) y -= 150.0 * (legal % 3);                // distance by legal form
        y += 40.0 * ((month + 2) % 12 < 3 ? 3 : 0);                            // a season
        y += 120.0 * gen.normal();
        // A few gross outliers: misplaced decimal points and sign errors.
        const int u = gen.below(1000);
        if (u < 2) y *= 100.0;
        else if (u < 3) y = -10.0 * y;
        row[col_turnover] = y;
    }
    ds.ncat.assign(category_counts, category_counts + num_cols);
    ds.predictors.clear();
    for (int j = 0; j < num_cols; ++j)
        if (j != col_turnover) ds.predictors.push_back(j);
    ds.rec_weights.assign(static_cast<std::size_t>(ds.num_obs), 0.0);
    ds.values.assign(static_cast<std::size_t>(ds.num_obs), 0.0);
    ds.spreads.assign(static_cast<std::size_t>(ds.num_obs), 0.0);
}

void grow(DataSet& ds, TreeNode** tree, int* error)
{
    waid_tree(0, num_cols, ds.num_obs, ds.num_obs, ds.matrix.data(), nullptr, static_cast<int>(ds.predictors.size()),
              ds.predictors.data(), col_turnover, weight_scheme, ds.rec_weights.data(), ds.ncat.data(), tolerance,
              max_passes, tuning_constant, min_node, min_child, keep_values, tree, error);
}

void score(DataSet& ds, const TreeNode* tree, int method, RandState* state, int* error)
{
    tree_score(0, num_cols, ds.num_obs, ds.num_obs, ds.matrix.data(), nullptr, tree, 1, method, state,
               ds.values.data(), ds.spreads.data(), error);
}

// Walks the tree without recursion (a tree may be deep).
TreeShape shape_of(const TreeNode* root)
{
    TreeShape shape;
    double depth_sum = 0;
    long records = 0;
    std::vector<std::pair<const TreeNode*, int>> stack{{root, 0}};
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (node == nullptr) continue;
        ++shape.nodes;
        if (node->split_var == -1) {
            ++shape.leaves;
            shape.depth = std::max(shape.depth, depth);
            shape.largest_leaf = std::max(shape.largest_leaf, static_cast<int>(node->count));
            depth_sum += static_cast<double>(depth) * node->count;
            records += node->count;
        } else {
            shape.internal_records += node->count;
            stack.push_back({node->right, depth + 1});
            stack.push_back({node->left, depth + 1});
        }
    }
    shape.mean_leaf_depth = records > 0 ? depth_sum / static_cast<double>(records) : 0;
    return shape;
}

void note_shape(DataSet& ds, const TreeNode* tree, int code)
{
    if (ds.shape_known || tree == nullptr) return;
    ds.shape = shape_of(tree);
    ds.grow_warning = code;
    ds.shape_known = true;
}

// ---------------------------------------------------------------------------
// Checks of the scored tree

std::vector<std::string> problems;  // reported after the run

void problem(const DataSet& ds, const std::string& what)
{
    problems.push_back(ds.label + ": " + what);
    std::fprintf(stderr, "bench_trees: %s: %s\n", ds.label.c_str(), what.c_str());
}

// The leaf a record reaches, found here independently of the library.
const TreeNode* leaf_of(const TreeNode* node, const double* row)
{
    while (node != nullptr && node->split_var != -1) {
        const double x = row[node->split_var];
        if (node->split_size == 0) {
            node = x <= node->split_values[0] ? node->left : node->right;
        } else {
            const int c = static_cast<int>(x);
            if (c < 1 || c > node->split_size) return nullptr;
            const double direction = node->split_values[c - 1];
            node = direction == -1.0 ? node->left : direction == 1.0 ? node->right : nullptr;
        }
    }
    return node;
}

double expected_spread(const TreeNode* leaf)
{
    return leaf->spread >= 0.0 ? leaf->spread : 0.0;
}

// Compares the outputs of one scoring with the leaves found by leaf_of:
// method 1 must give each record its leaf's value, method 3 one of its
// leaf's kept values; the spread is the leaf's either way.
void check_scores(DataSet& ds, int method)
{
    long bad = 0;
    std::string first;
    for (int r = 0; r < ds.num_obs; ++r) {
        const TreeNode* leaf = leaf_of(ds.tree, ds.matrix.data() + static_cast<std::ptrdiff_t>(r) * num_cols);
        const double v = ds.values[static_cast<std::size_t>(r)];
        const double s = ds.spreads[static_cast<std::size_t>(r)];
        bool ok = leaf != nullptr && s == expected_spread(leaf);
        if (ok && method == 1) ok = v == leaf->value;
        if (ok && method == 3) {
            ok = leaf->int_array != nullptr &&
                 std::find(leaf->int_array, leaf->int_array + leaf->count, static_cast<int32_t>(v)) !=
                     leaf->int_array + leaf->count &&
                 v == std::trunc(v);
        }
        if (!ok && bad++ == 0) {
            char text[200];
            std::snprintf(text, sizeof text, "record %d: value %.10g spread %.10g, leaf %s (value %.10g, spread %.10g)", r,
                          v, s, leaf ? "found" : "not found", leaf ? leaf->value : 0.0, leaf ? leaf->spread : 0.0);
            first = text;
        }
    }
    if (bad > 0)
        problem(ds, "tree_score method " + std::to_string(method) + " disagrees with the tree for " + std::to_string(bad) +
                        " records; first: " + first);
}

// Grows the tree that the scoring benchmarks use, once per data set, and
// checks it: the record weights of a node sum to its count (the node weights
// are scaled so), so all of them together sum to the counts of the internal
// nodes; and both scoring methods agree with the tree.
TreeNode* scoring_tree(DataSet& ds)
{
    if (ds.tree_tried) return ds.tree;
    ds.tree_tried = true;
    int error[2] = {0, 0};
    grow(ds, &ds.tree, error);
    ds.tree_error = error[0];
    if (error[0] > 0 || ds.tree == nullptr) {
        problem(ds, "waid_tree failed with " + std::to_string(error[0]) + "," + std::to_string(error[1]));
        ds.tree = nullptr;
        return nullptr;
    }
    note_shape(ds, ds.tree, error[0]);
    const TreeShape shape = shape_of(ds.tree);
    double weight_sum = 0;
    for (double w : ds.rec_weights) weight_sum += w;
    const double internal = static_cast<double>(shape.internal_records);
    if (std::fabs(weight_sum - internal) > 1e-6 * std::max(1.0, internal)) {
        char text[160];
        std::snprintf(text, sizeof text, "record weights sum to %.6f, the internal nodes hold %ld records", weight_sum,
                      shape.internal_records);
        problem(ds, text);
    }
    if (ds.tree->count != ds.num_obs)
        problem(ds, "the root holds " + std::to_string(ds.tree->count) + " records of " + std::to_string(ds.num_obs));

    for (int method : {1, 3}) {
        RandState state{};
        set_rand_seed(score_seed, &state);
        error[0] = error[1] = 0;
        score(ds, ds.tree, method, &state, error);
        if (error[0] != 0)
            problem(ds, "tree_score method " + std::to_string(method) + " gave " + std::to_string(error[0]) + "," +
                            std::to_string(error[1]));
        else
            check_scores(ds, method);
    }
    return ds.tree;
}

// ---------------------------------------------------------------------------
// Benchmarks

using bench_support::RatioReporter;
using bench_support::Timing;

std::string grow_name(const DataSet& ds) { return "waid_tree/" + ds.label; }
std::string score_name(const DataSet& ds, int method) { return "tree_score/" + ds.label + "/method" + std::to_string(method); }

// Each benchmark runs a fixed number of iterations, repeated; the ratios use
// the medians of the repetitions, which a passing burst of load on a shared
// machine moves less than a mean.  The whole run takes about a minute and a
// half, most of it growing trees on a million records.
struct Plan {
    int repetitions = 5;
    int grow_iterations_small = 3;
    int grow_iterations_large = 1;
    int score_iterations = 5;
};

void configure(benchmark::internal::Benchmark* b, int iterations, const Plan& plan)
{
    bench_support::configure(b, iterations, plan.repetitions);
}

void register_benchmarks(std::vector<DataSet>& sets, const Plan& plan)
{
    // The growths of both sizes stand next to each other, so that their ratio
    // is taken under the same load; the scorings follow.
    for (std::size_t i = 0; i < sets.size(); ++i) {
        DataSet* d = &sets[i];
        auto* b = benchmark::RegisterBenchmark(grow_name(*d).c_str(), [d](benchmark::State& state) {
            int error[2] = {0, 0};
            for (auto _ : state) {
                TreeNode* tree = nullptr;
                error[0] = error[1] = 0;
                grow(*d, &tree, error);
                // Releasing the tree is not growing it.
                state.PauseTiming();
                if (error[0] <= 0) note_shape(*d, tree, error[0]);
                tree_free(tree);
                state.ResumeTiming();
                if (error[0] > 0) break;
            }
            if (error[0] > 0)
                state.SkipWithError(("waid_tree failed with " + std::to_string(error[0]) + "," + std::to_string(error[1])).c_str());
            state.SetItemsProcessed(state.iterations() * d->num_obs);
        });
        configure(b, i + 1 == sets.size() ? plan.grow_iterations_large : plan.grow_iterations_small, plan);
    }
    for (DataSet& ds : sets) {
        for (int method : {1, 3}) {
            DataSet* d = &ds;
            auto* b = benchmark::RegisterBenchmark(score_name(ds, method).c_str(), [d, method](benchmark::State& state) {
                // Grown (and checked) on the first call, outside the timed loop.
                const TreeNode* tree = scoring_tree(*d);
                if (tree == nullptr) {
                    state.SkipWithError("no tree to score with");
                    return;
                }
                int error[2] = {0, 0};
                for (auto _ : state) {
                    // Every pass draws the same numbers, as a fresh imputation would.
                    RandState rand{};
                    set_rand_seed(score_seed, &rand);
                    error[0] = error[1] = 0;
                    score(*d, tree, method, &rand, error);
                    if (error[0] > 0) break;
                    benchmark::DoNotOptimize(d->values.data());
                    benchmark::ClobberMemory();
                }
                if (error[0] > 0)
                    state.SkipWithError(("tree_score failed with " + std::to_string(error[0]) + "," + std::to_string(error[1])).c_str());
                state.SetItemsProcessed(state.iterations() * d->num_obs);
            });
            configure(b, plan.score_iterations, plan);
        }
    }
}

// ---------------------------------------------------------------------------
// The three growers on the same data

// Columns of the comparison data set.
enum CompareCol {
    cmp_age,
    cmp_income,
    cmp_share,
    cmp_hours,
    cmp_distance,
    cmp_region,    // 3 codes
    cmp_quarter,   // 4 codes
    cmp_sector,    // 5 codes
    cmp_size,      // 6 codes
    cmp_legal,     // 8 codes
    cmp_month,     // 12 codes: only the Gini tree with twelve-code search
    cmp_turnover,  // dependent variable of the WAID and ANOVA trees
    cmp_band,      // turnover band 1..3: dependent variable of the Gini tree
    cmp_cols
};

constexpr int compare_counts[cmp_cols] = {0, 0, 0, 0, 0, 3, 4, 5, 6, 8, 12, 0, 3};
constexpr int compare_min_node = 20;
constexpr int compare_min_child = 7;

struct CompareSet {
    std::string label;
    int num_obs = 0;
    std::vector<double> matrix;
    std::vector<int> ncat, predictors, predictors_12;
    std::vector<double> rec_weights;
    std::vector<TreeShape> shapes = std::vector<TreeShape>(4);
    std::vector<bool> shape_known = std::vector<bool>(4, false);
};

void generate_compare(CompareSet& cs, uint64_t seed)
{
    Generator gen(seed);
    cs.matrix.assign(static_cast<std::size_t>(cs.num_obs) * cmp_cols, 0.0);
    const double size_effect[7] = {0, -6, -3, 0, 4, 9, 15};
    std::vector<double> turnover(static_cast<std::size_t>(cs.num_obs));
    for (int r = 0; r < cs.num_obs; ++r) {
        double* row = cs.matrix.data() + static_cast<std::ptrdiff_t>(r) * cmp_cols;
        row[cmp_age] = 16 + gen.below(80);
        row[cmp_income] = 100.0 * std::round(std::exp(10.0 + 0.7 * gen.normal()) / 100.0);
        row[cmp_share] = gen.uniform();
        row[cmp_hours] = std::clamp(std::round(2.0 * (38.0 + 9.0 * gen.normal())) / 2.0, 0.0, 80.0);
        row[cmp_distance] = std::round(-120.0 * std::log(1.0 - gen.uniform())) / 10.0;
        row[cmp_region] = 1 + gen.below(3);
        row[cmp_quarter] = 1 + gen.below(4);
        row[cmp_sector] = skewed_code(gen, 5);
        row[cmp_size] = skewed_code(gen, 6);
        row[cmp_legal] = skewed_code(gen, 8);
        row[cmp_month] = 1 + gen.below(12);
        const int region = static_cast<int>(row[cmp_region]);
        const int sector = static_cast<int>(row[cmp_sector]);
        const int size = static_cast<int>(row[cmp_size]);
        const int legal = static_cast<int>(row[cmp_legal]);
        const int month = static_cast<int>(row[cmp_month]);
        double y = 500.0 + 6.0 * row[cmp_age];
        y += 0.02 * row[cmp_income] * (region == 1 ? 1.6 : 1.0);
        if ((sector == 2 || sector == 5) && row[cmp_share] > 0.6) y += 900.0;
        y += row[cmp_hours] * size_effect[size];
        if (row[cmp_distance] > 20.0) y -= 150.0 * (legal % 3);
        y += 60.0 * row[cmp_quarter] + 40.0 * ((month + 2) % 12 < 3 ? 3 : 0);
        y += 120.0 * gen.normal();
        const int u = gen.below(1000);
        if (u < 2) y *= 100.0;
        row[cmp_turnover] = y;
        turnover[static_cast<std::size_t>(r)] = y;
    }
    // Three bands of equal size.
    std::vector<double> sorted = turnover;
    std::sort(sorted.begin(), sorted.end());
    const double low = sorted[sorted.size() / 3];
    const double high = sorted[sorted.size() * 2 / 3];
    for (int r = 0; r < cs.num_obs; ++r) {
        const double y = turnover[static_cast<std::size_t>(r)];
        cs.matrix[static_cast<std::size_t>(r) * cmp_cols + cmp_band] = y < low ? 1 : y < high ? 2 : 3;
    }
    cs.ncat.assign(compare_counts, compare_counts + cmp_cols);
    cs.predictors.clear();
    for (int j = cmp_age; j <= cmp_legal; ++j) cs.predictors.push_back(j);
    cs.predictors_12 = cs.predictors;
    cs.predictors_12.push_back(cmp_month);
    cs.rec_weights.assign(static_cast<std::size_t>(cs.num_obs), 0.0);
}

// The growers compared, and how each is called on the comparison set.
enum Grower { grower_waid, grower_anova, grower_gini, grower_gini_12, grower_count };
constexpr const char* grower_names[grower_count] = {"waid_tree", "anova_tree", "gini_tree", "gini_tree_12codes"};

void grow_compare(CompareSet& cs, Grower which, TreeNode** tree, int* error)
{
    const int n = cs.num_obs;
    const int np = static_cast<int>(cs.predictors.size());
    switch (which) {
    case grower_waid:
        waid_tree(0, cmp_cols, n, n, cs.matrix.data(), nullptr, np, cs.predictors.data(), cmp_turnover, weight_scheme,
                  cs.rec_weights.data(), cs.ncat.data(), tolerance, max_passes, tuning_constant, compare_min_node,
                  compare_min_child, 0, tree, error);
        break;
    case grower_anova:
        anova_tree(0, cmp_cols, n, n, cs.matrix.data(), nullptr, np, cs.predictors.data(), cmp_turnover, -1,
                   cs.ncat.data(), compare_min_node, compare_min_child, 0.0, 0, tree, error);
        break;
    case grower_gini:
        gini_tree(0, cmp_cols, n, n, cs.matrix.data(), nullptr, np, cs.predictors.data(), cmp_band, cs.ncat.data(),
                  nullptr, compare_min_node, compare_min_child, 0.0, 0, tree, error);
        break;
    default:
        gini_tree(0, cmp_cols, n, n, cs.matrix.data(), nullptr, np + 1, cs.predictors_12.data(), cmp_band,
                  cs.ncat.data(), nullptr, compare_min_node, compare_min_child, 0.0, 0, tree, error);
        break;
    }
}

std::string compare_name(const CompareSet& cs, Grower which)
{
    return std::string("compare/") + grower_names[which] + "/" + cs.label;
}

// Root searches over ten twelve-code predictors of a class with three or
// two values.  min_node is the number of records, so only the root is
// searched; min_improvement 1 keeps it from splitting, so the search is all
// that is done besides reading the records once.
struct DivisionSet {
    int num_obs = 0;
    std::vector<double> matrix;  // ten predictors and the class
    std::vector<int> ncat, predictors;
};

constexpr int division_predictors = 10;

void generate_divisions(DivisionSet& ds, int classes, uint64_t seed)
{
    Generator gen(seed);
    const int cols = division_predictors + 1;
    ds.matrix.assign(static_cast<std::size_t>(ds.num_obs) * cols, 0.0);
    for (int r = 0; r < ds.num_obs; ++r) {
        double* row = ds.matrix.data() + static_cast<std::ptrdiff_t>(r) * cols;
        int sum = 0;
        for (int j = 0; j < division_predictors; ++j) {
            const int c = 1 + gen.below(12);
            row[j] = c;
            sum += c;
        }
        row[division_predictors] = 1 + (sum + gen.below(3)) % classes;
    }
    ds.ncat.assign(static_cast<std::size_t>(cols), 12);
    ds.ncat[division_predictors] = classes;
    ds.predictors.clear();
    for (int j = 0; j < division_predictors; ++j) ds.predictors.push_back(j);
}

void search_root(DivisionSet& ds, TreeNode** tree, int* error)
{
    gini_tree(0, division_predictors + 1, ds.num_obs, ds.num_obs, ds.matrix.data(), nullptr, division_predictors,
              ds.predictors.data(), division_predictors, ds.ncat.data(), nullptr, ds.num_obs, 1, 1.0, 0, tree, error);
}

// A pair of root searches on the same predictors, three classes and two,
// and the differences of their times, one per pair of calls (ns), and the
// fastest call of each.
struct DivisionPair {
    DivisionSet three, two;
    std::vector<double> real_ns, cpu_ns;
    double fastest3 = 1e300, fastest2 = 1e300;
};

std::string division_name(const DivisionPair& dp)
{
    return "divisions/3-2classes/" + std::to_string(dp.three.num_obs);
}

double thread_cpu_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// Times one root search: real and CPU nanoseconds.  False when it failed.
bool time_search(DivisionSet& ds, double& real_ns, double& cpu_ns)
{
    TreeNode* tree = nullptr;
    int error[2] = {0, 0};
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_ns();
    search_root(ds, &tree, error);
    cpu_ns = thread_cpu_ns() - cpu_start;
    real_ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    tree_free(tree);
    return error[0] <= 0;
}

double median_of(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

void register_comparison(CompareSet& cs, std::vector<DivisionPair>& divisions, int repetitions)
{
    for (int g = 0; g < grower_count; ++g) {
        const Grower which = static_cast<Grower>(g);
        CompareSet* c = &cs;
        auto* b = benchmark::RegisterBenchmark(compare_name(cs, which).c_str(), [c, which](benchmark::State& state) {
            int error[2] = {0, 0};
            for (auto _ : state) {
                TreeNode* tree = nullptr;
                error[0] = error[1] = 0;
                grow_compare(*c, which, &tree, error);
                state.PauseTiming();
                if (error[0] <= 0 && tree != nullptr && !c->shape_known[which]) {
                    c->shapes[which] = shape_of(tree);
                    c->shape_known[which] = true;
                }
                tree_free(tree);
                state.ResumeTiming();
                if (error[0] > 0) break;
            }
            if (error[0] > 0)
                state.SkipWithError((std::string(grower_names[which]) + " failed with " + std::to_string(error[0])).c_str());
            state.SetItemsProcessed(state.iterations() * c->num_obs);
        });
        bench_support::configure(b, 1, repetitions);
    }
    for (DivisionPair& dp : divisions) {
        DivisionPair* d = &dp;
        // The small searches are repeated more, so that both sizes take
        // long enough to time well.
        const int iterations = dp.three.num_obs <= 1000 ? 2000 : 400;
        auto* b = benchmark::RegisterBenchmark(division_name(dp).c_str(), [d](benchmark::State& state) {
            bool failed = false;
            for (auto _ : state) {
                double real3 = 0, cpu3 = 0, real2 = 0, cpu2 = 0;
                // Alternate which goes first, so that neither gains from the
                // other having warmed the caches.
                if (d->real_ns.size() % 2 == 0)
                    failed = !time_search(d->three, real3, cpu3) || !time_search(d->two, real2, cpu2);
                else
                    failed = !time_search(d->two, real2, cpu2) || !time_search(d->three, real3, cpu3);
                if (failed) break;
                d->real_ns.push_back(real3 - real2);
                d->cpu_ns.push_back(cpu3 - cpu2);
                d->fastest3 = std::min(d->fastest3, real3);
                d->fastest2 = std::min(d->fastest2, real2);
            }
            if (failed) state.SkipWithError("gini_tree failed");
        });
        bench_support::configure(b, iterations, repetitions);
    }
}

constexpr double grower_target = 1.5;

void print_comparison(const CompareSet& cs, const std::vector<DivisionPair>& divisions, const RatioReporter& reporter)
{
    auto find = [&](const std::string& name) -> const Timing* {
        auto it = reporter.timings.find(name);
        if (it == reporter.timings.end() || !it->second.error.empty() || it->second.median_ms <= 0) return nullptr;
        return &it->second;
    };
    std::printf("\nThe three growers on %s records, ten predictors, min_node %d, min_child %d\n", cs.label.c_str(),
                compare_min_node, compare_min_child);
    std::printf("--------------------------------------------------------------------------------\n");
    const Timing* waid = find(compare_name(cs, grower_waid));
    for (int g = 0; g < grower_count; ++g) {
        const Timing* t = find(compare_name(cs, static_cast<Grower>(g)));
        if (t == nullptr) {
            std::printf("%-18s not measured\n", grower_names[g]);
            continue;
        }
        std::printf("%-18s %8.1f ms", grower_names[g], t->median_ms);
        if (g != grower_waid && waid != nullptr) {
            const double ratio = t->median_ms / waid->median_ms;
            std::printf("  / waid_tree %5.2f  [CPU %.2f]", ratio,
                        waid->median_cpu_ms > 0 ? t->median_cpu_ms / waid->median_cpu_ms : 0.0);
            if (g == grower_anova || g == grower_gini)
                std::printf("  target <= %.1f: %s", grower_target, ratio <= grower_target ? "within" : "ABOVE");
            else
                std::printf("  (eleven predictors, one of 12 codes)");
        }
        if (cs.shape_known[static_cast<std::size_t>(g)]) {
            const TreeShape& s = cs.shapes[static_cast<std::size_t>(g)];
            std::printf("  %ld nodes, depth %d", s.nodes, s.depth);
        }
        std::printf("\n");
    }

    std::printf("\nTwelve-code division search (root only, %d predictors; 3 classes less 2 classes)\n",
                division_predictors);
    std::printf("--------------------------------------------------------------------------------\n");
    // A search over 100 000 records spends most of its time reading them, so
    // the difference of the two searches is small against the whole (some
    // 5 per cent) and other work on the machine easily hides it.  Two
    // estimates that such work moves little are given: the median of the
    // paired differences, and the difference of the fastest calls (other
    // work only ever adds time).
    const double extra = division_predictors * 2047.0;
    std::vector<double> per_division, per_division_fastest;
    for (const DivisionPair& dp : divisions) {
        const Timing* t = find(division_name(dp));
        if (t == nullptr || dp.real_ns.empty()) continue;
        const double ns = median_of(dp.real_ns) / extra;
        const double cpu_ns = median_of(dp.cpu_ns) / extra;
        const double fastest_ns = (dp.fastest3 - dp.fastest2) / extra;
        per_division.push_back(ns);
        per_division_fastest.push_back(fastest_ns);
        std::printf("%7d records: fastest calls, 3 classes %7.3f ms, 2 classes %7.3f ms; per division %5.1f ns"
                    " (median of %zu paired differences; CPU %.1f), %5.1f ns (fastest calls)\n",
                    dp.three.num_obs, dp.fastest3 / 1e6, dp.fastest2 / 1e6, ns, dp.real_ns.size(), cpu_ns,
                    fastest_ns);
    }
    if (per_division.size() == 2 && per_division[0] > 0 && per_division_fastest[0] > 0)
        std::printf("per division at %d records / at %d records: %.2f (paired), %.2f (fastest); 1 means independent"
                    " of the records\n",
                    divisions.back().three.num_obs, divisions.front().three.num_obs, per_division[1] / per_division[0],
                    per_division_fastest[1] / per_division_fastest[0]);
}

// ---------------------------------------------------------------------------
// gini_tree against R's rpart on the comparison set

// rpart with the settings of the Gini tree grown above: the Gini index
// (rpart's default for a factor response, with priors equal to the class
// shares, which weighs the classes alike as gini_tree without priors does),
// no pruning (cp 0), minsplit = min_node, minbucket = min_child, and none of
// the extras that gini_tree does not do (surrogates, competing splits,
// cross-validation).  Only the call of rpart is timed.  With cp 0 rpart
// still grows every split that lowers the impurity, but then folds back
// each subtree that does not lower the number of misclassified records, so
// it returns fewer nodes than gini_tree for the same work; the tree it
// grows before folding (cp -1, untimed) is the one to compare with.
constexpr const char* rpart_script = R"(args <- commandArgs(trailingOnly = TRUE)
if (!suppressWarnings(requireNamespace("rpart", quietly = TRUE))) {
  cat("rpart_missing\n")
  quit(status = 0)
}
d <- read.csv(args[1])
for (v in c("region", "quarter", "sector", "size", "legal", "band")) d[[v]] <- factor(d[[v]])
reps <- as.integer(args[2])
control <- rpart::rpart.control(cp = 0, minsplit = as.integer(args[3]), minbucket = as.integer(args[4]),
                                maxsurrogate = 0, usesurrogate = 0, xval = 0, maxcompete = 0)
elapsed <- numeric(reps)
user <- numeric(reps)
for (i in seq_len(reps)) {
  t <- system.time(fit <- rpart::rpart(band ~ ., data = d, method = "class", control = control))
  elapsed[i] <- t[["elapsed"]]
  user[i] <- t[["user.self"]]
}
cat("rpart_elapsed", median(elapsed), "\n")
cat("rpart_user", median(user), "\n")
cat("rpart_nodes", nrow(fit$frame), "\n")
cat("rpart_depth", max(floor(log2(as.numeric(rownames(fit$frame))))), "\n")
control$cp <- -1
grown <- rpart::rpart(band ~ ., data = d, method = "class", control = control)
cat("rpart_grown_nodes", nrow(grown$frame), "\n")
)";

constexpr int rpart_repetitions = 3;
constexpr double rpart_target = 10.0;

struct RpartTiming {
    std::string skipped;  // why rpart was not timed; empty when it was
    double elapsed_ms = 0, user_ms = 0;
    long nodes = 0;
    int depth = 0;
    long grown_nodes = 0;  // before folding back
};

// The predictors of the comparison set and the three-class band, one record
// a line, every value exactly as held.
bool write_compare_csv(const CompareSet& cs, const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f, "age,income,share,hours,distance,region,quarter,sector,size,legal,band\n");
    for (int r = 0; r < cs.num_obs; ++r) {
        const double* row = cs.matrix.data() + static_cast<std::ptrdiff_t>(r) * cmp_cols;
        for (int j = cmp_age; j <= cmp_legal; ++j) std::fprintf(f, "%.17g,", row[j]);
        std::fprintf(f, "%.0f\n", row[cmp_band]);
    }
    return std::fclose(f) == 0;
}

bool write_text(const std::string& path, const char* text)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool written = std::fputs(text, f) >= 0;
    return std::fclose(f) == 0 && written;
}

// The lines "name value" that the script prints, by name.
std::map<std::string, double> read_figures(std::FILE* pipe, std::string& other_output)
{
    std::map<std::string, double> figures;
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        char name[64];
        double value = 0;
        if (std::sscanf(line, "%63s %lf", name, &value) == 2 && std::string_view(name).substr(0, 6) == "rpart_")
            figures[name] = value;
        else if (std::string_view(line) == "rpart_missing\n")
            figures["rpart_missing"] = 1;
        else if (other_output.size() < 400)
            other_output += (other_output.empty() ? "" : " | ") + std::string(line, std::strcspn(line, "\r\n"));
    }
    return figures;
}

// Runs the script on the comparison set in a private temporary folder,
// removed afterwards.  Never fails the program: a missing Rscript or rpart,
// or anything else that keeps the figures from coming, is reported as the
// reason the comparison was skipped.
RpartTiming time_rpart(const CompareSet& cs)
{
    RpartTiming t;
    if (std::system("command -v Rscript > /dev/null 2>&1") != 0) {
        t.skipped = "Rscript not found";
        return t;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/bench_trees_XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        t.skipped = "no temporary folder";
        return t;
    }
    const std::string csv = folder + "/gini.csv";
    const std::string script = folder + "/rpart.R";
    if (!write_compare_csv(cs, csv) || !write_text(script, rpart_script)) {
        t.skipped = "could not write the data for R";
    } else {
        const std::string command = "Rscript --vanilla '" + script + "' '" + csv + "' " +
                                    std::to_string(rpart_repetitions) + " " + std::to_string(compare_min_node) + " " +
                                    std::to_string(compare_min_child) + " 2>&1";
        std::FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            t.skipped = "could not start Rscript";
        } else {
            std::string other;
            const std::map<std::string, double> figures = read_figures(pipe, other);
            ::pclose(pipe);
            const auto figure = [&](const char* name) {
                const auto it = figures.find(name);
                return it == figures.end() ? -1.0 : it->second;
            };
            if (figures.count("rpart_missing") != 0) {
                t.skipped = "R package rpart not installed";
            } else if (figure("rpart_elapsed") <= 0 || figure("rpart_nodes") <= 0) {
                t.skipped = "no figures from Rscript" + (other.empty() ? std::string() : ": " + other);
            } else {
                t.elapsed_ms = figure("rpart_elapsed") * 1e3;
                t.user_ms = figure("rpart_user") * 1e3;
                t.nodes = static_cast<long>(figure("rpart_nodes"));
                t.depth = static_cast<int>(figure("rpart_depth"));
                t.grown_nodes = static_cast<long>(figure("rpart_grown_nodes"));
            }
        }
    }
    std::remove(csv.c_str());
    std::remove(script.c_str());
    ::rmdir(folder.c_str());
    return t;
}

void print_rpart_comparison(const CompareSet& cs, const RatioReporter& reporter, const RpartTiming& rpart)
{
    std::printf("\ngini_tree against R's rpart on the same %s records (class, cp 0, minsplit %d, minbucket %d)\n",
                cs.label.c_str(), compare_min_node, compare_min_child);
    std::printf("--------------------------------------------------------------------------------\n");
    const auto it = reporter.timings.find(compare_name(cs, grower_gini));
    if (it == reporter.timings.end() || !it->second.error.empty() || it->second.median_ms <= 0) {
        std::printf("gini_tree not measured: no comparison with rpart\n");
        return;
    }
    if (!rpart.skipped.empty()) {
        std::printf("rpart not timed: %s\n", rpart.skipped.c_str());
        return;
    }
    const Timing& gini = it->second;
    const double faster = rpart.elapsed_ms / gini.median_ms;
    std::printf("gini_tree %8.1f ms, rpart %8.1f ms (median of %d; user CPU %.1f ms)  %.1fx faster  [CPU %.1fx]"
                "  (target >= %g): %s\n",
                gini.median_ms, rpart.elapsed_ms, rpart_repetitions, rpart.user_ms, faster,
                gini.median_cpu_ms > 0 ? rpart.user_ms / gini.median_cpu_ms : 0.0, rpart_target,
                faster >= rpart_target ? "within" : "BELOW");
    std::printf("trees: gini_tree");
    if (cs.shape_known[grower_gini])
        std::printf(" %ld nodes, depth %d;", cs.shapes[grower_gini].nodes, cs.shapes[grower_gini].depth);
    else
        std::printf(" shape not known;");
    std::printf(" rpart %ld nodes, depth %d (%ld nodes before folding back the subtrees that do not lower"
                " misclassification)\n",
                rpart.nodes, rpart.depth, rpart.grown_nodes);
}

// ---------------------------------------------------------------------------
// Report

constexpr double growth_target = 6.0;
constexpr double scoring_target = 1.0 / 20.0;

void print_ratios(const std::vector<DataSet>& sets, const RatioReporter& reporter, const Plan& plan)
{
    auto find = [&](const std::string& name) -> const Timing* {
        auto it = reporter.timings.find(name);
        if (it == reporter.timings.end() || !it->second.error.empty() || it->second.median_ms <= 0) return nullptr;
        return &it->second;
    };
    auto fastest = [](const Timing* a, const Timing* b) {
        return (a->min_ms > 0 && b->min_ms > 0) ? a->min_ms / b->min_ms : -1.0;
    };
    std::printf("\nRatios of real times per iteration, %s.\n",
                plan.repetitions > 1 ? "medians of the repetitions" : "single runs");
    std::printf("In brackets: the same ratio of CPU times (free of waiting for a shared processor)%s.\n",
                plan.repetitions > 1 ? " and of the fastest repetitions" : "");
    std::printf("--------------------------------------------------------------------------------\n");
    if (sets.size() < 2) return;
    const DataSet& small = sets.front();
    const DataSet& large = sets.back();

    const Timing* gs = find(grow_name(small));
    const Timing* gl = find(grow_name(large));
    if (gs != nullptr && gl != nullptr) {
        const double ratio = gl->median_ms / gs->median_ms;
        const double size_ratio = static_cast<double>(large.num_obs) / small.num_obs;
        const double nlogn = size_ratio * std::log(static_cast<double>(large.num_obs)) / std::log(static_cast<double>(small.num_obs));
        std::printf("waid_tree   growth %s / %s: %8.1f ms / %7.1f ms  ratio %5.2f (target <= %g; n log n gives %.2f)",
                    large.label.c_str(), small.label.c_str(), gl->median_ms, gs->median_ms, ratio, growth_target, nlogn);
        std::printf("  [CPU %.2f", gs->median_cpu_ms > 0 ? gl->median_cpu_ms / gs->median_cpu_ms : 0.0);
        if (const double f = fastest(gl, gs); f > 0 && plan.repetitions > 1) std::printf(", fastest %.2f", f);
        std::printf("]  %s\n", ratio <= growth_target ? "within" : "ABOVE");
        std::printf("%-12s per record: %.2f us on %s, %.2f us on %s\n", "", gs->median_ms * 1e3 / small.num_obs,
                    small.label.c_str(), gl->median_ms * 1e3 / large.num_obs, large.label.c_str());
    } else {
        std::printf("waid_tree   growth ratio not measured (a growth failed or was filtered out)\n");
    }

    for (const DataSet& ds : sets) {
        const Timing* g = find(grow_name(ds));
        for (int method : {1, 3}) {
            const Timing* s = find(score_name(ds, method));
            if (s == nullptr) continue;
            std::printf("tree_score  method %d on %-8s %8.1f ms", method, ds.label.c_str(), s->median_ms);
            if (g != nullptr) {
                const double fraction = s->median_ms / g->median_ms;
                std::printf("  = %.4f of growing (1/%.0f)", fraction, fraction > 0 ? 1.0 / fraction : 0.0);
                std::printf("  [CPU %.4f", g->median_cpu_ms > 0 ? s->median_cpu_ms / g->median_cpu_ms : 0.0);
                if (const double f = fastest(s, g); f > 0 && plan.repetitions > 1) std::printf(", fastest %.4f", f);
                std::printf("]");
                if (method == 1 && &ds == &large)
                    std::printf("  target <= 1/%.0f: %s", 1.0 / scoring_target, fraction <= scoring_target ? "within" : "ABOVE");
            }
            std::printf("\n");
        }
    }
}

void print_shapes(const std::vector<DataSet>& sets)
{
    std::printf("\nTrees grown (biweight, tuning %g, tol %g, maxit %d, min_node %d, min_child %d, keep %d)\n", tuning_constant,
                tolerance, max_passes, min_node, min_child, keep_values);
    std::printf("--------------------------------------------------------------------------------\n");
    for (const DataSet& ds : sets) {
        if (!ds.shape_known) {
            std::printf("%-8s  no tree grown in this run\n", ds.label.c_str());
            continue;
        }
        const TreeShape& s = ds.shape;
        std::printf("%-8s  %7ld nodes  %7ld leaves  depth %3d  mean record depth %5.1f  mean leaf %5.2f records"
                    "  largest leaf %d%s\n",
                    ds.label.c_str(), s.nodes, s.leaves, s.depth, s.mean_leaf_depth,
                    s.leaves > 0 ? static_cast<double>(ds.num_obs) / s.leaves : 0.0, s.largest_leaf,
                    ds.grow_warning < 0 ? ("  (warning " + std::to_string(ds.grow_warning) + ")").c_str() : "");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);

    double scale = 1.0;
    if (!bench_support::read_scale_only(argc, argv, "bench_trees", scale)) return 0;

    auto records = [scale](int n) { return std::max(2, static_cast<int>(std::lround(n * scale))); };
    std::vector<DataSet> sets(2);
    sets[0].num_obs = records(200000);
    sets[1].num_obs = records(1000000);

    std::printf("Generating data sets ...\n");
    std::fflush(stdout);
    for (std::size_t i = 0; i < sets.size(); ++i) {
        sets[i].label = std::to_string(sets[i].num_obs);
        generate(sets[i], 31 + i);
        std::printf("  %-8s records x %d columns, %.1f MB\n", sets[i].label.c_str(), num_cols,
                    sets[i].matrix.size() * sizeof(double) / 1e6);
    }
    std::fflush(stdout);

    CompareSet compare;
    compare.num_obs = records(200000);
    compare.label = std::to_string(compare.num_obs);
    generate_compare(compare, 47);
    std::vector<DivisionPair> divisions(2);
    const int division_sizes[2] = {1000, 100000};
    for (std::size_t i = 0; i < divisions.size(); ++i) {
        DivisionPair& dp = divisions[i];
        dp.three.num_obs = dp.two.num_obs = std::max(records(division_sizes[i]), 24);
        generate_divisions(dp.three, 3, 53 + i);
        generate_divisions(dp.two, 2, 53 + i);
    }
    std::printf("  %-8s records x %d columns for the comparison of the growers\n", compare.label.c_str(), cmp_cols);
    std::fflush(stdout);

    Plan plan;
    RatioReporter reporter;
    register_benchmarks(sets, plan);
    register_comparison(compare, divisions, plan.repetitions);
    benchmark::RunSpecifiedBenchmarks(&reporter);

    print_ratios(sets, reporter, plan);
    print_shapes(sets);
    print_comparison(compare, divisions, reporter);
    // Timed after the benchmarks, so that R does not share the processor with them.
    if (reporter.timings.count(compare_name(compare, grower_gini)) != 0)
        print_rpart_comparison(compare, reporter, time_rpart(compare));
    if (!problems.empty()) {
        std::printf("\nProblems found while checking the scored trees:\n");
        for (const std::string& p : problems) std::printf("  %s\n", p.c_str());
    }

    for (DataSet& ds : sets) tree_free(ds.tree);
    benchmark::Shutdown();
    return 0;
}
