// BACON outlier detection.  A basic subset of records close to the centre of
// the data grows or shrinks, pass by pass, to the records whose squared
// Mahalanobis distance from the subset's own centre stays below a corrected
// chi-square cutoff; the records outside the final subset are the outliers.
// Missing cells are completed by EM for the estimates only: every cell EM
// fills is set back to the missing code before the distances are taken, and
// on every way out of the call.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "estimation/bacon_internal.h"
#include "estimation/distributions.h"
#include "internal/guard.h"
#include "kest.h"
#include "numeric/permutation.h"

namespace kest {

std::size_t packed_index(std::size_t r, std::size_t c) noexcept { return r * (r + 1) / 2 + c; }

ScatterResult weighted_scatter(int n, int p, const int* include, const double* data, const double* weights,
                               double* means, double* packed) noexcept
{
    if (p < 1) return {2, p, 0.0};
    if (n < p) return {1, n, 0.0};
    const std::size_t columns = static_cast<std::size_t>(p);
    std::size_t k = 0;
    for (std::size_t j = 0; j < columns; ++j) k += include[j] > 0 ? 1 : 0;
    if (k == 0) return {3, 0, 0.0};

    for (std::size_t e = 0; e < k * (k + 1) / 2; ++e) packed[e] = 0.0;
    double total = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        const double v = weights == nullptr ? 1.0 : weights[i];
        if (!(v > 0.0)) continue;
        const double* row = data + i * columns;
        if (total == 0.0) {
            // The first record that counts gives the starting means.
            for (std::size_t j = 0, a = 0; j < columns; ++j)
                if (include[j] > 0) means[a++] = row[j];
            total = v;
            continue;
        }
        const double next = total + v;
        const double f = v * total / next;
        const double c = v / next;
        for (std::size_t j = 0, a = 0; j < columns; ++j) {
            if (include[j] <= 0) continue;
            const double da = row[j] - means[a];
            for (std::size_t l = 0, b = 0; l <= j; ++l) {
                if (include[l] <= 0) continue;
                packed[packed_index(a, b)] += f * da * (row[l] - means[b]);
                ++b;
            }
            ++a;
        }
        for (std::size_t j = 0, a = 0; j < columns; ++j)
            if (include[j] > 0) {
                means[a] += c * (row[j] - means[a]);
                ++a;
            }
        total = next;
    }
    // No record with a positive weight: the subset is empty and has no
    // scatter to give.
    if (total == 0.0) return {5, 0, 0.0};
    return {0, 0, total};
}

FactorResult packed_factor(int k, double* packed) noexcept
{
    if (k < 1) return {1, k};
    if (!(packed[0] > 0.0) || !std::isfinite(packed[0])) return {2, 1};
    const std::size_t order = static_cast<std::size_t>(k);
    for (std::size_t r = 0; r < order; ++r) {
        double* row = packed + packed_index(r, 0);
        // The row's off-diagonal part becomes the forward substitution of
        // itself with the rows of the factor above it.
        double squares = 0.0;
        for (std::size_t c = 0; c < r; ++c) {
            const double* factor_row = packed + packed_index(c, 0);
            double value = row[c];
            for (std::size_t q = 0; q < c; ++q) value -= factor_row[q] * row[q];
            row[c] = value / factor_row[c];
            squares += row[c] * row[c];
        }
        const double pivot = row[r] - squares;
        if (!(pivot > 0.0) || !std::isfinite(pivot)) return {2, static_cast<int>(r) + 1};
        row[r] = std::sqrt(pivot);
    }
    return {0, 0};
}

void packed_forward(int k, const double* packed, double* y) noexcept
{
    const std::size_t order = static_cast<std::size_t>(k);
    for (std::size_t r = 0; r < order; ++r) {
        const double* row = packed + packed_index(r, 0);
        double value = y[r];
        for (std::size_t c = 0; c < r; ++c) value -= row[c] * y[c];
        y[r] = value / row[r];
    }
}

