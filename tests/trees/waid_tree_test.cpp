// WAID tree growing: argument checks, robust node weights, split search,
// kept values and the fetch path, against hand-worked numbers and a small
// plainly written reference grower.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kest.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
TreeNode sentinel_node{};
TreeNode* const kSentinel = &sentinel_node;

// One call of waid_tree; every argument can be overridden before run().
struct Grow {
    int num_vars = 0;
    std::vector<double> data;
    std::vector<int> ncat, sel;
    int dep = 0, rec1 = 0, num_recs = 0, num_rows = 0, num_selected = 0;
    int scheme = 1, maxit = 100, min_node = 2, min_child = 1, keep = 0;
    double tol = 1e-10, tuning = 4.685;
    KestFetch fetch = nullptr;
    bool no_data = false, no_sel = false, no_weights = false, no_ncat = false, no_tree = false;
    std::vector<double> weights;
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

    // A fresh ErrorPair unless the caller has prepared one.
    TreeNode* run(bool reset_error = true)
    {
        if (reset_error) error[0] = error[1] = 0;
        if (out != kSentinel) tree_free(out);
        out = kSentinel;
        weights.assign(std::max(num_recs, 1), 777.0);
        waid_tree(rec1, num_vars, num_recs, num_rows, no_data ? nullptr : data.data(), fetch, num_selected,
                  no_sel ? nullptr : sel.data(), dep, scheme, no_weights ? nullptr : weights.data(),
                  no_ncat ? nullptr : ncat.data(), tol, maxit, tuning, min_node, min_child, keep,
                  no_tree ? nullptr : &out, error);
        return out == kSentinel ? nullptr : out;
    }
};

// ----------------------------------------------------------- reference grower

// The criterion of a cut; a side without weight makes the cut inadmissible.
double side_criterion(double DL, double WL, double WR)
{
    if (!(WL > 0 && WR > 0)) return -2e300;
    return DL * DL / WL + DL * DL / WR;
}

double psi(int scheme, double r, double k)
{
    if (scheme == 4) return std::fabs(r) <= k ? 1.0 : std::fabs(k / r);
    if (!(std::fabs(r) < k)) return 0.0;
    if (scheme == 2) return r == 0.0 ? 3.1415926 / k : std::sin(3.1415926 * r / k) / r;
    const double u = r / k;
    return (1 - u * u) * (1 - u * u);
}

// Node weights, scaled to sum to n; all zero when a pass leaves no weight.
std::vector<double> ref_weights(const std::vector<double>& y, int scheme, double tuning, double tol, int maxit,
                                bool* warned)
{
    const std::size_t n = y.size();
    std::vector<double> w(n, 1.0), r(n);
    if (scheme == 1) return w;
    double mean = 0, ss = 0, W = 0;
    for (double v : y) mean += v;
    mean /= n;
    for (std::size_t i = 0; i < n; ++i) r[i] = y[i] - mean, ss += r[i] * r[i];
    double s = std::sqrt(ss / n);
    for (int t = 1;; ++t) {
        const double prev = s, k = tuning * s;
        W = 0;
        for (std::size_t i = 0; i < n; ++i) W += (w[i] = psi(scheme, r[i], k));
        if (W == 0) return std::vector<double>(n, 0.0);
        double m = 0, q = 0;
        for (std::size_t i = 0; i < n; ++i) m += w[i] * r[i];
        m /= W;
        for (std::size_t i = 0; i < n; ++i) r[i] -= m, q += w[i] * r[i] * r[i];
        const double s_new = std::sqrt(q / W);
        if (s_new == 0 || std::fabs(1 - prev / s_new) < tol) break;
        s = s_new;
        if (t == maxit) { *warned = true; break; }
    }
    for (double& v : w) v = v * n / W;
    return w;
}

int truncate_kept(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT_MAX;
    if (v <= -2147483648.0) return INT_MIN;
    return static_cast<int>(v);
}

struct RefNode {
    int count = 0, split_var = -1, split_size = -1, int_count = -1;
    std::vector<double> split_values;
    double value = 0, spread = 0, statistic = -2.0;
    std::vector<int> kept;
    std::unique_ptr<RefNode> left, right;
};

struct Split {
    double crit = -2e300;
    int n_left = 0;
    std::vector<double> values;
};

struct Reference {
    const Grow& g;
    std::vector<double> rec_weights;
    bool warned = false;
    explicit Reference(const Grow& grow) : g(grow), rec_weights(grow.num_recs, 0.0) {}
    double at(int row, int col) const { return g.data[static_cast<std::size_t>(row) * g.num_vars + col]; }

