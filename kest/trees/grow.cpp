#include "trees/grow.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

namespace kest {

namespace {

// The unsigned integer whose order is the ascending order of doubles, with
// -0 equal to +0 and every not-a-number equal and after every number.
uint64_t sort_key(double x) noexcept
{
    if (std::isnan(x)) return UINT64_MAX;  // not_a_number_key
    if (x == 0.0) x = 0.0;
    uint64_t bits = 0;
    std::memcpy(&bits, &x, sizeof bits);
    constexpr uint64_t sign = uint64_t{1} << 63;
    return (bits & sign) != 0 ? ~bits : bits | sign;
}

// The not-a-number key: every such value sorts last and equals no other.
constexpr uint64_t not_a_number_key = UINT64_MAX;

// The entries of a column sorted by value, equal values in record order,
// with their ranks; keys holds the sort_key of each record's value, in
// record order.  A stable radix sort on the keys, digit_bits a pass from
// the lowest: linear in the records, where a comparison sort would make the
// presort cost more per record the more records there are.  Passes over a
// digit that all keys share are skipped.
template <int digit_bits>
void radix_sort_by_value(std::span<const uint64_t> keys, std::vector<SortedEntry>& entries)
{
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    constexpr int passes = (64 + digit_bits - 1) / digit_bits;
    struct Keyed {
        uint64_t key;
        int32_t record;
    };
    const std::size_t n = keys.size();
    std::vector<Keyed> from(n), to(n);
    std::vector<std::size_t> count(passes * buckets, 0);
    const auto digit = [](uint64_t key, int pass) {
        return static_cast<std::size_t>(key >> (pass * digit_bits)) & (buckets - 1);
    };
    for (std::size_t r = 0; r < n; ++r) {
        from[r] = Keyed{keys[r], static_cast<int32_t>(r)};
        for (int pass = 0; pass < passes; ++pass) ++count[pass * buckets + digit(keys[r], pass)];
    }
    for (int pass = 0; pass < passes; ++pass) {
        std::size_t* c = count.data() + pass * buckets;
        if (n == 0 || c[digit(from[0].key, pass)] == n) continue;
        std::size_t start = 0;
        for (std::size_t b = 0; b < buckets; ++b) start += std::exchange(c[b], start);
        for (const Keyed& k : from) to[c[digit(k.key, pass)]++] = k;
        from.swap(to);
    }
    entries.resize(n);
    // A new rank wherever the key changes, and at every value that is not
    // a number: ranks are then equal exactly where values compare equal
    // (-0 and +0 share their key).
    int32_t rank = -1;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 0 || from[i].key != from[i - 1].key || from[i].key == not_a_number_key) ++rank;
        entries[i] = SortedEntry{rank, from[i].record};
    }
}

// Fewer, wider digits pay once there are records enough to fill their
// buckets: each pass then writes to more places at once, but the passes
// over a million records, beyond what the caches hold, are what cost.
void sort_by_value(std::span<const uint64_t> keys, std::vector<SortedEntry>& entries)
{
    if (keys.size() >= (std::size_t{1} << 19)) radix_sort_by_value<16>(keys, entries);
    else radix_sort_by_value<11>(keys, entries);
}

// Moves the left items of a segment to its front, keeping their order, and
// the right ones behind them, keeping theirs.  goes_left(k, item) is asked
// once per position, in order, and may change the item before it moves.
// Each item is written to both sides and only its own side's count moves
// on: the side of the next item is as unpredictable as the data, and a
// branch on it would be mispredicted every other item.
template <class T, class Left>
std::size_t stable_split(T* items, std::size_t size, std::vector<T>& scratch, Left goes_left)
{
    std::size_t left = 0;
    std::size_t right = 0;
    T* back = scratch.data();
    for (std::size_t k = 0; k < size; ++k) {
        T item = items[k];
        const auto is_left = static_cast<std::size_t>(goes_left(k, item));
        items[left] = item;  // left <= k: only an item already read is overwritten
        back[right] = item;
        left += is_left;
        right += 1 - is_left;
    }
    std::copy(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(right), items + left);
    return left;
}

}  // namespace

