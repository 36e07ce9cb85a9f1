// Orders of records: ranking by a key column, and turning a rank array into
// an order array in place.
#pragma once

#include <cstdint>

namespace kest {

// Turns a permutation (rank of each element) in place into its inverse
// (element at each rank), using bit 30 as a marker instead of extra memory.
// Returns 0, 1 (an element outside [0, n)), 2 (n negative) or 51 (not a
// permutation).
int invert_permutation(int32_t* values, int n) noexcept;

// ranks[j] receives the rank (0 .. m-1) of data[rows[j] * stride + column]
// in ascending order, NaN after every number; equal keys are ranked in entry
// order.  Writes nothing for m < 1.  Uses no memory of its own.
void rank_by_key(const double* data, int m, const int32_t* rows, int column, int stride,
                 int32_t* ranks) noexcept;

// The same for the values data[first + i * stride], i = 0 .. count-1:
// ranks[i] receives the rank of value i, ties in the order the values stand.
void rank_values(const double* data, int count, int first, int stride, int32_t* ranks) noexcept;

// Stable ascending ranking of integer keys: ranks[i] receives the rank
// (0 .. count-1) of keys[first + i * stride], and equal keys are ranked in
// the order in which they stand, so that inverting the ranks with
// invert_permutation lists the entries by key and, within one key, in entry
// order.  A single key receives rank 0; nothing is written for count < 1.
// Counts up to 2^30 (the largest invert_permutation takes).  Uses the
// output array as its working order; it may borrow a temporary buffer for
// the sort and does without one when none can be had, so it never fails.
void rank_int_keys(const int32_t* keys, int count, int first, int stride, int32_t* ranks) noexcept;

}  // namespace kest