    Split continuous(const std::vector<int>& rows, const std::vector<double>& w, double W, double value, int p) const
    {
        const int n = static_cast<int>(rows.size()), mc = std::max(g.min_child, 1);
        std::vector<int> order(n);
        for (int i = 0; i < n; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return at(rows[a], p) < at(rows[b], p); });
        Split best;
        double WL = 0, DL = 0;
        for (int i = 1; n - i >= mc; ++i) {
            const int j = order[i - 1];
            WL += w[j];
            DL += w[j] * (at(rows[j], g.dep) - value);
            const double a = at(rows[j], p), b = at(rows[order[i]], p);
            if (i < mc || a == b) continue;
            const double crit = side_criterion(DL, WL, W - WL);
            if (crit > best.crit) best = {crit, i, {(a + b) / 2 >= b ? a : (a + b) / 2}};
        }
        return best;
    }

    Split categorical(const std::vector<int>& rows, const std::vector<double>& w, double W, double value, int p) const
    {
        const int K = g.ncat[p];
        std::vector<int> nc(K + 1, 0);
        std::vector<double> Wc(K + 1, 0.0), Dc(K + 1, 0.0);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const int c = static_cast<int>(at(rows[i], p));
            ++nc[c], Wc[c] += w[i], Dc[c] += w[i] * (at(rows[i], g.dep) - value);
        }
        std::vector<int> order;
        for (int c = 1; c <= K; ++c)
            if (nc[c] > 0) order.push_back(c);
        auto mean_dev = [&](int c) { return Wc[c] > 0 ? Dc[c] / Wc[c] : 0.0; };
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return mean_dev(a) < mean_dev(b); });
        Split best;
        int NL = 0;
        double WL = 0, DL = 0;
        for (std::size_t j = 0; j + 1 < order.size(); ++j) {
            NL += nc[order[j]], WL += Wc[order[j]], DL += Dc[order[j]];
            if (NL < g.min_child || static_cast<int>(rows.size()) - NL < g.min_child) continue;
            const double crit = side_criterion(DL, WL, W - WL);
            if (crit > best.crit) {
                best = {crit, NL, std::vector<double>(K, 0.0)};
                for (std::size_t q = 0; q < order.size(); ++q) best.values[order[q] - 1] = q <= j ? -1.0 : 1.0;
            }
        }
        return best;
    }

    std::unique_ptr<RefNode> grow(const std::vector<int>& rows)
    {
        auto node = std::make_unique<RefNode>();
        const int n = static_cast<int>(rows.size());
        std::vector<double> y;
        for (int r : rows) y.push_back(at(r, g.dep));
        const std::vector<double> w = ref_weights(y, g.scheme, g.tuning, g.tol, g.maxit, &warned);
        double W = 0, S = 0, plain = 0;
        for (int i = 0; i < n; ++i) W += w[i], S += w[i] * y[i], plain += y[i];
        node->count = n;
        node->value = W > 0 ? S / W : plain / n;
        double D = 0;
        for (int i = 0; i < n; ++i) D += w[i] * (y[i] - node->value);
        node->spread = W > 0 ? (D / W) * (D / W) : 0.0;
        if (const int K = g.ncat[g.dep]; K > 0) {
            std::vector<int> counts(K + 1, 0);
            for (double v : y) ++counts[static_cast<int>(v)];
            node->int_count = static_cast<int>(std::max_element(counts.begin() + 1, counts.end()) - counts.begin());
        }
        const bool varied = std::any_of(y.begin(), y.end(), [&](double v) { return v != y[0]; });
        if (n >= g.min_node && W != 0 && varied) {
            Split best;
            best.crit = -1e300;
            int var = -1;
            for (int p : g.sel) {
                Split s = g.ncat[p] == 0 ? continuous(rows, w, W, node->value, p)
                                         : categorical(rows, w, W, node->value, p);
                if (s.crit > best.crit) best = s, var = p;
            }
            if (var >= 0) {
                node->split_var = var, node->split_size = g.ncat[var];
                node->split_values = best.values, node->statistic = best.crit;
                std::vector<int> left, right;
                for (int i = 0; i < n; ++i) {
                    rec_weights[rows[i] - g.rec1] += w[i];
                    const double x = at(rows[i], var);
                    const bool goes_left = g.ncat[var] == 0 ? x <= best.values[0]
                                                            : best.values[static_cast<int>(x) - 1] == -1.0;
                    (goes_left ? left : right).push_back(rows[i]);
                }
                node->left = grow(left);
                node->right = grow(right);
                return node;
            }
        }
        if (g.keep == 1)
            for (double v : y) node->kept.push_back(truncate_kept(v));
        return node;
    }

    std::unique_ptr<RefNode> root()
    {
        std::vector<int> rows;
        for (int i = 0; i < g.num_recs; ++i) rows.push_back(g.rec1 + i);
        return grow(rows);
    }
};

void expect_close(double actual, double expected, const std::string& what)
{
    EXPECT_NEAR(actual, expected, 1e-9 * (1 + std::fabs(expected))) << what;
}

