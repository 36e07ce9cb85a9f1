// ANOVA tree growing: argument checks in order, node statistics, the
// weighted split search, pruning, kept values of collapsed nodes, and whole
// trees against a reference that grows every split and then prunes bottom
// up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kest.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
TreeNode sentinel_node{};
TreeNode* const kSentinel = &sentinel_node;

// One call of anova_tree; every argument can be overridden before run().
struct Grow {
    int num_vars = 0;
    std::vector<double> data;
    std::vector<int> ncat, sel;
    int dep = 0, weight_var = -1, rec1 = 0, num_recs = 0, num_rows = 0, num_selected = 0;
    int min_node = 2, min_child = 1, keep = 0;
    double min_improvement = 0.0;
    bool no_ncat = false, no_tree = false, no_data = false;
    TreeNode* out = kSentinel;
    int error[2] = {0, 0};

    Grow(int nv, std::vector<std::vector<double>> rows, std::vector<int> predictors, int dependent)
        : num_vars(nv), ncat(nv, 0), sel(std::move(predictors)), dep(dependent)
    {
        for (auto& r : rows) data.insert(data.end(), r.begin(), r.end());
        num_recs = num_rows = static_cast<int>(rows.size());
        num_selected = static_cast<int>(sel.size());
    }
    ~Grow() { if (out != kSentinel) tree_free(out); }
    Grow(const Grow&) = delete;

    TreeNode* run()
    {
        error[0] = error[1] = 0;
        if (out != kSentinel) tree_free(out);
        out = kSentinel;
        anova_tree(rec1, num_vars, num_recs, num_rows, no_data ? nullptr : data.data(), nullptr, num_selected,
                   sel.data(), dep, weight_var, no_ncat ? nullptr : ncat.data(), min_node, min_child,
                   min_improvement, keep, no_tree ? nullptr : &out, error);
        return out == kSentinel ? nullptr : out;
    }
};

bool is_leaf(const TreeNode* t) { return t->split_var == -1; }

std::vector<int> kept(const TreeNode* t) { return std::vector<int>(t->int_array, t->int_array + t->count); }

// ----------------------------------------------------------- reference grower

struct RefNode {
    int count = 0, split_var = -1, split_size = -1, int_count = -1;
    std::vector<double> split_values;
    double value = 0, spread = 0, statistic = -2.0;
    std::vector<int> kept;
    std::unique_ptr<RefNode> left, right;
};

// Grows every split the search finds, then prunes on the way back up, as
// the method is usually told: a child collapsed below enters its parent's
// test with the spread it had when it was created.
struct Reference {
    const Grow& g;
    explicit Reference(const Grow& grow) : g(grow) {}
    double at(int row, int col) const { return g.data[static_cast<std::size_t>(row) * g.num_vars + col]; }
    double u(int row) const { return g.weight_var < 0 ? 1.0 : at(row, g.weight_var); }

    static double crit(double DL, double WL, double WR)
    {
        if (!(WL > 0 && WR > 0)) return -2e300;
        return DL * DL / WL + DL * DL / WR;
    }

    struct Split {
        double crit = -2e300;
        std::vector<double> values;
    };

