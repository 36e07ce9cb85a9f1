// What the tree growers share: the records of each node kept in row order
// and, for every continuous predictor, sorted by that predictor; the stable
// partition of all these lists when a node splits; the threshold between
// two values; the order of categories; the kept values of leaves; and the
// node stack that grows a tree in pre-order without recursion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
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

    double value(int32_t record, int column) const noexcept
    {
        return data[(static_cast<std::ptrdiff_t>(rec1) + record) * num_vars + column];
    }
};

// A node's share of every record list: positions begin .. begin + size - 1.
struct Segment {
    std::size_t begin;
    std::size_t size;
};

// One entry of a list sorted by a continuous predictor.
struct SortedEntry {
    double x;
    int32_t record;
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

    // Splits a segment: goes_left[record] says where each record goes.
    // Returns the left child's segment; the right one follows it.
    Segment partition(Segment s, const std::vector<char>& goes_left);

private:
    std::vector<int32_t> records_;
    // Per predictor slot: sorted entries of a continuous predictor, or the
    // categories of a categorical one in record order (the other is empty).
    // Reading them in list order keeps a node's work within a few streams
    // instead of scattered reads of the data matrix.
    std::vector<std::vector<SortedEntry>> sorted_;
    std::vector<std::vector<int32_t>> categories_;
    std::vector<char> left_at_;  // per position of the segment being split
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

// The first checks of every tree routine, on the shape of the data matrix:
// 1 rec1 < 0, 2 num_vars < 1, 3 fewer than two records or records beyond
// the rows, 4 fewer than two rows; 0 when the shape is sound.
int matrix_shape_code(int rec1, int num_vars, int num_recs, int num_rows) noexcept;

// The data matrix obtained from a caller's fetch callback: num_rows rows of
// num_vars columns, filled in one call of fetch(rec1, num_rows, buffer,
// error).  The caller judges the code the callback left.
std::unique_ptr<double[]> fetch_matrix(KestFetch fetch, int rec1, int num_rows, int num_vars, int* error);

// Whether every categorical value of rows 0 .. num_rows - 1 lies in 1 .. k.
bool categorical_values_in_range(const double* data, int num_rows, int num_vars, const int* ncat) noexcept;

// Attaches the kept values of a leaf: the dependent value of each record,
// in row order.  False when no memory is left.
bool keep_values(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var) noexcept;

// A node waiting to be grown: its records and where it hangs.
struct PendingNode {
    Segment segment;
    TreeNode* parent;
    bool is_left;
};

// Links a new node under its parent (or makes it the root).
void attach(TreeNode* node, const PendingNode& pending, TreePtr& root) noexcept;

}  // namespace kest