void expect_tree(const TreeNode* t, const RefNode* r, int keep, const TreeNode* parent, const std::string& path)
{
    ASSERT_NE(t, nullptr) << path;
    EXPECT_EQ(t->kind, 1) << path;
    EXPECT_EQ(t->keep, keep) << path;
    EXPECT_EQ(t->parent, parent) << path;
    EXPECT_EQ(t->count, r->count) << path;
    EXPECT_EQ(t->int_count, r->int_count) << path;
    expect_close(t->value, r->value, path + " value");
    EXPECT_NEAR(t->spread, r->spread, 1e-20 * (1 + r->value * r->value)) << path;
    EXPECT_EQ(t->split_var, r->split_var) << path;
    ASSERT_EQ(t->split_size, r->split_size) << path;
    if (r->split_var < 0) {
        EXPECT_EQ(t->statistic, -2.0) << path;
        EXPECT_EQ(t->split_values, nullptr) << path;
        EXPECT_TRUE(t->left == nullptr && t->right == nullptr) << path;
        if (keep == 1) {
            ASSERT_NE(t->int_array, nullptr) << path;
            EXPECT_EQ(std::vector<int>(t->int_array, t->int_array + t->count), r->kept) << path;
        } else {
            EXPECT_EQ(t->int_array, nullptr) << path;
        }
        return;
    }
    expect_close(t->statistic, r->statistic, path + " statistic");
    ASSERT_NE(t->split_values, nullptr) << path;
    EXPECT_EQ(std::vector<double>(t->split_values, t->split_values + r->split_values.size()), r->split_values)
        << path;
    expect_tree(t->left, r->left.get(), keep, t, path + "L");
    expect_tree(t->right, r->right.get(), keep, t, path + "R");
}

// Grows with the library and with the reference; trees, weights and the
// warning must agree.
void expect_as_reference(Grow& g)
{
    Reference ref(g);
    const auto want = ref.root();
    const TreeNode* got = g.run();
    EXPECT_EQ(g.error[0], ref.warned ? -39 : 0);
    ASSERT_NE(got, nullptr);
    expect_tree(got, want.get(), g.keep == 1 ? 1 : 0, nullptr, "root");
    for (int i = 0; i < g.num_recs; ++i) expect_close(g.weights[i], ref.rec_weights[i], "rec_weights " + std::to_string(i));
}

uint64_t lcg_state = 0;
double uniform01()
{
    lcg_state = lcg_state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(lcg_state >> 11) * 0x1p-53;
}

// 40 used records (rows 2..41 of 44): x0 continuous, x1 categorical 1..5
// (category 4 never used), x2 continuous with many ties, y continuous,
// y_cat categorical 1..3 with fractions that truncate away.
Grow& random_case(std::unique_ptr<Grow>& holder, uint64_t seed)
{
    lcg_state = seed;
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 44; ++i) {
        const double x0 = 10 * uniform01(), x2 = std::floor(4 * uniform01());
        double cat = 1 + std::floor(4 * uniform01());
        if (cat == 4) cat = 5;
        const double y = (x0 > 6 ? 8 : 0) + (cat == 2 ? 5 : 0) + x2 + 3 * uniform01();
        rows.push_back({x0, cat, x2, y, 1 + std::floor(y / 6.5) + 0.9 * uniform01()});
    }
    holder = std::make_unique<Grow>(5, rows, std::vector<int>{0, 1, 2}, 3);
    Grow& g = *holder;
    g.ncat = {0, 5, 0, 0, 3};
    g.rec1 = 2, g.num_recs = 40, g.min_node = 5, g.min_child = 2;
    return g;
}

// ------------------------------------------------------------------ checks

