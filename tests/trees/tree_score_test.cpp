// Tree scoring on hand-built trees: argument checks, descent at thresholds
// and categories, unseen categories, donors drawn from kept values, and the
// generator draws each of them consumes.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "kest.h"
#include "numeric/random.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kUntouched = 555.0;

// Nodes and arrays come from calloc/malloc so that tree_free releases them.
TreeNode* leaf(double value, double spread, int count, int int_count = -1, std::vector<int> kept = {}, int kind = 1)
{
    auto* n = static_cast<TreeNode*>(std::calloc(1, sizeof(TreeNode)));
    n->kind = kind, n->keep = kept.empty() ? 0 : 1, n->count = count;
    n->split_var = -1, n->split_size = -1, n->statistic = -2.0;
    n->value = value, n->spread = spread, n->int_count = int_count;
    if (!kept.empty()) {
        n->int_array = static_cast<int32_t*>(std::malloc(kept.size() * sizeof(int32_t)));
        for (std::size_t i = 0; i < kept.size(); ++i) n->int_array[i] = kept[i];
    }
    return n;
}

// An internal node: split size 0 with one threshold, or k directions.
TreeNode* split(int var, std::vector<double> values, TreeNode* left, TreeNode* right, int split_size)
{
    auto* n = static_cast<TreeNode*>(std::calloc(1, sizeof(TreeNode)));
    n->kind = left->kind, n->keep = left->keep, n->count = left->count + right->count;
    n->split_var = var, n->split_size = split_size, n->statistic = 1.0, n->int_count = -1;
    n->split_values = static_cast<double*>(std::malloc(values.size() * sizeof(double)));
    for (std::size_t i = 0; i < values.size(); ++i) n->split_values[i] = values[i];
    n->left = left, n->right = right, left->parent = right->parent = n;
    return n;
}
TreeNode* at_threshold(int var, double t, TreeNode* l, TreeNode* r) { return split(var, {t}, l, r, 0); }
TreeNode* by_category(int var, std::vector<double> dirs, TreeNode* l, TreeNode* r)
{
    const int k = static_cast<int>(dirs.size());
    return split(var, std::move(dirs), l, r, k);
}

void set_kind(TreeNode* t, int kind)
{
    if (t == nullptr) return;
    t->kind = kind;
    set_kind(t->left, kind), set_kind(t->right, kind);
}

using Tree = std::unique_ptr<TreeNode, decltype(&tree_free)>;

// One call of tree_score on rows of a one- or two-column matrix.
struct Score {
    int num_vars, rec1 = 0, num_recs, num_rows;
    std::vector<double> data;
    KestFetch fetch = nullptr;
    bool no_data = false, no_tree = false, no_state = false, no_values = false, no_spreads = false;
    Tree tree;
    int route = 0, method = 1;
    RandState state{};
    std::vector<double> values, spreads;
    int error[2] = {0, 0};

    Score(int nv, std::vector<double> matrix, TreeNode* t)
        : num_vars(nv), num_recs(static_cast<int>(matrix.size()) / nv), num_rows(num_recs), data(std::move(matrix)),
          tree(t, &tree_free)
    {
        set_rand_seed(12345, &state);
    }
    void run(bool reset_error = true)
    {
        if (reset_error) error[0] = error[1] = 0;
        values.assign(std::max(num_recs, 1), kUntouched), spreads = values;
        tree_score(rec1, num_vars, num_recs, num_rows, no_data ? nullptr : data.data(), fetch,
                   no_tree ? nullptr : tree.get(), route, method, no_state ? nullptr : &state,
                   no_values ? nullptr : values.data(), no_spreads ? nullptr : spreads.data(), error);
    }
};

bool same_state(const RandState& a, const RandState& b)
{
    return a.limb[0] == b.limb[0] && a.limb[1] == b.limb[1] && a.limb[2] == b.limb[2] && a.limb[3] == b.limb[3] &&
           a.marker == b.marker;
}

