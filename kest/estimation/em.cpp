// EM estimation under a multivariate normal model.  Every missing cell of an
// included variable is replaced by its regression on the observed cells of
// its record, computed from the means and covariance of the previous pass;
// the means and covariance of the completed records are then formed again
// with running (optionally weighted) updates, and the passes repeat until
// the means settle.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "estimation/em_internal.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

FactorResult cholesky_factor(int m, double* a, int lda, double* inv_diag) noexcept
{
    if (m <= 0) return {1, m};
    if (lda < m) return {3, lda};
    const std::size_t stride = static_cast<std::size_t>(lda);
    const std::size_t order = static_cast<std::size_t>(m);
    for (std::size_t j = 0; j < order; ++j) {
        double* row_j = a + j * stride;
        double pivot = row_j[j];
        for (std::size_t l = 0; l < j; ++l) pivot -= row_j[l] * row_j[l];
        // A pivot that is not a positive finite number (NaN included) means
        // the block cannot be a covariance of usable data.
        if (!(pivot > 0.0) || !std::isfinite(pivot)) return {2, static_cast<int>(j) + 1};
        const double diag = std::sqrt(pivot);
        row_j[j] = diag;
        inv_diag[j] = 1.0 / diag;
        for (std::size_t i = j + 1; i < order; ++i) {
            double* row_i = a + i * stride;
            double value = row_j[i];  // a_ji, above the diagonal
            for (std::size_t l = 0; l < j; ++l) value -= row_i[l] * row_j[l];
            row_i[j] = value / diag;
        }
    }
    return {0, 0};
}

void cholesky_solve(int m, int s, const double* l, int ldl, const double* inv_diag, const double* b, int ldb,
                    double* x, int ldx) noexcept
{
    const std::size_t sl = static_cast<std::size_t>(ldl);
    const std::size_t sb = static_cast<std::size_t>(ldb);
    const std::size_t sx = static_cast<std::size_t>(ldx);
    for (int c = 0; c < s; ++c) {
        const std::size_t col = static_cast<std::size_t>(c);
        for (int r = 0; r < m; ++r) {
            const std::size_t row = static_cast<std::size_t>(r);
            double value = b[row * sb + col];
            for (std::size_t q = 0; q < row; ++q) value -= l[row * sl + q] * x[q * sx + col];
            x[row * sx + col] = value * inv_diag[row];
        }
        for (int r = m - 1; r >= 0; --r) {
            const std::size_t row = static_cast<std::size_t>(r);
            double value = x[row * sx + col];
            for (std::size_t q = row + 1; q < static_cast<std::size_t>(m); ++q) value -= l[q * sl + row] * x[q * sx + col];
            x[row * sx + col] = value * inv_diag[row];
        }
    }
}

namespace {

constexpr int code_few_records = 1;
constexpr int code_no_variables = 2;
constexpr int code_bad_tolerance = 5;
constexpr int code_bad_max_passes = 6;
constexpr int code_bad_weights = 9;
constexpr int code_nothing_to_do = 20;
constexpr int code_all_missing_records = 21;
constexpr int code_unobserved_variable = 22;
constexpr int code_not_converged = 40;
constexpr int detail_weight_sum = -1;
constexpr int detail_nothing_missing = 1;
constexpr int detail_not_positive_definite = 2;
constexpr int detail_storage = 1;
constexpr double smallest_tolerance = 1e-16;

struct Problem {
    int n;
    int p;
    double* data;
    double missing_code;
    const double* weights;  // null: every record weighs 1
    double total_weight;    // W

    double* row(std::size_t record) const noexcept { return data + record * static_cast<std::size_t>(p); }
    // Whether a record enters the means, the covariance and the passes.
    bool takes_part(std::size_t record) const noexcept { return weights == nullptr || weights[record] > 0.0; }
    double weight(std::size_t record) const noexcept { return weights == nullptr ? 1.0 : weights[record]; }
};

// Records with the same missing positions regress on the same block of the
// covariance, which stays fixed for a whole pass: the coefficients are
// formed for the first such record of a pass and reused by the others, and
// the positions themselves are sorted out once per call.  The computation
// is the one a record would do on its own, so the results are the same to
// the last bit.  The coefficients of all patterns are kept within a fixed
// budget; a pattern beyond it forms them record by record.
class PatternCache {
public:
    // A missing pattern: s missing positions, then the k - s observed ones,
    // in ascending order each; the coefficients (row stride s) or null.
    struct Pattern {
        const int* missing;
        const int* observed;
        int s;
        double* coefficients;
        bool formed;  // the coefficients were formed in this pass already
    };

