// Simple imputation: every missing cell of a variable gets one value, the
// mean of the variable's observed values when it is continuous and its most
// frequent category code when it is categorical.  The data matrix is only
// read; the filled cells come back as a list in record-major order.
#include <cstddef>
#include <optional>
#include <vector>

#include "internal/guard.h"
#include "kest.h"
#include "numeric/data_matrix.h"
#include "numeric/rounding.h"

namespace kest {

namespace {

// Refused: a number of categories below 0 or above the row length of the
// code table (which would read outside it).  Detail: the variable, from 1.
constexpr int bad_category_count = 10;

// Mean of the observed values of a continuous variable; the missing code
// when it has none.
double mean_of(const DataMatrix& m, int variable) noexcept
{
    double sum = 0.0;
    long long count = 0;
    for (int r = 0; r < m.num_recs; ++r) {
        if (m.missing(r, variable)) continue;
        sum += m.at(r, variable);
        ++count;
    }
    return count == 0 ? m.missing_code : sum / static_cast<double>(count);
}

// Most frequent code of a categorical variable with num_codes codes (in
// row). Observed values are rounded half up and matched to the first equal
// code; a value that matches none, or cannot be rounded to an int, is not
// counted.  The earliest code wins a tie, and the first code stands when
// nothing was counted.  counters holds at least num_codes elements.
double mode_of(const DataMatrix& m, int variable, const int* row, int num_codes, std::vector<int>& counters) noexcept
{
    for (int j = 0; j < num_codes; ++j) counters[static_cast<std::size_t>(j)] = 0;
    for (int r = 0; r < m.num_recs; ++r) {
        if (m.missing(r, variable)) continue;
        const std::optional<int32_t> rounded = round_to_int32(m.at(r, variable));
        if (!rounded) continue;
        for (int j = 0; j < num_codes; ++j) {
            if (row[j] == *rounded) {
                ++counters[static_cast<std::size_t>(j)];
                break;
            }
        }
    }
    int best = 0;
    for (int j = 1; j < num_codes; ++j) {
        if (counters[static_cast<std::size_t>(j)] > counters[static_cast<std::size_t>(best)]) best = j;
    }
    return static_cast<double>(row[best]);
}

void impute(const DataMatrix& m, const int* ncat, const int* codes, int d, int* n_cells, int* cell_recs,
            int* cell_vars, double* cell_vals, int* error)
{
    int most_codes = 0;
    for (int k = 0; k < m.num_vars; ++k) {
        if (ncat[k] < 0 || ncat[k] > d) {
            set_error(error, bad_category_count, k + 1);
            return;
        }
        if (ncat[k] > most_codes) most_codes = ncat[k];
    }
    if (most_codes > 0 && codes == nullptr) {
        set_error(error, KEST_ERR_NULL_ARGUMENT, 5);
        return;
    }

    std::vector<double> fill(static_cast<std::size_t>(m.num_vars));
    std::vector<int> counters(static_cast<std::size_t>(most_codes));
    for (int k = 0; k < m.num_vars; ++k) {
        if (ncat[k] == 0) {
            fill[static_cast<std::size_t>(k)] = mean_of(m, k);
            continue;
        }
        const int* row = codes + static_cast<std::size_t>(k) * static_cast<std::size_t>(d);
        fill[static_cast<std::size_t>(k)] = mode_of(m, k, row, ncat[k], counters);
    }

    int count = 0;
    for (int r = 0; r < m.num_recs; ++r) {
        for (int k = 0; k < m.num_vars; ++k) {
            if (!m.missing(r, k)) continue;
            cell_recs[count] = r;
            cell_vars[count] = k;
            cell_vals[count] = fill[static_cast<std::size_t>(k)];
            ++count;
        }
    }
    *n_cells = count;
}

}  // namespace

}  // namespace kest

extern "C" void simp_imp(int num_recs, int num_vars, const double* data, const int* ncat, const int* codes, int d,
                         double missing_code, int* n_cells, int* cell_recs, int* cell_vars, double* cell_vals,
                         int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{data, 3}, {ncat, 4}, {n_cells, 8}, {cell_recs, 9}, {cell_vars, 10},
                                     {cell_vals, 11}}))
            return;
        if (num_recs < 1) {
            kest::set_error(error, 1, num_recs);
            return;
        }
        if (num_vars < 1) {
            kest::set_error(error, 2, num_vars);
            return;
        }
        const kest::DataMatrix m{data, num_recs, num_vars, missing_code};
        kest::impute(m, ncat, codes, d, n_cells, cell_recs, cell_vars, cell_vals, error);
    });
}
