// WAID trees: binary regression trees in which every node weights its
// records by robust weights computed from the dependent variable alone, so
// that outlying dependent values have less influence on the node's mean
// and on the choice of its split.
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <utility>
#include <span>
#include <vector>

#include "internal/guard.h"
#include "kest.h"
#include "trees/grow.h"
#include "trees/tree_node.h"

namespace kest {

namespace {

// The constant of the sine weight function, exactly this decimal.
constexpr double sine_pi = 3.1415926;

constexpr double no_cut = -2e300;         // criterion of a predictor without an admissible cut
constexpr double nothing_chosen = -1e300;  // best criterion before any predictor

enum WeightScheme { scheme_none = 1, scheme_sine = 2, scheme_biweight = 3, scheme_huber = 4 };

struct Settings {
    std::vector<int> predictors;
    int dep_var;
    int scheme;
    const int* ncat;
    double tol;
    int maxit;
    double tuning;
    int min_node;
    int min_child;  // at least 1
    bool keep;
};

// Robust weight of a residual r with k = tuning * scale.
double weight_of(int scheme, double r, double k) noexcept
{
    switch (scheme) {
    case scheme_sine:
        if (!(std::fabs(r) < k)) return 0.0;
        // The limit of sin(pi r / k) / r at r = 0.
        return r == 0.0 ? sine_pi / k : std::sin(sine_pi * r / k) / r;
    case scheme_biweight: {
        if (!(std::fabs(r) < k)) return 0.0;
        const double u = r / k;
        return (1.0 - u * u) * (1.0 - u * u);
    }
    case scheme_huber:
        return std::fabs(r) <= k ? 1.0 : std::fabs(k / r);
    default:
        return 1.0;
    }
}

// A node's records with their dependent values, weights and weighted
// deviations w (y - node value), indexed like the record list (row order).
struct NodeWeights {
    std::vector<double> y;
    std::vector<double> w;
    std::vector<double> d;
    double total = 0.0;  // W
    double value = 0.0;
    double spread = 0.0;
};

// A record's weight and weighted deviation in the current node, side by
// side so that the walk in predictor order fetches both at once.
struct Weighted {
    double w;
    double d;
};

// Scratch space of one tree, indexed by record number.
struct Workspace {
    std::vector<Weighted> weighted;
    std::vector<char> goes_left;
    std::vector<double> residual;
    // Categorical split search.
    std::vector<int> category_count;
    std::vector<double> category_weight;
    std::vector<double> category_deviation;
    std::vector<int> categories;
};

// The iteratively re-weighted node weights of schemes 2 to 4: the weights of
// the last pass, scaled to sum to n (all zero when a pass leaves none).
// Returns false when the iteration reached maxit without converging.
bool robust_weights(const Settings& s, std::span<const double> y, std::span<double> w, std::vector<double>& r)
{
    const std::size_t n = y.size();
    double mean = 0.0;
    for (double v : y) mean += v;
    mean /= static_cast<double>(n);
    r.resize(n);
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        r[i] = y[i] - mean;
        squares += r[i] * r[i];
    }
    double scale = std::sqrt(squares / static_cast<double>(n));
    bool converged = true;
    double total = 0.0;
    for (int pass = 1;; ++pass) {
        const double previous = scale;
        const double k = s.tuning * scale;
        total = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            w[i] = weight_of(s.scheme, r[i], k);
            total += w[i];
        }
        if (total == 0.0) break;
        double shift = 0.0;
        for (std::size_t i = 0; i < n; ++i) shift += w[i] * r[i];
        shift /= total;
        // The residuals are re-centred on the weighted mean from pass to pass.
        double weighted_squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            r[i] -= shift;
            weighted_squares += w[i] * r[i] * r[i];
        }
        const double new_scale = std::sqrt(weighted_squares / total);
        if (new_scale == 0.0 || std::fabs(1.0 - previous / new_scale) < s.tol) break;
        scale = new_scale;
        if (pass == s.maxit) {
            converged = false;
            break;
        }
    }
    if (total != 0.0) {
        const double factor = static_cast<double>(n) / total;
        for (std::size_t i = 0; i < n; ++i) w[i] *= factor;
    }
    return converged;
}