TEST(WaidTreeArguments, CodesInArgumentOrder)
{
    struct Row {
        const char* what;
        std::function<void(Grow&)> change;
        int code;
    };
    auto bad_cat = [](Grow& g) { g.data[2] = 0; };  // a categorical value outside 1..3
    const std::vector<Row> table = {
        {"valid", [](Grow&) {}, 0},
        {"keep 7 is keep 0", [](Grow& g) { g.keep = 7; }, 0},
        {"min_node 0 and min_child 0", [](Grow& g) { g.min_node = 0, g.min_child = 0; }, 0},
        {"min_child below 1", [](Grow& g) { g.min_child = -4; }, 0},
        {"rec1 negative", [](Grow& g) { g.rec1 = -1, g.num_vars = 0; }, 1},
        {"num_vars 0", [](Grow& g) { g.num_vars = 0, g.num_recs = 1; }, 2},
        {"num_recs 1", [](Grow& g) { g.num_recs = 1, g.no_data = true; }, 3},
        {"records beyond the rows", [](Grow& g) { g.rec1 = 1, g.no_data = true; }, 3},
        {"rec1 + num_recs overflows", [](Grow& g) { g.rec1 = INT_MAX - 1, g.num_recs = 4; }, 3},
        {"num_rows 1 is caught as code 3", [](Grow& g) { g.num_rows = 1; }, 3},
        {"no data and no fetch", [](Grow& g) { g.no_data = true, g.num_selected = 0; }, 5},
        {"num_selected 0", [](Grow& g) { g.num_selected = 0, g.no_sel = true; }, 7},
        {"num_selected = num_vars", [](Grow& g) { g.num_selected = 3, g.sel = {0, 1, 0}; }, 7},
        {"vars_selected null", [](Grow& g) { g.no_sel = true, g.dep = 3; }, 8},
        {"second selected column too large", [](Grow& g) { g.sel = {0, 3}, g.num_selected = 2, g.dep = -1; }, 8},
        {"selected column negative", [](Grow& g) { g.sel = {-1}, g.dep = 3; }, 8},
        {"dep_var = num_vars", [](Grow& g) { g.dep = 3, g.scheme = 0; }, 9},
        {"dep_var negative", [](Grow& g) { g.dep = -1; }, 9},
        {"scheme 0", [](Grow& g) { g.scheme = 0, g.no_weights = true; }, 10},
        {"scheme 5", [](Grow& g) { g.scheme = 5; }, 10},
        {"rec_weights null", [](Grow& g) { g.no_weights = true, g.no_ncat = true; }, 11},
        {"ncat null", [](Grow& g) { g.no_ncat = true, g.tol = -1; }, 12},
        {"ncat negative", [](Grow& g) { g.ncat[2] = -1, g.tol = -1; }, 12},
        {"tol negative", [](Grow& g) { g.tol = -1e-9, g.maxit = 0; }, 13},
        {"tol NaN", [](Grow& g) { g.tol = kNaN; }, 13},
        {"maxit 0", [](Grow& g) { g.maxit = 0, g.tuning = -1; }, 14},
        {"tuning negative", [](Grow& g) { g.tuning = -0.5, g.min_node = -1; }, 15},
        {"tuning NaN", [](Grow& g) { g.tuning = kNaN; }, 15},
        {"min_node negative", [](Grow& g) { g.min_node = -1, g.no_tree = true; }, 16},
        {"min_node above num_recs", [](Grow& g) { g.min_node = 5; }, 16},
        {"min_child above min_node / 2", [](Grow& g) { g.min_node = 3, g.min_child = 2, g.no_tree = true; }, 17},
        {"tree null", [&](Grow& g) { g.no_tree = true, bad_cat(g); }, 19},
        {"categorical value 0 after all arguments", bad_cat, 12},
        {"categorical value 4 > ncat", [](Grow& g) { g.data[8] = 4; }, 12},
        {"categorical value -0.5 truncates to 0", [](Grow& g) { g.data[5] = -0.5; }, 12},
        {"categorical value NaN", [](Grow& g) { g.data[5] = kNaN; }, 12},
        {"categorical value 1e300", [](Grow& g) { g.data[5] = 1e300; }, 12},
        {"column used by nothing", [](Grow& g) { g.ncat[1] = 2; }, 12},
    };
    for (const Row& row : table) {
        Grow g(3, {{1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 0, 3}}, {0}, 2);
        g.ncat = {0, 0, 3};
        row.change(g);
        g.error[1] = -12345;
        const TreeNode* tree = g.run(false);
        EXPECT_EQ(g.error[0], row.code) << row.what;
        EXPECT_EQ(g.error[1], -12345) << row.what;
        if (row.code > 0) {
            EXPECT_EQ(tree, nullptr) << row.what << ": *tree written";
            if (!g.no_weights) {
                for (double w : g.weights) EXPECT_EQ(w, 777.0) << row.what << ": rec_weights written";
            }
        } else {
            EXPECT_NE(tree, nullptr) << row.what;
        }
    }
}

TEST(WaidTreeArguments, CodeOnEntry)
{
    Grow g(3, {{1, 1, 1}, {2, 1, 2}, {3, 1, 3}, {4, 1, 3}}, {0}, 2);
    g.error[0] = 7, g.error[1] = 8;
    EXPECT_EQ(g.run(false), nullptr);
    EXPECT_EQ(g.error[0], 7);
    EXPECT_EQ(g.error[1], 8);
    for (double w : g.weights) EXPECT_EQ(w, 777.0);
    g.error[0] = -39;  // a warning on entry does not stop growing
    ASSERT_NE(g.run(false), nullptr);
    EXPECT_EQ(g.out->split_values[0], 2.5);
}

TEST(WaidTreeArguments, MinChildLimitFollowsMinNode)
{
    std::vector<std::vector<double>> rows;
    for (int i = 0; i < 12; ++i) rows.push_back({double(i), double(i % 3)});
    for (auto [min_node, min_child, code] : {std::tuple{10, 6, 17}, {10, 5, 0}, {11, 5, 0}, {11, 6, 17}, {1, 1, 17}}) {
        Grow g(2, rows, {0}, 1);
        g.min_node = min_node, g.min_child = min_child;
        g.run();
        EXPECT_EQ(g.error[0], code) << min_node << "/" << min_child;
    }
}

