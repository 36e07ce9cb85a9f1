// What the tree growers (WAID, Gini, ANOVA) share: the checks of their
// common arguments; the records of each node kept in row order and, for
// every continuous predictor, sorted by that predictor; the walk over the
// cuts of a sorted predictor and over an order of categories; the search by
// weighted deviations that WAID and ANOVA trees both use; turning a node
// into a split and partitioning its records; the kept values of leaves; and
// the node stack that grows a tree in pre-order without recursion.  What
// differs between the growers - their record weights, criterion, class
// counts and pruning - stays in each grower's own file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kest.h"
#include "trees/tree_node.h"

namespace kest {

// The records a grower works on: rows rec1 .. rec1 + num_recs - 1 of the
// data matrix, numbered 0 .. num_recs - 1 inside the grower.
struct GrowData {
    const double* data;
    int num_vars;
    int rec1;
    int num_recs;

    double value(int32_t record, int column) const noexcept { return *at(record, column); }
    const double* at(int32_t record, int column) const noexcept
    {
        return data + (static_cast<std::ptrdiff_t>(rec1) + record) * num_vars + column;
    }
};

// A node's share of every record list: positions begin .. begin + size - 1.
struct Segment {
    std::size_t begin;
    std::size_t size;
};

// One entry of a list sorted by a continuous predictor: the rank of its
// value and the place of its record in the record list
// (NodeRecords::records).  Equal values have equal ranks and a higher
// value a higher rank (every value that is not a number a rank of its
// own, above all numbers), which is all a walk over the cuts and a
// partition ask of a value; the value itself is looked up only for the
// threshold of the cut chosen.  Eight bytes to an entry halve what a
// split moves.  A place lies in the node's own segment, so what a grower
// keeps per place for the node's records is read within that segment,
// close together for a small node, where tables by record would be read
// all over for every node.
struct SortedEntry {
    int32_t rank;
    int32_t place;
};

// The record lists of all nodes.  A node owns one segment, the same in
// every list; splitting it partitions each list stably, the left child
// taking the front of the segment, so every node's records stay in row
// order and sorted by each continuous predictor without sorting again.
class NodeRecords {
public:
    // Sorts the records once by each predictor whose ncat is 0 (not a
    // number after every number; equal values in row order).
    NodeRecords(const GrowData& data, std::span<const int> predictors, const int* ncat);

    // The value of predictor slot p for a sorted entry.
    double value(std::size_t p, const SortedEntry& e) const noexcept
    {
        return data_.value(records_[static_cast<std::size_t>(e.place)], columns_[p]);
    }
    int column(std::size_t p) const noexcept { return columns_[p]; }
    // Starts reading the values a cut of slot p lies between, which are far
    // apart in the matrix, for a split that may soon be made on it.
    void prefetch_values(std::size_t p, const SortedEntry& a, const SortedEntry& b) const noexcept
    {
        __builtin_prefetch(data_.at(records_[static_cast<std::size_t>(a.place)], columns_[p]));
        __builtin_prefetch(data_.at(records_[static_cast<std::size_t>(b.place)], columns_[p]));
    }

    Segment root() const noexcept { return Segment{0, records_.size()}; }
    std::span<const int32_t> records(Segment s) const noexcept { return {records_.data() + s.begin, s.size}; }
    // The node's entries sorted by predictor slot p (the p-th selected
    // predictor), which must be continuous.
    std::span<const SortedEntry> sorted(std::size_t p, Segment s) const noexcept
    {
        return {sorted_[p].data() + s.begin, s.size};
    }
    // The node's categories of predictor slot p, which must be categorical,
    // in the order of records(s).
    std::span<const int32_t> categories(std::size_t p, Segment s) const noexcept
    {
        return {categories_[p].data() + s.begin, s.size};
    }

    // A list of one value per record that moves with the records as
    // segments are split, so that a node reads its records' values in the
    // order of records(s), side by side, instead of gathering them from the
    // rows of the data matrix.  by_record holds the value of every record
    // in record order; the list's number is returned.
    std::size_t follow(std::vector<double> by_record);
    std::span<double> followed(std::size_t list, Segment s) noexcept
    {
        return {followed_[list].data() + s.begin, s.size};
    }

