// Gini tree growing: argument checks in order, class weights, the split
// searches (continuous, two-class ordered, exhaustive divisions), the
// minimum improvement, kept values, the classic result on the iris data,
// and whole trees against a plainly written reference grower.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "iris_data.h"
#include "kest.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
TreeNode sentinel_node{};
TreeNode* const kSentinel = &sentinel_node;

// One call of gini_tree; every argument can be overridden before run().
struct Grow {
    int num_vars = 0;
    std::vector<double> data;
    std::vector<int> ncat, sel;
    std::vector<double> priors;  // empty: none
    int dep = 0, rec1 = 0, num_recs = 0, num_rows = 0, num_selected = 0;
    int min_node = 2, min_child = 1, keep = 0;
    double min_improvement = 0.0;
    KestFetch fetch = nullptr;
    bool no_data = false, no_sel = false, no_ncat = false, no_tree = false;
    TreeNode* out = kSentinel;
    int error[2] = {0, 0};

    Grow(int nv, std::vector<std::vector<double>> rows, std::vector<int> predictors, int dependent, int classes)
        : num_vars(nv), ncat(nv, 0), sel(std::move(predictors)), dep(dependent)
    {
        for (auto& r : rows) data.insert(data.end(), r.begin(), r.end());
        num_recs = num_rows = static_cast<int>(rows.size());
        num_selected = static_cast<int>(sel.size());
        ncat[dep] = classes;
    }
    ~Grow() { if (out != kSentinel) tree_free(out); }
    Grow(const Grow&) = delete;

    TreeNode* run(bool reset_error = true)
    {
        if (reset_error) error[0] = error[1] = 0;
        if (out != kSentinel) tree_free(out);
        out = kSentinel;
        gini_tree(rec1, num_vars, num_recs, num_rows, no_data ? nullptr : data.data(), fetch, num_selected,
                  no_sel ? nullptr : sel.data(), dep, no_ncat ? nullptr : ncat.data(),
                  priors.empty() ? nullptr : priors.data(), min_node, min_child, min_improvement, keep,
                  no_tree ? nullptr : &out, error);
        return out == kSentinel ? nullptr : out;
    }
};

std::vector<int> counts_of(const TreeNode* t) { return std::vector<int>(t->int_array, t->int_array + t->int_count); }

bool is_leaf(const TreeNode* t) { return t->split_var == -1; }

// ----------------------------------------------------------- reference grower

struct RefNode {
    int count = 0, split_var = -1, split_size = -1;
    std::vector<double> split_values;
    double value = 0, spread = 0, statistic = -2.0;
    std::vector<int> ints;  // class counts, or kept values of a keeping leaf
    std::unique_ptr<RefNode> left, right;
};

// The exhaustive divisions are tried as the numbers 1 .. 2^(m-1) - 1 over
// the occurring categories (lowest category the lowest bit, 1 = left): the
// order of the binary counter, written plainly.
struct Reference {
    const Grow& g;
    int K;
    std::vector<double> pi;
    explicit Reference(const Grow& grow) : g(grow), K(grow.ncat[grow.dep]), pi(grow.priors)
    {
        if (pi.empty()) pi.assign(K, 1.0);
    }
    double at(int row, int col) const { return g.data[static_cast<std::size_t>(row) * g.num_vars + col]; }
    int cls(int row) const { return static_cast<int>(at(row, g.dep)) - 1; }

    double G(const std::vector<int>& rows) const
    {
        std::vector<double> w(K, 0.0);
        for (int r : rows) w[cls(r)] += pi[cls(r)];
        double W = 0, S = 0;
        for (double v : w) W += v, S += v * v;
        return W > 0 ? S / W : 0.0;
    }

    struct Split {
        double E = 0;
        bool found = false;
        std::vector<double> values;
    };

    bool goes_left(int row, int var, const std::vector<double>& values) const
    {
        const double x = at(row, var);
        return g.ncat[var] == 0 ? x <= values[0] : values[static_cast<int>(x) - 1] == -1.0;
    }