struct Cut {
    double criterion = no_cut;
    std::size_t left_count = 0;
    double threshold = 0.0;           // continuous predictors
    std::vector<double> directions;   // categorical predictors: -1 left, +1 right, 0 absent
};

// Between-groups weighted sum of squares of a cut.  A side whose records
// all weigh 0 carries no information, and its deviation is 0 up to
// rounding; dividing that rounding by a weight of 0 would make the cut
// look infinitely good, so such a cut is never taken.
double cut_criterion(double left_deviation, double left_weight, double right_weight) noexcept
{
    if (!(left_weight > 0.0 && right_weight > 0.0)) return no_cut;
    const double d2 = left_deviation * left_deviation;
    return d2 / left_weight + d2 / right_weight;
}

// Walks the node's records in ascending order of a continuous predictor;
// the lowest of equally good cuts wins.
Cut best_continuous_cut(std::span<const SortedEntry> sorted, const Workspace& ws, double total, int min_child)
{
    Cut best;
    const std::size_t n = sorted.size();
    const std::size_t children = static_cast<std::size_t>(min_child);
    double left_weight = 0.0;
    double left_deviation = 0.0;
    for (std::size_t i = 1; i + children <= n; ++i) {
        const SortedEntry& e = sorted[i - 1];
        const Weighted& r = ws.weighted[static_cast<std::size_t>(e.record)];
        left_weight += r.w;
        left_deviation += r.d;
        if (i < children || e.x == sorted[i].x) continue;
        const double criterion = cut_criterion(left_deviation, left_weight, total - left_weight);
        if (criterion > best.criterion) {
            best.criterion = criterion;
            best.left_count = i;
            best.threshold = cut_threshold(e.x, sorted[i].x);
        }
    }
    return best;
}

// Orders the categories that occur by ascending mean deviation (equal means
// in category order) and cuts the order where the criterion is largest.
Cut best_categorical_cut(std::span<const int32_t> categories, const NodeWeights& nw, int k, Workspace& ws,
                         int min_child)
{
    ws.category_count.assign(static_cast<std::size_t>(k) + 1, 0);
    ws.category_weight.assign(static_cast<std::size_t>(k) + 1, 0.0);
    ws.category_deviation.assign(static_cast<std::size_t>(k) + 1, 0.0);
    for (std::size_t i = 0; i < categories.size(); ++i) {
        const auto c = static_cast<std::size_t>(categories[i]);
        ++ws.category_count[c];
        ws.category_weight[c] += nw.w[i];
        ws.category_deviation[c] += nw.d[i];
    }
    const double total = nw.total;
    ws.categories.clear();
    for (int c = 1; c <= k; ++c)
        if (ws.category_count[static_cast<std::size_t>(c)] > 0) ws.categories.push_back(c);
    // A category whose records all weigh 0 has no deviation: its mean is 0.
    const auto mean_deviation = [&](int c) {
        const double weight = ws.category_weight[static_cast<std::size_t>(c)];
        return weight == 0.0 ? 0.0 : ws.category_deviation[static_cast<std::size_t>(c)] / weight;
    };
    std::stable_sort(ws.categories.begin(), ws.categories.end(),
                     [&](int a, int b) { return mean_deviation(a) < mean_deviation(b); });

    Cut best;
    std::size_t best_j = 0;
    std::size_t left_count = 0;
    double left_weight = 0.0;
    double left_deviation = 0.0;
    const std::size_t n = categories.size();
    const auto children = static_cast<std::size_t>(min_child);
    for (std::size_t j = 1; j < ws.categories.size(); ++j) {
        const auto c = static_cast<std::size_t>(ws.categories[j - 1]);
        left_count += static_cast<std::size_t>(ws.category_count[c]);
        left_weight += ws.category_weight[c];
        left_deviation += ws.category_deviation[c];
        if (left_count < children || n - left_count < children) continue;
        const double criterion = cut_criterion(left_deviation, left_weight, total - left_weight);
        if (criterion > best.criterion) {
            best.criterion = criterion;
            best.left_count = left_count;
            best_j = j;
        }
    }
    if (best.criterion > no_cut) {
        best.directions.assign(static_cast<std::size_t>(k), 0.0);
        for (std::size_t j = 0; j < ws.categories.size(); ++j)
            best.directions[static_cast<std::size_t>(ws.categories[j]) - 1] = j < best_j ? -1.0 : 1.0;
    }
    return best;
}

