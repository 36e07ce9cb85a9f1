// Gini trees: binary classification trees for a categorical dependent
// variable.  Each split maximises the decrease of the Gini impurity, with
// every class weighted by its prior; a split is kept only when the decrease
// per record reaches the caller's minimum.
//
// For a set S of records with class counts N_1 .. N_K and class weights
// pi_k, W(S) = sum pi_k N_k and G(S) = sum (pi_k N_k)^2 / W(S).  A split of
// S into L and R decreases the weighted impurity by G(L) + G(R) - G(S), so
// the search maximises E = G(L) + G(R).  Every candidate is judged from
// class counts alone, so a categorical division costs the same whatever the
// number of records behind it.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
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
    int classes;                 // K
    const int* ncat;
    std::vector<double> weight;  // pi_k of class k + 1
    int min_node;
    int min_child;  // at least 1
    double min_improvement;
    bool keep;
    // Every class weighs 1 and the squares of the class counts of any node
    // stay below 2^53, where a double holds every whole number.
    bool unit_weights;
};

// G(S) from the class counts of S; a set without weight adds nothing (its
// classes all have prior 0).
double gini_term(std::span<const int> counts, std::span<const double> weight) noexcept
{
    double total = 0.0;
    double squares = 0.0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        const double w = weight[k] * counts[k];
        total += w;
        squares += w * w;
    }
    return total > 0.0 ? squares / total : 0.0;
}

// G(L) + G(R) when every class weighs 1, from each group's sum of squared
// class counts and its number of records (both at least 1).  Those are W
// and the sum of squares that gini_term adds up, whole numbers held exactly
// by a double (Settings::unit_weights), so the result has the same bits.
double unit_gini_sum(int64_t left_squares, std::size_t left, int64_t right_squares, std::size_t right) noexcept
{
    return static_cast<double>(left_squares) / static_cast<double>(left) +
           static_cast<double>(right_squares) / static_cast<double>(right);
}

// counts[c] = how many of i = 0 .. n - 1 have cell_of(i) = c, for cells
// 0 .. cells - 1.  Tallied into four tables in turn and summed after:
// consecutive records often fall in the same cell, and with one table each
// count would wait for the one before it to be stored.
template <class CellOf>
void tally_cells(std::size_t n, std::size_t cells, CellOf&& cell_of, std::vector<int>& counts,
                 std::vector<int>& tables)
{
    constexpr std::size_t ways = 4;
    tables.assign(ways * cells, 0);
    for (std::size_t i = 0; i < n; ++i) ++tables[(i % ways) * cells + cell_of(i)];
    counts.assign(cells, 0);
    for (std::size_t w = 0; w < ways; ++w)
        for (std::size_t c = 0; c < cells; ++c) counts[c] += tables[w * cells + c];
}

// The best split of one predictor: E of the best cut in cut.criterion
// (which must exceed G of the node), and the improvement E - G(node).
struct GiniCut {
    Cut cut;
    double improvement = nothing_chosen;
};

// Scratch space of one tree.  Per-category tables are indexed by category
// 1 .. k; the class counts of category c are row c of class_table.
struct Workspace {
    std::vector<int> class_of;  // class index (class - 1) of every record
    // The class index of the record at each place of the record list,
    // filled for the node being grown: the walks and tallies read it within
    // the node's segment instead of all over class_of.
    std::vector<int> class_at;
    std::vector<char> goes_left;  // by place in the record list
    std::vector<int> node_counts;  // K class counts of the node
    std::vector<int> left, right;  // K class counts of the two groups
    std::vector<int> class_table;
    std::vector<int> tally_tables;  // scratch of tally_cells
    std::vector<int> category_count;
    std::vector<double> category_weight;
    std::vector<int> order;  // the categories that occur
    std::vector<char> on_left, best_on_left;
};