    void consider(const std::vector<int>& rows, int var, std::vector<double> values, Split& best) const
    {
        std::vector<int> L, R;
        for (int r : rows) (goes_left(r, var, values) ? L : R).push_back(r);
        const int mc = std::max(g.min_child, 1);
        if (static_cast<int>(L.size()) < mc || static_cast<int>(R.size()) < mc) return;
        const double E = G(L) + G(R);
        if (E > best.E) best = {E, true, std::move(values)};
    }

    Split search(const std::vector<int>& rows, int var, double h) const
    {
        Split best{h, false, {}};
        if (g.ncat[var] == 0) {
            std::vector<double> xs;
            for (int r : rows) xs.push_back(at(r, var));
            std::sort(xs.begin(), xs.end());
            for (std::size_t i = 0; i + 1 < xs.size(); ++i)
                if (xs[i] != xs[i + 1]) consider(rows, var, {(xs[i] + xs[i + 1]) / 2}, best);
            return best;
        }
        const int k = g.ncat[var];
        std::vector<int> n1(k + 1, 0), n(k + 1, 0);
        std::vector<double> w(k + 1, 0.0);
        for (int r : rows) {
            const int c = static_cast<int>(at(r, var));
            ++n[c], w[c] += pi[cls(r)], n1[c] += cls(r) == 0;
        }
        std::vector<int> occ;
        for (int c = 1; c <= k; ++c)
            if (w[c] != 0) occ.push_back(c);
        const auto direction = [&](int c, bool left) { return left ? -1.0 : (n[c] > 0 ? 1.0 : 0.0); };
        if (K == 2) {
            std::stable_sort(occ.begin(), occ.end(), [&](int a, int b) { return n1[a] / w[a] < n1[b] / w[b]; });
            for (std::size_t j = 1; j < occ.size(); ++j) {
                std::vector<double> values(k);
                for (int c = 1; c <= k; ++c) values[c - 1] = direction(c, false);
                for (std::size_t q = 0; q < j; ++q) values[occ[q] - 1] = -1.0;
                consider(rows, var, values, best);
            }
            return best;
        }
        const std::size_t m = occ.size();
        for (unsigned long mask = 1; m >= 1 && mask < (1UL << (m - 1)); ++mask) {
            std::vector<double> values(k);
            for (int c = 1; c <= k; ++c) values[c - 1] = direction(c, false);
            for (std::size_t q = 0; q < m; ++q)
                if (mask >> q & 1) values[occ[q] - 1] = -1.0;
            consider(rows, var, values, best);
        }
        return best;
    }

    std::unique_ptr<RefNode> grow(const std::vector<int>& rows) const
    {
        auto node = std::make_unique<RefNode>();
        const int n = static_cast<int>(rows.size());
        node->count = n;
        std::vector<int> counts(K, 0);
        for (int r : rows) ++counts[cls(r)];
        const int major = static_cast<int>(std::max_element(counts.begin(), counts.end()) - counts.begin());
        node->value = major + 1;
        node->spread = static_cast<double>(counts[major]) / n;
        node->ints = counts;
        const bool varied = std::any_of(rows.begin(), rows.end(), [&](int r) { return at(r, g.dep) != at(rows[0], g.dep); });
        if (n >= g.min_node && varied) {
            const double h = G(rows);
            double best_imp = -1e300;
            Split best;
            int var = -1;
            for (int p : g.sel) {
                Split s = search(rows, p, h);
                if (s.found && s.E - h > best_imp) best_imp = s.E - h, best = s, var = p;
            }
            if (var >= 0 && best_imp / n >= g.min_improvement) {
                node->split_var = var, node->split_size = g.ncat[var];
                node->split_values = best.values, node->statistic = best.E / n;
                std::vector<int> L, R;
                for (int r : rows) (goes_left(r, var, best.values) ? L : R).push_back(r);
                node->left = grow(L);
                node->right = grow(R);
                return node;
            }
        }
        if (g.keep == 1) {
            node->ints.clear();
            for (int r : rows) node->ints.push_back(static_cast<int>(at(r, g.dep)));
        }
        return node;
    }