    // Splits a segment: goes_left[place] says where the record at each
    // place of the segment goes.  Returns the left child's segment; the
    // right one follows it.
    Segment partition(Segment s, const std::vector<char>& goes_left);

private:
    GrowData data_;
    std::vector<int> columns_;  // of the predictor slots
    std::vector<int32_t> records_;
    // Per predictor slot: sorted entries of a continuous predictor, or the
    // categories of a categorical one in record order (the other is empty).
    // Reading them in list order keeps a node's work within a few streams
    // instead of scattered reads of the data matrix.
    std::vector<std::vector<SortedEntry>> sorted_;
    std::vector<std::vector<int32_t>> categories_;
    std::vector<std::vector<double>> followed_;
    std::vector<double> scratch_values_;
    std::vector<int32_t> new_place_;  // per place of the segment being split
    std::vector<int32_t> scratch_records_;
    std::vector<SortedEntry> scratch_entries_;
};

// The threshold of a cut between two different sorted values a < b: their
// midpoint, or a when the midpoint is not below b (adjacent doubles, or a
// sum that overflows), so that records with a go left and records with b
// go right.
double cut_threshold(double a, double b) noexcept;

// A categorical value as its category: truncated toward zero.  The growers
// check every categorical value to lie in 1 .. k first.
inline int category_of(double value) noexcept { return static_cast<int>(value); }

// A value kept in a leaf: truncated toward zero, clamped to the int range,
// with NaN kept as 0.
int32_t kept_value(double value) noexcept;

// ------------------------------------------------------------ arguments

// The first checks of every tree routine, on the shape of the data matrix:
// 1 rec1 < 0, 2 num_vars < 1, 3 fewer than two records or records beyond
// the rows, 4 fewer than two rows; 0 when the shape is sound.
int matrix_shape_code(int rec1, int num_vars, int num_recs, int num_rows) noexcept;

// The checks the three growers share, in argument order: the shape of the
// matrix (1 to 4), 5 neither data nor fetch, 7 num_selected not in
// 1 .. num_vars - 1, 8 vars_selected absent or a column out of range, 9 the
// dependent column out of range; 0 when all pass.
int grower_argument_code(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                         int num_selected, const int* vars_selected, int dep_var) noexcept;

// Whether ncat is present with no negative element.
bool category_counts_valid(const int* ncat, int num_vars) noexcept;

// The data matrix obtained from a caller's fetch callback: num_rows rows of
// num_vars columns, filled in one call of fetch(rec1, num_rows, buffer,
// error).  The caller judges the code the callback left.
std::unique_ptr<double[]> fetch_matrix(KestFetch fetch, int rec1, int num_rows, int num_vars, int* error);

// The matrix a grower works on: data itself when given, else the rows
// fetched into fetched.  Null when fetch left a positive code, which stays.
const double* matrix_of(const double* data, KestFetch fetch, int rec1, int num_rows, int num_vars,
                        std::unique_ptr<double[]>& fetched, int* error);

// How a categorical value is held against its k categories: the WAID tree
// takes the category it truncates to (1 <= v < k + 1); the Gini and ANOVA
// trees take the value itself (1 <= v <= k).
enum class CategoryRange { truncated, exact };

// Whether every categorical value of rows 0 .. num_rows - 1 lies in range.
bool categorical_values_in_range(const double* data, int num_rows, int num_vars, const int* ncat,
                                 CategoryRange range = CategoryRange::truncated) noexcept;

// The matrix a grower works on (as matrix_of) once its categorical values
// are found in range.  Null when the fetch failed (its code stays) or a
// value lies out of range (the ErrorPair's code becomes range_code).
const double* checked_matrix(const double* data, KestFetch fetch, int rec1, int num_rows, int num_vars,
                             const int* ncat, CategoryRange range, int range_code,
                             std::unique_ptr<double[]>& fetched, int* error);

// ------------------------------------------------------------ node statistics

// Fills the fields every new node starts with: a leaf of this kind that
// holds count records, with no split (split variable and size -1, statistic
// -2).  The grower sets its value, spread and int count.
void start_leaf(TreeNode* node, int kind, bool keep, std::size_t count) noexcept;

// Records per category 1 .. k of a categorical column over the records
// (counts[c], counts[0] unused).
void count_categories(const GrowData& data, std::span<const int32_t> records, int column, int k,
                      std::vector<int>& counts);

// The first category with the largest count (the lowest on equal counts).
int first_largest(std::span<const int> counts, int k) noexcept;

// Modal category (1-based, the lowest on equal counts) of a categorical
// column over the records.
int modal_category(const GrowData& data, std::span<const int32_t> records, int column, int k,
                   std::vector<int>& counts);

// Whether a column takes at least two different values over the records.
bool takes_two_values(const GrowData& data, std::span<const int32_t> records, int column) noexcept;

// ------------------------------------------------------------ split search

// The best criterion of a predictor before any predictor is chosen, and the
// criterion of a predictor without an admissible cut.
constexpr double nothing_chosen = -1e300;
constexpr double no_cut = -2e300;

// The best cut of one predictor.  left_count is 0 when no cut beat the
// floor the search started from (every admissible cut leaves at least one
// record on each side).
struct Cut {
    double criterion = no_cut;
    std::size_t left_count = 0;
    // Continuous predictors: the two records the cut separates.  The
    // threshold between their values is worked out only for the predictor
    // chosen (in set_split), each value being a read of the data
    // matrix at a place of its own.
    SortedEntry last_left{};
    SortedEntry first_right{};
    std::vector<double> directions;  // categorical predictors: -1 left, +1 right, 0 absent