// One donor position among count by selection sampling of a single value.
int draw_position(int count, RandState* s)
{
    int chosen = -1;
    for (int v = 0; v < count; ++v)
        if (kest::rand_uniform(s) * (count - v) <= (chosen < 0 ? 1 : 0)) chosen = v;
    return chosen;
}

const std::vector<double>* fetch_source = nullptr;
int fetch_code = 0, fetch_rec1 = -1, fetch_rows = -1;
void KEST_CALL fetch_matrix(int rec1, int num_rows, double* buffer, int* error)
{
    fetch_rec1 = rec1, fetch_rows = num_rows;
    std::copy(fetch_source->begin(), fetch_source->end(), buffer);
    if (fetch_code != 0) error[0] = fetch_code;
}

// Rows x = 1, 2, 3: the first goes left (kept 3, 5), the others right.
TreeNode* two_leaves() { return at_threshold(0, 1.5, leaf(10, 0.5, 2, -1, {3, 5}), leaf(20, 0.25, 2, -1, {8, 9})); }

TEST(TreeScoreArguments, CodesInArgumentOrder)
{
    struct Row {
        const char* what;
        std::function<void(Score&)> change;
        int code;
    };
    const std::vector<Row> table = {
        {"valid", [](Score&) {}, 0},
        {"route 2 is route 0 and needs no state", [](Score& s) { s.route = 2, s.no_state = true; }, 0},
        {"rec1 negative", [](Score& s) { s.rec1 = -1, s.num_vars = 0; }, 1},
        {"num_vars 0", [](Score& s) { s.num_vars = 0, s.num_recs = 1; }, 2},
        {"num_recs 1", [](Score& s) { s.num_recs = 1, s.no_data = true; }, 3},
        {"records beyond the rows", [](Score& s) { s.rec1 = 1; }, 3},
        {"rec1 + num_recs overflows", [](Score& s) { s.rec1 = INT_MAX - 1; }, 3},
        {"num_rows 1 is caught as code 3", [](Score& s) { s.num_rows = 1; }, 3},
        {"data and fetch", [](Score& s) { s.fetch = fetch_matrix, s.no_tree = true; }, 5},
        {"neither data nor fetch", [](Score& s) { s.no_data = true, s.no_tree = true; }, 6},
        {"tree null", [](Score& s) { s.no_tree = true, s.route = 1, s.no_state = true; }, 7},
        {"state null with route 1", [](Score& s) { s.route = 1, s.no_state = true, s.method = 7; }, 10},
        {"state null with method 3", [](Score& s) { s.method = 3, s.no_state = true, s.no_values = true; }, 10},
        {"method 0", [](Score& s) { s.method = 0, s.no_values = true; }, 9},
        {"method 4", [](Score& s) { s.method = 4; }, 9},
        {"method 2 on a classification tree", [](Score& s) { set_kind(s.tree.get(), 2), s.method = 2; }, 9},
        {"method 3 without kept values",
         [](Score& s) { s.tree.reset(at_threshold(0, 1.5, leaf(1, 0, 2), leaf(2, 0, 2))), s.method = 3; }, 9},
        {"kind 3", [](Score& s) { set_kind(s.tree.get(), 3), s.no_values = true; }, 100},
        {"kind 0", [](Score& s) { set_kind(s.tree.get(), 0); }, 100},
        {"values null", [](Score& s) { s.no_values = true, s.no_spreads = true; }, 11},
        {"spreads null", [](Score& s) { s.no_spreads = true; }, 12},
    };
    for (const Row& row : table) {
        Score s(1, {1, 2, 3}, two_leaves());
        fetch_source = &s.data, fetch_code = 0;
        row.change(s);
        const RandState before = s.state;
        s.error[1] = -777;
        s.run(false);
        EXPECT_EQ(s.error[0], row.code) << row.what;
        EXPECT_EQ(s.error[1], -777) << row.what;
        EXPECT_TRUE(same_state(before, s.state)) << row.what;
        if (row.code > 0) {
            EXPECT_EQ(s.values[0], kUntouched) << row.what;
        }
    }
}

