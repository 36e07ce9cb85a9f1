// The library's random number generator: a multiplicative congruential
// generator with a 60-bit state in four 15-bit limbs (multiplier 13^13,
// modulus 2^60), so that runs are reproducible from a seed on any platform.
// The state is the caller's RandState; there is no global generator.
#pragma once

#include <cstdint>

#include "kest.h"

namespace kest {

// Advances the state one step and returns X / 2^60, clamped to at most
// 0.999999999999999.  A state whose marker is not 1851 starts from the
// default state.
double rand_uniform(RandState* state) noexcept;

// Writes count integers from [lo, hi] into out: with replacement when
// replace > 0, otherwise distinct values in ascending order by selection
// sampling (which draws hi - lo + 1 numbers).  code receives 0, or
// 1 (without replacement and count >= hi - lo + 1), 2 (count < 1),
// 3 (lo < 0), 4 (lo >= hi); on a failure nothing is drawn or written.
void rand_sample(int replace, int count, int lo, int hi, int32_t* out, RandState* state, int* code) noexcept;

}  // namespace kest