    Split search(const std::vector<int>& rows, int var, double mean, double W) const
    {
        const int n = static_cast<int>(rows.size()), mc = std::max(g.min_child, 1);
        Split best;
        if (g.ncat[var] == 0) {
            std::vector<int> order = rows;
            std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return at(a, var) < at(b, var); });
            double WL = 0, DL = 0;
            for (int i = 1; n - i >= mc; ++i) {
                WL += u(order[i - 1]);
                DL += u(order[i - 1]) * (at(order[i - 1], g.dep) - mean);
                const double a = at(order[i - 1], var), b = at(order[i], var);
                if (i < mc || a == b) continue;
                const double c = crit(DL, WL, W - WL);
                if (c > best.crit) best = {c, {(a + b) / 2}};
            }
            return best;
        }
        const int k = g.ncat[var];
        std::vector<int> nc(k + 1, 0);
        std::vector<double> Wc(k + 1, 0.0), Dc(k + 1, 0.0);
        for (int r : rows) {
            const int c = static_cast<int>(at(r, var));
            ++nc[c], Wc[c] += u(r), Dc[c] += u(r) * (at(r, g.dep) - mean);
        }
        std::vector<int> order;
        for (int c = 1; c <= k; ++c)
            if (nc[c] > 0) order.push_back(c);
        auto md = [&](int c) { return Wc[c] == 0 ? 0.0 : Dc[c] / Wc[c]; };
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return md(a) < md(b); });
        int NL = 0;
        double WL = 0, DL = 0;
        for (std::size_t j = 0; j + 1 < order.size(); ++j) {
            NL += nc[order[j]], WL += Wc[order[j]], DL += Dc[order[j]];
            if (NL < mc || n - NL < mc) continue;
            const double c = crit(DL, WL, W - WL);
            if (c > best.crit) {
                best = {c, std::vector<double>(k, 0.0)};
                for (std::size_t q = 0; q < order.size(); ++q) best.values[order[q] - 1] = q <= j ? -1.0 : 1.0;
            }
        }
        return best;
    }

    std::unique_ptr<RefNode> grow(const std::vector<int>& rows) const
    {
        auto node = std::make_unique<RefNode>();
        const int n = static_cast<int>(rows.size());
        double mean = 0, ss = 0, W = 0;
        for (int r : rows) mean += at(r, g.dep), W += u(r);
        mean /= n;
        for (int r : rows) ss += (at(r, g.dep) - mean) * (at(r, g.dep) - mean);
        node->count = n, node->value = mean, node->spread = ss;
        if (const int K = g.ncat[g.dep]; K > 0) {
            std::vector<int> counts(K + 1, 0);
            for (int r : rows) ++counts[static_cast<int>(at(r, g.dep))];
            node->int_count = static_cast<int>(std::max_element(counts.begin() + 1, counts.end()) - counts.begin());
        }
        const bool varied = std::any_of(rows.begin(), rows.end(), [&](int r) { return at(r, g.dep) != at(rows[0], g.dep); });
        int var = -1;
        Split best;
        best.crit = -1e300;
        if (n >= g.min_node && varied)
            for (int p : g.sel) {
                Split s = search(rows, p, mean, W);
                if (s.crit > best.crit) best = s, var = p;
            }
        if (var >= 0) {
            std::vector<int> L, R;
            for (int r : rows) {
                const double x = at(r, var);
                const bool left = g.ncat[var] == 0 ? x <= best.values[0] : best.values[static_cast<int>(x) - 1] == -1.0;
                (left ? L : R).push_back(r);
            }
            node->left = grow(L);
            node->right = grow(R);
            if ((ss - node->left->spread - node->right->spread) / ss >= g.min_improvement) {
                node->split_var = var, node->split_size = g.ncat[var];
                node->split_values = best.values, node->statistic = best.crit;
                return node;
            }
            node->left.reset();
            node->right.reset();
        }
        if (g.keep == 1)
            for (int r : rows) node->kept.push_back(static_cast<int>(at(r, g.dep)));
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
    EXPECT_EQ(t->kind, 1) << path;
    EXPECT_EQ(t->parent, parent) << path;
    EXPECT_EQ(t->count, r->count) << path;
    EXPECT_EQ(t->value, r->value) << path;
    EXPECT_EQ(t->spread, r->spread) << path;
    EXPECT_EQ(t->int_count, r->int_count) << path;
    ASSERT_EQ(t->split_var, r->split_var) << path;
    if (r->split_var == -1) {
        EXPECT_EQ(t->statistic, -2.0) << path;
        EXPECT_EQ(t->split_size, -1) << path;
        EXPECT_EQ(t->split_values, nullptr) << path;
        EXPECT_EQ(t->left, nullptr) << path;
        if (t->keep == 1) {
            EXPECT_EQ(kept(t), r->kept) << path;
        } else {
            EXPECT_EQ(t->int_array, nullptr) << path;
        }
        return;
    }
    EXPECT_EQ(t->split_size, r->split_size) << path;
    EXPECT_NEAR(t->statistic, r->statistic, 1e-9 * std::fabs(r->statistic)) << path;
    const std::size_t nv = r->split_size == 0 ? 1 : static_cast<std::size_t>(r->split_size);
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + nv), r->split_values) << path;
    expect_tree(t->left, r->left.get(), t, path + "L");
    expect_tree(t->right, r->right.get(), t, path + "R");
}

// ----------------------------------------------------------- arguments