TEST(TreeScoreArguments, PositiveCodeOnEntryChangesNothing)
{
    Score s(1, {1, 2, 3}, two_leaves());
    s.error[0] = 3, s.error[1] = 4;
    s.run(false);
    EXPECT_EQ(s.error[0], 3);
    EXPECT_EQ(s.error[1], 4);
    EXPECT_EQ(s.values, std::vector<double>(3, kUntouched));
}

TEST(TreeScoreArguments, WarningOnEntryDoesNotStopScoring)
{
    Score s(1, {1, 2, 3}, two_leaves());
    s.error[0] = -39;
    s.run(false);
    EXPECT_EQ(s.values, (std::vector<double>{10, 20, 20}));
}

TEST(TreeScoreDescent, SingleLeafGivesEveryRecordItsValueAndModalCategory)
{
    // Rows 1 to 3 of 5; the tree reads no column.
    Score s(1, {kNaN, kNaN, kNaN, kNaN, kNaN}, leaf(4.5, 0.3, 5, 2));
    s.rec1 = 1, s.num_recs = 3;
    s.run();
    EXPECT_EQ(s.error[0], 0);
    EXPECT_EQ(s.values, std::vector<double>(3, 4.5));
    EXPECT_EQ(s.spreads, std::vector<double>(3, 0.3));
    s.method = 2;
    s.run();
    EXPECT_EQ(s.values, std::vector<double>(3, 2.0));
    s.tree->int_count = -1;  // continuous dependent variable
    s.run();
    EXPECT_EQ(s.values, std::vector<double>(3, -1.0));
}

TEST(TreeScoreDescent, ThresholdEqualityAndNaNGoLeft)
{
    // Column 0 is never read; column 1 holds the split variable.
    const double inf = std::numeric_limits<double>::infinity();
    Score s(2, {kNaN, 2.0, kNaN, kNaN, kNaN, std::nextafter(2.0, 3.0), kNaN, -inf, kNaN, inf, kNaN, 1.0},
            at_threshold(1, 2.0, leaf(-1.5, 0.1, 3), leaf(7.0, 0.2, 3)));
    s.run();
    EXPECT_EQ(s.error[0], 0);
    EXPECT_EQ(s.values, (std::vector<double>{-1.5, -1.5, 7.0, -1.5, 7.0, -1.5}));
    EXPECT_EQ(s.spreads, (std::vector<double>{0.1, 0.1, 0.2, 0.1, 0.2, 0.1}));
}

TEST(TreeScoreDescent, SecondLevelAndRecordOffset)
{
    // Category 1 left, 2 right; the right child splits column 1 at 0.
    TreeNode* t = by_category(0, {-1, 1}, leaf(1, 0, 2), at_threshold(1, 0.0, leaf(2, 0, 1), leaf(3, 0, 1)));
    Score s(2, {9, 9, 2, 5, 1, 5, 2, -5, 2.99, 0.0}, t);
    s.rec1 = 1, s.num_recs = 4;
    s.run();
    EXPECT_EQ(s.error[0], 0);
    EXPECT_EQ(s.values, (std::vector<double>{3, 1, 2, 2}));
}

TEST(TreeScoreUnseen, RouteZeroLeavesTheRecordUnscored)
{
    // Directions: 1 left, 2 right, 3 unseen; 0, 4 and -0.5 lie outside 1..3.
    for (int route : {0, 2, -1}) {
        Score s(1, {1, 2.9, 3, 0, 4, -0.5, 1.7, kNaN, 1e300, -1e300},
                by_category(0, {-1, 1, 0}, leaf(5, 0.5, 3, 1), leaf(6, 0.6, 7, 2)));
        s.route = route;
        const RandState before = s.state;
        s.run();
        EXPECT_EQ(s.error[0], -32) << route;
        EXPECT_EQ(s.values, (std::vector<double>{5, 6, -1, -1, -1, -1, 5, -1, -1, -1})) << route;
        EXPECT_EQ(s.spreads, (std::vector<double>{0.5, 0.6, -1, -1, -1, -1, 0.5, -1, -1, -1})) << route;
        EXPECT_TRUE(same_state(before, s.state)) << "no draw without routing";
    }
}