    // Assigns a pattern to every record that takes part with some but not
    // all of its included cells missing.  Without the storage for it the
    // cache stays empty and every record sorts out its own positions.
    void build(const Problem& pr, const std::vector<int>& columns, int k) noexcept
    {
        try {
            assign(pr, columns, k);
        } catch (...) {
            of_record_.clear();
            slots_.clear();
            positions_.clear();
            coefficients_.clear();
        }
    }

    // Record i's pattern in the given pass (counted from 1), or nothing
    // when the record has none here.  Asking marks the coefficients as
    // formed in this pass: the caller forms them when they were not.
    std::optional<Pattern> find(std::size_t i, std::int64_t pass) noexcept
    {
        if (of_record_.empty() || of_record_[i] == none) return std::nullopt;
        Slot& slot = slots_[static_cast<std::size_t>(of_record_[i])];
        const int* missing = positions_.data() + slot.first;
        Pattern pattern{missing, missing + slot.s, slot.s, nullptr, false};
        if (slot.offset != none) {
            pattern.coefficients = coefficients_.data() + slot.offset;
            pattern.formed = slot.formed_in == pass;
            slot.formed_in = pass;
        }
        return pattern;
    }

private:
    static constexpr int none = -1;
    static constexpr std::size_t budget = std::size_t{1} << 22;  // doubles, 32 MiB

    void assign(const Problem& pr, const std::vector<int>& columns, int k)
    {
        const std::size_t n = static_cast<std::size_t>(pr.n);
        of_record_.assign(n, none);
        std::unordered_map<std::string, int> ids;
        std::string key;
        std::size_t stored = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!pr.takes_part(i)) continue;
            const double* row = pr.row(i);
            key.clear();
            int s = 0;
            for (int a = 0; a < k; ++a) {
                if (row[columns[static_cast<std::size_t>(a)]] != pr.missing_code) continue;
                key.append(reinterpret_cast<const char*>(&a), sizeof a);
                ++s;
            }
            if (s == 0 || s == k) continue;
            const auto [it, added] = ids.try_emplace(key, static_cast<int>(slots_.size()));
            if (added) {
                Slot slot{none, 0, static_cast<std::int64_t>(positions_.size()), s};
                for (int a = 0; a < k; ++a)
                    if (row[columns[static_cast<std::size_t>(a)]] == pr.missing_code) positions_.push_back(a);
                for (int a = 0; a < k; ++a)
                    if (row[columns[static_cast<std::size_t>(a)]] != pr.missing_code) positions_.push_back(a);
                const std::size_t size = static_cast<std::size_t>(k - s) * static_cast<std::size_t>(s);
                if (stored + size <= budget) {
                    slot.offset = static_cast<std::int64_t>(stored);
                    stored += size;
                }
                slots_.push_back(slot);
            }
            of_record_[i] = it->second;
        }
        coefficients_.assign(stored, 0.0);
    }

    struct Slot {
        std::int64_t offset;     // into coefficients_, or none
        std::int64_t formed_in;  // pass of the last forming
        std::int64_t first;      // into positions_
        int s;                   // missing positions
    };
    std::vector<int> of_record_;  // pattern of each record, or none
    std::vector<Slot> slots_;
    std::vector<int> positions_;
    std::vector<double> coefficients_;
};

// Working storage of one call, sized by p once and reused for every record
// and pass.  Means are indexed by included position; the covariance and the
// per-record blocks are p by p with row stride p.
struct Work {
    std::vector<double> t, u;         // current and next means
    std::vector<double> S, C;         // current and next covariance
    std::vector<int> missing, observed;  // positions of the current record
    std::vector<double> soo, som, coef;  // observed block, observed-by-missing block, coefficients
    std::vector<int> columns;         // column of each included position
    std::vector<int> position;        // included position of each column, -1 when excluded
    std::vector<double> inv_diag;     // reciprocals of the factor's diagonal
    std::vector<double> deviation;    // the current record's deviations from u
    PatternCache patterns;

