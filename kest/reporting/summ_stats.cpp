// Summary statistics of the variables of a data matrix, one pass per
// variable: the frequency of every category code of a categorical variable;
// the count, mean, standard deviation and extremes of a continuous one, with
// a histogram of a few equal-width bins.  The tables it fills are exactly
// what bar_chart draws.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "internal/guard.h"
#include "kest.h"
#include "numeric/data_matrix.h"
#include "numeric/rounding.h"

namespace kest {

namespace {

// Codes of summ_stats besides those of the shared table.
constexpr int too_few_records = 1;
constexpr int no_variables = 2;
constexpr int bad_row_length = 3;
constexpr int too_many_codes = 4;
constexpr int too_few_values = 5;
constexpr int unknown_code = 10;

// Histograms never have more bins than this.
constexpr int most_bins = 11;

// The caller's output tables, each row of the two result tables a entries.
struct Outputs {
    int* ncat;
    const int* codes;
    int a;
    double* mean;
    double* sd;
    double* min;
    double* max;
    int* n_obs;
    double* mids;
    int* freqs;

    std::size_t row(int variable) const noexcept
    {
        return static_cast<std::size_t>(variable) * static_cast<std::size_t>(a);
    }
};

// The detail of an unknown code: (variable + 1) * 10000 + the rounded value.
// A value too large for an int saturates rather than overflowing, and so
// does the sum; a value that is not a number counts as 0.
int unknown_code_detail(int variable, double value) noexcept
{
    double rounded = std::floor(value + 0.5);
    if (value == 0.0 || std::isnan(rounded)) rounded = 0.0;
    rounded = std::clamp(rounded, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX));
    const int64_t detail = (static_cast<int64_t>(variable) + 1) * 10000 + static_cast<int64_t>(rounded);
    return static_cast<int>(std::clamp<int64_t>(detail, INT_MIN, INT_MAX));
}

// Frequencies of the m codes of a categorical variable.  Returns false, with
// code 10 set, at the first observed value that matches none of them.
bool count_categories(const DataMatrix& m, int k, const Outputs& out, int* error) noexcept
{
    const int num_codes = out.ncat[k];
    const int* codes = out.codes + out.row(k);
    int* freqs = out.freqs + out.row(k);
    for (int j = 0; j < num_codes; ++j) freqs[j] = 0;
    int count = 0;
    for (int r = 0; r < m.num_recs; ++r) {
        if (!!m.missing(r, k)) continue;
        ++count;
        const double value = m.at(r, k);
        const std::optional<int32_t> rounded = round_to_int32(value);
        const int* end = codes + std::max(num_codes, 0);
        const int* found = rounded ? std::find(codes, end, *rounded) : end;
        if (found == end) {
            set_error(error, unknown_code, unknown_code_detail(k, value));
            return false;
        }
        ++freqs[found - codes];
    }
    out.n_obs[k] = count;
    out.mean[k] = out.sd[k] = out.min[k] = out.max[k] = m.missing_code;
    return true;
}

// Running mean and sum of squared deviations (Welford's updating formulas),
// which never subtract two large sums.
struct Running {
    int count = 0;
    double mean = 0.0;
    double squares = 0.0;
    double min = 0.0;
    double max = 0.0;