class GiniGrower {
public:
    GiniGrower(const GrowData& data, const Settings& settings, int* error)
        : data_(data), s_(settings), records_(data, settings.predictors, settings.ncat), error_(error)
    {
        const auto n = static_cast<std::size_t>(data.num_recs);
        ws_.goes_left.resize(n);
        ws_.class_at.resize(n);
        ws_.class_of.resize(n);
        for (std::size_t r = 0; r < n; ++r)
            ws_.class_of[r] = category_of(data.value(static_cast<int32_t>(r), settings.dep_var)) - 1;
    }

    TreePtr grow()
    {
        return grow_pre_order(records_.root(), error_, [this](TreeNode* node, Segment segment) {
            return grow_node(node, segment);
        });
    }

private:
    std::optional<std::pair<Segment, Segment>> grow_node(TreeNode* node, Segment segment);
    bool count_classes(TreeNode* node, Segment segment);
    void finish_leaf(TreeNode* node, std::span<const int32_t> records);
    GiniCut continuous_cut(std::size_t p, Segment segment, double h);
    GiniCut categorical_cut(std::span<const int32_t> categories, std::span<const int> classes, int k, double h);
    void tally_categories(std::span<const int32_t> categories, std::span<const int> classes, int k);
    Cut ordered_cut(std::size_t n, int k, double h);
    Cut best_division(std::size_t n, int k, double h);
    void move_category(int c, int sign);
    double criterion() const;
    bool has_two_values(std::span<const int32_t> records) const;

    const GrowData& data_;
    const Settings& s_;
    NodeRecords records_;
    int* error_;
    Workspace ws_;
};

// G(L) + G(R) of the two groups' class counts; both groups hold records.
double GiniGrower::criterion() const
{
    if (!s_.unit_weights) return gini_term(ws_.left, s_.weight) + gini_term(ws_.right, s_.weight);
    int64_t left_squares = 0, right_squares = 0, left = 0, right = 0;
    for (std::size_t k = 0; k < ws_.left.size(); ++k) {
        left += ws_.left[k];
        right += ws_.right[k];
        left_squares += int64_t{ws_.left[k]} * ws_.left[k];
        right_squares += int64_t{ws_.right[k]} * ws_.right[k];
    }
    return unit_gini_sum(left_squares, static_cast<std::size_t>(left), right_squares, static_cast<std::size_t>(right));
}

// Whether the dependent variable takes two different values over the
// node's records: surely so when they fall in two classes; otherwise the
// values themselves tell (2.5 and 2.7 are both of class 2).
bool GiniGrower::has_two_values(std::span<const int32_t> records) const
{
    const auto in_node = [](int c) { return c > 0; };
    if (std::count_if(ws_.node_counts.begin(), ws_.node_counts.end(), in_node) >= 2) return true;
    return takes_two_values(data_, records, s_.dep_var);
}

// Class counts, majority class (the lowest of equally frequent ones) and its
// share; the node holds its class counts as its int array.  Fills the
// node's part of class_at on the way.
bool GiniGrower::count_classes(TreeNode* node, Segment segment)
{
    const std::span<const int32_t> records = records_.records(segment);
    const auto classes = static_cast<std::size_t>(s_.classes);
    int* class_at = ws_.class_at.data() + segment.begin;
    for (std::size_t i = 0; i < records.size(); ++i) class_at[i] = ws_.class_of[static_cast<std::size_t>(records[i])];
    tally_cells(
        records.size(), classes, [&](std::size_t i) { return static_cast<std::size_t>(class_at[i]); },
        ws_.node_counts, ws_.tally_tables);
    std::size_t majority = 0;
    for (std::size_t k = 1; k < classes; ++k)
        if (ws_.node_counts[k] > ws_.node_counts[majority]) majority = k;
    node->value = static_cast<double>(majority + 1);
    node->spread = static_cast<double>(ws_.node_counts[majority]) / static_cast<double>(records.size());
    node->int_count = s_.classes;
    node->int_array = allocate_ints(classes);
    if (node->int_array == nullptr) return false;
    std::copy(ws_.node_counts.begin(), ws_.node_counts.end(), node->int_array);
    return true;
}