    explicit Work(int p)
    {
        const std::size_t v = static_cast<std::size_t>(p);
        // p by p blocks may need more bytes than a 32-bit size can count.
        if (v > std::numeric_limits<std::size_t>::max() / sizeof(double) / (v == 0 ? 1 : v)) throw std::bad_alloc();
        const std::size_t vv = v * v;
        t.assign(v, 0.0);
        u.assign(v, 0.0);
        S.assign(vv, 0.0);
        C.assign(vv, 0.0);
        missing.assign(v, 0);
        observed.assign(v, 0);
        soo.assign(vv, 0.0);
        som.assign(vv, 0.0);
        coef.assign(vv, 0.0);
        columns.assign(v, 0);
        position.assign(v, -1);
        inv_diag.assign(v, 0.0);
        deviation.assign(v, 0.0);
    }
};


// Writes the current value of every listed cell and the count.  The record
// and column of each entry were stored when the list was built.
void write_list(const Problem& pr, std::int64_t count, int* n_cells, const int* cell_recs, const int* cell_cols,
                double* cell_vals) noexcept
{
    for (std::int64_t q = 0; q < count; ++q) {
        const std::size_t at = static_cast<std::size_t>(q);
        cell_vals[at] = pr.row(static_cast<std::size_t>(cell_recs[at]))[cell_cols[at]];
    }
    *n_cells = static_cast<int>(count);
}

// Mirrors the lower triangle of a k by k block (row stride p) into its upper.
void mirror(std::vector<double>& m, int k, std::size_t p) noexcept
{
    for (std::size_t a = 0; a < static_cast<std::size_t>(k); ++a) {
        for (std::size_t b = 0; b < a; ++b) m[b * p + a] = m[a * p + b];
    }
}

// Replaces the s missing cells of record i (listed by column in
// cell_cols) by their regression on its observed cells, with the means t
// and covariance S of the previous pass.  Returns false when the observed
// block of S is not positive definite.
bool fill_by_regression(const Problem& pr, Work& w, int k, std::size_t i, int s, const int* cell_cols,
                        std::int64_t pass) noexcept
{
    const std::size_t p = static_cast<std::size_t>(pr.p);
    const int h = k - s;
    const std::size_t hh = static_cast<std::size_t>(h);
    const std::size_t ss = static_cast<std::size_t>(s);
    const int* missing = w.missing.data();
    const int* observed = w.observed.data();
    double* coef = w.coef.data();
    std::size_t coef_stride = p;
    bool formed = false;
    if (const std::optional<PatternCache::Pattern> pattern = w.patterns.find(i, pass)) {
        missing = pattern->missing;
        observed = pattern->observed;
        if (pattern->coefficients != nullptr) {
            coef = pattern->coefficients;
            coef_stride = ss;
            formed = pattern->formed;
        }
    } else {
        for (std::size_t c = 0; c < ss; ++c) w.missing[c] = w.position[static_cast<std::size_t>(cell_cols[c])];
        for (int a = 0, next = 0, r = 0; a < k; ++a) {
            if (next < s && w.missing[static_cast<std::size_t>(next)] == a)
                ++next;
            else
                w.observed[static_cast<std::size_t>(r++)] = a;
        }
    }

    if (!formed) {
        for (std::size_t r = 0; r < hh; ++r) {
            const double* s_row = w.S.data() + static_cast<std::size_t>(observed[r]) * p;
            for (std::size_t c = 0; c < hh; ++c) w.soo[r * p + c] = s_row[observed[c]];
            for (std::size_t c = 0; c < ss; ++c) w.som[r * p + c] = s_row[missing[c]];
        }
        if (cholesky_factor(h, w.soo.data(), pr.p, w.inv_diag.data()).code != 0) return false;
        cholesky_solve(h, s, w.soo.data(), pr.p, w.inv_diag.data(), w.som.data(), pr.p, coef,
                       static_cast<int>(coef_stride));
    }

    // The observed deviations serve every missing cell of the record.
    double* row = pr.row(i);
    double* e = w.deviation.data();
    for (std::size_t r = 0; r < hh; ++r) {
        const std::size_t o = static_cast<std::size_t>(observed[r]);
        e[r] = row[w.columns[o]] - w.t[o];
    }
    for (std::size_t c = 0; c < ss; ++c) {
        const std::size_t a = static_cast<std::size_t>(missing[c]);
        double value = w.t[a];
        for (std::size_t r = 0; r < hh; ++r) value += e[r] * coef[r * coef_stride + c];
        row[w.columns[a]] = value;
    }
    return true;
}

