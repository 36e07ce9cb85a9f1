// Nearest-neighbour donor imputation.  Each recipient group (the missing
// cells of one record, or one cell when a single variable is imputed) takes
// its values from the closest acceptable donor of the pool under a weighted
// distance over the variables the recipient has.  The data matrix is only
// read; the donors' values come back in the cell list.
//
// Codes, in the order in which they are checked (detail 0 unless stated):
//    3 tie limit < 1           14 n < 1          15 len < 0
//   11 d < 0                    4 selector < 0    6 minimum weight < 0
//    1 donor pool: class mode with a class variable outside 0 .. len-1, with
//      fewer than 2 class codes, or with class codes that are not strictly
//      ascending; range mode with first < 1, end <= first or end > n
//   20 a supplied cell's record outside 0 .. n-1 (detail: position + 1)
//   21 a supplied cell's variable outside 0 .. len-1 (detail: position + 1)
//    7 len = 0     6 a negative weight (detail: variable + 1)
//    7 total weight 0
//   99 no memory: detail 4 role array, 5 tie list, 7 row copy, 9 category
//      positions; the usage array (reuse penalised) prints a message and
//      leaves the report all zero
//   10 a negative number of categories (detail: variable + 1), or one
//      greater than d (detail 0)
//   99 class mode: detail 10 class codes, 11 donor order or record classes,
//      12 class bounds; 99 with detail 0 for the search tables
//   50 class mode: a record's class code is not among the class codes
//   55 (does not end the call) a recipient's category is not among its
//      variable's codes (detail: the rounded value); the group is skipped
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "imputation/gen_imp_internal.h"
#include "internal/guard.h"
#include "kest.h"
#include "numeric/permutation.h"
#include "numeric/random.h"
#include "numeric/rounding.h"

namespace kest {

namespace {

constexpr int bad_pool = 1;
constexpr int bad_tie_limit = 3;
constexpr int bad_selector = 4;
constexpr int bad_weight = 6;
constexpr int no_weight = 7;
constexpr int bad_category_count = 10;
constexpr int bad_code_row = 11;
constexpr int bad_record_count = 14;
constexpr int bad_variable_count = 15;
constexpr int bad_cell_record = 20;
constexpr int bad_cell_variable = 21;
constexpr int unknown_class = 50;
constexpr int unknown_category = 55;

// Details of code 99: which working array could not be obtained.
constexpr int storage_roles = 4;
constexpr int storage_ties = 5;
constexpr int storage_row = 7;
constexpr int storage_positions = 9;
constexpr int storage_class_codes = 10;
constexpr int storage_class_order = 11;
constexpr int storage_class_bounds = 12;

// Roles of the variables for the current recipient group.
constexpr int32_t role_matching = -1;
constexpr int32_t role_left_out = 0;
constexpr int32_t role_imputed = 1;

// Working array of count elements, or null when it cannot be obtained.
template <class T>
std::unique_ptr<T[]> obtain(int64_t count, bool zeroed = false) noexcept
{
    if (count < 0 || static_cast<uint64_t>(count) > static_cast<uint64_t>(PTRDIFF_MAX) / sizeof(T)) return nullptr;
    const size_t size = count > 0 ? static_cast<size_t>(count) : 1;
    return std::unique_ptr<T[]>(zeroed ? new (std::nothrow) T[size]() : new (std::nothrow) T[size]);
}

// Finds the first position of a code in one variable's row of the code
// table.  Long rows are searched in a sorted copy.
class CodeFinder {
public:
    void reset(const int* row, int count)
    {
        row_ = row;
        count_ = count;
        sorted_.clear();
        if (count_ > linear_limit) {
            sorted_.reserve(static_cast<size_t>(count_));
            for (int i = 0; i < count_; ++i) sorted_.emplace_back(row_[i], i);
            // Pairs compare by code, then position: the first of equal codes leads.
            std::sort(sorted_.begin(), sorted_.end());
        }
    }

    // Position of the value's rounded code, or -1 when it is not there or
    // the value rounds to no int.
    int32_t position(double value) const noexcept
    {
        const std::optional<int32_t> code = round_to_int32(value);
        if (!code) return -1;
        if (count_ <= linear_limit) {
            for (int i = 0; i < count_; ++i) {
                if (row_[i] == *code) return i;
            }
            return -1;
        }
        const auto it = std::lower_bound(sorted_.begin(), sorted_.end(), std::pair<int32_t, int32_t>(*code, -1));
        return it != sorted_.end() && it->first == *code ? it->second : -1;
    }

private:
    static constexpr int linear_limit = 8;
    const int* row_ = nullptr;
    int count_ = 0;
    std::vector<std::pair<int32_t, int32_t>> sorted_;
};

// How a matching variable adds to the absolute sum A.
enum AbsKind : int32_t {
    abs_difference,  // continuous, distance type 1
    abs_tolerance,   // continuous, distance type 3
    abs_table,       // categorical, distance type 1 or 2: a per-recipient table by donor position
    abs_unequal,     // categorical, any other distance type
};

// The matching variables of one recipient, grouped by the sum they add to;
// each group keeps variable order, so every sum is formed in the same order
// as a walk over the variables would form it.
struct Matching {
    // Q: continuous variables of distance type 0 or any other value.
    int nq = 0;
    std::vector<int32_t> q_var;
    std::vector<double> q_value, q_scale, q_weight;
    // S: continuous variables of distance type 2.
    int ns = 0;
    std::vector<int32_t> s_var;
    std::vector<double> s_value, s_scale, s_weight;
    // A: everything else, in variable order.
    int na = 0;
    std::vector<int32_t> a_kind, a_var, a_column;
    std::vector<double> a_value, a_scale, a_weight;
    std::vector<const double*> a_table;

    explicit Matching(int len)
        : q_var(len), q_value(len), q_scale(len), q_weight(len),
          s_var(len), s_value(len), s_scale(len), s_weight(len),
          a_kind(len), a_var(len), a_column(len), a_value(len), a_scale(len), a_weight(len), a_table(len)
    {
    }
};

// Flags of every record, 2 * words 64-bit words a record: first the missing
// variables, then the categorical variables of distance type 1 or 2 whose
// rounded value is not among their codes.
struct RecordFlags {
    int words = 0;
    std::vector<uint64_t> bits;