double weighted_median(std::span<const double> values, std::span<const int32_t> records,
                       const double* weights) noexcept
{
    const std::size_t m = values.size();
    if (m == 0) return 0.0;
    const auto weight = [&](std::size_t q) { return weights == nullptr ? 1.0 : weights[records[q]]; };
    double total = 0.0;
    for (std::size_t q = 0; q < m; ++q) total += weight(q);
    if (!(total > 0.0)) {
        // No weight to go by: the plain median.
        return m % 2 == 1 ? values[m / 2] : 0.5 * (values[m / 2 - 1] + values[m / 2]);
    }
    // The running weight is compared with half the total up to rounding, so
    // that equal weights of any size split an even count exactly between
    // its two middle values, as the plain median does.
    const double slack = 1e-12 * total;
    double running = 0.0;
    for (std::size_t q = 0; q < m; ++q) {
        if (!(weight(q) > 0.0)) continue;
        running += weight(q);
        const double excess = 2.0 * running - total;
        if (excess < -slack) continue;
        if (excess > slack) return values[q];
        for (std::size_t next = q + 1; next < m; ++next)
            if (weight(next) > 0.0) return 0.5 * (values[q] + values[next]);
        return values[q];
    }
    return values[m - 1];
}

namespace {

constexpr int code_few_records = 1;
constexpr int code_no_variables = 2;
constexpr int code_nothing_takes_part = 3;
constexpr int code_bad_size_factor = 4;
constexpr int code_bad_alpha = 5;
constexpr int code_bad_weights = 9;
constexpr int code_subset_too_large = 11;
constexpr int code_too_few_for_cutoff = 12;
constexpr int code_no_cutoff = 19;
constexpr int code_no_estimates = 20;
constexpr int code_em_failed = 25;
constexpr int code_not_positive_definite = 30;
constexpr int code_no_end = 40;
constexpr double far_away = 1e300;
constexpr double left_out = -1.0;

// EM's settings for completing the records of a subset.
constexpr double em_tolerance = 1e-6;
constexpr int em_passes = 5;

// What an EM code means to the method: its results can be used, or the call
// must end.
bool em_result_usable(int code) noexcept { return code == 0 || code == 20 || code == 21 || code == 40; }

struct Problem {
    int n;
    int p;
    const int* include;
    double* data;
    double missing_code;
    const double* weights;  // null: every record weighs 1
    int k;                  // taking part variables

    double* row(std::size_t i) const noexcept { return data + i * static_cast<std::size_t>(p); }
    bool takes_part(std::size_t j) const noexcept { return include[j] > 0; }
    // A member's entry in the membership array.
    double member_value(std::size_t i) const noexcept { return weights == nullptr ? 1.0 : weights[i]; }
};

// Working storage of one call, obtained once at the start.  EM's cell lists
// double, between estimates, as the order of a ranking and as the distances.
struct Work {
    std::vector<double> centre;     // coordinate-wise medians, by position
    std::vector<double> means;      // by position
    std::vector<double> packed;     // scatter, covariance or factor, k(k+1)/2
    std::vector<double> deviation;  // one record's deviations, by position
    std::vector<int32_t> cell_recs;
    std::vector<int32_t> cell_cols;
    std::vector<double> cell_vals;
};

template <typename T>
bool obtain(std::vector<T>& v, std::size_t count) noexcept
{
    try {
        v.assign(count, T{});
        return true;
    } catch (...) {
        return false;
    }
}

// Obtains the working storage; on failure returns the number of the part
// that could not be had (1 centre, 2 means or packed matrix, 3 and 4 the
// int lists, 5 the double list), else 0.
int obtain_work(Work& w, const Problem& pr) noexcept
{
    const std::size_t p = static_cast<std::size_t>(pr.p);
    const std::size_t cells = static_cast<std::size_t>(pr.n) * p;
    // EM counts its cells in an int, so the lists cannot hold more.
    const bool countable = cells <= static_cast<std::size_t>(std::numeric_limits<int>::max());
    if (!obtain(w.centre, p)) return 1;
    if (!obtain(w.means, p) || !obtain(w.packed, p * (p + 1) / 2) || !obtain(w.deviation, p)) return 2;
    if (!countable || !obtain(w.cell_recs, cells)) return 3;
    if (!obtain(w.cell_cols, cells)) return 4;
    if (!obtain(w.cell_vals, cells)) return 5;
    return 0;
}

// The cells EM filled in one call, set back to the missing code when the
// estimate is done or the call ends, whichever comes first.
class FilledCells {
public:
    FilledCells(const Problem& pr, Work& w) noexcept : pr_(pr), w_(w) {}
    FilledCells(const FilledCells&) = delete;
    FilledCells& operator=(const FilledCells&) = delete;
    ~FilledCells() { restore(); }

