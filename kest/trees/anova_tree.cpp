// ANOVA trees: binary regression trees whose every split maximises the
// between-groups sum of squares of the dependent variable, optionally with
// case weights from a column of the matrix.  A split is kept only if it
// explains at least a given fraction of its node's sum of squares;
// otherwise the node is collapsed into a leaf.
//
// The search is the WAID tree's, with case weights in place of robust
// weights and deviations from the node's plain mean.  The pruning test of a
// node reads only its own sum of squares and those its two children have
// when they are created; what happens further down, including the collapse
// of a child, never changes it.  So the test is made as soon as the
// children's records are known, before they are grown: a node that fails it
// becomes a leaf at once and the subtree that bottom-up pruning would grow
// and then release is never grown.  The tree is the same.
#include <algorithm>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "internal/guard.h"
#include "kest.h"
#include "trees/grow.h"
#include "trees/tree_node.h"

namespace kest {

namespace {

struct Settings {
    std::vector<int> predictors;
    int dep_var;
    int weight_var;  // negative: every case weighs 1
    const int* ncat;
    int min_node;
    int min_child;  // at least 1
    double min_improvement;
    bool keep;
};

// Plain mean and sum of squared deviations of values taken in order.
struct Moments {
    double mean = 0.0;
    double squares = 0.0;
};

Moments moments_of(std::span<const double> y) noexcept
{
    Moments m;
    if (y.empty()) return m;
    for (const double v : y) m.mean += v;
    m.mean /= static_cast<double>(y.size());
    for (const double v : y) m.squares += (v - m.mean) * (v - m.mean);
    return m;
}

struct Workspace {
    std::vector<Weighted> weighted;  // by place in the record list
    std::vector<char> goes_left;     // by place in the record list
    std::vector<double> y, left_y, right_y;
    std::vector<double> w, d;  // by place in the node's record list
    CategoryTally tally;
    std::vector<int> counts;  // of the dependent variable's categories
};

class AnovaGrower {
public:
    AnovaGrower(const GrowData& data, const Settings& settings, int* error)
        : data_(data), s_(settings), records_(data, settings.predictors, settings.ncat), error_(error)
    {
        const auto n = static_cast<std::size_t>(data.num_recs);
        ws_.weighted.resize(n);
        ws_.goes_left.resize(n);
    }

    TreePtr grow()
    {
        return grow_pre_order(records_.root(), error_, [this](TreeNode* node, Segment segment) {
            return grow_node(node, segment);
        });
    }

private:
    std::optional<std::pair<Segment, Segment>> grow_node(TreeNode* node, Segment segment);
    double weigh(Segment segment, std::span<const int32_t> records, const Moments& m);
    bool keeps_split(Segment segment, double squares);

    double case_weight(int32_t record) const { return s_.weight_var < 0 ? 1.0 : data_.value(record, s_.weight_var); }

    const GrowData& data_;
    const Settings& s_;
    NodeRecords records_;
    int* error_;
    Workspace ws_;
};

// Each record's case weight and weighted deviation from the plain mean;
// returns the node's total weight.
double AnovaGrower::weigh(Segment segment, std::span<const int32_t> records, const Moments& m)
{
    double total = 0.0;
    ws_.w.resize(records.size());
    ws_.d.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const double u = case_weight(records[i]);
        total += u;
        ws_.w[i] = u;
        ws_.d[i] = u * (ws_.y[i] - m.mean);
        ws_.weighted[segment.begin + i] = Weighted{ws_.w[i], ws_.d[i]};
    }
    return total;
}

// Whether the split marked in goes_left explains at least min_improvement
// of the node's sum of squares, with each child's sum of squares taken over
// its records in row order, as the child computes it.
bool AnovaGrower::keeps_split(Segment segment, double squares)
{
    ws_.left_y.clear();
    ws_.right_y.clear();
    for (std::size_t i = 0; i < segment.size; ++i)
        (ws_.goes_left[segment.begin + i] ? ws_.left_y : ws_.right_y).push_back(ws_.y[i]);
    const double explained = squares - moments_of(ws_.left_y).squares - moments_of(ws_.right_y).squares;
    return explained / squares >= s_.min_improvement;
}

std::optional<std::pair<Segment, Segment>> AnovaGrower::grow_node(TreeNode* node, Segment segment)
{
    const std::span<const int32_t> records = records_.records(segment);
    ws_.y.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) ws_.y[i] = data_.value(records[i], s_.dep_var);
    const Moments m = moments_of(ws_.y);
    start_leaf(node, 1, s_.keep, records.size());
    node->value = m.mean;
    node->spread = m.squares;
    const int dep_categories = s_.ncat[s_.dep_var];
    node->int_count = dep_categories > 0 ? modal_category(data_, records, s_.dep_var, dep_categories, ws_.counts) : -1;