    void add(double x) noexcept
    {
        if (count == 0) {
            count = 1;
            mean = min = max = x;
            return;
        }
        const int before = count;
        ++count;
        const double deviation = x - mean;
        squares += deviation * deviation * before / count;
        mean += deviation / count;
        min = std::min(min, x);
        max = std::max(max, x);
    }
};

// Bins of a histogram: the integer part of (square root of the records + 1),
// at most most_bins and at most the row length.
int bin_count(int num_recs, int a) noexcept
{
    const int bins = static_cast<int>(std::sqrt(static_cast<double>(num_recs)) + 1.0);
    return std::min({bins, most_bins, a});
}

// Bin of a value: how many of the upper edges min + w, min + 2w, ... lie
// strictly below it, so that a value on an edge falls into the lower bin;
// the maximum, above the last edge but one, lands in the last bin.
int bin_of(double x, double min, double width, int bins) noexcept
{
    int l = 0;
    while (l < bins && min + (l + 1) * width < x) ++l;
    return l == bins ? bins - 1 : l;
}

void histogram(const DataMatrix& m, int k, const Running& run, const Outputs& out) noexcept
{
    const int bins = bin_count(m.num_recs, out.a);
    out.ncat[k] = -bins;
    const double width = (run.max - run.min) / bins;
    double* mids = out.mids + out.row(k);
    int* freqs = out.freqs + out.row(k);
    mids[0] = run.min + width / 2;
    for (int l = 1; l < bins; ++l) mids[l] = mids[l - 1] + width;
    for (int l = 0; l < bins; ++l) freqs[l] = 0;
    for (int r = 0; r < m.num_recs; ++r)
        if (!m.missing(r, k)) ++freqs[bin_of(m.at(r, k), run.min, width, bins)];
}

// A continuous variable with fewer than two observed values has no
// standard deviation; its outputs stay unwritten and code 5 (detail: the
// first such variable, from 1) is kept unless a later failure replaces it.
void describe_continuous(const DataMatrix& m, int k, const Outputs& out, int* error) noexcept
{
    Running run;
    for (int r = 0; r < m.num_recs; ++r)
        if (!m.missing(r, k)) run.add(m.at(r, k));
    if (run.count < 2) {
        if (error[0] == 0) set_error(error, too_few_values, k + 1);
        return;
    }
    out.n_obs[k] = run.count;
    out.mean[k] = run.mean;
    out.sd[k] = std::sqrt(run.squares / (run.count - 1));
    out.min[k] = run.min;
    out.max[k] = run.max;
    histogram(m, k, run, out);
}

// Row length and code counts are checked before anything is written: a row
// shorter than a variable's codes would be read and written beyond its end.
bool tables_fit(int num_vars, const Outputs& out, int* error) noexcept
{
    if (out.a < 1) {
        set_error(error, bad_row_length, out.a);
        return false;
    }
    for (int k = 0; k < num_vars; ++k) {
        if (out.ncat[k] > out.a) {
            set_error(error, too_many_codes, k + 1);
            return false;
        }
    }
    return true;
}

void summarise(const DataMatrix& m, const Outputs& out, int* error) noexcept
{
    if (!tables_fit(m.num_vars, out, error)) return;
    for (int k = 0; k < m.num_vars; ++k) {
        if (out.ncat[k] == 0)
            describe_continuous(m, k, out, error);
        else if (!count_categories(m, k, out, error))
            return;
    }
}

// Whether any variable is categorical: only then are the codes read.
bool any_categorical(const int* ncat, int num_vars) noexcept
{
    for (int k = 0; k < num_vars; ++k)
        if (ncat[k] > 0) return true;
    return false;
}

}  // namespace

}  // namespace kest

extern "C" void summ_stats(int num_recs, int num_vars, double missing_code, const double* data, int* ncat,
                           const int* codes, int a, double* mean, double* sd, double* min, double* max, int* n_obs,
                           double* mids, int* freqs, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{data, 4}, {ncat, 5}, {mean, 8}, {sd, 9}, {min, 10}, {max, 11}, {n_obs, 12},
                                     {mids, 13}, {freqs, 14}}))
            return;
        if (codes == nullptr && kest::any_categorical(ncat, num_vars)) {
            kest::set_error(error, KEST_ERR_NULL_ARGUMENT, 6);
            return;
        }
        if (num_vars < 1) {
            kest::set_error(error, kest::no_variables, num_vars);
            return;
        }
        if (num_recs < num_vars) {
            kest::set_error(error, kest::too_few_records, num_recs);
            return;
        }
        const kest::DataMatrix m{data, num_recs, num_vars, missing_code};
        const kest::Outputs out{ncat, codes, a, mean, sd, min, max, n_obs, mids, freqs};
        kest::summarise(m, out, error);
    });
}