TEST(TreeScoreUnseen, RouteOneDrawsOncePerUnseenRecordByTrainingCounts)
{
    // Left 3 of 10 training records: an unseen record goes left when u < 0.3.
    const int n = 4000;
    std::vector<double> x(n);
    for (int i = 0; i < n; ++i) x[i] = i % 5 == 0 ? 1 : (i % 5 == 1 ? 2 : (i % 5 == 2 ? 0 : 3));
    Score s(1, x, by_category(0, {-1, 1, 0}, leaf(5, 0.5, 3), leaf(6, 0.6, 7)));
    s.route = 1;
    RandState parallel = s.state;
    s.run();
    EXPECT_EQ(s.error[0], -32);
    int unseen = 0, left = 0;
    for (int i = 0; i < n; ++i) {
        double want = x[i] == 1 ? 5 : 6;
        if (x[i] == 0 || x[i] == 3) ++unseen, want = kest::rand_uniform(&parallel) < 0.3 ? 5 : 6;
        ASSERT_EQ(s.values[i], want) << i;
        if (x[i] != 1 && x[i] != 2 && want == 5) ++left;
    }
    EXPECT_TRUE(same_state(parallel, s.state));
    EXPECT_NEAR(static_cast<double>(left) / unseen, 0.3, 0.03);
    // The same seed routes the same way.
    const std::vector<double> first = s.values;
    set_rand_seed(12345, &s.state);
    s.run();
    EXPECT_EQ(s.values, first);
}

TEST(TreeScoreDonors, KeptValueDrawnWithCountDrawsPerRecord)
{
    // Category 1 -> kept 3, 5, 8; category 2 -> kept -4, 7, 11, 0; category
    // 3 unseen: routed by one draw first (left 3 of 7), or left unscored.
    const std::vector<double> x = {1, 2, 3, 1, 1, 3, 2, 2, 1, 3, 3, 1};
    const std::vector<int> kept_left = {3, 5, 8}, kept_right = {-4, 7, 11, 0};
    for (int route : {1, 0}) {
        Score s(1, x, by_category(0, {-1, 1, 0}, leaf(5.3, 0.4, 3, -1, kept_left), leaf(3.5, 0.9, 4, -1, kept_right)));
        s.method = 3, s.route = route;
        RandState parallel = s.state;
        s.run();
        EXPECT_EQ(s.error[0], -32);
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (x[i] == 3 && route == 0) {
                EXPECT_EQ(s.values[i], -1.0);
                continue;
            }
            bool go_left = x[i] == 1;
            if (x[i] == 3) go_left = kest::rand_uniform(&parallel) < 3.0 / 7;
            const std::vector<int>& kept = go_left ? kept_left : kept_right;
            EXPECT_EQ(s.values[i], kept[draw_position(static_cast<int>(kept.size()), &parallel)]) << i;
            EXPECT_EQ(s.spreads[i], go_left ? 0.4 : 0.9) << i;
        }
        EXPECT_TRUE(same_state(parallel, s.state)) << "route " << route;
    }
}

TEST(TreeScoreDonors, LeafOfOneRecordStopsWithCode4)
{
    Score s(1, {1, 2, 1, 1}, at_threshold(0, 1.5, leaf(1, 0.1, 2, -1, {1, 2}), leaf(9, 0.2, 1, -1, {9})));
    s.method = 3;
    s.error[1] = 31;
    s.run(false);
    EXPECT_EQ(s.error[0], 4);
    EXPECT_EQ(s.error[1], 31);
    EXPECT_TRUE(s.values[0] == 1 || s.values[0] == 2);
    EXPECT_EQ(s.spreads[0], 0.1);
    EXPECT_EQ(s.values[1], kUntouched);
    EXPECT_EQ(s.values[2], kUntouched);
}

