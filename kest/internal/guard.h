// The one way an export body is run: no exception may cross the C
// boundary, and running out of working storage becomes code 99.
#pragma once

#include <initializer_list>
#include <new>

#include "kest.h"

namespace kest {

inline void set_error(int* error, int code, int detail) noexcept
{
    error[0] = code;
    error[1] = detail;
}

// A pointer the routine cannot do without, and its argument's number in the
// call, counted from 1.
struct Required {
    const void* pointer;
    int argument;
};

// Refuses the first required pointer that is null with
// KEST_ERR_NULL_ARGUMENT and its argument's number.  Returns true when every
// one is given.
inline bool all_given(int* error, std::initializer_list<Required> required) noexcept
{
    for (const Required& r : required) {
        if (r.pointer == nullptr) {
            set_error(error, KEST_ERR_NULL_ARGUMENT, r.argument);
            return false;
        }
    }
    return true;
}

// Runs body(); a failed allocation (or any other escaping exception, which
// can only come from the standard library failing to obtain storage) sets
// the ErrorPair to 99, 0.
template <class Body>
void run_guarded(int* error, Body&& body) noexcept
{
    try {
        body();
    } catch (...) {
        if (error != nullptr) set_error(error, KEST_ERR_NO_MEMORY, 0);
    }
}

}  // namespace kest
