#include "trees/grow.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace kest {

namespace {

// Ascending, with not-a-number after every number, so that the order is a
// strict weak one whatever the data hold.
bool sorts_before(const SortedEntry& a, const SortedEntry& b) noexcept
{
    if (std::isnan(a.x) || std::isnan(b.x)) return !std::isnan(a.x) && std::isnan(b.x);
    return a.x < b.x;
}

// Moves the left items of a segment to its front, keeping their order, and
// the right ones behind them, keeping theirs.  goes_left(k, item) is asked
// once per position, in order.
template <class T, class Left>
std::size_t stable_split(T* items, std::size_t size, std::vector<T>& scratch, Left goes_left)
{
    std::size_t left = 0;
    std::size_t right = 0;
    for (std::size_t k = 0; k < size; ++k) {
        if (goes_left(k, items[k])) items[left++] = items[k];
        else scratch[right++] = items[k];
    }
    std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(right), items + left);
    return left;
}

}  // namespace

NodeRecords::NodeRecords(const GrowData& data, std::span<const int> predictors, const int* ncat)
    : records_(static_cast<std::size_t>(data.num_recs)), sorted_(predictors.size()), categories_(predictors.size())
{
    std::iota(records_.begin(), records_.end(), 0);
    scratch_records_.resize(records_.size());
    left_at_.resize(records_.size());
    for (std::size_t p = 0; p < predictors.size(); ++p) {
        const int column = predictors[p];
        if (ncat[column] != 0) {
            std::vector<int32_t>& codes = categories_[p];
            codes.resize(records_.size());
            for (int32_t r = 0; r < data.num_recs; ++r)
                codes[static_cast<std::size_t>(r)] = category_of(data.value(r, column));
            continue;
        }
        std::vector<SortedEntry>& list = sorted_[p];
        list.resize(records_.size());
        for (int32_t r = 0; r < data.num_recs; ++r) list[static_cast<std::size_t>(r)] = SortedEntry{data.value(r, column), r};
        std::stable_sort(list.begin(), list.end(), sorts_before);
        if (scratch_entries_.empty()) scratch_entries_.resize(records_.size());
    }
}

Segment NodeRecords::partition(Segment s, const std::vector<char>& goes_left)
{
    const auto left_record = [&](int32_t r) { return goes_left[static_cast<std::size_t>(r)] != 0; };
    // Lists in record order split by position, so the flags are read off the
    // record list before it moves.
    for (std::size_t k = 0; k < s.size; ++k) left_at_[k] = left_record(records_[s.begin + k]) ? 1 : 0;
    const auto left_position = [&](std::size_t k, int32_t) { return left_at_[k] != 0; };
    for (std::vector<int32_t>& codes : categories_)
        if (!codes.empty()) stable_split(codes.data() + s.begin, s.size, scratch_records_, left_position);
    const std::size_t left = stable_split(records_.data() + s.begin, s.size, scratch_records_, left_position);
    for (std::vector<SortedEntry>& list : sorted_) {
        if (list.empty()) continue;
        stable_split(list.data() + s.begin, s.size, scratch_entries_,
                     [&](std::size_t, const SortedEntry& e) { return left_record(e.record); });
    }
    return Segment{s.begin, left};
}

double cut_threshold(double a, double b) noexcept
{
    const double middle = (a + b) / 2;
    return (middle >= a && middle < b) ? middle : a;
}

int32_t kept_value(double value) noexcept
{
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0) return INT32_MAX;
    if (value <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int matrix_shape_code(int rec1, int num_vars, int num_recs, int num_rows) noexcept
{
    if (rec1 < 0) return 1;
    if (num_vars < 1) return 2;
    if (num_recs < 2 || static_cast<long long>(rec1) + num_recs > num_rows) return 3;
    if (num_rows < 2) return 4;
    return 0;
}

std::unique_ptr<double[]> fetch_matrix(KestFetch fetch, int rec1, int num_rows, int num_vars, int* error)
{
    auto buffer = std::make_unique<double[]>(static_cast<std::size_t>(num_rows) * static_cast<std::size_t>(num_vars));
    fetch(rec1, num_rows, buffer.get(), error);
    return buffer;
}

bool categorical_values_in_range(const double* data, int num_rows, int num_vars, const int* ncat) noexcept
{
    for (int j = 0; j < num_vars; ++j) {
        if (ncat[j] <= 0) continue;
        const double top = static_cast<double>(ncat[j]) + 1.0;
        for (int r = 0; r < num_rows; ++r) {
            // Truncation toward zero lies in 1 .. k exactly when 1 <= v < k + 1;
            // a NaN fails both tests.
            const double v = data[static_cast<std::ptrdiff_t>(r) * num_vars + j];
            if (!(v >= 1.0 && v < top)) return false;
        }
    }
    return true;
}

bool keep_values(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var) noexcept
{
    int32_t* values = allocate_ints(std::max<std::size_t>(records.size(), 1));
    if (values == nullptr) return false;
    for (std::size_t k = 0; k < records.size(); ++k) values[k] = kept_value(data.value(records[k], dep_var));
    leaf->int_array = values;
    return true;
}

void attach(TreeNode* node, const PendingNode& pending, TreePtr& root) noexcept
{
    node->parent = pending.parent;
    if (pending.parent == nullptr) root.reset(node);
    else if (pending.is_left) pending.parent->left = node;
    else pending.parent->right = node;
}

}  // namespace kest
