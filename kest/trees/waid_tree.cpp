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
    std::span<const double> y;
    std::vector<double> w;
    std::vector<double> d;
    double total = 0.0;  // W
    double value = 0.0;
    double spread = 0.0;
};

// Scratch space of one tree; weighted and goes_left are indexed by place in
// the record list.
struct Workspace {
    std::vector<Weighted> weighted;
    std::vector<char> goes_left;
    std::vector<double> residual;
    CategoryTally tally;
    std::vector<int> counts;  // of the dependent variable's categories
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

class WaidGrower {
public:
    WaidGrower(const GrowData& data, const Settings& settings, double* rec_weights, int* error)
        : data_(data), s_(settings), records_(data, settings.predictors, settings.ncat), rec_weights_(rec_weights),
          error_(error)
    {
        const auto n = static_cast<std::size_t>(data.num_recs);
        ws_.weighted.resize(n);
        ws_.goes_left.resize(n);
        std::vector<double> y(n);
        for (std::size_t r = 0; r < n; ++r) y[r] = data.value(static_cast<int32_t>(r), settings.dep_var);
        y_list_ = records_.follow(std::move(y));
        weight_list_ = records_.follow(std::vector<double>(n, 0.0));
    }

    // Every record's weights, summed in its list in the order of the
    // internal nodes it passed (as they would be added up in rec_weights
    // itself, from the 0 it starts with), go to rec_weights once growing
    // ends or fails.
    ~WaidGrower()
    {
        const std::span<const int32_t> records = records_.records(records_.root());
        const std::span<const double> sums = records_.followed(weight_list_, records_.root());
        for (std::size_t k = 0; k < records.size(); ++k) rec_weights_[records[k]] = sums[k];
    }
    WaidGrower(const WaidGrower&) = delete;
    WaidGrower& operator=(const WaidGrower&) = delete;

    TreePtr grow()
    {
        return grow_pre_order(records_.root(), error_, [this](TreeNode* node, Segment segment) {
            return grow_node(node, segment);
        });
    }

private:
    // Fills one node; returns its children's segments when it splits.
    std::optional<std::pair<Segment, Segment>> grow_node(TreeNode* node, Segment segment);
    void weigh(Segment segment, std::span<const int32_t> records, NodeWeights& nw);
    bool is_candidate(std::span<const int32_t> records, const NodeWeights& nw) const;
    void finish_leaf(TreeNode* node, Segment segment);

    const GrowData& data_;
    const Settings& s_;
    NodeRecords records_;
    double* rec_weights_;
    int* error_;
    std::size_t y_list_ = 0;       // dependent values, followed by place
    std::size_t weight_list_ = 0;  // sums of the record weights, followed by place
    Workspace ws_;
    NodeWeights nw_;
};

void WaidGrower::weigh(Segment segment, std::span<const int32_t> records, NodeWeights& nw)
{
    const std::size_t n = records.size();
    nw.y = records_.followed(y_list_, segment);
    nw.w.resize(n);
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
        ws_.weighted[segment.begin + i] = Weighted{nw.w[i], nw.d[i]};
    }
}

bool WaidGrower::is_candidate(std::span<const int32_t> records, const NodeWeights& nw) const
{
    if (records.size() < static_cast<std::size_t>(s_.min_node) || nw.total == 0.0) return false;
    return std::any_of(nw.y.begin(), nw.y.end(), [&](double v) { return v != nw.y.front(); });
}

// A leaf of a keeping tree holds its records' dependent values, taken from
// their list rather than from the rows of the matrix.
void WaidGrower::finish_leaf(TreeNode* node, Segment segment)
{
    if (s_.keep && !keep_values(node, records_.followed(y_list_, segment))) error_[0] = KEST_ERR_NO_MEMORY;
}

std::optional<std::pair<Segment, Segment>> WaidGrower::grow_node(TreeNode* node, Segment segment)
{
    const std::span<const int32_t> records = records_.records(segment);
    weigh(segment, records, nw_);
    start_leaf(node, 1, s_.keep, records.size());
    node->value = nw_.value;
    node->spread = nw_.spread;
    const int dep_categories = s_.ncat[s_.dep_var];
    node->int_count = dep_categories > 0 ? modal_category(data_, records, s_.dep_var, dep_categories, ws_.counts) : -1;

    if (!is_candidate(records, nw_)) {
        finish_leaf(node, segment);
        return std::nullopt;
    }

    const Choice best = best_deviation_split(records_, segment, s_.predictors, s_.ncat,
                                             NodeDeviations{ws_.weighted, nw_.w, nw_.d, nw_.total}, s_.min_child,
                                             ws_.tally);
    if (!best.found()) {
        finish_leaf(node, segment);
        return std::nullopt;
    }
    const int column = s_.predictors[best.slot];
    if (!set_split(node, records_, best.slot, s_.ncat[column], best.cut, best.cut.criterion)) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return std::nullopt;
    }
    const std::span<double> weight_sums = records_.followed(weight_list_, segment);
    for (std::size_t i = 0; i < records.size(); ++i) weight_sums[i] += nw_.w[i];
    mark_left_records(records_, segment, best.slot, *node, best.cut, ws_.goes_left);
    return partition_node(records_, segment, ws_.goes_left, best.cut.left_count, error_);
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    int num_selected, const int* vars_selected, int dep_var, int weight_scheme,
                    const double* rec_weights, const int* ncat, double tol, int maxit, double tuning,
                    int min_node, int min_child, TreeNode* const* tree)
{
    if (const int code = grower_argument_code(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                              vars_selected, dep_var);
        code != 0)
        return code;
    if (weight_scheme < 1 || weight_scheme > 4) return 10;
    if (rec_weights == nullptr) return 11;
    if (!category_counts_valid(ncat, num_vars)) return 12;
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
        data = kest::matrix_of(data, fetch, rec1, num_rows, num_vars, fetched, error);
        // A code above 100 left by fetch ends the call at once.  One up to 100
        // only keeps the tree from growing: the record weights are cleared all
        // the same, and the values fetched, not to be relied on, go unchecked.
        const bool fetch_failed = data == nullptr;
        if (fetch_failed && error[0] > KEST_ERR_TREE_INCONSISTENT) return;
        if (!fetch_failed &&
            !kest::categorical_values_in_range(data, num_rows, num_vars, ncat, kest::CategoryRange::truncated)) {
            error[0] = 12;
            return;
        }
        std::fill(rec_weights, rec_weights + num_recs, 0.0);
        if (fetch_failed) return;
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