// A leaf of a keeping tree holds the dependent values of its records in
// place of its class counts.
void GiniGrower::finish_leaf(TreeNode* node, std::span<const int32_t> records)
{
    if (!s_.keep) return;
    std::free(node->int_array);
    node->int_array = nullptr;
    node->int_count = static_cast<int32_t>(records.size());
    kest::finish_leaf(node, data_, records, s_.dep_var, true, error_);
}

// Records move left one by one in ascending order of the predictor.
GiniCut GiniGrower::continuous_cut(std::size_t p, Segment segment, double h)
{
    const std::span<const SortedEntry> sorted = records_.sorted(p, segment);
    ws_.left.assign(ws_.node_counts.size(), 0);
    ws_.right = ws_.node_counts;
    GiniCut best;
    const auto class_of = [&](int32_t place) {
        return static_cast<std::size_t>(ws_.class_at[static_cast<std::size_t>(place)]);
    };
    if (s_.unit_weights) {
        // Every cut of a long walk is judged, so the sums of squares of the
        // two groups are kept up to date as a record moves instead of being
        // summed over the classes for each cut: (N + 1)^2 = N^2 + 2N + 1.
        int64_t left_squares = 0;
        int64_t right_squares = 0;
        for (const int c : ws_.node_counts) right_squares += int64_t{c} * c;
        const std::size_t n = sorted.size();
        best.cut = walk_continuous_cuts(
            sorted, s_.min_child, h,
            [&](int32_t place) {
                // The right group holds the node's records of class k less
                // the left group's: (N - 1)^2 = N^2 - 2N + 1.
                const std::size_t k = class_of(place);
                const int64_t left = ws_.left[k]++;
                left_squares += 2 * left + 1;
                right_squares -= 2 * (ws_.node_counts[k] - left) - 1;
            },
            [&](std::size_t i) { return unit_gini_sum(left_squares, i, right_squares, n - i); });
    } else {
        best.cut = walk_continuous_cuts(
            sorted, s_.min_child, h,
            [&](int32_t place) {
                const std::size_t k = class_of(place);
                ++ws_.left[k];
                --ws_.right[k];
            },
            [&](std::size_t) { return criterion(); });
    }
    if (best.cut.found()) best.improvement = best.cut.criterion - h;
    return best;
}

// Class counts, records and class weight of every category of the node.
void GiniGrower::tally_categories(std::span<const int32_t> categories, std::span<const int> classes_at, int k)
{
    const auto classes = static_cast<std::size_t>(s_.classes);
    const auto size = static_cast<std::size_t>(k) + 1;
    tally_cells(
        categories.size(), size * classes,
        [&](std::size_t i) {
            return static_cast<std::size_t>(categories[i]) * classes + static_cast<std::size_t>(classes_at[i]);
        },
        ws_.class_table, ws_.tally_tables);
    ws_.category_count.assign(size, 0);
    ws_.category_weight.assign(size, 0.0);
    for (std::size_t c = 0; c < size; ++c)
        for (std::size_t cls = 0; cls < classes; ++cls) ws_.category_count[c] += ws_.class_table[c * classes + cls];
    ws_.order.clear();
    for (std::size_t c = 1; c < size; ++c) {
        double weight = 0.0;
        for (std::size_t cls = 0; cls < classes; ++cls) weight += s_.weight[cls] * ws_.class_table[c * classes + cls];
        ws_.category_weight[c] = weight;
        // A category occurs when its records weigh something.
        if (weight != 0.0) ws_.order.push_back(static_cast<int>(c));
    }
}

// Moves a category's class counts to the left group (sign +1) or back to
// the right (sign -1).
void GiniGrower::move_category(int c, int sign)
{
    const std::size_t classes = ws_.left.size();
    const int* row = ws_.class_table.data() + static_cast<std::size_t>(c) * classes;
    for (std::size_t k = 0; k < classes; ++k) {
        ws_.left[k] += sign * row[k];
        ws_.right[k] -= sign * row[k];
    }
}