NodeRecords::NodeRecords(const GrowData& data, std::span<const int> predictors, const int* ncat)
    : data_(data), columns_(predictors.begin(), predictors.end()), records_(static_cast<std::size_t>(data.num_recs)),
      sorted_(predictors.size()), categories_(predictors.size())
{
    const std::size_t n = records_.size();
    std::iota(records_.begin(), records_.end(), 0);
    scratch_records_.resize(n);
    new_place_.resize(n);
    // One pass over the rows reads every predictor: categories as they
    // are, continuous values as sort keys.
    std::vector<std::vector<uint64_t>> keys(predictors.size());
    for (std::size_t p = 0; p < predictors.size(); ++p) {
        if (ncat[predictors[p]] != 0) categories_[p].resize(n);
        else keys[p].resize(n);
    }
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t p = 0; p < predictors.size(); ++p) {
            const double v = data.value(static_cast<int32_t>(r), predictors[p]);
            if (!categories_[p].empty()) categories_[p][r] = category_of(v);
            else keys[p][r] = sort_key(v);
        }
    }
    for (std::size_t p = 0; p < predictors.size(); ++p) {
        if (keys[p].empty()) continue;
        sort_by_value(keys[p], sorted_[p]);
        std::vector<uint64_t>().swap(keys[p]);
        if (scratch_entries_.empty()) scratch_entries_.resize(n);
    }
}

std::size_t NodeRecords::follow(std::vector<double> by_record)
{
    scratch_values_.resize(records_.size());
    followed_.push_back(std::move(by_record));
    return followed_.size() - 1;
}