    std::unique_ptr<RefNode> root() const
    {
        std::vector<int> rows;
        for (int i = 0; i < g.num_recs; ++i) rows.push_back(g.rec1 + i);
        return grow(rows);
    }
};

void expect_tree(const TreeNode* t, const RefNode* r, const TreeNode* parent, const std::string& path)
{
    ASSERT_NE(t, nullptr) << path;
    EXPECT_EQ(t->kind, 2) << path;
    EXPECT_EQ(t->parent, parent) << path;
    EXPECT_EQ(t->count, r->count) << path;
    EXPECT_EQ(t->value, r->value) << path;
    EXPECT_EQ(t->spread, r->spread) << path;
    EXPECT_EQ(counts_of(t), r->ints) << path;
    ASSERT_EQ(t->split_var, r->split_var) << path;
    if (r->split_var == -1) {
        EXPECT_EQ(t->statistic, -2.0) << path;
        EXPECT_EQ(t->left, nullptr) << path;
        return;
    }
    EXPECT_EQ(t->split_size, r->split_size) << path;
    EXPECT_NEAR(t->statistic, r->statistic, 1e-12 * std::fabs(r->statistic)) << path;
    const std::size_t nv = r->split_size == 0 ? 1 : static_cast<std::size_t>(r->split_size);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + nv), r->split_values) << path;
    expect_tree(t->left, r->left.get(), t, path + "L");
    expect_tree(t->right, r->right.get(), t, path + "R");
}

std::vector<std::vector<double>> iris_rows()
{
    std::vector<std::vector<double>> rows;
    for (const auto& r : iris::data) rows.emplace_back(r, r + iris::columns);
    return rows;
}

// The four measurements predict the species, min_node 20, min_child 7.
struct IrisGrow : Grow {
    IrisGrow() : Grow(5, iris_rows(), {0, 1, 2, 3}, 4, 3)
    {
        min_node = 20;
        min_child = 7;
    }
};

// ----------------------------------------------------------- arguments

TEST(GiniTreeArguments, CodesInArgumentOrder)
{
    auto base = [] { return Grow(3, {{1, 1, 1}, {2, 2, 2}, {3, 1, 2}, {4, 2, 1}}, {0, 1}, 2, 2); };
    struct Case {
        const char* what;
        void (*spoil)(Grow&);
        int code;
    };
    const Case cases[] = {
        {"rec1 < 0", [](Grow& g) { g.rec1 = -1; }, 1},
        {"num_vars < 1", [](Grow& g) { g.num_vars = 0; }, 2},
        {"one record", [](Grow& g) { g.num_recs = 1; }, 3},
        {"records beyond rows", [](Grow& g) { g.rec1 = 1; }, 3},
        {"no data, no fetch", [](Grow& g) { g.no_data = true; }, 5},
        {"no predictor", [](Grow& g) { g.num_selected = 0; }, 7},
        {"every column a predictor", [](Grow& g) { g.num_selected = 3; }, 7},
        {"vars_selected null", [](Grow& g) { g.no_sel = true; }, 8},
        {"predictor out of range", [](Grow& g) { g.sel[1] = 3; }, 8},
        {"dep out of range", [](Grow& g) { g.dep = 3; }, 9},
        {"ncat null", [](Grow& g) { g.no_ncat = true; }, 10},
        {"ncat negative", [](Grow& g) { g.ncat[0] = -1; }, 10},
        {"dependent continuous", [](Grow& g) { g.ncat[2] = 0; }, 10},
        {"prior negative", [](Grow& g) { g.priors = {1.5, -0.5}; }, 11},
        {"priors short of 1", [](Grow& g) { g.priors = {0.5, 0.4}; }, 11},
        {"prior NaN", [](Grow& g) { g.priors = {kNaN, 1.0}; }, 11},
        {"min_node negative", [](Grow& g) { g.min_node = -1; }, 12},
        {"min_node beyond records", [](Grow& g) { g.min_node = 5; }, 12},
        {"min_child above half", [](Grow& g) { g.min_node = 4, g.min_child = 3; }, 13},
        {"min_improvement negative", [](Grow& g) { g.min_improvement = -0.1; }, 14},
        {"min_improvement above 1", [](Grow& g) { g.min_improvement = 1.5; }, 14},
        {"min_improvement NaN", [](Grow& g) { g.min_improvement = kNaN; }, 14},
        {"tree null", [](Grow& g) { g.no_tree = true; }, 16},
        // The first failing argument decides.
        {"ncat and priors", [](Grow& g) { g.ncat[0] = -1, g.priors = {0.5, 0.4}; }, 10},
        {"priors and min_node", [](Grow& g) { g.priors = {0.5, 0.4}, g.min_node = -1; }, 11},
        {"dep and ncat", [](Grow& g) { g.dep = -1, g.no_ncat = true; }, 9},
    };
    for (const Case& c : cases) {
        Grow g = base();
        c.spoil(g);
        EXPECT_EQ(g.run(), nullptr) << c.what;
        EXPECT_EQ(g.error[0], c.code) << c.what;
        EXPECT_EQ(g.error[1], 0) << c.what;
    }
}