TEST(WaidTreeArguments, CategoricalValueOutsideRecordsUsedIsRefused)
{
    // Rows 0 and 5 are not among the records used (rows 1..4); a value of
    // 3.9 reads as category 3 and is fine.
    for (auto [row, value, code] : {std::tuple{0, 0.0, 12}, {5, 4.0, 12}, {5, 3.9, 0}, {0, 1.0, 0}}) {
        Grow g(2, {{1, 1}, {1, 1}, {2, 2}, {3.9, 3}, {1, 4}, {2, 5}}, {0}, 1);
        g.ncat = {3, 0};
        g.rec1 = 1, g.num_recs = 4;
        g.data[2 * row] = value;
        g.run();
        EXPECT_EQ(g.error[0], code) << row << " " << value;
    }
}

TEST(WaidTreeNodes, EveryWeightSchemeGivesReferenceValueOfASixRecordNode)
{
    // A constant predictor keeps the root a leaf, so the root shows the
    // node weights through its value; 40 is an outlier.
    const std::vector<double> y = {3, 4.5, 5, 6, 7.5, 40};
    for (int scheme = 1; scheme <= 4; ++scheme) {
        std::vector<std::vector<double>> rows;
        for (double v : y) rows.push_back({1.0, v});
        Grow g(2, rows, {0}, 1);
        g.scheme = scheme, g.tuning = scheme == 4 ? 1.345 : 2.5, g.tol = 1e-12;
        bool warned = false;
        const std::vector<double> w = ref_weights(y, scheme, g.tuning, g.tol, g.maxit, &warned);
        double W = 0, S = 0;
        for (int i = 0; i < 6; ++i) W += w[i], S += w[i] * y[i];
        const TreeNode* root = g.run();
        ASSERT_NE(root, nullptr) << scheme;
        EXPECT_EQ(g.error[0], warned ? -39 : 0) << scheme;
        EXPECT_EQ(root->split_var, -1);
        EXPECT_NEAR(root->value, S / W, 1e-12) << scheme;
        EXPECT_NEAR(root->spread, 0.0, 1e-20) << scheme;
        EXPECT_EQ(root->int_count, -1);
        for (double v : g.weights) EXPECT_EQ(v, 0.0) << "a leaf root adds no weight";
    }
    bool warned = false;
    EXPECT_EQ(ref_weights(y, 3, 2.5, 1e-12, 100, &warned)[5], 0.0) << "the biweight drops the outlier";
}

TEST(WaidTreeNodes, ZeroWeightsGivePlainMeanAndALeaf)
{
    // Tuning 0 leaves no weight under the sine and the biweight; equal
    // values leave none either.  The predictor would separate perfectly.
    for (int scheme : {2, 3}) {
        for (bool equal : {false, true}) {
            Grow g(2, {{1, 2}, {2, 4}, {3, 10}, {4, 12}}, {0}, 1);
            if (equal) g.data = {1, 7, 2, 7, 3, 7, 4, 7};
            g.scheme = scheme, g.tuning = equal ? 4.685 : 0.0, g.keep = 1;
            const TreeNode* root = g.run();
            ASSERT_NE(root, nullptr);
            EXPECT_EQ(g.error[0], 0);
            EXPECT_EQ(root->split_var, -1) << scheme;
            EXPECT_DOUBLE_EQ(root->value, 7.0) << scheme << " equal " << equal;
            EXPECT_EQ(root->spread, 0.0);
            ASSERT_NE(root->int_array, nullptr);
            EXPECT_EQ(root->int_array[2], equal ? 7 : 10);
        }
    }
}

TEST(WaidTreeNodes, SineWeightAtZeroResidualIsItsLimit)
{
    // y mean 3: three residuals are exactly 0 in the only pass, so their
    // weight 3.1415926 / k decides the node value.
    Grow g(2, {{1, 0}, {1, 0}, {1, 3}, {1, 3}, {1, 3}, {1, 9}}, {0}, 1);
    g.scheme = 2, g.tuning = 3.0, g.maxit = 1, g.tol = 0.0;
    expect_as_reference(g);
    EXPECT_EQ(g.error[0], -39);
    ASSERT_NE(g.out, nullptr);
    EXPECT_TRUE(std::isfinite(g.out->value));
}

TEST(WaidTreeNodes, OnePassLeavesNotConvergedWarningButATree)
{
    Grow g(2, {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 30}, {6, 31}}, {0}, 1);
    g.scheme = 3, g.maxit = 1, g.tol = 0.0, g.tuning = 4.685;
    expect_as_reference(g);
    EXPECT_EQ(g.error[0], -39);
    g.maxit = 200, g.tol = 1e-6;
    expect_as_reference(g);
    EXPECT_EQ(g.error[0], 0);
    g.scheme = 1, g.maxit = 1, g.tol = 0.0;
    g.run();
    EXPECT_EQ(g.error[0], 0) << "scheme 1 has no iteration";
    // Huber weights all 1 leave the scale as it was: converged in one pass,
    // unless the tolerance is 0.
    g.scheme = 4, g.tuning = 100, g.tol = 1e-12;
    g.run();
    EXPECT_EQ(g.error[0], 0);
    g.tol = 0;
    g.run();
    EXPECT_EQ(g.error[0], -39);
}