    int* count() noexcept { return &count_; }
    int listed() const noexcept { return count_; }

    void restore() noexcept
    {
        for (std::size_t q = 0; q < static_cast<std::size_t>(count_); ++q)
            pr_.row(static_cast<std::size_t>(w_.cell_recs[q]))[w_.cell_cols[q]] = pr_.missing_code;
        count_ = 0;
    }

private:
    const Problem& pr_;
    Work& w_;
    int count_ = 0;  // stays 0 unless EM writes its list
};

// Runs EM on the data with the given weights.  Returns false, with the
// ErrorPair set, when its outcome ends the method.
bool complete_with_em(const Problem& pr, Work& w, const double* weights, FilledCells& filled, int* error)
{
    int em_error[2] = {0, 0};
    em(pr.n, pr.p, pr.include, pr.data, pr.missing_code, em_tolerance, em_passes, weights, filled.count(),
       w.cell_recs.data(), w.cell_cols.data(), w.cell_vals.data(), em_error);
    if (em_result_usable(em_error[0])) return true;
    set_error(error, code_em_failed, 1000 * em_error[0] + em_error[1]);
    return false;
}

// Squared distance of record i from the means, measured with the packed
// factor of the taking part variables: zero deviations stand for missing
// cells, and the sum is scaled by k over the observed count.
double distance(const Problem& pr, Work& w, std::size_t i) noexcept
{
    const double* row = pr.row(i);
    std::size_t missing = 0;
    for (std::size_t j = 0, a = 0; j < static_cast<std::size_t>(pr.p); ++j) {
        if (!pr.takes_part(j)) continue;
        if (row[j] == pr.missing_code) {
            w.deviation[a] = 0.0;
            ++missing;
        } else {
            w.deviation[a] = row[j] - w.means[a];
        }
        ++a;
    }
    const std::size_t k = static_cast<std::size_t>(pr.k);
    if (missing == k) return far_away;
    packed_forward(pr.k, w.packed.data(), w.deviation.data());
    double sum = 0.0;
    for (std::size_t a = 0; a < k; ++a) sum += w.deviation[a] * w.deviation[a];
    return static_cast<double>(k) * sum / static_cast<double>(k - missing);
}

// The usable count after EM: the records, less the missing cells counted in
// records, k cells to a record and a part of a record counted whole.  A
// record without any observed cell is one record less, as in the other
// start modes; counting each missing cell as a whole record would make the
// count negative on a survey with a fifth of its cells missing.
int64_t usable_after_em(const Problem& pr, int missing_cells) noexcept
{
    const int64_t k = pr.k;
    return static_cast<int64_t>(pr.n) - (static_cast<int64_t>(missing_cells) + k - 1) / k;
}

// Starting distances from the scatter of all records after EM (start mode
// 1).  Returns the usable count w, or nothing with the ErrorPair set.
std::optional<int64_t> distances_after_em(const Problem& pr, Work& w, double* distances, int* error)
{
    FilledCells filled(pr, w);
    if (!complete_with_em(pr, w, pr.weights, filled, error)) return std::nullopt;
    const ScatterResult s = weighted_scatter(pr.n, pr.p, pr.include, pr.data, pr.weights, w.means.data(),
                                             w.packed.data());
    const int64_t usable = usable_after_em(pr, filled.listed());
    filled.restore();
    if (s.code != 0) {
        set_error(error, code_no_estimates, s.code);
        return std::nullopt;
    }
    const FactorResult f = packed_factor(pr.k, w.packed.data());
    if (f.code != 0) {
        set_error(error, code_not_positive_definite, f.detail);
        return std::nullopt;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(pr.n); ++i) distances[i] = distance(pr, w, i);
    return usable;
}

// Median of the observed values of column j, weighted when the records
// carry weights.  The observed values are taken in ascending order wherever
// the missing code would sort among them.
double column_median(const Problem& pr, Work& w, std::size_t j)
{
    int32_t* order = w.cell_recs.data();
    rank_values(pr.data, pr.n, static_cast<int>(j), pr.p, order);
    invert_permutation(order, pr.n);
    // The lists are free until the iteration: the observed values go to
    // the double list in ascending order, their records to an int list.
    double* values = w.cell_vals.data();
    int32_t* records = w.cell_cols.data();
    std::size_t observed = 0;
    for (std::size_t r = 0; r < static_cast<std::size_t>(pr.n); ++r) {
        const int32_t i = order[r];
        const double x = pr.row(static_cast<std::size_t>(i))[j];
        if (x == pr.missing_code) continue;
        values[observed] = x;
        records[observed] = i;
        ++observed;
    }
    return weighted_median(std::span<const double>(values, observed), std::span<const int32_t>(records, observed),
                           pr.weights);
}

// Starting distances to the coordinate-wise medians (start modes other than
// 1).  Returns the usable count w: the records without a missing cell.
int64_t distances_to_medians(const Problem& pr, Work& w, double* distances)
{
    for (std::size_t j = 0, a = 0; j < static_cast<std::size_t>(pr.p); ++j)
        if (pr.takes_part(j)) w.centre[a++] = column_median(pr, w, j);
    int64_t complete = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(pr.n); ++i) {
        const double* row = pr.row(i);
        double sum = 0.0;
        bool has_missing = false;
        for (std::size_t j = 0, a = 0; j < static_cast<std::size_t>(pr.p); ++j) {
            if (!pr.takes_part(j)) continue;
            if (row[j] == pr.missing_code) has_missing = true;
            const double d = row[j] - w.centre[a++];
            sum += d * d;
        }
        distances[i] = has_missing ? far_away : sum;
        if (!has_missing) ++complete;
    }
    return complete;
}