TEST(GiniTreeArguments, PriorsMustAddUpToExactlyOne)
{
    Grow g(3, {{1, 1, 1}, {2, 2, 2}, {3, 1, 3}, {4, 2, 1}}, {0, 1}, 2, 3);
    g.priors = {0.25, 0.25, 0.5};
    EXPECT_NE(g.run(), nullptr);
    EXPECT_EQ(g.error[0], 0);
    g.priors = {0.0, 0.0, 1.0};
    EXPECT_NE(g.run(), nullptr);
    // 0.7 + 0.2 + 0.1 is 0.9999999999999999 in binary arithmetic.
    g.priors = {0.7, 0.2, 0.1};
    EXPECT_EQ(g.run(), nullptr);
    EXPECT_EQ(g.error[0], 11);
    Grow two(3, {{1, 1, 1}, {2, 2, 2}, {3, 1, 2}, {4, 2, 1}}, {0, 1}, 2, 2);
    two.priors = {0.5, 0.5};
    EXPECT_NE(two.run(), nullptr);
}

TEST(GiniTreeArguments, CategoricalValuesAreCheckedAsTheyStand)
{
    Grow g(3, {{1, 1, 1}, {2, 2, 2.5}, {3, 1, 3}, {4, 2, 1}}, {0, 1}, 2, 3);
    g.ncat[1] = 2;
    ASSERT_NE(g.run(), nullptr) << g.error[0];
    g.data[2 * 3 + 2] = 3.5;  // would truncate to 3, but exceeds 3
    EXPECT_EQ(g.run(), nullptr);
    EXPECT_EQ(g.error[0], 10);
    g.data[2 * 3 + 2] = 3;
    g.data[3 * 3 + 1] = 0.5;  // a predictor's value below 1, in the last row
    g.num_recs = 3;           // which is not among the records used
    EXPECT_EQ(g.run(), nullptr);
    EXPECT_EQ(g.error[0], 10);
}

TEST(GiniTreeArguments, PositiveCodeOnEntryChangesNothing)
{
    Grow g(3, {{1, 1, 1}, {2, 2, 2}, {3, 1, 2}, {4, 2, 1}}, {0, 1}, 2, 2);
    g.error[0] = 7, g.error[1] = 3;
    EXPECT_EQ(g.run(false), nullptr);
    EXPECT_EQ(g.error[0], 7);
    EXPECT_EQ(g.error[1], 3);
    g.error[0] = -32;  // a warning does not stop the call
    EXPECT_NE(g.run(false), nullptr);
    EXPECT_EQ(g.error[0], -32);
}