// Modal category (1-based, the lowest on equal counts) of a categorical
// dependent variable.
int modal_category(const GrowData& data, std::span<const int32_t> records, int column, int k, Workspace& ws)
{
    ws.category_count.assign(static_cast<std::size_t>(k) + 1, 0);
    for (const int32_t r : records) ++ws.category_count[static_cast<std::size_t>(category_of(data.value(r, column)))];
    int mode = 1;
    for (int c = 2; c <= k; ++c)
        if (ws.category_count[static_cast<std::size_t>(c)] > ws.category_count[static_cast<std::size_t>(mode)]) mode = c;
    return mode;
}

class WaidGrower {
public:
    WaidGrower(const GrowData& data, const Settings& settings, double* rec_weights, int* error)
        : data_(data), s_(settings), records_(data, settings.predictors, settings.ncat), rec_weights_(rec_weights),
          error_(error)
    {
        const auto n = static_cast<std::size_t>(data.num_recs);
        ws_.weighted.resize(n);
        ws_.goes_left.resize(n);
    }

    // Grows the tree in pre-order, left before right, as a recursion would,
    // but from a stack of its own so that no tree is too deep to grow.
    TreePtr grow()
    {
        TreePtr root;
        std::vector<PendingNode> stack{PendingNode{records_.root(), nullptr, false}};
        while (!stack.empty()) {
            const PendingNode pending = stack.back();
            stack.pop_back();
            TreeNode* node = allocate_node();
            if (node == nullptr) return fail(KEST_ERR_NO_MEMORY);
            attach(node, pending, root);
            const auto children = grow_node(node, pending.segment);
            if (error_[0] > 0) return nullptr;
            if (children) {
                stack.push_back(PendingNode{children->second, node, false});
                stack.push_back(PendingNode{children->first, node, true});
            }
        }
        return root;
    }

private:
    TreePtr fail(int code)
    {
        error_[0] = code;
        return nullptr;
    }

    // Fills one node; returns its children's segments when it splits.
    std::optional<std::pair<Segment, Segment>> grow_node(TreeNode* node, Segment segment);
    void weigh(std::span<const int32_t> records, NodeWeights& nw);
    bool is_candidate(std::span<const int32_t> records, const NodeWeights& nw) const;
    bool finish_leaf(TreeNode* node, std::span<const int32_t> records);
    void mark_left_records(Segment segment, std::size_t slot, const TreeNode& node);

    const GrowData& data_;
    const Settings& s_;
    NodeRecords records_;
    double* rec_weights_;
    int* error_;
    Workspace ws_;
    NodeWeights nw_;
};