    if (records.size() < static_cast<std::size_t>(s_.min_node) || !takes_two_values(data_, records, s_.dep_var)) {
        finish_leaf(node, data_, records, s_.dep_var, s_.keep, error_);
        return std::nullopt;
    }
    const double total = weigh(segment, records, m);
    const Choice best = best_deviation_split(records_, segment, s_.predictors, s_.ncat,
                                             NodeDeviations{ws_.weighted, ws_.w, ws_.d, total}, s_.min_child,
                                             ws_.tally);
    if (!best.found()) {
        finish_leaf(node, data_, records, s_.dep_var, s_.keep, error_);
        return std::nullopt;
    }
    const int column = s_.predictors[best.slot];
    if (!set_split(node, records_, best.slot, s_.ncat[column], best.cut, best.cut.criterion)) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return std::nullopt;
    }
    mark_left_records(records_, segment, best.slot, *node, best.cut, ws_.goes_left);
    if (!keeps_split(segment, m.squares)) {
        // Collapsed: a leaf over all the node's records, still in row order.
        clear_split(node);
        finish_leaf(node, data_, records, s_.dep_var, s_.keep, error_);
        return std::nullopt;
    }
    return partition_node(records_, segment, ws_.goes_left, best.cut.left_count, error_);
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    int num_selected, const int* vars_selected, int dep_var, int weight_var, const int* ncat,
                    int min_node, int min_child, double min_improvement, TreeNode* const* tree)
{
    if (const int code = grower_argument_code(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                              vars_selected, dep_var);
        code != 0)
        return code;
    if (weight_var >= num_vars) return 10;
    if (!category_counts_valid(ncat, num_vars)) return 11;
    if (min_node < 0 || min_node > num_recs) return 12;
    if (min_child > min_node / 2) return 13;
    if (!(min_improvement >= 0.0 && min_improvement <= 1.0)) return 14;
    if (tree == nullptr) return 16;
    return 0;
}

}  // namespace

}  // namespace kest

extern "C" void anova_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                           int num_selected, const int* vars_selected, int dep_var, int weight_var, const int* ncat,
                           int min_node, int min_child, double min_improvement, int keep, TreeNode** tree,
                           int* error)
{
    if (error == nullptr || error[0] > 0) return;
    kest::run_guarded(error, [&] {
        const int code = kest::check_arguments(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                               vars_selected, dep_var, weight_var, ncat, min_node, min_child,
                                               min_improvement, tree);
        if (code != 0) {
            error[0] = code;
            return;
        }
        // Code 10 also stands for a categorical value out of range.
        std::unique_ptr<double[]> fetched;
        data = kest::checked_matrix(data, fetch, rec1, num_rows, num_vars, ncat, kest::CategoryRange::exact, 10,
                                    fetched, error);
        if (data == nullptr) return;
        const kest::Settings settings{std::vector<int>(vars_selected, vars_selected + num_selected),
                                      dep_var,
                                      weight_var < 0 ? -1 : weight_var,
                                      ncat,
                                      min_node,
                                      std::max(min_child, 1),
                                      min_improvement,
                                      keep == 1};
        const kest::GrowData grow_data{data, num_vars, rec1, num_recs};
        kest::AnovaGrower grower(grow_data, settings, error);
        kest::TreePtr root = grower.grow();
        if (root && error[0] <= 0) *tree = root.release();
    });
}