// ----------------------------------------------------------- nodes

TEST(GiniTreeNodes, SingleClassNodeIsALeafOfThatClass)
{
    Grow g(2, {{1, 2}, {2, 2}, {3, 2}, {4, 2}}, {0}, 1, 3);
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
    EXPECT_EQ(t->kind, 2);
    EXPECT_EQ(t->value, 2.0);
    EXPECT_EQ(t->spread, 1.0);
    EXPECT_EQ(t->statistic, -2.0);
    EXPECT_EQ(counts_of(t), (std::vector<int>{0, 4, 0}));
}

TEST(GiniTreeNodes, EqualClassCountsGiveTheLowestClass)
{
    // Constant predictor: no split, so the root is the leaf.
    Grow g(2, {{1, 2}, {1, 1}, {1, 2}, {1, 1}}, {0}, 1, 2);
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
    EXPECT_EQ(t->value, 1.0);
    EXPECT_EQ(t->spread, 0.5);
}

// ----------------------------------------------------------- splits

TEST(GiniTreeSplits, PriorsWeighTheCriterionAndMinImprovementIsPerRecord)
{
    // G(root) = ((0.25*2)^2 + (0.75*2)^2) / 2 = 1.25; the cut at 2.5 gives
    // G = 0.5 on the left and 1.5 on the right: E = 2, E/n = 0.5, and an
    // improvement of 0.75, 0.1875 per record.
    Grow g(2, {{1, 1}, {2, 1}, {3, 2}, {4, 2}}, {0}, 1, 2);
    g.priors = {0.25, 0.75};
    g.min_improvement = 0.1875;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_var, 0);
    EXPECT_EQ(t->split_values[0], 2.5);
    EXPECT_EQ(t->statistic, 0.5);
    EXPECT_EQ(t->left->count, 2);
    EXPECT_EQ(t->left->value, 1.0);
    EXPECT_EQ(counts_of(t), (std::vector<int>{2, 2}));

    g.min_improvement = 0.1876;
    t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
    EXPECT_EQ(t->statistic, -2.0);
    EXPECT_EQ(t->value, 1.0);  // majority by count, not by weight
}

TEST(GiniTreeSplits, CutAfterTheFirstRecordTakesTheMidpointOfTheTwoSmallest)
{
    Grow g(2, {{7, 2}, {0.5, 1}, {3, 2}, {9, 2}, {5, 2}}, {0}, 1, 2);
    g.min_node = 2;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 0);
    EXPECT_EQ(t->split_values[0], 1.75);
    EXPECT_EQ(t->left->count, 1);
    EXPECT_EQ(t->left->value, 1.0);
}

TEST(GiniTreeSplits, MinChildLimitsTheCuts)
{
    Grow g(2, {{1, 1}, {2, 2}, {3, 2}, {4, 2}, {5, 2}}, {0}, 1, 2);
    g.min_node = 4, g.min_child = 2;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 0);
    EXPECT_EQ(t->split_values[0], 2.5);  // the best cut, 1.5, leaves one record
    // The only cut between different values leaves one record on its right.
    Grow ties(2, {{1, 1}, {1, 2}, {1, 2}, {2, 2}}, {0}, 1, 2);
    ties.min_node = 4, ties.min_child = 2;
    t = ties.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
}

TEST(GiniTreeSplits, TwoClassesOrderCategoriesByTheirShareOfClassOne)
{
    // Shares of class 1: category 1 2/3, category 2 0, category 3 1, category
    // 4 1/4 (category 5 absent).  Order 2, 4, 1, 3; the best cut sends 2 and
    // 4 left.
    Grow g(2,
           {{1, 1}, {1, 1}, {1, 2}, {2, 2}, {2, 2}, {2, 2}, {3, 1}, {3, 1}, {4, 1}, {4, 2}, {4, 2}, {4, 2}},
           {0}, 1, 2);
    g.ncat[0] = 5;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 5);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + 5),
              (std::vector<double>{1.0, -1.0, 1.0, -1.0, 0.0}));
    EXPECT_EQ(t->left->count, 7);
    EXPECT_EQ(counts_of(t->left), (std::vector<int>{1, 6}));
}