    const uint64_t* of(int record) const noexcept
    {
        return bits.data() + static_cast<int64_t>(record) * 2 * words;
    }
};

// Everything the donor search reads.
struct Search {
    const double* data;
    int64_t len;
    int recipient;
    const int32_t* candidates;  // donor order in class mode, null for a record range
    int from, to;               // candidate range
    const RecordFlags* flags;
    const uint64_t* need;       // variables a donor must have
    const uint64_t* need_codes; // categorical variables whose donor code must be known
    const Matching* m;
    const int32_t* positions;   // category position of every record, by column
    int position_columns;       // columns of positions
    int64_t n;
    double total;
    const double* usage;        // null when reuse is not penalised
    int32_t* ties;
    int tie_limit;
};

// The distance of a donor from its partial sum B = A + |S| and its Q:
// (B + sqrt(Q)) / total, the root taken only when Q is positive, plus the
// donor's usage penalty.
inline double finish(double b, double q, const Search& s, int donor) noexcept
{
    double d = b;
    if (q > 0.0) d += std::sqrt(q);
    d /= s.total;
    if (s.usage != nullptr) d += s.usage[donor];
    return d;
}

// What the matching variables of a recipient add up to.  In general the
// three sums A, S and Q; when every matching variable adds to Q alone, only
// Q (B is then 0).  Squares are in general (difference * scale)^2 * weight;
// when every scale is 1 or -1 and every weight 1 those factors change
// nothing, and the plain square is the same number.
enum Terms { terms_general, terms_squares, terms_plain_squares };

// B and Q of the listed donors.  Four donors are summed side by side, so
// that each kind of term is told apart once for the four and their
// additions overlap; every sum still adds its terms in variable order.
template <Terms terms>
void sums_of(const Search& s, const int32_t* donors, int count, double* b_out, double* q_out) noexcept
{
    constexpr int lanes = 4;
    const Matching& m = *s.m;
    const int na = terms == terms_general ? m.na : 0;
    const int ns = terms == terms_general ? m.ns : 0;
    const int nq = m.nq;
    const auto square = [&m](double x, int t) noexcept {
        if constexpr (terms == terms_plain_squares) {
            const double diff = x - m.q_value[t];
            return diff * diff;
        } else {
            const double dq = (x - m.q_value[t]) * m.q_scale[t];
            return dq * dq * m.q_weight[t];
        }
    };
    int j = 0;
    for (; j + lanes <= count; j += lanes) {
        const double* r0 = s.data + donors[j] * s.len;
        const double* r1 = s.data + donors[j + 1] * s.len;
        const double* r2 = s.data + donors[j + 2] * s.len;
        const double* r3 = s.data + donors[j + 3] * s.len;
        double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
        for (int t = 0; t < na; ++t) {
            const int v = m.a_var[t];
            const double x = m.a_value[t];
            const double scale = m.a_scale[t];
            const double weight = m.a_weight[t];
            switch (m.a_kind[t]) {
            case abs_difference:
                a0 += std::abs(r0[v] - x) * scale * weight;
                a1 += std::abs(r1[v] - x) * scale * weight;
                a2 += std::abs(r2[v] - x) * scale * weight;
                a3 += std::abs(r3[v] - x) * scale * weight;
                break;
            case abs_tolerance:
                if (std::abs(r0[v] - x) > scale) a0 += weight;
                if (std::abs(r1[v] - x) > scale) a1 += weight;
                if (std::abs(r2[v] - x) > scale) a2 += weight;
                if (std::abs(r3[v] - x) > scale) a3 += weight;
                break;
            case abs_table: {
                const double* table = m.a_table[t];
                const int32_t* position = s.positions + m.a_column[t] * s.n;
                a0 += table[position[donors[j]]];
                a1 += table[position[donors[j + 1]]];
                a2 += table[position[donors[j + 2]]];
                a3 += table[position[donors[j + 3]]];
                break;
            }
            default:
                if (r0[v] != x) a0 += weight;
                if (r1[v] != x) a1 += weight;
                if (r2[v] != x) a2 += weight;
                if (r3[v] != x) a3 += weight;
                break;
            }
        }
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (int t = 0; t < ns; ++t) {
            const int v = m.s_var[t];
            const double x = m.s_value[t];
            const double scale = m.s_scale[t];
            const double weight = m.s_weight[t];
            s0 += (r0[v] - x) * scale * weight;
            s1 += (r1[v] - x) * scale * weight;
            s2 += (r2[v] - x) * scale * weight;
            s3 += (r3[v] - x) * scale * weight;
        }
        double q0 = 0.0, q1 = 0.0, q2 = 0.0, q3 = 0.0;
        for (int t = 0; t < nq; ++t) {
            const int v = m.q_var[t];
            q0 += square(r0[v], t);
            q1 += square(r1[v], t);
            q2 += square(r2[v], t);
            q3 += square(r3[v], t);
        }
        b_out[j] = a0 + std::abs(s0);
        b_out[j + 1] = a1 + std::abs(s1);
        b_out[j + 2] = a2 + std::abs(s2);
        b_out[j + 3] = a3 + std::abs(s3);
        q_out[j] = q0;
        q_out[j + 1] = q1;
        q_out[j + 2] = q2;
        q_out[j + 3] = q3;
    }
    for (; j < count; ++j) {
        const int donor = donors[j];
        const double* row = s.data + donor * s.len;
        double a = 0.0;
        for (int t = 0; t < na; ++t) {
            const double x = row[m.a_var[t]];
            switch (m.a_kind[t]) {
            case abs_difference:
                a += std::abs(x - m.a_value[t]) * m.a_scale[t] * m.a_weight[t];
                break;
            case abs_tolerance:
                if (std::abs(x - m.a_value[t]) > m.a_scale[t]) a += m.a_weight[t];
                break;
            case abs_table:
                a += m.a_table[t][s.positions[m.a_column[t] * s.n + donor]];
                break;
            default:
                if (x != m.a_value[t]) a += m.a_weight[t];
                break;
            }
        }
        double sum = 0.0;
        for (int t = 0; t < ns; ++t) sum += (row[m.s_var[t]] - m.s_value[t]) * m.s_scale[t] * m.s_weight[t];
        double q = 0.0;
        for (int t = 0; t < nq; ++t) q += square(row[m.q_var[t]], t);
        b_out[j] = a + std::abs(sum);
        q_out[j] = q;
    }
}

// Bounds past which a donor without a usage penalty can neither beat nor
// tie the best distance: its B above b, or B not negative and Q above q.
// The distance does not decrease as B + sqrt(Q) grows, nor that sum as
// either part grows (for B not negative), so both bounds are exact: b is
// the largest sum whose distance is at most the best, q the largest Q whose
// root is at most b.  When a bound cannot be settled in a few steps it is
// +inf, and every donor is measured in full.
struct Cut {
    double b;
    double q;
};

template <class Rising>
double largest_not_above(double start, double limit, Rising rising) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    double x = start;
    if (x != x) return inf;
    int steps = 0;
    while (rising(x) > limit) {
        if (++steps > 64 || x == -inf) return inf;
        x = std::nextafter(x, -inf);
    }
    for (;;) {
        const double up = std::nextafter(x, inf);
        if (rising(up) > limit) return x;
        if (++steps > 64 || up == inf) return inf;
        x = up;
    }
}

Cut cut_of(double best, double total) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (best != best) return {-inf, -inf};  // nothing compares equal to or below NaN
    if (best == inf) return {inf, inf};
    const double b = largest_not_above(best * total, best, [total](double x) noexcept { return x / total; });
    if (b == inf) return {inf, inf};
    // Below 0 every donor whose B is not negative is beaten whatever its Q.
    if (b < 0.0) return {b, -inf};
    return {b, largest_not_above(b * b, b, [](double q) noexcept { return q > 0.0 ? std::sqrt(q) : 0.0; })};
}

inline bool acceptable(const Search& s, int donor, std::true_type /*one word*/) noexcept
{
    const uint64_t* f = s.flags->of(donor);
    return ((f[0] & s.need[0]) | (f[1] & s.need_codes[0])) == 0;
}

inline bool acceptable(const Search& s, int donor, std::false_type /*one word*/) noexcept
{
    const int words = s.flags->words;
    const uint64_t* f = s.flags->of(donor);
    uint64_t bad = 0;
    for (int w = 0; w < words; ++w) bad |= (f[w] & s.need[w]) | (f[words + w] & s.need_codes[w]);
    return bad == 0;
}

constexpr int donor_block = 256;

// Lists the acceptable donors among the candidates from .. to-1 in order,
// without a branch on each: whether a donor lacks a value follows the data
// and cannot be predicted.  Returns how many were listed.
template <bool one_word>
int list_acceptable(const Search& s, int from, int to, int32_t* listed) noexcept
{
    int count = 0;
    for (int i = from; i < to; ++i) {
        const int donor = s.candidates != nullptr ? s.candidates[i] : i;
        listed[count] = donor;
        count += static_cast<int>((donor != s.recipient) & acceptable(s, donor, std::bool_constant<one_word>{}));
    }
    return count;
}

// Walks the candidates in order, a block at a time, and keeps the best
// donors; returns how many tie.  The acceptable donors of a block are
// listed, their sums formed, and then they are weighed in order.  A donor is
// measured in full only when it can beat or tie the best: without a usage
// penalty it must pass the cut of the best distance; with one (which its
// distance never falls below when B is not negative) the penalty must not
// exceed the best.  The donors kept, and their order, are those of a full
// measurement of every donor.
template <bool one_word, Terms terms>
int find_donors(const Search& s) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    int32_t listed[donor_block];
    double b_sums[donor_block];
    double q_sums[donor_block];
    int tied = 0;
    double best = inf;
    Cut cut{inf, inf};
    for (int from = s.from; from < s.to;) {
        const int to = s.to - from > donor_block ? from + donor_block : s.to;
        const int count = list_acceptable<one_word>(s, from, to, listed);
        from = to;
        sums_of<terms>(s, listed, count, b_sums, q_sums);
        for (int j = 0; j < count; ++j) {
            const int donor = listed[j];
            const double b = b_sums[j];
            const double q = q_sums[j];
            const double penalty = s.usage != nullptr ? s.usage[donor] : 0.0;
            const bool settled = b >= 0.0;
            const bool beaten = penalty == 0.0 ? (b > cut.b) | (settled & (q > cut.q)) : settled & (penalty > best);
            if ((tied != 0) & beaten) continue;

            const double d = finish(b, q, s, donor);
            if (tied == 0 || d < best) {
                best = d;
                s.ties[0] = donor;
                tied = 1;
                cut = cut_of(best, s.total);
            } else if (d == best && tied < s.tie_limit) {
                s.ties[tied++] = donor;
            }
        }
    }
    return tied;
}