TEST(AnovaTreeArguments, CodesInArgumentOrder)
{
    auto base = [] { return Grow(3, {{1, 1, 1}, {2, 2, 2}, {3, 1, 2}, {4, 2, 1}}, {0, 1}, 2); };
    struct Case {
        const char* what;
        void (*spoil)(Grow&);
        int code;
    };
    const Case cases[] = {
        {"rec1 < 0", [](Grow& g) { g.rec1 = -1; }, 1},
        {"num_vars < 1", [](Grow& g) { g.num_vars = 0; }, 2},
        {"records beyond rows", [](Grow& g) { g.num_recs = 5; }, 3},
        {"no data, no fetch", [](Grow& g) { g.no_data = true; }, 5},
        {"every column a predictor", [](Grow& g) { g.num_selected = 3; }, 7},
        {"predictor out of range", [](Grow& g) { g.sel[0] = -1; }, 8},
        {"dep out of range", [](Grow& g) { g.dep = 3; }, 9},
        {"weight column beyond the columns", [](Grow& g) { g.weight_var = 3; }, 10},
        {"ncat null", [](Grow& g) { g.no_ncat = true; }, 11},
        {"ncat negative", [](Grow& g) { g.ncat[1] = -1; }, 11},
        {"categorical value beyond its codes", [](Grow& g) { g.ncat[1] = 1; }, 10},
        {"min_node beyond records", [](Grow& g) { g.min_node = 5; }, 12},
        {"min_child above half", [](Grow& g) { g.min_node = 3, g.min_child = 2; }, 13},
        {"min_improvement above 1", [](Grow& g) { g.min_improvement = 1.01; }, 14},
        {"min_improvement NaN", [](Grow& g) { g.min_improvement = kNaN; }, 14},
        {"tree null", [](Grow& g) { g.no_tree = true; }, 16},
        {"weight column and ncat", [](Grow& g) { g.weight_var = 3, g.no_ncat = true; }, 10},
        {"ncat before the value check", [](Grow& g) { g.ncat[0] = -1, g.ncat[1] = 1; }, 11},
    };
    for (const Case& c : cases) {
        Grow g = base();
        c.spoil(g);
        EXPECT_EQ(g.run(), nullptr) << c.what;
        EXPECT_EQ(g.error[0], c.code) << c.what;
        EXPECT_EQ(g.error[1], 0) << c.what;
    }
    // A categorical 2.5 of 3 codes passes; a negative weight column means none.
    Grow g = base();
    g.ncat[1] = 3;
    g.data[1] = 2.5;
    g.weight_var = -7;
    EXPECT_NE(g.run(), nullptr);
    EXPECT_EQ(g.error[0], 0);
}

// ----------------------------------------------------------- nodes and splits

TEST(AnovaTreeSplits, NodeStatisticsCriterionAndExactPruningBoundary)
{
    // y 1, 2, 10, 11: mean 6, SS 82.  The cut at 2.5 has D_L = -9 on two
    // records a side: 81/2 + 81/2 = 81; the children's SS are 0.5 each, so
    // the split explains 81/82 of SS.
    Grow g(2, {{1, 1}, {2, 2}, {3, 10}, {4, 11}}, {0}, 1);
    g.min_improvement = 81.0 / 82.0;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->value, 6.0);
    EXPECT_EQ(t->spread, 82.0);
    EXPECT_EQ(t->int_count, -1);
    ASSERT_EQ(t->split_var, 0);  // kept: it explains exactly the fraction asked
    EXPECT_EQ(t->split_values[0], 2.5);
    EXPECT_EQ(t->statistic, 81.0);
    EXPECT_EQ(t->left->value, 1.5);
    EXPECT_EQ(t->left->spread, 0.5);

    g.min_improvement = std::nextafter(81.0 / 82.0, 1.0);
    t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
    EXPECT_EQ(t->statistic, -2.0);
    EXPECT_EQ(t->spread, 82.0);
}

TEST(AnovaTreeSplits, MinImprovementZeroKeepsAndOneCollapses)
{
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 12; ++i) rows.push_back({static_cast<double>(i), static_cast<double>((i * 7) % 5 + i / 6 * 10)});
    Grow g(2, rows, {0}, 1);
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_FALSE(is_leaf(t));
    EXPECT_FALSE(is_leaf(t->left));  // every split found is kept
    g.min_improvement = 1.0;
    t = g.run();
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(is_leaf(t));
    EXPECT_EQ(t->count, 12);
}