TEST(GiniTreeSplits, ThreeClassesTryEveryDivisionKeepingTheHighestRight)
{
    // Four categories; the best division is the last of the seven in the
    // counter's order: 1, 2 and 3 left against 4.
    Grow g(2, {{1, 1}, {1, 2}, {2, 1}, {2, 3}, {3, 2}, {3, 3}, {4, 3}, {4, 3}, {4, 3}, {4, 3}}, {0}, 1, 3);
    g.ncat[0] = 4;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 4);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + 4), (std::vector<double>{-1, -1, -1, 1}));
    // The division {2} against the rest parts the classes perfectly.
    Grow h(2, {{1, 1}, {2, 2}, {3, 1}, {4, 1}}, {0}, 1, 3);
    h.ncat[0] = 4;
    t = h.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 4);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + 4), (std::vector<double>{1, -1, 1, 1}));
    // One record of each of three classes in three categories: all three
    // divisions give E = 2, and the first one counted, {1}, wins.
    Grow tie(2, {{1, 1}, {2, 2}, {3, 3}}, {0}, 1, 3);
    tie.ncat[0] = 3;
    t = tie.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 3);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + 3), (std::vector<double>{-1, 1, 1}));
    EXPECT_DOUBLE_EQ(t->statistic, 2.0 / 3.0);
}

TEST(GiniTreeSplits, CategoryOfZeroPriorClassesGoesRight)
{
    // Class 3 has prior 0: category 3 holds only class 3 and takes no part
    // in the division, but its records go right with the partition and the
    // split says so.
    Grow g(2, {{1, 1}, {1, 1}, {2, 2}, {2, 2}, {3, 3}, {3, 3}, {3, 3}}, {0}, 1, 3);
    g.ncat[0] = 4;
    g.priors = {0.5, 0.5, 0.0};
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_size, 4);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + 4), (std::vector<double>{-1, 1, 1, 0}));
    EXPECT_EQ(t->left->count, 2);
    EXPECT_EQ(t->right->count, 5);
    EXPECT_EQ(counts_of(t->right), (std::vector<int>{0, 2, 3}));

    // Scoring sends a record of category 3 right, where growing sent it.
    std::vector<double> row = {3, 3, 3, 3};  // two records of category 3
    double values[2], spreads[2];
    int error[2] = {0, 0};
    tree_score(0, 2, 2, 2, row.data(), nullptr, t, 0, 1, nullptr, values, spreads, error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(values[0], t->right->value);
}

// ----------------------------------------------------------- leaves and scoring

TEST(GiniTreeLeaves, KeepingLeavesHoldTheirRecordsValuesAndScoreByDonor)
{
    Grow g(2, {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 2.5}, {6, 1}}, {0}, 1, 3);
    g.keep = 1;
    g.min_node = 5;
    g.min_child = 2;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_FALSE(is_leaf(t));
    EXPECT_EQ(counts_of(t), (std::vector<int>{3, 3, 0}));  // internal nodes keep class counts
    const TreeNode* right = t->right;
    ASSERT_TRUE(is_leaf(t->left));
    EXPECT_EQ(t->left->int_count, t->left->count);
    EXPECT_EQ(counts_of(t->left), (std::vector<int>{1, 1}));
    EXPECT_EQ(t->split_values[0], 2.5);
    // The right node: records 3 .. 6 with classes 2, 2, 2, 1.
    ASSERT_TRUE(is_leaf(right));
    EXPECT_EQ(counts_of(right), (std::vector<int>{2, 2, 2, 1}));
    EXPECT_EQ(right->value, 2.0);
    EXPECT_EQ(right->spread, 0.75);

    std::vector<double> rows = {1, 0, 6, 0};
    double values[2], spreads[2];
    int error[2] = {0, 0};
    RandState state{};
    set_rand_seed(5, &state);
    tree_score(0, 2, 2, 2, rows.data(), nullptr, t, 0, 3, &state, values, spreads, error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_TRUE(values[1] == 1.0 || values[1] == 2.0);
    EXPECT_EQ(spreads[1], 0.75);
    tree_score(0, 2, 2, 2, rows.data(), nullptr, t, 0, 2, &state, values, spreads, error);
    EXPECT_EQ(error[0], 9);  // no modal category in a classification tree
}