template <bool one_word>
int find_donors(const Search& s, Terms terms) noexcept
{
    switch (terms) {
    case terms_plain_squares:
        return find_donors<one_word, terms_plain_squares>(s);
    case terms_squares:
        return find_donors<one_word, terms_squares>(s);
    default:
        return find_donors<one_word, terms_general>(s);
    }
}

// ---------------------------------------------------------------------------
// The indexed search
//
// A k-d tree over the candidate donors on the continuous variables that
// weigh.  Each node keeps, per indexed variable, the smallest and largest
// value among its donors that have one, and the smallest usage penalty
// among them.  From the recipient's values a node gets a lower bound of the
// distance of every acceptable donor in it: each term of the distance is
// replaced by its smallest value over the node's box (a variable the index
// does not hold by the smallest value the term can take at all), and the
// terms are summed in the same order with the same operations.  Rounded
// subtraction, multiplication by a constant, addition, the square root and
// division by a positive total are each monotone, so the bound never exceeds
// a donor's distance as the walk computes it, to the last bit.  A node is
// passed over only when its bound is strictly greater than the best distance
// so far, so every donor at exactly the best distance is still measured, and
// the tie list keeps the donors at the best distance that come first in pool
// order (ascending record order in every pool mode), as the walk keeps them.
//
// The bound needs distances that are never infinite or NaN (the walk's
// choices then follow comparisons the index cannot mirror), so a call whose
// weights, scales, category distances or values could make one walks.

constexpr int leaf_size_automatic = 16;
constexpr int leaf_size_forced = 2;          // deep trees on small pools, for the tests
constexpr int smallest_indexed_pool = 512;   // below this the walk is as fast

// The variables the index splits on, and their place in a node's box.
struct IndexColumns {
    std::vector<int32_t> variable;  // by dimension
    std::vector<double> stretch;    // by dimension: how much a unit of the variable weighs in a distance
    std::vector<int32_t> dim;       // by variable; -1 when not indexed
    int count() const noexcept { return static_cast<int>(variable.size()); }
};

// Whether every distance of the call is a finite number: each term's
// largest magnitude, from the largest magnitude of its variable's values,
// is finite and so is their sum.  The indexed variables are the continuous
// ones of positive weight.
std::optional<IndexColumns> finite_distance_columns(int n, int len, const double* data, double missing_code,
                                                    const double* weights, const double* scales,
                                                    const int* dist_types, const double* cat_dist, const int* ncat,
                                                    int d, double total)
{
    if (!std::isfinite(total)) return std::nullopt;
    IndexColumns columns;
    columns.dim.assign(static_cast<size_t>(len), -1);
    double largest_sum = 0.0;
    for (int k = 0; k < len; ++k) {
        const double w = weights[k];
        if (!(w > 0.0)) continue;  // left out of every distance
        if (!std::isfinite(w)) return std::nullopt;
        double largest_term = w;
        if (ncat[k] == 0) {
            const double q = scales[k];
            if (!std::isfinite(q)) return std::nullopt;
            double magnitude = 0.0;
            for (int64_t r = 0; r < n; ++r) {
                const double x = data[r * len + k];
                if (x == missing_code) continue;
                if (!std::isfinite(x)) return std::nullopt;
                magnitude = std::max(magnitude, std::abs(x));
            }
            const double spread = 2.0 * magnitude * std::abs(q);
            largest_term = std::max({w, spread * w, spread * spread * w});
            columns.dim[static_cast<size_t>(k)] = columns.count();
            columns.variable.push_back(k);
            // Splits go where donors lie far apart as the distance sees them;
            // a tolerance treats every difference beyond it alike.
            columns.stretch.push_back(dist_types[k] == 3 ? 1.0 : std::abs(q) * std::sqrt(w));
        } else if (dist_types[k] == 2) {
            const int count = ncat[k];
            for (int64_t a = 0; a < count; ++a) {
                for (int64_t b = 0; b < count; ++b) {
                    const double entry = cat_dist[(k * static_cast<int64_t>(d) + a) * d + b];
                    if (!std::isfinite(entry)) return std::nullopt;
                    largest_term = std::max(largest_term, std::abs(entry) * w);
                }
            }
        }
        largest_sum += largest_term;
    }
    if (!(largest_sum < 1e300)) return std::nullopt;
    return columns;
}

struct IndexNode {
    int32_t begin, end;  // the node's donors: donors[begin, end)
    int32_t left, right; // children; -1 in a leaf
    int32_t parent;      // -1 at the root
    double min_penalty;
};

// The donors' rows, flags, category positions and penalties are copied in
// the tree's order, so that a leaf's donors lie side by side in memory: a
// search then reads a few short runs instead of rows scattered over the
// whole matrix.
class DonorTree {
public:
    // Builds the tree over the candidates, given in pool order.
    void build(const int32_t* candidates, int count, const IndexColumns& columns, const Search& s,
               double missing_code, int leaf_size)
    {
        dims_ = columns.count();
        count_ = count;
        len_ = s.len;
        partition(candidates, count, columns, s.data, missing_code, leaf_size);
        copy_in_tree_order(s);
    }

    // The search of the tree's donors: positions in tree order stand for
    // donors, the recipient's own position (if it is a candidate) is passed
    // over.
    Search leaf_search(const Search& s, int32_t recipient_position) const noexcept
    {
        Search leaf = s;
        leaf.data = rows_.data();
        leaf.candidates = nullptr;
        leaf.recipient = recipient_position;
        leaf.flags = &flags_;
        leaf.positions = positions_.data();
        leaf.n = count_;
        leaf.usage = s.usage != nullptr ? usage_.data() : nullptr;
        return leaf;
    }

    // A donor's penalty grew: its copy, its leaf's smallest penalty and those
    // of the nodes above it follow.
    void raise_penalty(int32_t position, double penalty) noexcept
    {
        usage_[position] = penalty;
        IndexNode& leaf = nodes_[leaf_of_[position]];
        double least = std::numeric_limits<double>::infinity();
        for (int32_t i = leaf.begin; i < leaf.end; ++i) least = std::min(least, usage_[i]);
        leaf.min_penalty = least;
        for (int32_t v = leaf.parent; v >= 0; v = nodes_[v].parent) {
            const double both = std::min(nodes_[nodes_[v].left].min_penalty, nodes_[nodes_[v].right].min_penalty);
            if (both == nodes_[v].min_penalty) break;
            nodes_[v].min_penalty = both;
        }
    }