Segment NodeRecords::partition(Segment s, const std::vector<char>& goes_left)
{
    const char* left_at = goes_left.data() + s.begin;
    const auto left_place = [&](std::size_t k, int32_t) { return left_at[k] != 0; };
    // Where each record of the segment lands: the left ones in order from
    // the front, the right ones in order behind them.
    std::size_t left = 0;
    for (std::size_t k = 0; k < s.size; ++k) left += left_at[k] != 0 ? 1 : 0;
    auto next_left = static_cast<int32_t>(s.begin);
    auto next_right = static_cast<int32_t>(s.begin + left);
    for (std::size_t k = 0; k < s.size; ++k) new_place_[s.begin + k] = left_at[k] != 0 ? next_left++ : next_right++;
    for (std::vector<int32_t>& codes : categories_)
        if (!codes.empty()) stable_split(codes.data() + s.begin, s.size, scratch_records_, left_place);
    stable_split(records_.data() + s.begin, s.size, scratch_records_, left_place);
    for (std::vector<double>& values : followed_)
        stable_split(values.data() + s.begin, s.size, scratch_values_, [&](std::size_t k, double) {
            return left_at[k] != 0;
        });
    for (std::vector<SortedEntry>& list : sorted_) {
        if (list.empty()) continue;
        // A record goes left when its new place is in the left part.  The
        // new places are read in the order of the values, all over a large
        // segment, so they are fetched some entries ahead (entries ahead of
        // k are not yet moved).
        const auto first_right = static_cast<int32_t>(s.begin + left);
        const SortedEntry* entries = list.data() + s.begin;
        constexpr std::size_t ahead = 16;
        stable_split(list.data() + s.begin, s.size, scratch_entries_, [&](std::size_t k, SortedEntry& e) {
            if (k + ahead < s.size) __builtin_prefetch(&new_place_[static_cast<std::size_t>(entries[k + ahead].place)]);
            e.place = new_place_[static_cast<std::size_t>(e.place)];
            return e.place < first_right;
        });
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

int grower_argument_code(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                         int num_selected, const int* vars_selected, int dep_var) noexcept
{
    if (const int code = matrix_shape_code(rec1, num_vars, num_recs, num_rows); code != 0) return code;
    if (data == nullptr && fetch == nullptr) return 5;
    if (num_selected < 1 || num_selected >= num_vars) return 7;
    if (vars_selected == nullptr) return 8;
    for (int p = 0; p < num_selected; ++p)
        if (vars_selected[p] < 0 || vars_selected[p] >= num_vars) return 8;
    if (dep_var < 0 || dep_var >= num_vars) return 9;
    return 0;
}

bool category_counts_valid(const int* ncat, int num_vars) noexcept
{
    return ncat != nullptr && std::none_of(ncat, ncat + num_vars, [](int k) { return k < 0; });
}

std::unique_ptr<double[]> fetch_matrix(KestFetch fetch, int rec1, int num_rows, int num_vars, int* error)
{
    auto buffer = std::make_unique<double[]>(static_cast<std::size_t>(num_rows) * static_cast<std::size_t>(num_vars));
    fetch(rec1, num_rows, buffer.get(), error);
    return buffer;
}

const double* matrix_of(const double* data, KestFetch fetch, int rec1, int num_rows, int num_vars,
                        std::unique_ptr<double[]>& fetched, int* error)
{
    if (data != nullptr) return data;
    fetched = fetch_matrix(fetch, rec1, num_rows, num_vars, error);
    // A code up to 100 left by the callback stands and no tree is grown.
    return error[0] > 0 ? nullptr : fetched.get();
}

bool categorical_values_in_range(const double* data, int num_rows, int num_vars, const int* ncat,
                                 CategoryRange range) noexcept
{
    // Row by row, in the order of the matrix: a pass down each column
    // would read the whole matrix once per categorical variable.
    for (int r = 0; r < num_rows; ++r) {
        const double* row = data + static_cast<std::ptrdiff_t>(r) * num_vars;
        for (int j = 0; j < num_vars; ++j) {
            if (ncat[j] <= 0) continue;
            // Truncation toward zero lies in 1 .. k exactly when 1 <= v < k + 1;
            // a NaN fails every test.
            const double k = static_cast<double>(ncat[j]);
            const double v = row[j];
            const bool in_range = range == CategoryRange::truncated ? (v >= 1.0 && v < k + 1.0) : (v >= 1.0 && v <= k);
            if (!in_range) return false;
        }
    }
    return true;
}

const double* checked_matrix(const double* data, KestFetch fetch, int rec1, int num_rows, int num_vars,
                             const int* ncat, CategoryRange range, int range_code,
                             std::unique_ptr<double[]>& fetched, int* error)
{
    const double* matrix = matrix_of(data, fetch, rec1, num_rows, num_vars, fetched, error);
    if (matrix == nullptr) return nullptr;
    if (!categorical_values_in_range(matrix, num_rows, num_vars, ncat, range)) {
        error[0] = range_code;
        return nullptr;
    }
    return matrix;
}

void start_leaf(TreeNode* node, int kind, bool keep, std::size_t count) noexcept
{
    node->kind = kind;
    node->keep = keep ? 1 : 0;
    node->count = static_cast<int32_t>(count);
    node->split_var = -1;
    node->split_size = -1;
    node->statistic = -2.0;
}

void count_categories(const GrowData& data, std::span<const int32_t> records, int column, int k,
                      std::vector<int>& counts)
{
    counts.assign(static_cast<std::size_t>(k) + 1, 0);
    for (const int32_t r : records) ++counts[static_cast<std::size_t>(category_of(data.value(r, column)))];
}

int first_largest(std::span<const int> counts, int k) noexcept
{
    int best = 1;
    for (int c = 2; c <= k; ++c)
        if (counts[static_cast<std::size_t>(c)] > counts[static_cast<std::size_t>(best)]) best = c;
    return best;
}

int modal_category(const GrowData& data, std::span<const int32_t> records, int column, int k,
                   std::vector<int>& counts)
{
    count_categories(data, records, column, k, counts);
    return first_largest(counts, k);
}

bool takes_two_values(const GrowData& data, std::span<const int32_t> records, int column) noexcept
{
    if (records.empty()) return false;
    const double first = data.value(records.front(), column);
    return std::any_of(records.begin() + 1, records.end(),
                       [&](int32_t r) { return data.value(r, column) != first; });
}

namespace {

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

}  // namespace

Cut best_deviation_cut(const NodeRecords& records, std::size_t p, Segment segment, const NodeDeviations& node,
                       int min_child)
{
    const std::span<const Weighted> weighted = node.by_place;
    const std::span<const SortedEntry> sorted = records.sorted(p, segment);
    const double total = node.total;
    double left_weight = 0.0;
    double left_deviation = 0.0;
    // The weights are read in the order of the values, all over a large
    // node's share of them; they are fetched some records ahead.
    constexpr std::size_t ahead = 16;
    std::size_t next = 0;
    return walk_continuous_cuts(
        sorted, min_child, no_cut,
        [&](int32_t place) {
            if (++next + ahead < sorted.size())
                __builtin_prefetch(&weighted[static_cast<std::size_t>(sorted[next + ahead].place)]);
            const Weighted& r = weighted[static_cast<std::size_t>(place)];
            left_weight += r.w;
            left_deviation += r.d;
        },
        [&](std::size_t) { return cut_criterion(left_deviation, left_weight, total - left_weight); });
}

Cut best_deviation_cut(std::span<const int32_t> categories, const NodeDeviations& node, int k, int min_child,
                       CategoryTally& tally)
{
    const auto size = static_cast<std::size_t>(k) + 1;
    tally.count.assign(size, 0);
    tally.weight.assign(size, 0.0);
    tally.deviation.assign(size, 0.0);
    for (std::size_t i = 0; i < categories.size(); ++i) {
        const auto c = static_cast<std::size_t>(categories[i]);
        ++tally.count[c];
        tally.weight[c] += node.w[i];
        tally.deviation[c] += node.d[i];
    }
    const double total = node.total;
    tally.order.clear();
    for (int c = 1; c <= k; ++c)
        if (tally.count[static_cast<std::size_t>(c)] > 0) tally.order.push_back(c);
    // A category whose records all weigh 0 has no deviation: its mean is 0.
    const auto mean_deviation = [&](int c) {
        const double weight = tally.weight[static_cast<std::size_t>(c)];
        return weight == 0.0 ? 0.0 : tally.deviation[static_cast<std::size_t>(c)] / weight;
    };
    std::stable_sort(tally.order.begin(), tally.order.end(),
                     [&](int a, int b) { return mean_deviation(a) < mean_deviation(b); });

    double left_weight = 0.0;
    double left_deviation = 0.0;
    return walk_ordered_categories(
        tally.order, tally.count, categories.size(), k, min_child, no_cut,
        [&](int c) {
            left_weight += tally.weight[static_cast<std::size_t>(c)];
            left_deviation += tally.deviation[static_cast<std::size_t>(c)];
        },
        [&] { return cut_criterion(left_deviation, left_weight, total - left_weight); });
}

Choice best_deviation_split(const NodeRecords& records, Segment segment, std::span<const int> predictors,
                            const int* ncat, const NodeDeviations& node, int min_child, CategoryTally& tally)
{
    Choice best;
    for (std::size_t p = 0; p < predictors.size(); ++p) {
        const int k = ncat[predictors[p]];
        Cut cut = k == 0 ? best_deviation_cut(records, p, segment, node, min_child)
                         : best_deviation_cut(records.categories(p, segment), node, k, min_child, tally);
        if (cut.criterion > best.cut.criterion) {
            if (k == 0) records.prefetch_values(p, cut.last_left, cut.first_right);
            best.slot = p;
            best.cut = std::move(cut);
        }
    }
    return best;
}

bool set_split(TreeNode* node, const NodeRecords& records, std::size_t p, int k, const Cut& cut,
               double statistic) noexcept
{
    const int column = records.column(p);
    const std::size_t value_count = k == 0 ? 1 : static_cast<std::size_t>(k);
    node->split_values = allocate_doubles(value_count);
    if (node->split_values == nullptr) return false;
    if (k == 0)
        node->split_values[0] = cut_threshold(records.value(p, cut.last_left), records.value(p, cut.first_right));
    else std::copy(cut.directions.begin(), cut.directions.end(), node->split_values);
    node->split_var = column;
    node->split_size = k;
    node->statistic = statistic;
    return true;
}

void clear_split(TreeNode* node) noexcept
{
    std::free(node->split_values);
    node->split_values = nullptr;
    node->split_var = -1;
    node->split_size = -1;
    node->statistic = -2.0;
}

void mark_left_records(const NodeRecords& records, Segment segment, std::size_t slot, const TreeNode& node,
                       const Cut& cut, std::vector<char>& goes_left)
{
    if (node.split_size == 0) {
        // The threshold lies between the highest value that goes left and
        // the next, so a value is up to it exactly when its rank is up to
        // that value's.  A threshold that is not a number (a cut after a
        // value that is not one) takes no record at all.
        const bool any_left = !std::isnan(node.split_values[0]);
        for (const SortedEntry& e : records.sorted(slot, segment))
            goes_left[static_cast<std::size_t>(e.place)] = any_left && e.rank <= cut.last_left.rank;
        return;
    }
    const std::span<const int32_t> categories = records.categories(slot, segment);
    for (std::size_t i = 0; i < categories.size(); ++i)
        goes_left[segment.begin + i] = node.split_values[categories[i] - 1] == -1.0;
}

std::optional<std::pair<Segment, Segment>> partition_node(NodeRecords& records, Segment segment,
                                                          const std::vector<char>& goes_left, std::size_t left_count,
                                                          int* error)
{
    const Segment left = records.partition(segment, goes_left);
    if (left.size != left_count) {
        error[0] = KEST_ERR_TREE_INCONSISTENT;
        return std::nullopt;
    }
    return std::make_pair(left, Segment{segment.begin + left.size, segment.size - left.size});
}

namespace {

// Attaches kept_value(value_at(k)) for k = 0 .. n - 1 as the leaf's int array.
template <class ValueAt>
bool attach_kept_values(TreeNode* leaf, std::size_t n, ValueAt&& value_at) noexcept
{
    int32_t* values = allocate_ints(std::max<std::size_t>(n, 1));
    if (values == nullptr) return false;
    for (std::size_t k = 0; k < n; ++k) values[k] = kept_value(value_at(k));
    leaf->int_array = values;
    return true;
}

}  // namespace

bool keep_values(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var) noexcept
{
    return attach_kept_values(leaf, records.size(), [&](std::size_t k) { return data.value(records[k], dep_var); });
}

bool keep_values(TreeNode* leaf, std::span<const double> y) noexcept
{
    return attach_kept_values(leaf, y.size(), [&](std::size_t k) { return y[k]; });
}

void finish_leaf(TreeNode* leaf, const GrowData& data, std::span<const int32_t> records, int dep_var, bool keep,
                 int* error) noexcept
{
    if (keep && !keep_values(leaf, data, records, dep_var)) error[0] = KEST_ERR_NO_MEMORY;
}

void attach(TreeNode* node, const PendingNode& pending, TreePtr& root) noexcept
{
    node->parent = pending.parent;
    if (pending.parent == nullptr) root.reset(node);
    else if (pending.is_left) pending.parent->left = node;
    else pending.parent->right = node;
}

}  // namespace kest