TEST(TreeScoreDonors, ClassificationTreeValuesAndDonors)
{
    Score s(1, {1, 2}, at_threshold(0, 1.5, leaf(2, 0.6, 5, 5, {2, 2, 1, 2, 3}, 2), leaf(3, 0.8, 2, 2, {3, 3}, 2)));
    s.run();
    EXPECT_EQ(s.values, (std::vector<double>{2, 3}));
    s.method = 3;
    s.run();
    EXPECT_EQ(s.error[0], 0);
    EXPECT_TRUE(s.values[0] >= 1 && s.values[0] <= 3);
    EXPECT_EQ(s.values[1], 3);
}

TEST(TreeScoreDescent, SpreadsAreClamped)
{
    struct Case {
        int kind;
        double spread, want;
    };
    for (const Case& c : {Case{1, -0.5, 0}, {1, kNaN, 0}, {1, 1.5, 1.5}, {2, 1.5, 1}, {2, -1, 0}, {2, kNaN, 0},
                          {2, 0.75, 0.75}, {2, 1.0, 1.0}}) {
        Score s(1, {0, 0}, leaf(1, c.spread, 4, 2, {}, c.kind));
        s.run();
        EXPECT_EQ(s.error[0], 0);
        EXPECT_EQ(s.spreads[1], c.want) << c.kind << " " << c.spread;
    }
}

TEST(TreeScoreDescent, MalformedNodesGiveCode100AndKeepEarlierRecords)
{
    auto negative_size = [] {
        TreeNode* t = at_threshold(0, 1.5, leaf(1, 0, 2), at_threshold(0, 9, leaf(2, 0, 1), leaf(3, 0, 1)));
        t->right->split_size = -2;
        return t;
    };
    auto column = [](int var) { return [var] { return at_threshold(var, 1.5, leaf(1, 0, 2), leaf(2, 0, 2)); }; };
    auto no_kept_values = [] {
        TreeNode* t = at_threshold(0, 1.5, leaf(1, 0, 2, -1, {1, 1}), leaf(2, 0, 2, -1, {2, 2}));
        std::free(t->right->int_array);
        t->right->int_array = nullptr;
        return t;
    };
    struct Case {
        const char* what;
        std::function<TreeNode*()> build;
        int method, scored;
    };
    for (const Case& c : {Case{"negative split size", negative_size, 1, 1}, {"split column 2 of 2", column(2), 1, 0},
                          {"split column -3", column(-3), 1, 0}, {"keeping leaf without values", no_kept_values, 3, 0}}) {
        Score s(2, {1, 0, 2, 0, 1, 0}, c.build());
        s.method = c.method;
        s.run();
        EXPECT_EQ(s.error[0], 100) << c.what;
        if (c.scored == 1) {
            EXPECT_NE(s.values[0], kUntouched) << c.what;
        }
        EXPECT_EQ(s.values[2], kUntouched) << c.what;
    }
}

TEST(TreeScoreFetch, FetchedMatrixScoresAlike)
{
    Score s(2, {0, 9, 0, 1, 0, 2, 0, 3}, at_threshold(1, 1.5, leaf(-2, 0, 2), leaf(2, 0, 2)));
    fetch_source = &s.data, fetch_code = 0;
    s.rec1 = 1, s.num_recs = 3, s.no_data = true, s.fetch = fetch_matrix;
    s.run();
    EXPECT_EQ(s.error[0], 0);
    EXPECT_EQ(fetch_rec1, 1);
    EXPECT_EQ(fetch_rows, 4);
    EXPECT_EQ(s.values, (std::vector<double>{-2, 2, 2}));
    fetch_code = 101;
    s.run();
    EXPECT_EQ(s.error[0], 101);
    EXPECT_EQ(s.values, std::vector<double>(3, kUntouched));
    fetch_code = 0;
}

}  // namespace