    bool found() const noexcept { return left_count > 0; }
};

// Walks the cuts of a node's records sorted by a continuous predictor.
// Before the cut after the i-th record is judged, move_left(place) has
// been called for each of the first i records.  A cut is admissible when
// both sides hold at least min_child (>= 1) records and the i-th value
// differs from the next; criterion(i) scores it, and a cut replaces the
// best only if it scores strictly higher than the best so far (starting
// from floor), so the lowest of equally good cuts wins.
template <class MoveLeft, class Criterion>
Cut walk_continuous_cuts(std::span<const SortedEntry> sorted, int min_child, double floor, MoveLeft&& move_left,
                         Criterion&& criterion)
{
    Cut best;
    best.criterion = floor;
    const std::size_t n = sorted.size();
    const auto children = static_cast<std::size_t>(min_child);
    for (std::size_t i = 1; i + children <= n; ++i) {
        const SortedEntry& e = sorted[i - 1];
        move_left(e.place);
        if (i < children || e.rank == sorted[i].rank) continue;
        const double score = criterion(i);
        if (score > best.criterion) {
            best.criterion = score;
            best.left_count = i;
        }
    }
    if (best.found()) {
        best.last_left = sorted[best.left_count - 1];
        best.first_right = sorted[best.left_count];
    }
    return best;
}

// Walks the cuts of an order of categories: the cut after the j-th
// category (j = 1 .. m - 1) sends the first j left.  Before it is judged,
// move_left(c) has been called for each of them; it is admissible when the
// left records (count[c] summed) and the other n - left records are both at
// least min_child.  Scoring and ties as in walk_continuous_cuts.  The
// directions of the best cut are -1 for the categories before it, +1 for
// those after it and 0 for every category outside the order.
template <class MoveLeft, class Criterion>
Cut walk_ordered_categories(std::span<const int> order, std::span<const int> count, std::size_t n, int k,
                            int min_child, double floor, MoveLeft&& move_left, Criterion&& criterion)
{
    Cut best;
    best.criterion = floor;
    std::size_t best_j = 0;
    std::size_t left_count = 0;
    const auto children = static_cast<std::size_t>(min_child);
    for (std::size_t j = 1; j < order.size(); ++j) {
        const int c = order[j - 1];
        left_count += static_cast<std::size_t>(count[static_cast<std::size_t>(c)]);
        move_left(c);
        if (left_count < children || n - left_count < children) continue;
        const double score = criterion();
        if (score > best.criterion) {
            best.criterion = score;
            best.left_count = left_count;
            best_j = j;
        }
    }
    if (best.found()) {
        best.directions.assign(static_cast<std::size_t>(k), 0.0);
        for (std::size_t j = 0; j < order.size(); ++j)
            best.directions[static_cast<std::size_t>(order[j]) - 1] = j < best_j ? -1.0 : 1.0;
    }
    return best;
}

// A record's weight and weighted deviation w (y - node value) in the
// current node, side by side so that a walk in predictor order fetches both
// at once.  The WAID tree's weights are robust weights, the ANOVA tree's
// case weights.
struct Weighted {
    double w;
    double d;
};

// Scratch space of the categorical search by deviations.
struct CategoryTally {
    std::vector<int> count;
    std::vector<double> weight;
    std::vector<double> deviation;
    std::vector<int> order;
};

// The weights and deviations of a node's records: by place in the whole
// record list (filled for the node's segment) for the walk in predictor
// order, and by place in the node's own list (row order) for the
// categorical tally, which then reads them in sequence.
struct NodeDeviations {
    std::span<const Weighted> by_place;
    std::span<const double> w, d;
    double total;  // the node's total weight
};

// The between-groups weighted sum of squares of the best cut of one
// predictor: continuous predictors in ascending order, categorical ones
// with the occurring categories ordered by ascending mean deviation (equal
// means in category order).  A side whose records weigh nothing in total
// (or less) cannot be judged and its cuts are never taken.  No admissible
// cut: criterion no_cut.
Cut best_deviation_cut(const NodeRecords& records, std::size_t p, Segment segment, const NodeDeviations& node,
                       int min_child);
Cut best_deviation_cut(std::span<const int32_t> categories, const NodeDeviations& node, int k, int min_child,
                       CategoryTally& tally);

// The predictor whose best deviation cut scores strictly highest, the
// earliest of equally good ones (slot: its place in predictors); its
// criterion stays nothing_chosen when no predictor has an admissible cut.
struct Choice {
    std::size_t slot = 0;
    Cut cut;