void WaidGrower::weigh(std::span<const int32_t> records, NodeWeights& nw)
{
    const std::size_t n = records.size();
    nw.y.resize(n);
    nw.w.resize(n);
    for (std::size_t i = 0; i < n; ++i) nw.y[i] = data_.value(records[i], s_.dep_var);
    if (s_.scheme == scheme_none) {
        std::fill(nw.w.begin(), nw.w.end(), 1.0);
    } else if (!robust_weights(s_, nw.y, nw.w, ws_.residual) && error_[0] <= 0) {
        error_[0] = KEST_WARN_NOT_CONVERGED;
    }
    double total = 0.0;
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        total += nw.w[i];
        sum += nw.w[i] * nw.y[i];
    }
    nw.total = total;
    if (total > 0.0) {
        nw.value = sum / total;
    } else if (s_.scheme != scheme_none && std::all_of(nw.w.begin(), nw.w.end(), [](double w) { return w == 0.0; })) {
        // Every weight is 0 (all dependent values equal, or a tuning constant
        // of 0): the node's value is the plain mean of its records.
        double plain = 0.0;
        for (double v : nw.y) plain += v;
        nw.value = plain / static_cast<double>(n);
    } else {
        nw.value = sum;
    }
    double deviation = 0.0;
    for (std::size_t i = 0; i < n; ++i) deviation += nw.w[i] * (nw.y[i] - nw.value);
    if (total > 0.0) deviation /= total;
    nw.spread = deviation * deviation;
    nw.d.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        nw.d[i] = nw.w[i] * (nw.y[i] - nw.value);
        ws_.weighted[static_cast<std::size_t>(records[i])] = Weighted{nw.w[i], nw.d[i]};
    }
}

bool WaidGrower::is_candidate(std::span<const int32_t> records, const NodeWeights& nw) const
{
    if (records.size() < static_cast<std::size_t>(s_.min_node) || nw.total == 0.0) return false;
    return std::any_of(nw.y.begin(), nw.y.end(), [&](double v) { return v != nw.y.front(); });
}

bool WaidGrower::finish_leaf(TreeNode* node, std::span<const int32_t> records)
{
    if (s_.keep && !keep_values(node, data_, records, s_.dep_var)) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return false;
    }
    return true;
}

// Which records go left: continuous values up to the threshold (a value
// that is not a number goes right), categories whose direction is -1.
void WaidGrower::mark_left_records(Segment segment, std::size_t slot, const TreeNode& node)
{
    if (node.split_size == 0) {
        const double threshold = node.split_values[0];
        for (const SortedEntry& e : records_.sorted(slot, segment))
            ws_.goes_left[static_cast<std::size_t>(e.record)] = e.x <= threshold;
        return;
    }
    const std::span<const int32_t> records = records_.records(segment);
    const std::span<const int32_t> categories = records_.categories(slot, segment);
    for (std::size_t i = 0; i < records.size(); ++i)
        ws_.goes_left[static_cast<std::size_t>(records[i])] = node.split_values[categories[i] - 1] == -1.0;
}