TEST(GiniTreeLeaves, SaveAndLoadGiveTheSameTree)
{
    for (int keep : {0, 1}) {
        IrisGrow g;
        g.keep = keep;
        const TreeNode* t = g.run();
        ASSERT_NE(t, nullptr);
        const std::string path = (std::filesystem::path(::testing::TempDir()) / "gini_tree_test.tree").string();
        int error[2] = {0, 0};
        tree_save(t, path.c_str(), error);
        ASSERT_EQ(error[0], 0);
        TreeNode* loaded = nullptr;
        tree_load(&loaded, path.c_str(), error);
        ASSERT_EQ(error[0], 0);
        std::vector<std::pair<const TreeNode*, const TreeNode*>> stack{{t, loaded}};
        while (!stack.empty()) {
            const auto [a, b] = stack.back();
            stack.pop_back();
            ASSERT_NE(b, nullptr);
            EXPECT_EQ(a->count, b->count);
            EXPECT_EQ(a->keep, b->keep);
            EXPECT_EQ(a->split_var, b->split_var);
            EXPECT_EQ(a->value, b->value);
            EXPECT_EQ(a->spread, b->spread);
            EXPECT_EQ(a->statistic, b->statistic);
            EXPECT_EQ(counts_of(a), counts_of(b));
            if (!is_leaf(a)) {
                EXPECT_EQ(a->split_values[0], b->split_values[0]);
                stack.push_back({a->left, b->left});
                stack.push_back({a->right, b->right});
            }
        }
        tree_free(loaded);
        std::filesystem::remove(path);
    }
}

// ----------------------------------------------------------- known data

TEST(GiniTreeIris, SplitsOnPetalLengthThenPetalWidth)
{
    IrisGrow g;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(g.error[0], 0);
    EXPECT_EQ(t->count, 150);
    EXPECT_EQ(counts_of(t), (std::vector<int>{50, 50, 50}));
    // Petal length and petal width both part setosa from the rest; the
    // first predictor wins the tie.
    ASSERT_EQ(t->split_var, 2);
    EXPECT_DOUBLE_EQ(t->split_values[0], 2.45);
    EXPECT_DOUBLE_EQ(t->statistic, 100.0 / 150.0);  // E = 50 + 50
    const TreeNode* setosa = t->left;
    EXPECT_TRUE(is_leaf(setosa));
    EXPECT_EQ(setosa->count, 50);
    EXPECT_EQ(setosa->value, 1.0);
    EXPECT_EQ(setosa->spread, 1.0);

    const TreeNode* rest = t->right;
    ASSERT_EQ(rest->split_var, 3);
    EXPECT_DOUBLE_EQ(rest->split_values[0], 1.75);
    EXPECT_EQ(counts_of(rest->left), (std::vector<int>{0, 49, 5}));
    EXPECT_EQ(counts_of(rest->right), (std::vector<int>{0, 1, 45}));
    EXPECT_EQ(rest->left->value, 2.0);
    EXPECT_EQ(rest->right->value, 3.0);

    // Every plant with a petal shorter than 2.45 cm is scored setosa.
    std::vector<double> values(150), spreads(150);
    int error[2] = {0, 0};
    tree_score(0, 5, 150, 150, g.data.data(), nullptr, t, 0, 1, nullptr, values.data(), spreads.data(), error);
    ASSERT_EQ(error[0], 0);
    for (int r = 0; r < 150; ++r)
        if (iris::data[r][2] < 2.45) {
            EXPECT_EQ(values[r], 1.0) << r;
        }

    const Reference ref(g);
    expect_tree(t, ref.root().get(), nullptr, "");
}