    const IndexNode& node(int32_t v) const noexcept { return nodes_[v]; }
    const double* box(int32_t v) const noexcept { return boxes_.data() + static_cast<size_t>(v) * 2 * dims_; }
    int32_t donor(int32_t position) const noexcept { return donors_[position]; }
    int count() const noexcept { return count_; }

private:
    // The k-d partition of the candidates' indexed values.  Each point is a
    // row of the indexed values (a missing one as +inf, which sorts after
    // every value and is left out of the boxes) and the donor's record,
    // moved as a whole, so that every level streams through memory.
    void partition(const int32_t* candidates, int count, const IndexColumns& columns, const double* data,
                   double missing_code, int leaf_size)
    {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const int width = dims_ + 1;
        std::vector<double> points(static_cast<size_t>(count) * width);
        for (int i = 0; i < count; ++i) {
            const double* row = data + static_cast<int64_t>(candidates[i]) * len_;
            double* point = points.data() + static_cast<size_t>(i) * width;
            for (int e = 0; e < dims_; ++e) {
                const double x = row[columns.variable[static_cast<size_t>(e)]];
                point[e] = x == missing_code ? inf : x;
            }
            point[dims_] = candidates[i];
        }
        nodes_.clear();
        boxes_.clear();
        struct Pending {
            int32_t begin, end, parent;
            bool is_left;
        };
        std::vector<Pending> pending{{0, count, -1, false}};
        while (!pending.empty()) {
            const Pending p = pending.back();
            pending.pop_back();
            const int32_t self = static_cast<int32_t>(nodes_.size());
            nodes_.push_back(IndexNode{p.begin, p.end, -1, -1, p.parent, 0.0});
            if (p.parent >= 0) (p.is_left ? nodes_[p.parent].left : nodes_[p.parent].right) = self;
            boxes_.resize(boxes_.size() + 2 * static_cast<size_t>(dims_));
            double* box = boxes_.data() + static_cast<size_t>(self) * 2 * dims_;
            for (int e = 0; e < dims_; ++e) {
                box[2 * e] = inf;
                box[2 * e + 1] = -inf;
            }
            for (int32_t i = p.begin; i < p.end; ++i) {
                const double* point = points.data() + static_cast<size_t>(i) * width;
                for (int e = 0; e < dims_; ++e) {
                    if (point[e] == inf) continue;
                    box[2 * e] = std::min(box[2 * e], point[e]);
                    box[2 * e + 1] = std::max(box[2 * e + 1], point[e]);
                }
            }
            int split = -1;
            double widest = 0.0;
            for (int e = 0; e < dims_; ++e) {
                const double spread = (box[2 * e + 1] - box[2 * e]) * columns.stretch[static_cast<size_t>(e)];
                if (box[2 * e + 1] > box[2 * e] && spread > widest) {
                    widest = spread;
                    split = e;
                }
            }
            if (p.end - p.begin <= leaf_size || split < 0) continue;
            const int32_t middle = p.begin + (p.end - p.begin) / 2;
            select_rows(points.data(), width, p.begin, p.end, middle, split);
            pending.push_back({middle, p.end, self, false});
            pending.push_back({p.begin, middle, self, true});
        }
        donors_.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) donors_[i] = static_cast<int32_t>(points[static_cast<size_t>(i) * width + dims_]);
    }

    // Moves the rows of [begin, end) so that row k holds the value of
    // column e that a sort would put there, smaller ones before it and
    // larger ones after it (Hoare's selection on whole rows).
    static void select_rows(double* rows, int width, int32_t begin, int32_t end, int32_t k, int e)
    {
        const auto key = [&](int32_t i) { return rows[static_cast<size_t>(i) * width + e]; };
        const auto swap = [&](int32_t a, int32_t b) {
            std::swap_ranges(rows + static_cast<size_t>(a) * width, rows + static_cast<size_t>(a + 1) * width,
                             rows + static_cast<size_t>(b) * width);
        };
        int32_t lo = begin, hi = end - 1;
        while (lo < hi) {
            // The median of three as pivot keeps sorted runs from costing n^2.
            const int32_t mid = lo + (hi - lo) / 2;
            if (key(mid) < key(lo)) swap(mid, lo);
            if (key(hi) < key(lo)) swap(hi, lo);
            if (key(hi) < key(mid)) swap(hi, mid);
            const double pivot = key(mid);
            int32_t i = lo, j = hi;
            while (i <= j) {
                while (key(i) < pivot) ++i;
                while (pivot < key(j)) --j;
                if (i <= j) swap(i++, j--);
            }
            if (k <= j) hi = j;
            else if (k >= i) lo = i;
            else return;
        }
    }

    void copy_in_tree_order(const Search& s)
    {
        const int words = s.flags->words;
        rows_.resize(static_cast<size_t>(count_) * len_);
        flags_.words = words;
        flags_.bits.resize(static_cast<size_t>(count_) * 2 * words);
        const int columns = s.position_columns;
        positions_.resize(static_cast<size_t>(columns) * count_);
        usage_.assign(static_cast<size_t>(count_), 0.0);
        leaf_of_.assign(static_cast<size_t>(count_), 0);
        for (int32_t i = 0; i < count_; ++i) {
            const int32_t r = donors_[i];
            std::copy_n(s.data + static_cast<int64_t>(r) * len_, len_, rows_.data() + static_cast<size_t>(i) * len_);
            std::copy_n(s.flags->of(r), 2 * words, flags_.bits.data() + static_cast<size_t>(i) * 2 * words);
            for (int c = 0; c < columns; ++c)
                positions_[static_cast<size_t>(c) * count_ + i] = s.positions[static_cast<int64_t>(c) * s.n + r];
            if (s.usage != nullptr) usage_[i] = s.usage[r];
        }
        // Children stand after their parent in the list, so the smallest
        // penalties settle from the end of the list.
        for (int32_t v = static_cast<int32_t>(nodes_.size()) - 1; v >= 0; --v) {
            IndexNode& node = nodes_[v];
            if (node.left >= 0) {
                node.min_penalty = std::min(nodes_[node.left].min_penalty, nodes_[node.right].min_penalty);
                continue;
            }
            double least = node.end > node.begin ? std::numeric_limits<double>::infinity() : 0.0;
            for (int32_t i = node.begin; i < node.end; ++i) {
                leaf_of_[i] = v;
                least = std::min(least, usage_[i]);
            }
            node.min_penalty = least;
        }
    }

    int dims_ = 0;
    int count_ = 0;
    int64_t len_ = 0;
    std::vector<int32_t> donors_;  // record of each position
    std::vector<IndexNode> nodes_;
    std::vector<double> boxes_;
    std::vector<double> rows_;
    RecordFlags flags_;
    std::vector<int32_t> positions_;
    std::vector<double> usage_;
    std::vector<int32_t> leaf_of_;
};

// The recipient's matching terms as the bound of a node needs them: the
// term's variable's place in the box (-1 when not indexed) and, for a
// category table, its smallest entry.
struct BoundTerms {
    std::vector<int32_t> a_dim, s_dim, q_dim;
    std::vector<double> a_least;
    int indexed = 0;  // matching terms on indexed variables

    explicit BoundTerms(int len) : a_dim(len), s_dim(len), q_dim(len), a_least(len) {}

    void set(const Matching& m, const IndexColumns& columns, const int* ncat)
    {
        indexed = 0;
        const auto dim_of = [&](int32_t v) {
            const int32_t e = columns.dim[static_cast<size_t>(v)];
            indexed += e >= 0;
            return e;
        };
        for (int t = 0; t < m.na; ++t) {
            a_dim[t] = m.a_kind[t] == abs_difference || m.a_kind[t] == abs_tolerance ? dim_of(m.a_var[t]) : -1;
            if (m.a_kind[t] == abs_table) {
                const double* table = m.a_table[t];
                a_least[t] = *std::min_element(table, table + ncat[m.a_var[t]]);
            }
        }
        for (int t = 0; t < m.ns; ++t) s_dim[t] = dim_of(m.s_var[t]);
        for (int t = 0; t < m.nq; ++t) q_dim[t] = dim_of(m.q_var[t]);
    }
};

inline double least_abs_difference(double lo, double hi, double x) noexcept
{
    return x < lo ? lo - x : x > hi ? x - hi : 0.0;
}

inline double largest_abs_difference(double lo, double hi, double x) noexcept
{
    return std::max(std::abs(hi - x), std::abs(lo - x));
}

constexpr double no_acceptable_donor = std::numeric_limits<double>::infinity();