// The c*k records nearest the centre form the starting subset.
void choose_starting_subset(const Problem& pr, Work& w, const double* distances, int64_t size, int start,
                            double* member)
{
    int32_t* order = w.cell_recs.data();
    rank_values(distances, pr.n, 0, 1, order);
    invert_permutation(order, pr.n);
    for (std::size_t r = 0; r < static_cast<std::size_t>(pr.n); ++r) {
        const std::size_t i = static_cast<std::size_t>(order[r]);
        if (static_cast<int64_t>(r) < size)
            member[i] = pr.member_value(i);
        else
            member[i] = start < 1 && distances[i] == far_away ? left_out : 0.0;
    }
}

// One pass: estimates from the current subset, then the new subset.
// Returns the new subset's size, or -1 with the ErrorPair set.
int64_t next_subset(const Problem& pr, Work& w, int start, int64_t usable, int64_t previous, double chi_square,
                    double* member, int* error)
{
    ScatterResult s;
    {
        FilledCells filled(pr, w);
        if (start >= 1 && usable != pr.n && !complete_with_em(pr, w, member, filled, error)) return -1;
        s = weighted_scatter(pr.n, pr.p, pr.include, pr.data, member, w.means.data(), w.packed.data());
    }
    if (s.code != 0) {
        set_error(error, code_no_estimates, s.code);
        return -1;
    }
    // A single unweighted member leaves a zero scatter, which the
    // factorisation refuses; it is not divided by zero.
    const std::size_t k = static_cast<std::size_t>(pr.k);
    if (pr.weights != nullptr || s.total > 1.0) {
        const double scale = pr.weights == nullptr ? 1.0 / (s.total - 1.0) : 1.0 / s.total;
        for (std::size_t e = 0; e < k * (k + 1) / 2; ++e) w.packed[e] *= scale;
    }
    const FactorResult f = packed_factor(pr.k, w.packed.data());
    if (f.code != 0) {
        set_error(error, code_not_positive_definite, f.detail);
        return -1;
    }

    const double kd = static_cast<double>(pr.k);
    const double wd = static_cast<double>(usable);
    const int64_t h = (usable + pr.k + 1) / 2;
    const double hd = static_cast<double>(h);
    const double rd = static_cast<double>(previous);
    const double c_hr = std::max(0.0, (hd - rd) / (hd + rd));
    const double cutoff = chi_square * (1.0 + (kd + 1.0) / (wd - kd) + 1.0 / (wd - hd - kd) + c_hr);

    int64_t members = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(pr.n); ++i) {
        if (member[i] < 0.0) continue;
        if (distance(pr, w, i) < cutoff) {
            member[i] = pr.member_value(i);
            ++members;
        } else {
            member[i] = 0.0;
        }
    }
    return members;
}