    Choice() { cut.criterion = nothing_chosen; }
    bool found() const noexcept { return cut.criterion > nothing_chosen; }
};
Choice best_deviation_split(const NodeRecords& records, Segment segment, std::span<const int> predictors,
                            const int* ncat, const NodeDeviations& node, int min_child, CategoryTally& tally);

// ------------------------------------------------------------ splitting

// Makes a node internal on the cut of predictor slot p: split variable,
// split size k (0 continuous), split values (the threshold or the k
// directions) and statistic.  False when no memory is left for the split
// values.
bool set_split(TreeNode* node, const NodeRecords& records, std::size_t p, int k, const Cut& cut,
               double statistic) noexcept;

// Undoes set_split: the node is a leaf again (statistic -2, no split values).
void clear_split(TreeNode* node) noexcept;

// Which records of the segment go left at the node's split on the cut
// (goes_left is indexed by place in the record list): continuous values up
// to the threshold (a value that is not a number goes right), categories
// whose direction is -1.  slot is the split variable's place among the
// selected predictors.
void mark_left_records(const NodeRecords& records, Segment segment, std::size_t slot, const TreeNode& node,
                       const Cut& cut, std::vector<char>& goes_left);

// Partitions the segment by goes_left; the children's segments, or nothing
// (and code 100) when the left side does not hold the expected records.
std::optional<std::pair<Segment, Segment>> partition_node(NodeRecords& records, Segment segment,
                                                          const std::vector<char>& goes_left, std::size_t left_count,
                                                          int* error);

// Attaches the kept values of a leaf: the dependent value of each record,
// in row order.  False when no memory is left.
bool keep_values(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var) noexcept;
// The same from the dependent values of the leaf's records, in row order.
bool keep_values(TreeNode* leaf, std::span<const double> y) noexcept;

// Finishes a leaf: with keep, attaches its kept values (code 99 when no
// memory is left).
void finish_leaf(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var, bool keep,
                 int* error) noexcept;

// ------------------------------------------------------------ growing

// A node waiting to be grown: its records and where it hangs.
struct PendingNode {
    Segment segment;
    TreeNode* parent;
    bool is_left;
};

// Links a new node under its parent (or makes it the root).
void attach(TreeNode* node, const PendingNode& pending, TreePtr& root) noexcept;

// Grows a tree in pre-order, left before right, as a recursion would, but
// from a stack of its own so that no tree is too deep to grow.
// grow_node(node, segment) fills a freshly allocated node (linked in place)
// and returns its children's segments when it splits.  A positive code
// stops growing and releases what was grown.
template <class GrowNode>
TreePtr grow_pre_order(Segment root_segment, int* error, GrowNode&& grow_node)
{
    TreePtr root;
    std::vector<PendingNode> stack{PendingNode{root_segment, nullptr, false}};
    while (!stack.empty()) {
        const PendingNode pending = stack.back();
        stack.pop_back();
        TreeNode* node = allocate_node();
        if (node == nullptr) {
            error[0] = KEST_ERR_NO_MEMORY;
            return nullptr;
        }
        attach(node, pending, root);
        const std::optional<std::pair<Segment, Segment>> children = grow_node(node, pending.segment);
        if (error[0] > 0) return nullptr;
        if (children) {
            stack.push_back(PendingNode{children->second, node, false});
            stack.push_back(PendingNode{children->first, node, true});
        }
    }
    return root;
}

}  // namespace kest