// The lower bound of the distance of the acceptable donors of a node (see
// above); no_acceptable_donor when every donor of the node lacks a matching
// indexed variable.
double node_bound(const Search& s, const BoundTerms& bt, const double* box, double min_penalty) noexcept
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const Matching& m = *s.m;
    double a = 0.0;
    for (int t = 0; t < m.na; ++t) {
        const int e = bt.a_dim[t];
        switch (m.a_kind[t]) {
        case abs_difference: {
            const double scale = m.a_scale[t];
            if (e < 0) {
                a += scale >= 0.0 ? 0.0 : -inf;
                break;
            }
            const double lo = box[2 * e], hi = box[2 * e + 1];
            if (lo > hi) return no_acceptable_donor;
            const double x = m.a_value[t];
            const double diff = scale >= 0.0 ? least_abs_difference(lo, hi, x) : largest_abs_difference(lo, hi, x);
            a += diff * scale * m.a_weight[t];
            break;
        }
        case abs_tolerance:
            if (e >= 0) {
                const double lo = box[2 * e], hi = box[2 * e + 1];
                if (lo > hi) return no_acceptable_donor;
                if (least_abs_difference(lo, hi, m.a_value[t]) > m.a_scale[t]) a += m.a_weight[t];
            }
            break;
        case abs_table:
            a += bt.a_least[t];
            break;
        default:
            break;
        }
    }
    double s_low = 0.0, s_high = 0.0;
    bool s_known = true;
    for (int t = 0; t < m.ns; ++t) {
        const int e = bt.s_dim[t];
        if (e < 0) {
            s_known = false;
            continue;
        }
        const double lo = box[2 * e], hi = box[2 * e + 1];
        if (lo > hi) return no_acceptable_donor;
        const double x = m.s_value[t], scale = m.s_scale[t], weight = m.s_weight[t];
        const double at_lo = (lo - x) * scale * weight;
        const double at_hi = (hi - x) * scale * weight;
        s_low += std::min(at_lo, at_hi);
        s_high += std::max(at_lo, at_hi);
    }
    const double abs_s = !s_known ? 0.0 : s_low > 0.0 ? s_low : s_high < 0.0 ? -s_high : 0.0;
    double q = 0.0;
    for (int t = 0; t < m.nq; ++t) {
        const int e = bt.q_dim[t];
        if (e < 0) continue;
        const double lo = box[2 * e], hi = box[2 * e + 1];
        if (lo > hi) return no_acceptable_donor;
        const double dq = least_abs_difference(lo, hi, m.q_value[t]) * m.q_scale[t];
        q += dq * dq * m.q_weight[t];
    }
    double bound = a + abs_s;
    if (q > 0.0) bound += std::sqrt(q);
    bound /= s.total;
    if (s.usage != nullptr) bound += min_penalty;
    return bound;
}

// Keeps the donors at the best distance that come first in pool order.
inline void keep_tie(int32_t* ties, int& tied, int limit, int32_t donor) noexcept
{
    if (tied == limit && donor > ties[tied - 1]) return;
    int at = tied < limit ? tied++ : tied - 1;
    for (; at > 0 && ties[at - 1] > donor; --at) ties[at] = ties[at - 1];
    ties[at] = donor;
}

// The search of the tree, nearer nodes first; returns how many donors tie.
template <bool one_word, Terms terms>
int find_donors_indexed(const Search& s, const DonorTree& tree, int32_t recipient_position,
                        const BoundTerms& bt) noexcept
{
    struct Visit {
        int32_t node;
        double bound;
    };
    // The tree's depth grows with the logarithm of the pool: one entry a
    // level and a pending sibling each.
    Visit stack[2 * 64 + 2];
    int depth = 0;
    int32_t listed[donor_block];
    double b_sums[donor_block];
    double q_sums[donor_block];
    int tied = 0;
    double best = std::numeric_limits<double>::infinity();
    const Search leaf = tree.leaf_search(s, recipient_position);

    const double root_bound = node_bound(s, bt, tree.box(0), tree.node(0).min_penalty);
    if (root_bound != no_acceptable_donor) stack[depth++] = {0, root_bound};
    while (depth > 0) {
        const Visit visit = stack[--depth];
        if (tied != 0 && visit.bound > best) continue;
        const IndexNode& node = tree.node(visit.node);
        if (node.left < 0) {
            for (int32_t from = node.begin; from < node.end;) {
                const int32_t to = node.end - from > donor_block ? from + donor_block : node.end;
                const int count = list_acceptable<one_word>(leaf, from, to, listed);
                from = to;
                sums_of<terms>(leaf, listed, count, b_sums, q_sums);
                for (int j = 0; j < count; ++j) {
                    const double d = finish(b_sums[j], q_sums[j], leaf, listed[j]);
                    if (tied == 0 || d < best) {
                        best = d;
                        s.ties[0] = tree.donor(listed[j]);
                        tied = 1;
                    } else if (d == best) {
                        keep_tie(s.ties, tied, s.tie_limit, tree.donor(listed[j]));
                    }
                }
            }
            continue;
        }
        const double left = node_bound(s, bt, tree.box(node.left), tree.node(node.left).min_penalty);
        const double right = node_bound(s, bt, tree.box(node.right), tree.node(node.right).min_penalty);
        const Visit near = left <= right ? Visit{node.left, left} : Visit{node.right, right};
        const Visit far = left <= right ? Visit{node.right, right} : Visit{node.left, left};
        if (far.bound != no_acceptable_donor && (tied == 0 || far.bound <= best)) stack[depth++] = far;
        if (near.bound != no_acceptable_donor && (tied == 0 || near.bound <= best)) stack[depth++] = near;
    }
    return tied;
}

template <bool one_word>
int find_donors_indexed(const Search& s, const DonorTree& tree, int32_t recipient_position, const BoundTerms& bt,
                        Terms terms) noexcept
{
    switch (terms) {
    case terms_plain_squares:
        return find_donors_indexed<one_word, terms_plain_squares>(s, tree, recipient_position, bt);
    case terms_squares:
        return find_donors_indexed<one_word, terms_squares>(s, tree, recipient_position, bt);
    default:
        return find_donors_indexed<one_word, terms_general>(s, tree, recipient_position, bt);
    }
}

// The trees of a call: one over the record range, or one per class, each
// built when a recipient first needs it.
class DonorIndex {
public:
    DonorIndex(IndexColumns columns, int n, int leaf_size, int smallest_pool)
        : columns_(std::move(columns)), position_(static_cast<size_t>(n), -1), tree_of_(static_cast<size_t>(n), -1),
          leaf_size_(leaf_size), smallest_pool_(smallest_pool)
    {
    }

    const IndexColumns& columns() const noexcept { return columns_; }
    bool worth_it(int pool_size) const noexcept { return pool_size >= smallest_pool_; }

    // The tree of the pool with the given key (the class position, or 0),
    // built over the search's candidates on first use.
    const DonorTree& tree(int key, const Search& s, double missing_code)
    {
        if (static_cast<size_t>(key) >= trees_.size()) trees_.resize(static_cast<size_t>(key) + 1);
        std::unique_ptr<DonorTree>& slot = trees_[static_cast<size_t>(key)];
        if (!slot) {
            std::vector<int32_t> pool;
            pool.reserve(static_cast<size_t>(s.to - s.from));
            for (int i = s.from; i < s.to; ++i) pool.push_back(s.candidates != nullptr ? s.candidates[i] : i);
            auto built = std::make_unique<DonorTree>();
            built->build(pool.data(), static_cast<int>(pool.size()), columns_, s, missing_code, leaf_size_);
            for (int32_t i = 0; i < built->count(); ++i) {
                position_[static_cast<size_t>(built->donor(i))] = i;
                tree_of_[static_cast<size_t>(built->donor(i))] = key;
            }
            slot = std::move(built);
        }
        return *slot;
    }

    // Where a record stands in the tree of the given key; -1 when it is not
    // one of its donors.
    int32_t position_in(int key, int32_t record) const noexcept
    {
        return tree_of_[static_cast<size_t>(record)] == key ? position_[static_cast<size_t>(record)] : -1;
    }

    void raise_penalty(int32_t donor, const double* usage) noexcept
    {
        const int32_t key = tree_of_[static_cast<size_t>(donor)];
        if (key >= 0) trees_[static_cast<size_t>(key)]->raise_penalty(position_[static_cast<size_t>(donor)], usage[donor]);
    }

private:
    IndexColumns columns_;
    std::vector<int32_t> position_;
    std::vector<int32_t> tree_of_;
    std::vector<std::unique_ptr<DonorTree>> trees_;
    int leaf_size_;
    int smallest_pool_;
};