void estimate(const int* include, Problem& pr, double tol, int maxit, bool share, int* n_cells, int* cell_recs,
              int* cell_cols, double* cell_vals, int* error)
{
    if (pr.n < 2) {
        set_error(error, code_few_records, pr.n);
        return;
    }
    if (pr.p < 1) {
        set_error(error, code_no_variables, pr.p);
        return;
    }
    if (maxit < 1) {
        set_error(error, code_bad_max_passes, maxit);
        return;
    }
    if (!(tol >= smallest_tolerance)) {
        set_error(error, code_bad_tolerance, 0);
        return;
    }
    const std::size_t n = static_cast<std::size_t>(pr.n);
    const std::size_t p = static_cast<std::size_t>(pr.p);
    pr.total_weight = static_cast<double>(pr.n);
    if (pr.weights != nullptr) {
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double w = pr.weights[i];
            // An infinite weight would turn every running update into NaN.
            if (!(w >= 0.0) || !std::isfinite(w)) {
                set_error(error, code_bad_weights, static_cast<int>(i));
                return;
            }
            sum += w;
        }
        if (sum == 0.0 || !std::isfinite(sum)) {
            set_error(error, code_bad_weights, detail_weight_sum);
            return;
        }
        pr.total_weight = sum;
    }

    std::vector<Work> holder;
    try {
        holder.reserve(1);
        holder.emplace_back(pr.p);
    } catch (...) {
        set_error(error, KEST_ERR_NO_MEMORY, detail_storage);
        return;
    }
    Work& w = holder.front();

    int k = 0;
    for (int j = 0; j < pr.p; ++j) {
        if (include[j] > 0) {
            w.columns[static_cast<std::size_t>(k)] = j;
            w.position[static_cast<std::size_t>(j)] = k;
            ++k;
        }
    }
    const std::size_t kk = static_cast<std::size_t>(k);

    // Starting means over the records that take part, and the count of
    // their missing cells.
    std::int64_t missing_taking_part = 0;
    for (std::size_t a = 0; a < kk; ++a) {
        const std::size_t j = static_cast<std::size_t>(w.columns[a]);
        double sum = 0.0;
        double weight = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!pr.takes_part(i)) continue;
            const double x = pr.row(i)[j];
            if (x == pr.missing_code) {
                ++missing_taking_part;
                continue;
            }
            sum += pr.weight(i) * x;
            weight += pr.weight(i);
        }
        if (weight == 0.0) {
            // No observed cell: the variable has no mean to start from.
            set_error(error, code_unobserved_variable, static_cast<int>(j));
            return;
        }
        w.t[a] = sum / weight;
    }
    if (missing_taking_part == 0) {
        *n_cells = 0;
        set_error(error, code_nothing_to_do, detail_nothing_missing);
        return;
    }

    if (share) w.patterns.build(pr, w.columns, k);

    // The list holds every missing cell of an included variable, whatever
    // the record's weight; each is filled with its variable's starting mean.
    std::int64_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double* row = pr.row(i);
        for (std::size_t a = 0; a < kk; ++a) {
            const int j = w.columns[a];
            if (row[j] != pr.missing_code) continue;
            cell_recs[count] = static_cast<int>(i);
            cell_cols[count] = j;
            row[j] = w.t[a];
            ++count;
        }
    }

    // Starting covariance of the filled matrix, divisor W.
    for (std::size_t i = 0; i < n; ++i) {
        if (!pr.takes_part(i)) continue;
        const double* row = pr.row(i);
        const double wi = pr.weight(i);
        for (std::size_t a = 0; a < kk; ++a) {
            const double da = row[w.columns[a]] - w.t[a];
            for (std::size_t b = 0; b <= a; ++b) w.S[a * p + b] += wi * da * (row[w.columns[b]] - w.t[b]);
        }
    }
    for (std::size_t a = 0; a < kk; ++a) {
        for (std::size_t b = 0; b <= a; ++b) w.S[a * p + b] /= pr.total_weight;
    }
    mirror(w.S, k, p);

    std::int64_t passes = 0;
    for (;;) {
        for (std::size_t a = 0; a < kk; ++a) {
            w.u[a] = 0.0;
            for (std::size_t b = 0; b < kk; ++b) w.C[a * p + b] = 0.0;
        }
        int all_missing = 0;
        double running = 0.0;  // V
        std::int64_t cursor = 0;

        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t first_cell = cursor;
            while (cursor < count && cell_recs[cursor] == static_cast<int>(i)) ++cursor;
            const int s = static_cast<int>(cursor - first_cell);
            if (!pr.takes_part(i)) continue;  // keeps its starting means
            double* row = pr.row(i);

            if (s == k) {
                ++all_missing;
                set_error(error, code_all_missing_records, all_missing);
                for (std::size_t a = 0; a < kk; ++a) row[w.columns[a]] = w.t[a];
            } else if (s > 0 && !fill_by_regression(pr, w, k, i, s, cell_cols + first_cell, passes + 1)) {
                set_error(error, code_nothing_to_do, detail_not_positive_definite);
                // The caller still learns every cell changed so far.
                write_list(pr, count, n_cells, cell_recs, cell_cols, cell_vals);
                return;
            }

            double c_step;
            double f_step;
            if (pr.weights == nullptr) {
                const double number = static_cast<double>(i) + 1.0;
                c_step = 1.0 / number;
                f_step = (number - 1.0) / (number * static_cast<double>(pr.n));
            } else {
                const double wi = pr.weights[i];
                const double next = running + wi;
                c_step = next > 0.0 ? wi / next : wi;
                f_step = running * c_step / pr.total_weight;
                running = next;
            }
            // The deviations are gathered first so that the update runs
            // over contiguous memory.
            double* d = w.deviation.data();
            for (std::size_t a = 0; a < kk; ++a) d[a] = row[w.columns[a]] - w.u[a];
            for (std::size_t a = 0; a < kk; ++a) {
                const double fa = f_step * d[a];
                double* c_row = w.C.data() + a * p;
                for (std::size_t b = 0; b <= a; ++b) c_row[b] += fa * d[b];
            }
            for (std::size_t a = 0; a < kk; ++a) w.u[a] += c_step * d[a];
        }
        mirror(w.C, k, p);

        bool converged = true;
        for (std::size_t a = 0; a < kk; ++a) {
            if (!(std::fabs(w.u[a] - w.t[a]) <= tol)) converged = false;
        }
        w.t.swap(w.u);
        w.S.swap(w.C);

        ++passes;
        if (passes > maxit) {
            set_error(error, code_not_converged, maxit);
            break;
        }
        if (converged) break;
    }
    write_list(pr, count, n_cells, cell_recs, cell_cols, cell_vals);
}

}  // namespace

}  // namespace kest

namespace kest {

void em_sharing(bool share, int n, int p, const int* include, double* data, double missing_code, double tol,
                int maxit, const double* weights, int* n_cells, int* cell_recs, int* cell_cols, double* cell_vals,
                int* error) noexcept
{
    if (error == nullptr || error[0] > 0) return;
    run_guarded(error, [&] {
        set_error(error, 0, 0);
        if (!all_given(error, {{include, 3}, {data, 4}, {n_cells, 9}, {cell_recs, 10}, {cell_cols, 11},
                               {cell_vals, 12}}))
            return;
        Problem pr{n, p, data, missing_code, weights, 0.0};
        estimate(include, pr, tol, maxit, share, n_cells, cell_recs, cell_cols, cell_vals, error);
    });
}

}  // namespace kest

extern "C" void em(int n, int p, const int* include, double* data, double missing_code, double tol, int maxit,
                   const double* weights, int* n_cells, int* cell_recs, int* cell_cols, double* cell_vals, int* error)
{
    kest::em_sharing(true, n, p, include, data, missing_code, tol, maxit, weights, n_cells, cell_recs, cell_cols,
                     cell_vals, error);
}