// A categorical split with more categories than fit into a compact node
// keeps its directions in a table: left, right, unseen and out of range.
TEST(TreeScoreDescent, ManyCategoriesUseTheirDirections)
{
    std::vector<double> directions(20, 1.0);
    for (int c = 0; c < 10; ++c) directions[static_cast<std::size_t>(c)] = -1.0;
    directions[19] = 0.0;  // category 20 was not seen in training
    Score s(1, {1, 10.9, 11, 19, 20, 21, 0.5, kNaN},
            by_category(0, directions, leaf(1.0, 0.0, 3), leaf(2.0, 0.0, 3)));
    s.run();
    EXPECT_EQ(s.error[0], KEST_WARN_UNSEEN_CATEGORY);
    EXPECT_EQ(s.values, (std::vector<double>{1, 1, 2, 2, -1, -1, -1, -1}));
}

// Records go down a random tree of mixed splits in blocks; every result and
// every random draw must be those of walking one record at a time.
TEST(TreeScoreDescent, BlocksOfRecordsScoreLikeOneAtATime)
{
    std::mt19937 random(99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::function<TreeNode*(int)> grow = [&](int depth) -> TreeNode* {
        if (depth == 0 || unit(random) < 0.15) {
            std::vector<int> kept(2 + random() % 4);
            for (int& v : kept) v = static_cast<int>(random() % 100);
            return leaf(unit(random), unit(random), static_cast<int>(kept.size()), -1, kept);
        }
        TreeNode* l = grow(depth - 1);
        TreeNode* r = grow(depth - 1);
        const int var = static_cast<int>(random() % 3);
        if (var == 0) return at_threshold(0, unit(random), l, r);
        std::vector<double> dirs(var == 1 ? 6 : 24);
        for (double& d : dirs) d = std::vector<double>{-1.0, 1.0, 1.0, -1.0, 0.0}[random() % 5];
        return by_category(var, dirs, l, r);
    };
    std::vector<double> matrix;
    for (int i = 0; i < 1000; ++i) {
        matrix.push_back(unit(random));
        matrix.push_back(1 + static_cast<double>(random() % 7));   // 7 lies outside the 6 categories
        matrix.push_back(1 + static_cast<double>(random() % 24));
    }
    Score s(3, matrix, grow(10));
    s.route = 1;
    s.method = 3;
    RandState reference_state = s.state;
    s.run();
    ASSERT_EQ(s.error[0], KEST_WARN_UNSEEN_CATEGORY);

    for (int i = 0; i < s.num_recs; ++i) {
        const double* row = &matrix[static_cast<std::size_t>(i) * 3];
        const TreeNode* node = s.tree.get();
        while (node->split_var != -1) {
            const double x = row[node->split_var];
            const double d = node->split_size == 0 ? (x <= node->split_values[0] ? -1.0 : 1.0)
                             : (x >= 1 && x < node->split_size + 1) ? node->split_values[static_cast<int>(x) - 1]
                                                                    : 0.0;
            if (d == 0.0) {
                const double p = static_cast<double>(node->left->count) / node->count;
                node = kest::rand_uniform(&reference_state) < p ? node->left : node->right;
            } else {
                node = d < 0 ? node->left : node->right;
            }
        }
        const int position = draw_position(node->count, &reference_state);
        EXPECT_EQ(s.values[static_cast<std::size_t>(i)], node->int_array[position]) << "record " << i;
        EXPECT_EQ(s.spreads[static_cast<std::size_t>(i)], node->spread) << "record " << i;
    }
    EXPECT_TRUE(same_state(s.state, reference_state));
}

namespace {

TEST(TreeScoreArguments, NullErrorPairReturnsAtOnce)
{
    Score s(1, {1, 2, 3}, two_leaves());
    std::vector<double> values(3, kUntouched), spreads(3, kUntouched);
    tree_score(0, 1, 3, 3, s.data.data(), nullptr, s.tree.get(), 0, 1, &s.state, values.data(), spreads.data(),
               nullptr);
    EXPECT_EQ(values, std::vector<double>(3, kUntouched));
    EXPECT_EQ(spreads, std::vector<double>(3, kUntouched));
}

}  // namespace