void set_bit(uint64_t* words, int k) noexcept { words[k >> 6] |= uint64_t{1} << (k & 63); }

// The argument number of a table only categorical variables need that is
// null while one needs it, or 0: the codes for every categorical variable,
// the category distances for one of distance type 2.
int missing_category_table(int len, const int* ncat, const int* dist_types, const int* codes,
                           const double* cat_dist) noexcept
{
    for (int k = 0; k < len; ++k) {
        if (ncat[k] <= 0) continue;
        if (codes == nullptr) return 15;
        if (dist_types[k] == 2 && cat_dist == nullptr) return 10;
    }
    return 0;
}

// The index of the call, or none when the call walks: the search chosen is
// the walk, no variable can be indexed, a distance could be infinite or NaN,
// or there is no storage for it (the walk needs none).
// A split on a variable helps only the recipients that match on it: the
// stretch of each indexed variable is scaled by the share of the recipient
// groups of the cell list that have it and do not impute it.
void weigh_by_recipients(IndexColumns& columns, int len, const double* data, double missing_code, int cells,
                         const int* cell_recs, const int* cell_vars, int selector)
{
    std::vector<int64_t> matching(static_cast<size_t>(columns.count()), 0);
    std::vector<char> imputed(static_cast<size_t>(len), 0);
    int64_t groups = 0;
    for (int p = 0; p < cells;) {
        const int rec = cell_recs[p];
        int end = p + 1;
        if (selector == 0)
            while (end < cells && cell_recs[end] == rec) ++end;
        if (selector == 0 || cell_vars[p] == selector - 1) {
            ++groups;
            for (int c = p; c < end; ++c) imputed[static_cast<size_t>(cell_vars[c])] = 1;
            const double* row = data + static_cast<int64_t>(rec) * len;
            for (int e = 0; e < columns.count(); ++e) {
                const int32_t k = columns.variable[static_cast<size_t>(e)];
                matching[static_cast<size_t>(e)] += row[k] != missing_code && imputed[static_cast<size_t>(k)] == 0;
            }
            for (int c = p; c < end; ++c) imputed[static_cast<size_t>(cell_vars[c])] = 0;
        }
        p = end;
    }
    if (groups == 0) return;
    for (int e = 0; e < columns.count(); ++e)
        columns.stretch[static_cast<size_t>(e)] *= static_cast<double>(matching[static_cast<size_t>(e)]) / groups;
}

