// The building blocks of BACON: the weighted means and scatter of a subset,
// the packed Cholesky factorisation and forward substitution, and the
// weighted median of the starting centre.  Internal to the library; the unit
// tests reach them through the static archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "estimation/em_internal.h"

namespace kest {

// Position of element (r, c), c <= r, both counted from 0, in a packed
// symmetric matrix: the lower triangle row by row.
std::size_t packed_index(std::size_t r, std::size_t c) noexcept;

// Outcome of weighted_scatter: code 0 with the total weight, otherwise
//   2  p below 1 (detail p)         1  n below p (detail n)
//   3  no variable takes part        5  no record has a positive weight
struct ScatterResult {
    int code;
    int detail;
    double total;
};

// Means (by taking-part position, k of them) and packed scatter (the
// weighted sum of cross-products of deviations, not divided; k(k+1)/2
// elements) of the variables with a positive include flag, over the records
// with a positive weight (every record when weights is null), formed with
// running updates in one pass.  Nothing is written to packed on code 5
// except zeros.
ScatterResult weighted_scatter(int n, int p, const int* include, const double* data, const double* weights,
                               double* means, double* packed) noexcept;

// Factorises the packed symmetric matrix of order k in place into its
// packed lower Cholesky factor, row by row.  Codes: 1 (detail k) when k is
// below 1; 2 with the 1-based row whose pivot is not a positive finite
// number.
FactorResult packed_factor(int k, double* packed) noexcept;

// Solves L*y = d in place for the packed lower factor L of order k.
void packed_forward(int k, const double* packed, double* y) noexcept;

// Median of values sorted ascending; value q weighs weights[records[q]], or
// 1 when weights is null.  The running weight goes up to half the total: a
// value where it passes half is the median, and where it meets half exactly
// (up to rounding) the median is the mean of that value and the next one
// with a positive weight.  With equal weights this is the plain median: the
// middle value of an odd count, the mean of the two middle values of an even
// one.  Without any positive weight it is the plain median; no values give 0.
double weighted_median(std::span<const double> values, std::span<const int32_t> records,
                       const double* weights) noexcept;

}  // namespace kest