// Two classes: the categories ordered by ascending ratio of their class-1
// records to their class weight (equal ratios in category order), cut after
// each of the first m - 1.
Cut GiniGrower::ordered_cut(std::size_t n, int k, double h)
{
    const auto ratio = [&](int c) {
        const auto i = static_cast<std::size_t>(c);
        return ws_.class_table[i * 2] / ws_.category_weight[i];
    };
    std::stable_sort(ws_.order.begin(), ws_.order.end(), [&](int a, int b) { return ratio(a) < ratio(b); });
    return walk_ordered_categories(
        ws_.order, ws_.category_count, n, k, s_.min_child, h, [&](int c) { move_category(c, +1); },
        [&] { return criterion(); });
}

// Any other number of classes: every division of the m occurring categories
// into two non-empty groups that leaves the highest on the right, 2^(m-1) - 1
// of them.  They are visited as a binary counter over the categories in
// ascending order, the lowest the least significant digit and left the
// digit 1: each step moves the lowest category on the right to the left and
// every lower one back to the right; the count stops when the highest would
// move.  Each step changes the groups by two categories on average, so a
// division costs the same whatever the number of records.
Cut GiniGrower::best_division(std::size_t n, int k, double h)
{
    const std::vector<int>& order = ws_.order;
    const std::size_t m = order.size();
    ws_.on_left.assign(m, 0);
    Cut best;
    best.criterion = h;
    std::size_t left_count = 0;
    const auto children = static_cast<std::size_t>(s_.min_child);
    for (;;) {
        std::size_t j = 0;
        while (j < m && ws_.on_left[j]) {
            ws_.on_left[j] = 0;
            move_category(order[j], -1);
            left_count -= static_cast<std::size_t>(ws_.category_count[static_cast<std::size_t>(order[j])]);
            ++j;
        }
        if (j + 1 >= m) break;  // the highest category would move
        ws_.on_left[j] = 1;
        move_category(order[j], +1);
        left_count += static_cast<std::size_t>(ws_.category_count[static_cast<std::size_t>(order[j])]);
        if (left_count < children || n - left_count < children) continue;
        const double score = criterion();
        if (score > best.criterion) {
            best.criterion = score;
            best.left_count = left_count;
            ws_.best_on_left = ws_.on_left;
        }
    }
    if (best.found()) {
        best.directions.assign(static_cast<std::size_t>(k), 0.0);
        for (std::size_t j = 0; j < m; ++j)
            best.directions[static_cast<std::size_t>(order[j]) - 1] = ws_.best_on_left[j] ? -1.0 : 1.0;
    }
    return best;
}

GiniCut GiniGrower::categorical_cut(std::span<const int32_t> categories, std::span<const int> classes_at, int k,
                                    double h)
{
    tally_categories(categories, classes_at, k);
    ws_.left.assign(ws_.node_counts.size(), 0);
    ws_.right = ws_.node_counts;
    GiniCut best;
    const std::size_t n = classes_at.size();
    best.cut = s_.classes == 2 ? ordered_cut(n, k, h) : best_division(n, k, h);
    if (!best.cut.found()) return best;
    best.improvement = best.cut.criterion - h;
    // Records of a category without weight (only classes of prior 0) belong
    // to neither group but go right with the partition; the split says so,
    // so that scoring sends such records where growing sent them.
    for (int c = 1; c <= k; ++c) {
        const auto i = static_cast<std::size_t>(c);
        if (ws_.category_count[i] > 0 && ws_.category_weight[i] == 0.0) best.cut.directions[i - 1] = 1.0;
    }
    return best;
}