std::optional<DonorIndex> make_index(DonorSearch search, int n, int len, const double* data, double missing_code,
                                     const double* weights, const double* scales, const int* dist_types,
                                     const double* cat_dist, const int* ncat, int d, double total, int cells,
                                     const int* cell_recs, const int* cell_vars, int selector) noexcept
{
    if (search == DonorSearch::linear) return std::nullopt;
    try {
        std::optional<IndexColumns> columns = finite_distance_columns(n, len, data, missing_code, weights, scales,
                                                                      dist_types, cat_dist, ncat, d, total);
        if (!columns || columns->count() == 0) return std::nullopt;
        weigh_by_recipients(*columns, len, data, missing_code, cells, cell_recs, cell_vars, selector);
        const bool forced = search == DonorSearch::indexed;
        return DonorIndex(std::move(*columns), n, forced ? leaf_size_forced : leaf_size_automatic,
                          forced ? 0 : smallest_indexed_pool);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

void impute(DonorSearch search, const int* pool, int seed, int tie_limit, int selector, int reuse,
            double min_weight, const double* weights, const double* scales, const int* dist_types,
            const double* cat_dist, int n, int len, const double* data, const int* ncat, const int* codes, int d,
            double missing_code, int* n_cells, int* cell_recs, int* cell_vars, double* cell_vals, int* report)
{
    RandState state{};
    if (seed > 0) set_rand_seed(seed, &state);
    if (seed < 0) set_rand_seed(-1, &state);

    if (tie_limit < 1) return set_error(report, bad_tie_limit, 0);
    if (n < 1) return set_error(report, bad_record_count, 0);
    if (len < 0) return set_error(report, bad_variable_count, 0);
    if (d < 0) return set_error(report, bad_code_row, 0);
    if (selector < 0) return set_error(report, bad_selector, 0);
    if (min_weight < 0) return set_error(report, bad_weight, 0);

    // Donor pool.
    const bool class_mode = pool[0] < 0;
    int class_var = 0;
    int class_count = 0;
    int range_from = 1;
    int range_to = n;
    if (class_mode) {
        class_var = pool[1];
        // A class variable that does not exist would be read outside the
        // per-variable arrays and the matrix rows: refused like a class
        // variable without enough codes.
        if (class_var < 0 || class_var >= len) return set_error(report, bad_pool, 0);
        class_count = ncat[class_var];
        if (class_count < 2) return set_error(report, bad_pool, 0);
        // The class bounds give each class its run of the records sorted by
        // code only when the codes ascend strictly, so any other order is
        // refused rather than imputing from the wrong class.  (More codes
        // than a row holds are refused with code 10 below.)
        if (class_count <= d) {
            const int* row = codes + static_cast<int64_t>(class_var) * d;
            for (int j = 1; j < class_count; ++j) {
                if (row[j] <= row[j - 1]) return set_error(report, bad_pool, 0);
            }
        }
    } else if (pool[0] > 0) {
        range_from = pool[1];
        range_to = pool[2];
        if (range_from < 1 || range_to <= range_from || range_to > n) return set_error(report, bad_pool, 0);
    }

    // Cell list.
    int cells = *n_cells;
    if (cells <= 0) {
        // A selector beyond the last variable selects nothing (a supplied
        // list has none of its cells imputed either); reading its column
        // would run past the rows.
        const int first_var = selector == 0 ? 0 : selector - 1;
        const int end_var = selector == 0 ? len : (selector <= len ? selector : first_var);
        int64_t count = 0;
        for (int r = 0; r < n; ++r) {
            const double* row = data + static_cast<int64_t>(r) * len;
            for (int k = first_var; k < end_var; ++k) {
                if (row[k] != missing_code) continue;
                cell_recs[count] = r;
                cell_vars[count] = k;
                cell_vals[count] = missing_code;
                ++count;
            }
        }
        cells = static_cast<int>(count);
        *n_cells = cells;
    } else {
        for (int p = 0; p < cells; ++p) {
            // A record of n or more would be read past the matrix: refused
            // like a negative one.
            if (cell_recs[p] < 0 || cell_recs[p] >= n) return set_error(report, bad_cell_record, p + 1);
            if (cell_vars[p] < 0 || cell_vars[p] >= len) return set_error(report, bad_cell_variable, p + 1);
        }
    }

    // Weights.
    if (len == 0) return set_error(report, no_weight, 0);
    for (int k = 0; k < len; ++k) {
        if (weights[k] < 0) return set_error(report, bad_weight, k + 1);
    }
    double total = 0.0;
    for (int k = 0; k < len; ++k) total += weights[k];
    if (total == 0.0) return set_error(report, no_weight, 0);

    std::unique_ptr<double[]> usage;
    if (reuse == 0) {
        usage = obtain<double>(n, true);
        if (!usage) {
            std::fputs("Error with memory allocation ", stdout);
            std::fflush(stdout);
            return;
        }
    }
    const std::unique_ptr<int32_t[]> roles = obtain<int32_t>(len);
    if (!roles) return set_error(report, KEST_ERR_NO_MEMORY, storage_roles);
    // The tie list never holds more donors than there are records.
    const int tie_capacity = std::min(tie_limit, n);
    const std::unique_ptr<int32_t[]> ties = obtain<int32_t>(tie_capacity);
    if (!ties) return set_error(report, KEST_ERR_NO_MEMORY, storage_ties);
    const std::unique_ptr<double[]> recipient = obtain<double>(len);
    if (!recipient) return set_error(report, KEST_ERR_NO_MEMORY, storage_row);
    const std::unique_ptr<int32_t[]> recipient_pos = obtain<int32_t>(len);
    if (!recipient_pos) return set_error(report, KEST_ERR_NO_MEMORY, storage_positions);

    for (int k = 0; k < len; ++k) {
        if (ncat[k] < 0) return set_error(report, bad_category_count, k + 1);
        if (ncat[k] > d) return set_error(report, bad_category_count, 0);
    }

    // Class mode: the records sorted by class code (equal codes in record
    // order) and the bounds of each class in that order.
    std::unique_ptr<int32_t[]> class_codes, order, record_class, bounds;
    if (class_mode) {
        class_codes = obtain<int32_t>(class_count);
        if (!class_codes) return set_error(report, KEST_ERR_NO_MEMORY, storage_class_codes);
        std::copy_n(codes + static_cast<int64_t>(class_var) * d, class_count, class_codes.get());
        order = obtain<int32_t>(n);
        record_class = order ? obtain<int32_t>(n) : nullptr;
        if (!record_class) return set_error(report, KEST_ERR_NO_MEMORY, storage_class_order);
        bounds = obtain<int32_t>(static_cast<int64_t>(class_count) + 1, true);
        if (!bounds) return set_error(report, KEST_ERR_NO_MEMORY, storage_class_bounds);

        bool representable = true;
        for (int r = 0; r < n; ++r) {
            const std::optional<int32_t> code = round_to_int32(data[static_cast<int64_t>(r) * len + class_var]);
            representable = representable && code.has_value();
            record_class[r] = code.value_or(0);
        }
        if (!representable) return set_error(report, unknown_class, 0);
        rank_int_keys(record_class.get(), n, 0, 1, order.get());
        invert_permutation(order.get(), n);

        // Replace each record's code by its class position (the codes ascend
        // strictly, so a binary search finds the only equal one) and count
        // the records of each class.
        const int32_t* first = class_codes.get();
        const int32_t* last = first + class_count;
        for (int r = 0; r < n; ++r) {
            const int32_t* at = std::lower_bound(first, last, record_class[r]);
            if (at == last || *at != record_class[r]) return set_error(report, unknown_class, 0);
            record_class[r] = static_cast<int32_t>(at - first);
            ++bounds[record_class[r] + 1];
        }
        for (int j = 0; j < class_count; ++j) bounds[j + 1] += bounds[j];
    }

    // Search tables, built once for the call.
    const int64_t stride = len;
    RecordFlags flags;
    flags.words = (len + 63) / 64;
    flags.bits.assign(static_cast<size_t>(static_cast<int64_t>(n) * 2 * flags.words), 0);

    // Category position of every record for each categorical variable of a
    // positive distance type (-1 when its rounded value is not a code).
    std::vector<int32_t> column(static_cast<size_t>(len), -1);
    int columns = 0;
    int64_t table_size = 0;
    std::vector<int64_t> table_at(static_cast<size_t>(len), 0);
    for (int k = 0; k < len; ++k) {
        if (ncat[k] > 0 && dist_types[k] > 0) column[k] = columns++;
        if (ncat[k] > 0 && (dist_types[k] == 1 || dist_types[k] == 2)) {
            table_at[k] = table_size;
            table_size += ncat[k];
        }
    }
    std::vector<int32_t> positions(static_cast<size_t>(static_cast<int64_t>(columns) * n));
    CodeFinder finder;
    for (int k = 0; k < len; ++k) {
        if (column[k] < 0) continue;
        finder.reset(codes + static_cast<int64_t>(k) * d, ncat[k]);
        int32_t* out = positions.data() + static_cast<int64_t>(column[k]) * n;
        for (int r = 0; r < n; ++r) out[r] = finder.position(data[r * stride + k]);
    }
    for (int r = 0; r < n; ++r) {
        uint64_t* f = flags.bits.data() + static_cast<int64_t>(r) * 2 * flags.words;
        const double* row = data + r * stride;
        for (int k = 0; k < len; ++k) {
            if (row[k] == missing_code) set_bit(f, k);
            if (ncat[k] > 0 && (dist_types[k] == 1 || dist_types[k] == 2) &&
                positions[static_cast<int64_t>(column[k]) * n + r] < 0) {
                set_bit(f + flags.words, k);
            }
        }
    }

    Matching m(len);
    std::vector<double> tables(static_cast<size_t>(table_size));
    std::vector<uint64_t> need(static_cast<size_t>(flags.words)), need_codes(static_cast<size_t>(flags.words));

    Search s{};
    s.data = data;
    s.len = stride;
    s.flags = &flags;
    s.need = need.data();
    s.need_codes = need_codes.data();
    s.m = &m;
    s.positions = positions.data();
    s.position_columns = columns;
    s.n = n;
    s.total = total;
    s.usage = usage.get();
    s.ties = ties.get();
    s.tie_limit = tie_limit;

    std::optional<DonorIndex> index =
        make_index(search, n, len, data, missing_code, weights, scales, dist_types, cat_dist, ncat, d, total, cells,
                   cell_recs, cell_vars, selector);
    BoundTerms bound_terms(index ? len : 0);

    // The recipient groups, in the order of the cell list.
    struct Group {
        int first, end;
    };
    std::vector<Group> groups;
    for (int p = 0; p < cells;) {
        const int rec = cell_recs[p];
        int end = p + 1;
        if (selector == 0) {
            while (end < cells && cell_recs[end] == rec) ++end;
        } else if (cell_vars[p] != selector - 1) {
            p = end;
            continue;
        }
        groups.push_back({p, end});
        p = end;
    }

    // Candidates: the recipient's class, or the record range.
    const auto set_candidates = [&](int rec) {
        s.recipient = rec;
        if (class_mode) {
            const int j = record_class[rec];
            s.candidates = order.get();
            s.from = bounds[j];
            s.to = bounds[j + 1];
        } else {
            s.candidates = nullptr;
            s.from = range_from;
            s.to = range_to;
        }
    };

    // What became of a group before a donor is chosen: skipped, skipped for
    // an unknown category (with the rounded value), or searched with this
    // many tied donors in the tie list.
    enum class Fate { skipped, unknown_category, searched };
    struct Outcome {
        Fate fate;
        int value;
    };
    const auto examine = [&](const Group& g) -> Outcome {
        const int rec = cell_recs[g.first];
        // Roles and the weight left to match on.
        std::fill_n(roles.get(), len, role_matching);
        for (int c = g.first; c < g.end; ++c) roles[cell_vars[c]] = role_imputed;
        std::copy_n(data + rec * stride, len, recipient.get());
        double excluded = 0.0;
        for (int k = 0; k < len; ++k) {
            if (roles[k] == role_matching && (recipient[k] == missing_code || weights[k] == 0.0)) {
                roles[k] = role_left_out;
            }
            if (roles[k] != role_matching && weights[k] > 0.0) excluded += weights[k];
        }
        if (excluded > 0.0) {
            if (total - excluded < min_weight) {
                ++report[KEST_REPORT_SKIPPED];
                return {Fate::skipped, 0};
            }
            ++report[KEST_REPORT_REDUCED];
        }

        // The recipient's categories must be known for its distances.
        for (int k = 0; k < len; ++k) {
            if (roles[k] != role_matching || column[k] < 0) continue;
            recipient_pos[k] = positions[static_cast<int64_t>(column[k]) * n + rec];
            if (recipient_pos[k] < 0) {
                // A value that rounds to no int is reported as the smallest
                // int.
                const std::optional<int32_t> rounded = round_to_int32(recipient[k]);
                return {Fate::unknown_category, rounded.value_or(std::numeric_limits<int32_t>::min())};
            }
        }

        // What a donor must have, and the matching variables by sum.
        std::fill(need.begin(), need.end(), 0);
        std::fill(need_codes.begin(), need_codes.end(), 0);
        m.nq = m.ns = m.na = 0;
        for (int k = 0; k < len; ++k) {
            if (roles[k] == role_left_out) continue;
            set_bit(need.data(), k);
            if (roles[k] != role_matching) continue;
            const int type = dist_types[k];
            const double x = recipient[k];
            const double w = weights[k];
            if (ncat[k] == 0) {
                if (type == 2) {
                    m.s_var[m.ns] = k;
                    m.s_value[m.ns] = x;
                    m.s_scale[m.ns] = scales[k];
                    m.s_weight[m.ns] = w;
                    ++m.ns;
                } else if (type == 1 || type == 3) {
                    m.a_kind[m.na] = type == 1 ? abs_difference : abs_tolerance;
                    m.a_var[m.na] = k;
                    m.a_value[m.na] = x;
                    m.a_scale[m.na] = scales[k];
                    m.a_weight[m.na] = w;
                    ++m.na;
                } else {
                    m.q_var[m.nq] = k;
                    m.q_value[m.nq] = x;
                    m.q_scale[m.nq] = scales[k];
                    m.q_weight[m.nq] = w;
                    ++m.nq;
                }
            } else if (type == 1 || type == 2) {
                // The term for every donor position, formed exactly as a
                // donor-by-donor evaluation forms it (nothing when the
                // positions agree).
                set_bit(need_codes.data(), k);
                double* table = tables.data() + table_at[k];
                const int a = recipient_pos[k];
                const int count = ncat[k];
                for (int b = 0; b < count; ++b) {
                    if (type == 1) {
                        table[b] = b == a ? 0.0 : w * std::abs(b - a) / (count - 1);
                    } else {
                        table[b] = w * cat_dist[(static_cast<int64_t>(k) * d + a) * d + b];
                    }
                }
                m.a_kind[m.na] = abs_table;
                m.a_var[m.na] = k;
                m.a_column[m.na] = column[k];
                m.a_table[m.na] = table;
                ++m.na;
            } else {
                m.a_kind[m.na] = abs_unequal;
                m.a_var[m.na] = k;
                m.a_value[m.na] = x;
                m.a_weight[m.na] = w;
                ++m.na;
            }
        }

        set_candidates(rec);
        Terms terms = m.na != 0 || m.ns != 0 ? terms_general : terms_plain_squares;
        for (int t = 0; t < m.nq && terms == terms_plain_squares; ++t) {
            if (std::abs(m.q_scale[t]) != 1.0 || m.q_weight[t] != 1.0) terms = terms_squares;
        }
        if (index && index->worth_it(s.to - s.from)) {
            bound_terms.set(m, index->columns(), ncat);
            if (bound_terms.indexed > 0) {
                try {
                    const int key = class_mode ? record_class[rec] : 0;
                    const DonorTree& tree = index->tree(key, s, missing_code);
                    const int32_t own = index->position_in(key, rec);
                    const int tied = flags.words == 1 ? find_donors_indexed<true>(s, tree, own, bound_terms, terms)
                                                      : find_donors_indexed<false>(s, tree, own, bound_terms, terms);
                    return {Fate::searched, tied};
                } catch (const std::bad_alloc&) {
                    index.reset();  // the walk needs no storage of its own
                }
            }
        }
        return {Fate::searched, flags.words == 1 ? find_donors<true>(s, terms) : find_donors<false>(s, terms)};
    };

    // The donor of a searched group, drawn from its tie list; its values go
    // into the group's cells.
    const auto settle = [&](const Group& g, Outcome outcome, const int32_t* tie_list) {
        if (outcome.fate == Fate::unknown_category) set_error(report, unknown_category, outcome.value);
        if (outcome.fate != Fate::searched) return;
        const int tied = outcome.value;
        if (tied == 0) {
            ++report[KEST_REPORT_NO_DONOR];
            return;
        }
        int chosen = 0;
        if (seed != 0 && tied > 1) {
            int32_t pick = 1;
            int code = 0;
            rand_sample(1, 1, 1, tied, &pick, &state, &code);
            chosen = pick - 1;
        }
        const int donor = tie_list[chosen];
        const double* donor_row = data + donor * stride;
        for (int c = g.first; c < g.end; ++c) cell_vals[c] = donor_row[cell_vars[c]];
        if (usage) {
            usage[donor] += total;
            if (index) index->raise_penalty(donor, usage.get());
        }
    };

    // Without usage penalties a group's donors do not depend on the groups
    // before it, only the draws among ties do: the groups are searched in
    // the order of their recipients in the tree, so that one search finds
    // in memory what the one before it read, and settled in list order.
    // With penalties every group is searched and settled in turn.
    if (!usage && index) {
        try {
            std::vector<std::pair<int64_t, int32_t>> by_place(groups.size());
            for (size_t g = 0; g < groups.size(); ++g) {
                const int rec = cell_recs[groups[g].first];
                set_candidates(rec);
                const int key = class_mode ? record_class[rec] : 0;
                int64_t place = INT64_MAX;
                if (index->worth_it(s.to - s.from)) {
                    index->tree(key, s, missing_code);
                    const int32_t own = index->position_in(key, rec);
                    if (own >= 0) place = static_cast<int64_t>(key) << 32 | own;
                }
                by_place[g] = {place, static_cast<int32_t>(g)};
            }
            std::stable_sort(by_place.begin(), by_place.end(),
                             [](const auto& x, const auto& y) { return x.first < y.first; });
            std::vector<Outcome> outcomes(groups.size());
            std::vector<int64_t> kept_at(groups.size());
            std::vector<int32_t> kept;
            for (const auto& [place, g] : by_place) {
                outcomes[static_cast<size_t>(g)] = examine(groups[static_cast<size_t>(g)]);
                kept_at[static_cast<size_t>(g)] = static_cast<int64_t>(kept.size());
                if (outcomes[static_cast<size_t>(g)].fate == Fate::searched)
                    kept.insert(kept.end(), ties.get(), ties.get() + outcomes[static_cast<size_t>(g)].value);
            }
            for (size_t g = 0; g < groups.size(); ++g) settle(groups[g], outcomes[g], kept.data() + kept_at[g]);
            return;
        } catch (const std::bad_alloc&) {
            // Not enough storage to keep every group's ties: search in turn.
            std::fill_n(report + 2, 3, 0);
            index.reset();
        }
    }
    for (const Group& g : groups) settle(g, examine(g), ties.get());
}

}  // namespace

}  // namespace kest