std::optional<std::pair<Segment, Segment>> WaidGrower::grow_node(TreeNode* node, Segment segment)
{
    const std::span<const int32_t> records = records_.records(segment);
    weigh(records, nw_);
    node->kind = 1;
    node->keep = s_.keep ? 1 : 0;
    node->count = static_cast<int32_t>(records.size());
    node->split_var = -1;
    node->split_size = -1;
    node->statistic = -2.0;
    node->value = nw_.value;
    node->spread = nw_.spread;
    const int dep_categories = s_.ncat[s_.dep_var];
    node->int_count = dep_categories > 0 ? modal_category(data_, records, s_.dep_var, dep_categories, ws_) : -1;

    if (!is_candidate(records, nw_)) {
        finish_leaf(node, records);
        return std::nullopt;
    }

    double best = nothing_chosen;
    std::size_t best_slot = 0;
    Cut chosen;
    for (std::size_t p = 0; p < s_.predictors.size(); ++p) {
        const int column = s_.predictors[p];
        const int k = s_.ncat[column];
        Cut cut = k == 0 ? best_continuous_cut(records_.sorted(p, segment), ws_, nw_.total, s_.min_child)
                         : best_categorical_cut(records_.categories(p, segment), nw_, k, ws_, s_.min_child);
        if (cut.criterion > best) {
            best = cut.criterion;
            best_slot = p;
            chosen = std::move(cut);
        }
    }
    if (best == nothing_chosen) {
        finish_leaf(node, records);
        return std::nullopt;
    }

    const int column = s_.predictors[best_slot];
    const int k = s_.ncat[column];
    const std::size_t value_count = k == 0 ? 1 : static_cast<std::size_t>(k);
    node->split_values = allocate_doubles(value_count);
    if (node->split_values == nullptr) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return std::nullopt;
    }
    if (k == 0) node->split_values[0] = chosen.threshold;
    else std::copy(chosen.directions.begin(), chosen.directions.end(), node->split_values);
    node->split_var = column;
    node->split_size = k;
    node->statistic = best;

    for (std::size_t i = 0; i < records.size(); ++i) rec_weights_[records[i]] += nw_.w[i];
    mark_left_records(segment, best_slot, *node);
    const Segment left = records_.partition(segment, ws_.goes_left);
    if (left.size != chosen.left_count) {
        error_[0] = KEST_ERR_TREE_INCONSISTENT;
        return std::nullopt;
    }
    const Segment right{segment.begin + left.size, segment.size - left.size};
    return std::make_pair(left, right);
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    int num_selected, const int* vars_selected, int dep_var, int weight_scheme,
                    const double* rec_weights, const int* ncat, double tol, int maxit, double tuning,
                    int min_node, int min_child, TreeNode* const* tree)
{
    if (const int code = matrix_shape_code(rec1, num_vars, num_recs, num_rows); code != 0) return code;
    if (data == nullptr && fetch == nullptr) return 5;
    if (num_selected < 1 || num_selected >= num_vars) return 7;
    if (vars_selected == nullptr) return 8;
    for (int p = 0; p < num_selected; ++p)
        if (vars_selected[p] < 0 || vars_selected[p] >= num_vars) return 8;
    if (dep_var < 0 || dep_var >= num_vars) return 9;
    if (weight_scheme < 1 || weight_scheme > 4) return 10;
    if (rec_weights == nullptr) return 11;
    if (ncat == nullptr) return 12;
    for (int j = 0; j < num_vars; ++j)
        if (ncat[j] < 0) return 12;
    if (!(tol >= 0.0)) return 13;
    if (maxit < 1) return 14;
    if (!(tuning >= 0.0)) return 15;
    if (min_node < 0 || min_node > num_recs) return 16;
    if (min_child > min_node / 2) return 17;
    if (tree == nullptr) return 19;
    return 0;
}

}  // namespace

}  // namespace kest

extern "C" void waid_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                          int num_selected, const int* vars_selected, int dep_var, int weight_scheme,
                          double* rec_weights, const int* ncat, double tol, int maxit, double tuning, int min_node,
                          int min_child, int keep, TreeNode** tree, int* error)
{
    if (error == nullptr || error[0] > 0) return;
    kest::run_guarded(error, [&] {
        const int code = kest::check_arguments(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                               vars_selected, dep_var, weight_scheme, rec_weights, ncat, tol, maxit,
                                               tuning, min_node, min_child, tree);
        if (code != 0) {
            error[0] = code;
            return;
        }
        std::unique_ptr<double[]> fetched;
        if (data == nullptr) {
            fetched = kest::fetch_matrix(fetch, rec1, num_rows, num_vars, error);
            // A code up to 100 left by the callback stands and no tree is grown.
            if (error[0] > 0) return;
            data = fetched.get();
        }
        if (!kest::categorical_values_in_range(data, num_rows, num_vars, ncat)) {
            error[0] = 12;
            return;
        }
        std::fill(rec_weights, rec_weights + num_recs, 0.0);
        const kest::Settings settings{std::vector<int>(vars_selected, vars_selected + num_selected),
                                      dep_var,
                                      weight_scheme,
                                      ncat,
                                      tol,
                                      maxit,
                                      tuning,
                                      min_node,
                                      std::max(min_child, 1),
                                      keep == 1};
        const kest::GrowData grow_data{data, num_vars, rec1, num_recs};
        kest::WaidGrower grower(grow_data, settings, rec_weights, error);
        kest::TreePtr root = grower.grow();
        if (root && error[0] <= 0) *tree = root.release();
    });
}