std::optional<std::pair<Segment, Segment>> GiniGrower::grow_node(TreeNode* node, Segment segment)
{
    const std::span<const int32_t> records = records_.records(segment);
    start_leaf(node, 2, s_.keep, records.size());
    if (!count_classes(node, segment)) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return std::nullopt;
    }
    if (records.size() < static_cast<std::size_t>(s_.min_node) || !has_two_values(records)) {
        finish_leaf(node, records);
        return std::nullopt;
    }

    const double h = gini_term(ws_.node_counts, s_.weight);
    const std::span<const int> node_classes(ws_.class_at.data() + segment.begin, segment.size);
    GiniCut best;
    std::size_t best_slot = 0;
    for (std::size_t p = 0; p < s_.predictors.size(); ++p) {
        const int k = s_.ncat[s_.predictors[p]];
        GiniCut cut = k == 0 ? continuous_cut(p, segment, h)
                             : categorical_cut(records_.categories(p, segment), node_classes, k, h);
        if (cut.improvement > best.improvement) {
            if (k == 0) records_.prefetch_values(p, cut.cut.last_left, cut.cut.first_right);
            best = std::move(cut);
            best_slot = p;
        }
    }
    const auto n = static_cast<double>(records.size());
    // No predictor found a split, or the best one decreases the impurity by
    // too little per record.
    if (!best.cut.found() || best.improvement / n < s_.min_improvement) {
        finish_leaf(node, records);
        return std::nullopt;
    }

    const int column = s_.predictors[best_slot];
    if (!set_split(node, records_, best_slot, s_.ncat[column], best.cut, best.cut.criterion / n)) {
        error_[0] = KEST_ERR_NO_MEMORY;
        return std::nullopt;
    }
    mark_left_records(records_, segment, best_slot, *node, best.cut, ws_.goes_left);
    return partition_node(records_, segment, ws_.goes_left, best.cut.left_count, error_);
}

// The class priors are valid when each is 0 or more and they add up, in
// class order, to exactly 1.
bool priors_valid(const double* priors, int classes) noexcept
{
    double sum = 0.0;
    for (int k = 0; k < classes; ++k) {
        if (!(priors[k] >= 0.0)) return false;
        sum += priors[k];
    }
    return sum == 1.0;
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    int num_selected, const int* vars_selected, int dep_var, const int* ncat, const double* priors,
                    int min_node, int min_child, double min_improvement, TreeNode* const* tree)
{
    if (const int code = grower_argument_code(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                              vars_selected, dep_var);
        code != 0)
        return code;
    if (!category_counts_valid(ncat, num_vars) || ncat[dep_var] == 0) return 10;
    if (priors != nullptr && !priors_valid(priors, ncat[dep_var])) return 11;
    if (min_node < 0 || min_node > num_recs) return 12;
    if (min_child > min_node / 2) return 13;
    if (!(min_improvement >= 0.0 && min_improvement <= 1.0)) return 14;
    if (tree == nullptr) return 16;
    return 0;
}

}  // namespace

}  // namespace kest

extern "C" void gini_tree(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                          int num_selected, const int* vars_selected, int dep_var, const int* ncat,
                          const double* priors, int min_node, int min_child, double min_improvement, int keep,
                          TreeNode** tree, int* error)
{
    if (error == nullptr || error[0] > 0) return;
    kest::run_guarded(error, [&] {
        const int code = kest::check_arguments(rec1, num_vars, num_recs, num_rows, data, fetch, num_selected,
                                               vars_selected, dep_var, ncat, priors, min_node, min_child,
                                               min_improvement, tree);
        if (code != 0) {
            error[0] = code;
            return;
        }
        std::unique_ptr<double[]> fetched;
        data = kest::checked_matrix(data, fetch, rec1, num_rows, num_vars, ncat, kest::CategoryRange::exact, 10,
                                    fetched, error);
        if (data == nullptr) return;
        const int classes = ncat[dep_var];
        const kest::Settings settings{std::vector<int>(vars_selected, vars_selected + num_selected),
                                      dep_var,
                                      classes,
                                      ncat,
                                      priors != nullptr ? std::vector<double>(priors, priors + classes)
                                                        : std::vector<double>(static_cast<std::size_t>(classes), 1.0),
                                      min_node,
                                      std::max(min_child, 1),
                                      min_improvement,
                                      keep == 1,
                                      priors == nullptr && num_recs < (1 << 26)};
        const kest::GrowData grow_data{data, num_vars, rec1, num_recs};
        kest::GiniGrower grower(grow_data, settings, error);
        kest::TreePtr root = grower.grow();
        if (root && error[0] <= 0) *tree = root.release();
    });
}
