// Replaces the global allocation functions of a test program with ones that
// fail when a budget of allocations is spent and count what is not yet
// released, so that a test can make every allocation of a call fail in turn
// and check that nothing is left behind.  Include it in exactly one source
// file of the program.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

// The replaced operators below pair malloc with free themselves; the compiler
// only sees free applied to what operator new returned.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace allocation_budget {

// -1: unlimited; otherwise the allocations still allowed.
inline long budget = -1;
// Allocations not yet released.
inline long live = 0;

inline void* allocate(std::size_t size)
{
    if (budget == 0) return nullptr;
    if (budget > 0) --budget;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr) ++live;
    return p;
}

inline void release(void* p) noexcept
{
    if (p == nullptr) return;
    --live;
    std::free(p);
}

}  // namespace allocation_budget

void* operator new(std::size_t size)
{
    if (void* p = allocation_budget::allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    if (void* p = allocation_budget::allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocation_budget::allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocation_budget::allocate(size); }
void operator delete(void* p) noexcept { allocation_budget::release(p); }
void operator delete[](void* p) noexcept { allocation_budget::release(p); }
void operator delete(void* p, std::size_t) noexcept { allocation_budget::release(p); }
void operator delete[](void* p, std::size_t) noexcept { allocation_budget::release(p); }