bool arguments_valid(const Problem& pr, int c, double alpha, int* error)
{
    if (pr.p < 1) {
        set_error(error, code_no_variables, pr.p);
        return false;
    }
    if (pr.n <= pr.p) {
        set_error(error, code_few_records, pr.n);
        return false;
    }
    if (c < 1) {
        set_error(error, code_bad_size_factor, 0);
        return false;
    }
    if (!(alpha > 0.0 && alpha < 1.0)) {
        set_error(error, code_bad_alpha, 0);
        return false;
    }
    if (pr.weights != nullptr) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(pr.n); ++i) {
            // An infinite weight would turn the subset's estimates into NaN.
            if (!(pr.weights[i] >= 0.0) || !std::isfinite(pr.weights[i])) {
                set_error(error, code_bad_weights, 0);
                return false;
            }
        }
    }
    return true;
}

void find_outliers(Problem& pr, int c, double alpha, int start, double* member, int* error)
{
    if (!arguments_valid(pr, c, alpha, error)) return;
    Work w;
    if (const int part = obtain_work(w, pr); part != 0) {
        set_error(error, KEST_ERR_NO_MEMORY, part);
        return;
    }
    pr.k = 0;
    for (std::size_t j = 0; j < static_cast<std::size_t>(pr.p); ++j) pr.k += pr.takes_part(j) ? 1 : 0;
    if (pr.k == 0) {
        set_error(error, code_nothing_takes_part, 0);
        return;
    }

    // The distances live in the double list until the subset is chosen.
    double* distances = w.cell_vals.data();
    const std::optional<int64_t> counted =
        start == 1 ? distances_after_em(pr, w, distances, error) : distances_to_medians(pr, w, distances);
    if (!counted) return;
    const int64_t usable = *counted;

    const int64_t size = static_cast<int64_t>(c) * pr.k;
    if (size >= usable) {
        set_error(error, code_subset_too_large, start == 1 ? pr.k : static_cast<int>(usable));
        return;
    }
    if (usable - (usable + pr.k + 1) / 2 - pr.k <= 0) {
        set_error(error, code_too_few_for_cutoff, static_cast<int>(usable));
        return;
    }
    choose_starting_subset(pr, w, distances, size, start, member);

    int32_t pair[2] = {0, 0};
    const double chi_square = chi_square_percentage_point(1.0 - alpha / static_cast<double>(usable), pr.k, pair);
    if (pair[0] != 0) {
        set_error(error, code_no_cutoff, pair[0]);
        return;
    }

    int64_t previous = usable;
    for (int pass = 0; pass < KEST_BACON_MAX_PASSES; ++pass) {
        const int64_t members = next_subset(pr, w, start, usable, previous, chi_square, member, error);
        if (members < 0 || members == previous) return;
        previous = members;
    }
    set_error(error, code_no_end, KEST_BACON_MAX_PASSES);
}

}  // namespace

}  // namespace kest

extern "C" void bacon(int n, int p, const int* include, double* data, double missing_code, int c, double alpha,
                      int start, double* member, const double* weights, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{include, 3}, {data, 4}, {member, 9}})) return;
        kest::Problem pr{n, p, include, data, missing_code, weights, 0};
        kest::find_outliers(pr, c, alpha, start, member, error);
    });
}