TEST(AnovaTreeSplits, CaseWeightsMoveTheSplit)
{
    // Unweighted, y = 0, 0, 9, 10, 10 is best cut after the second record;
    // weighing the third record 100 moves the cut.
    Grow g(3, {{1, 0, 1}, {2, 0, 1}, {3, 9, 100}, {4, 10, 1}, {5, 10, 1}}, {0}, 1);
    const TreeNode* plain = g.run();
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->split_values[0], 2.5);
    g.weight_var = 2;
    const TreeNode* weighted = g.run();
    ASSERT_NE(weighted, nullptr);
    EXPECT_EQ(weighted->value, 5.8);  // the value stays the plain mean
    ASSERT_EQ(weighted->split_var, 0);
    // With d = u (y - 5.8) = -5.8, -5.8, 320, 4.2, 4.2 and W = 104 the cuts
    // score: after 1: 33.64 + 33.64/103; after 2: 67.28 + 134.56/102; after
    // 3: 308.4^2 (1/102 + 1/2) = 48487.8; after 4: 312.6^2 (1/103 + 1) =
    // 98667.5, the largest.
    EXPECT_EQ(weighted->split_values[0], 4.5);
    EXPECT_EQ(weighted->left->count, 4);
    EXPECT_NEAR(weighted->statistic, 312.6 * 312.6 * (1.0 / 103 + 1.0), 1e-9);
}

TEST(AnovaTreeSplits, UnitWeightColumnGivesTheTreeOfNoWeights)
{
    std::mt19937 gen(7);
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 80; ++i)
        rows.push_back({static_cast<double>(gen() % 20), 1.0 + gen() % 4, std::round(std::sin(i) * 50 + i), 1.0});
    Grow a(4, rows, {0, 1}, 2);
    a.ncat[1] = 4;
    a.min_node = 8, a.min_child = 3;
    Grow b(4, rows, {0, 1}, 2);
    b.ncat[1] = 4;
    b.min_node = 8, b.min_child = 3;
    b.weight_var = 3;
    const TreeNode* ta = a.run();
    const TreeNode* tb = b.run();
    ASSERT_NE(ta, nullptr);
    ASSERT_NE(tb, nullptr);
    const Reference ref(a);
    expect_tree(ta, ref.root().get(), nullptr, "unweighted ");
    expect_tree(tb, ref.root().get(), nullptr, "unit weights ");
}

TEST(AnovaTreeSplits, CutLeavingNoWeightOnOneSideIsNotTaken)
{
    // The last two records weigh 0: the cut before them would leave a side
    // of weight 0 and an infinite criterion.  The cut between 1 and 2 is
    // taken instead.
    Grow g(3, {{1, 0, 1}, {2, 5, 1}, {3, 6, 1}, {4, 100, 0}, {5, 200, 0}}, {0}, 1);
    g.weight_var = 2;
    g.min_node = 5;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->split_var, 0);
    EXPECT_LT(t->split_values[0], 3.5);
    EXPECT_TRUE(std::isfinite(t->statistic));
}

// ----------------------------------------------------------- leaves