void kest::gen_imp_search(DonorSearch search, const int* pool, int seed, int tie_limit, int selector, int reuse,
                          double min_weight, const double* weights, const double* scales, const int* dist_types,
                          const double* cat_dist, int n, int len, const double* data, const int* ncat,
                          const int* codes, int d, double missing_code, int* n_cells, int* cell_recs,
                          int* cell_vars, double* cell_vals, int* report) noexcept
{
    if (report == nullptr) return;
    for (int i = 0; i < 5; ++i) report[i] = 0;
    kest::run_guarded(report, [&] {
        if (!kest::all_given(report, {{pool, 1}, {n_cells, 18}, {cell_recs, 19}, {cell_vars, 20}, {cell_vals, 21}}))
            return;
        // The data rows and the per-variable arrays have no element when
        // len is 0.
        if (len > 0 &&
            !kest::all_given(report, {{weights, 7}, {scales, 8}, {dist_types, 9}, {data, 13}, {ncat, 14}}))
            return;
        if (const int argument = kest::missing_category_table(len, ncat, dist_types, codes, cat_dist))
            return kest::set_error(report, KEST_ERR_NULL_ARGUMENT, argument);
        kest::impute(search, pool, seed, tie_limit, selector, reuse, min_weight, weights, scales, dist_types,
                     cat_dist, n, len, data, ncat, codes, d, missing_code, n_cells, cell_recs, cell_vars, cell_vals,
                     report);
    });
}

extern "C" KEST_API void gen_imp(const int* pool, int seed, int tie_limit, int selector, int reuse,
                                 double min_weight, const double* weights, const double* scales,
                                 const int* dist_types, const double* cat_dist, int n, int len, const double* data,
                                 const int* ncat, const int* codes, int d, double missing_code, int* n_cells,
                                 int* cell_recs, int* cell_vars, double* cell_vals, int* report)
{
    kest::gen_imp_search(kest::DonorSearch::automatic, pool, seed, tie_limit, selector, reuse, min_weight, weights,
                         scales, dist_types, cat_dist, n, len, data, ncat, codes, d, missing_code, n_cells, cell_recs,
                         cell_vars, cell_vals, report);
}