TEST(WaidTreeSplits, ContinuousCutCriterionAndThreshold)
{
    // Rows in data order; x sorted: 1(y 2) 2(4) 3(10) 4(12).  Mean 7;
    // cut after 2: D_L = -8, criterion 64/2 + 64/2 = 64.
    Grow g(2, {{3, 10}, {1, 2}, {4, 12}, {2, 4}}, {0}, 1);
    g.keep = 1;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(g.error[0], 0);
    EXPECT_EQ(root->split_var, 0);
    EXPECT_EQ(root->split_size, 0);
    EXPECT_EQ(root->split_values[0], 2.5);
    EXPECT_DOUBLE_EQ(root->statistic, 64.0);
    EXPECT_EQ(root->int_array, nullptr);
    ASSERT_NE(root->left, nullptr);
    // Left {2, 4}: cut gives 1 + 1 = 2; leaves keep values in row order.
    EXPECT_EQ(root->left->count, 2);
    EXPECT_DOUBLE_EQ(root->left->statistic, 2.0);
    EXPECT_EQ(root->left->left->int_array[0], 2);
    EXPECT_EQ(root->right->split_values[0], 3.5);
    EXPECT_EQ(root->right->left->int_array[0], 10);
    EXPECT_EQ(root->right->right->int_array[0], 12);
    EXPECT_EQ(g.weights, (std::vector<double>{2, 2, 2, 2}));
}

TEST(WaidTreeSplits, TiesGoToTheLowestCutAndTheFirstPredictor)
{
    // y by x: 1 0 0 1; cuts after 1 and after 3 both give 1/4 + 1/12.
    Grow g(3, {{1, 10, 1}, {2, 20, 0}, {3, 30, 0}, {4, 40, 1}}, {0}, 2);
    g.min_node = 4;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->split_values[0], 1.5);
    EXPECT_EQ(root->left->count, 1);
    EXPECT_DOUBLE_EQ(root->statistic, 0.25 + 0.25 / 3);
    // Columns 0 and 1 order the records alike: equal criteria.
    g.sel = {1, 0}, g.num_selected = 2;
    root = g.run();
    EXPECT_EQ(root->split_var, 1);
    EXPECT_EQ(root->split_values[0], 15.0);
    g.sel = {0, 1};
    EXPECT_EQ(g.run()->split_var, 0);
}

TEST(WaidTreeSplits, MinChildAndMinNodeLimitTheCuts)
{
    // The best free cut isolates the first record; min_child 3 allows only
    // the cut after 3 of 6.
    Grow g(2, {{1, 100}, {2, 0}, {3, 1}, {4, 0}, {5, 1}, {6, 0}}, {0}, 1);
    g.min_node = 6, g.min_child = 3;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->split_values[0], 3.5);
    EXPECT_EQ(root->left->split_var, -1) << "3 records < min_node";
    g.data[2 * 3] = 3;  // x3 = x4: no admissible cut remains
    EXPECT_EQ(g.run()->split_var, -1);
    // A node of exactly min_node records is split; min_child 0 and -2 act as 1.
    for (int mc : {1, 0, -2}) {
        g.data[6] = 4, g.min_node = 2, g.min_child = mc;
        root = g.run();
        EXPECT_EQ(g.error[0], 0) << mc;
        ASSERT_NE(root, nullptr);
        EXPECT_EQ(root->split_values[0], 1.5) << mc;
        EXPECT_EQ(root->right->split_var, 0) << mc;
    }
}

TEST(WaidTreeSplits, CutsWhoseMidpointIsNotBelowTheUpperValue)
{
    // (a + b) / 2 rounds to b for adjacent doubles, is infinite beside an
    // infinite value and overflows for huge ones; the partition must still
    // match the cut.
    const double a = 1.0 + 0x1p-52, b = 1.0 + 0x1p-51, inf = std::numeric_limits<double>::infinity();
    ASSERT_EQ((a + b) / 2, b);
    for (auto [lo, hi] : {std::pair{a, b}, {2.0, inf}, {1e308, 1.5e308}, {-inf, -1e308}}) {
        Grow g(2, {{lo, 0}, {hi, 10}, {lo, 0}, {hi, 10}}, {0}, 1);
        const TreeNode* root = g.run();
        EXPECT_EQ(g.error[0], 0) << lo << " " << hi;
        ASSERT_NE(root, nullptr);
        EXPECT_TRUE(root->split_values[0] >= lo && root->split_values[0] < hi) << root->split_values[0];
        EXPECT_EQ(root->left->count, 2);
        EXPECT_EQ(root->left->value, 0.0);
        if (lo == a) {
            EXPECT_EQ(root->split_values[0], a);
        }
    }
}