TEST(AnovaTreeLeaves, CollapsedNodeKeepsAllItsValuesAndItsModalCategory)
{
    // A categorical dependent variable with codes 1 .. 4; the split explains
    // too little, so the root collapses and keeps every value in row order.
    Grow g(2, {{1, 2}, {2, 4}, {3, 2}, {4, 1}, {5, 3}, {6, 2}}, {0}, 1);
    g.ncat[1] = 4;
    g.keep = 1;
    g.min_improvement = 0.99;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(is_leaf(t));
    EXPECT_EQ(t->int_count, 2);
    EXPECT_EQ(kept(t), (std::vector<int>{2, 4, 2, 1, 3, 2}));

    std::vector<double> rows = {1, 0, 6, 0};
    double values[2], spreads[2];
    int error[2] = {0, 0};
    tree_score(0, 2, 2, 2, rows.data(), nullptr, t, 0, 2, nullptr, values, spreads, error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(values[0], 2.0);
    EXPECT_EQ(spreads[0], t->spread);
}

TEST(AnovaTreeLeaves, SaveAndLoadKeepEveryNodeAndKeptValue)
{
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 30; ++i) rows.push_back({static_cast<double>(i % 9), 1.0 + i % 3, std::floor(i * 1.7) - 10});
    Grow g(3, rows, {0, 1}, 2);
    g.ncat[1] = 3;
    g.keep = 1;
    g.min_node = 6, g.min_child = 2;
    const TreeNode* t = g.run();
    ASSERT_NE(t, nullptr);
    const std::string path = ::testing::TempDir() + "anova_tree_test.tree";
    int error[2] = {0, 0};
    tree_save(t, path.c_str(), error);
    ASSERT_EQ(error[0], 0);
    TreeNode* loaded = nullptr;
    tree_load(&loaded, path.c_str(), error);
    ASSERT_EQ(error[0], 0);
    std::vector<std::pair<const TreeNode*, const TreeNode*>> stack{{t, loaded}};
    int nodes = 0;
    while (!stack.empty()) {
        const auto [a, b] = stack.back();
        stack.pop_back();
        ASSERT_NE(b, nullptr);
        ++nodes;
        EXPECT_EQ(b->kind, 1);
        EXPECT_EQ(a->count, b->count);
        EXPECT_EQ(a->split_var, b->split_var);
        EXPECT_EQ(a->split_size, b->split_size);
        EXPECT_EQ(a->value, b->value);
        EXPECT_EQ(a->spread, b->spread);
        EXPECT_EQ(a->statistic, b->statistic);
        EXPECT_EQ(a->int_count, b->int_count);
        if (is_leaf(a)) {
            EXPECT_EQ(kept(a), kept(b));
            continue;
        }
        const int nv = a->split_size == 0 ? 1 : a->split_size;
        EXPECT_EQ(std::vector<double>(a->split_values, a->split_values + nv),
                  std::vector<double>(b->split_values, b->split_values + nv));
        stack.push_back({a->left, b->left});
        stack.push_back({a->right, b->right});
    }
    EXPECT_GT(nodes, 3);
    tree_free(loaded);
    std::remove(path.c_str());
}

// ----------------------------------------------------------- reference

TEST(AnovaTreeReference, TopDownPruningGivesTheTreeOfBottomUpPruning)
{
    std::mt19937 gen(99);
    for (int trial = 0; trial < 60; ++trial) {
        const int n = 20 + static_cast<int>(gen() % 100);
        std::vector<std::vector<double>> rows;
        for (int r = 0; r < n; ++r) {
            const double a = static_cast<double>(gen() % 15);
            const double b = 1 + static_cast<double>(gen() % 6);
            const double y = trial % 3 == 0 ? 1 + static_cast<double>((static_cast<int>(a) + static_cast<int>(b)) % 4)
                                            : std::round(a * b + static_cast<double>(gen() % 30) - 15.0) / 4;
            rows.push_back({a, b, y, 0.5 + static_cast<double>(gen() % 4)});
        }
        Grow g(4, rows, {0, 1}, 2);
        g.ncat[1] = 6;
        if (trial % 3 == 0) g.ncat[2] = 4;
        g.weight_var = trial % 2 == 0 ? 3 : -1;
        g.min_node = 2 + trial % 8;
        g.min_child = std::max(1, std::min(1 + trial % 4, g.min_node / 2));
        g.min_improvement = (trial % 5) * 0.05;
        g.keep = trial % 2;
        const TreeNode* t = g.run();
        ASSERT_NE(t, nullptr) << trial << ": code " << g.error[0];
        const Reference ref(g);
        expect_tree(t, ref.root().get(), nullptr, "trial " + std::to_string(trial) + " ");
        if (HasFailure()) return;
    }
}

}  // namespace

namespace {

TEST(AnovaTreeArguments, NullSelectionAndErrorPair)
{
    Grow g(2, {{1, 1}, {2, 1}, {3, 5}, {4, 5}}, {0}, 1);
    TreeNode* out = kSentinel;
    int error[2] = {0, -12345};
    anova_tree(0, 2, 4, 4, g.data.data(), nullptr, 1, nullptr, 1, -1, g.ncat.data(), 2, 1, 0.0, 0, &out, error);
    EXPECT_EQ(error[0], 8);
    EXPECT_EQ(error[1], -12345);
    EXPECT_EQ(out, kSentinel);
    anova_tree(0, 2, 4, 4, g.data.data(), nullptr, 1, g.sel.data(), 1, -1, g.ncat.data(), 2, 1, 0.0, 0, &out,
               nullptr);
    EXPECT_EQ(out, kSentinel);
    EXPECT_NE(g.run(), nullptr);  // the same call grows a tree with an ErrorPair
}

}  // namespace