// ----------------------------------------------------------- reference

TEST(GiniTreeReference, RandomTreesMatchAPlainGrower)
{
    std::mt19937 gen(1234);
    for (int trial = 0; trial < 60; ++trial) {
        const int K = 2 + trial % 3;
        const int n = 20 + static_cast<int>(gen() % 60);
        std::vector<std::vector<double>> rows;
        for (int r = 0; r < n; ++r) {
            const double a = static_cast<double>(gen() % 10);      // continuous, many ties
            const double b = 1 + static_cast<double>(gen() % 5);  // 5 categories
            const double c = 1 + static_cast<double>(gen() % 7);  // 7 categories
            const int y = 1 + static_cast<int>((static_cast<int>(a) / 4 + static_cast<int>(b) + gen() % 2) % K);
            rows.push_back({a, b, c, static_cast<double>(y)});
        }
        Grow g(4, rows, {0, 1, 2}, 3, K);
        g.ncat[1] = 5;
        g.ncat[2] = 7;
        g.min_node = 4 + trial % 5;
        g.min_child = 1 + trial % 3;
        g.min_child = std::min(g.min_child, g.min_node / 2);
        g.keep = trial % 2;
        g.min_improvement = trial % 4 == 0 ? 0.02 : 0.0;
        if (trial % 5 == 1) {
            g.priors.assign(K, 0.0);
            g.priors[0] = 0.5;
            g.priors[K - 1] = 0.5;  // the middle classes weigh nothing when K = 3 or 4
        }
        const TreeNode* t = g.run();
        ASSERT_NE(t, nullptr) << trial << ": code " << g.error[0];
        const Reference ref(g);
        expect_tree(t, ref.root().get(), nullptr, "trial " + std::to_string(trial) + " ");
        if (HasFailure()) return;
    }
}

// ----------------------------------------------------------- fetch

const std::vector<double>* fetch_source = nullptr;

void KEST_CALL fetch_rows(int, int num_rows, double* buffer, int*)
{
    std::copy(fetch_source->begin(), fetch_source->begin() + num_rows * 5, buffer);
}

void KEST_CALL fetch_fails(int, int, double*, int* error) { error[0] = 7; }

TEST(GiniTreeFetch, FetchedMatrixGrowsTheSameTreeAndItsCodesStand)
{
    IrisGrow g;
    const TreeNode* direct = g.run();
    ASSERT_NE(direct, nullptr);
    IrisGrow f;
    fetch_source = &f.data;
    f.no_data = true;
    f.fetch = fetch_rows;
    const TreeNode* fetched = f.run();
    ASSERT_NE(fetched, nullptr);
    EXPECT_EQ(fetched->split_var, direct->split_var);
    EXPECT_EQ(fetched->right->split_values[0], direct->right->split_values[0]);

    f.fetch = fetch_fails;
    EXPECT_EQ(f.run(), nullptr);
    EXPECT_EQ(f.error[0], 7);
}

}  // namespace

namespace {

TEST(GiniTreeArguments, NullErrorPairReturnsAtOnce)
{
    Grow g(2, {{1, 1}, {2, 1}, {3, 2}, {4, 2}}, {0}, 1, 2);
    TreeNode* out = kSentinel;
    gini_tree(0, 2, 4, 4, g.data.data(), nullptr, 1, g.sel.data(), 1, g.ncat.data(), nullptr, 2, 1, 0.0, 0, &out,
              nullptr);
    EXPECT_EQ(out, kSentinel);
    EXPECT_NE(g.run(), nullptr);  // the same call grows a tree with an ErrorPair
}

}  // namespace