TEST(WaidTreeSplits, CategoriesAreOrderedByMeanDeviation)
{
    // Category means 10.5, 1.5, 12.5 around 49/6; order 2, 1, 3; {2} vs
    // {1, 3} gives (40/3)^2 (1/2 + 1/4) = 400/3.  Category 4 never occurs.
    Grow g(2, {{1, 10}, {2, 1}, {3, 12}, {1, 11}, {2, 2}, {3, 13}}, {0}, 1);
    g.ncat = {4, 0};
    g.min_node = 6, g.keep = 1;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->split_size, 4);
    EXPECT_EQ(std::vector<double>(root->split_values, root->split_values + 4),
              (std::vector<double>{1, -1, 1, 0}));
    EXPECT_DOUBLE_EQ(root->statistic, 400.0 / 3);
    EXPECT_EQ(root->left->count, 2);
    EXPECT_DOUBLE_EQ(root->left->value, 1.5);
    EXPECT_DOUBLE_EQ(root->right->value, 11.5);
    EXPECT_EQ(std::vector<int>(root->right->int_array, root->right->int_array + 4),
              (std::vector<int>{10, 12, 11, 13}));
}

TEST(WaidTreeSplits, EqualMeanDeviationsKeepCategoryOrder)
{
    // Categories 1 and 2 both deviate by exactly +2; with min_child 3 only
    // the order 3, 1, 2 gives an admissible cut ({3, 1} | {2}).
    Grow g(2, {{3, 0}, {1, 6}, {2, 6}, {3, 0}, {2, 6}, {2, 6}}, {0}, 1);
    g.ncat = {3, 0};
    g.min_node = 6, g.min_child = 3;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(root->split_size, 3);
    EXPECT_EQ(std::vector<double>(root->split_values, root->split_values + 3), (std::vector<double>{-1, 1, -1}));
    EXPECT_DOUBLE_EQ(root->statistic, 36.0 / 3 + 36.0 / 3);
}

TEST(WaidTreeSplits, CategoryWithoutWeightSortsAsZeroDeviation)
{
    // The biweight gives the single record of category 3 (y = 100) weight 0:
    // it sorts between category 1 (below) and 2 (above), both cuts tie, so
    // category 3 goes right with category 2.
    Grow g(2, {{1, 0}, {2, 3}, {1, 1}, {3, 100}, {2, 4}, {1, 0}, {2, 3}, {1, 1}, {2, 4}}, {0}, 1);
    g.ncat = {3, 0};
    g.scheme = 3, g.min_node = 9;
    expect_as_reference(g);
    const TreeNode* root = g.out;
    ASSERT_EQ(root->split_size, 3);
    EXPECT_EQ(std::vector<double>(root->split_values, root->split_values + 3), (std::vector<double>{-1, 1, 1}));
    EXPECT_EQ(root->left->count, 4);
}

// Two gross outliers weigh 0 under the biweight.  The cut that puts exactly
// them on one side would divide the rounding left in the other side's
// deviation by a weight of 0; it must not be taken for the best one.
TEST(WaidTreeSplits, CutLeavingOnlyZeroWeightsOnOneSideIsNotTaken)
{
    std::vector<std::vector<double>> rows;
    for (int i = 1; i <= 10; ++i) rows.push_back({static_cast<double>(i), 0.1 * i + 0.01 * (i % 3)});
    rows.push_back({11, 1000});
    rows.push_back({12, 1000.3});
    Grow g(2, rows, {0}, 1);
    g.scheme = 3, g.min_node = 12, g.min_child = 2, g.maxit = 50, g.tol = 1e-4;
    ASSERT_NE(g.run(), nullptr);
    const TreeNode* root = g.out;
    ASSERT_NE(root->split_var, -1);
    EXPECT_TRUE(std::isfinite(root->statistic));
    EXPECT_NE(root->left->count, 10);
    expect_as_reference(g);
}

TEST(WaidTreeLeaves, KeptValuesTruncatedAndClampedInRowOrder)
{
    const double inf = std::numeric_limits<double>::infinity();
    Grow g(2, {{1, -2.7}, {1, 3.9}, {1, 1e12}, {1, -1e12}, {1, kNaN}, {1, 2147483647.9}, {1, -2147483648.9},
               {1, 2147483648.0}, {1, inf}, {1, -inf}},
           {0}, 1);
    g.keep = 1;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->keep, 1);
    ASSERT_NE(root->int_array, nullptr);
    EXPECT_EQ(std::vector<int>(root->int_array, root->int_array + 10),
              (std::vector<int>{-2, 3, INT_MAX, INT_MIN, 0, INT_MAX, INT_MIN, INT_MAX, INT_MAX, INT_MIN}));
    g.keep = 7;  // anything but 1 keeps nothing
    root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->keep, 0);
    EXPECT_EQ(root->int_array, nullptr);
}

TEST(WaidTreeLeaves, ModalCategoryOfCategoricalDependent)
{
    // Root y: 2 3 3 2 1 1 -> 1, 2 and 3 twice each: the lowest, 1.  The
    // best cut (criterion 4/4 + 4/2) leaves 2 3 3 2 | 1 1.
    Grow g(2, {{1, 2}, {2, 3}, {3, 3}, {4, 2}, {5, 1}, {6, 1}}, {0}, 1);
    g.ncat = {0, 3};
    g.min_node = 6;
    const TreeNode* root = g.run();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->int_count, 1);
    EXPECT_DOUBLE_EQ(root->statistic, 3.0);
    EXPECT_EQ(root->left->int_count, 2) << "y 2 3 3 2";
    EXPECT_EQ(root->right->int_count, 1) << "y 1 1";
}

TEST(WaidTreeReference, RandomTreesForEveryScheme)
{
    for (int scheme = 1; scheme <= 4; ++scheme) {
        for (int keep : {0, 1}) {
            std::unique_ptr<Grow> holder;
            Grow& g = random_case(holder, 1000 + scheme);
            g.scheme = scheme, g.keep = keep, g.tol = 1e-8;
            g.tuning = scheme == 4 ? 1.345 : 8.0;
            SCOPED_TRACE("scheme " + std::to_string(scheme) + " keep " + std::to_string(keep));
            expect_as_reference(g);
            ASSERT_NE(g.out, nullptr);
            EXPECT_NE(g.out->split_var, -1);
        }
    }
    // Categorical dependent variable (modal categories of truncated values)
    // with other predictor orders.
    for (std::vector<int> sel : {std::vector<int>{1, 2, 0}, {2, 0}, {1}}) {
        std::unique_ptr<Grow> holder;
        Grow& g = random_case(holder, 77);
        g.sel = sel, g.num_selected = static_cast<int>(sel.size());
        g.dep = 4, g.keep = 1, g.scheme = 3, g.tuning = 8.0, g.min_node = 4;
        expect_as_reference(g);
    }
}

// ------------------------------------------------------------------- fetch

const std::vector<double>* fetch_source = nullptr;
int fetch_code = 0, fetch_rec1 = -1, fetch_rows = -1, fetch_calls = 0;
void KEST_CALL fetch_matrix(int rec1, int num_rows, double* buffer, int* error)
{
    ++fetch_calls, fetch_rec1 = rec1, fetch_rows = num_rows;
    std::copy(fetch_source->begin(), fetch_source->end(), buffer);
    if (fetch_code != 0) error[0] = fetch_code;
}

TEST(WaidTreeFetch, FetchedMatrixGrowsTheSameTree)
{
    std::unique_ptr<Grow> holder;
    Grow& g = random_case(holder, 32);
    g.scheme = 3, g.tuning = 8.0, g.keep = 1;
    fetch_source = &g.data, fetch_code = 0, fetch_calls = 0;
    g.fetch = fetch_matrix;
    expect_as_reference(g);  // data given: fetch unused
    EXPECT_EQ(fetch_calls, 0);
    g.no_data = true;
    expect_as_reference(g);
    EXPECT_EQ(fetch_calls, 1);
    EXPECT_EQ(fetch_rec1, 2);
    EXPECT_EQ(fetch_rows, 44);
}

// A code above 100 ends the call at once; one up to 100 stands, grows no
// tree, and still clears the record weights.
TEST(WaidTreeFetch, FetchCodesEndTheCall)
{
    for (int code : {150, 101, 100, 42, 12, 1}) {
        Grow g(2, {{1, 0}, {2, 1}, {3, 0}, {4, 1}}, {0}, 1);
        std::vector<double> bad = g.data;
        bad[0] = 9;  // category out of range: not looked at after a fetch failure
        g.ncat = {3, 0};
        fetch_source = &bad, fetch_code = code;
        g.fetch = fetch_matrix, g.no_data = true;
        g.error[1] = 5;
        EXPECT_EQ(g.run(false), nullptr) << code;
        EXPECT_EQ(g.error[0], code);
        EXPECT_EQ(g.error[1], 5);
        const double weight = code > 100 ? 777.0 : 0.0;
        EXPECT_EQ(g.weights, std::vector<double>(4, weight)) << code;
    }
    fetch_code = 0;
}

}  // namespace

namespace {

TEST(WaidTreeArguments, NullErrorPairReturnsAtOnce)
{
    Grow g(3, {{1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 0, 3}}, {0}, 2);
    std::vector<double> weights(4, 777.0);
    TreeNode* out = kSentinel;
    waid_tree(0, 3, 4, 4, g.data.data(), nullptr, 1, g.sel.data(), 2, 1, weights.data(), g.ncat.data(), 1e-10, 100,
              4.685, 2, 1, 0, &out, nullptr);
    EXPECT_EQ(out, kSentinel);
    EXPECT_EQ(weights, std::vector<double>(4, 777.0));
}

}  // namespace
