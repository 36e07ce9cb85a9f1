#include "numeric/permutation.h"

#include <algorithm>
#include <cstdint>

namespace kest {

namespace {

constexpr int32_t marker_bit = 0x40000000;
constexpr int32_t value_mask = 0x3FFFFFFF;

// Largest n whose elements all stay below the marker bit.
constexpr int32_t max_permutation_size = marker_bit;

bool marked(int32_t value) noexcept { return (value & marker_bit) != 0; }

}  // namespace

int invert_permutation(int32_t* values, int n) noexcept
{
    // Beyond 2^30 elements a valid value would carry the marker bit itself,
    // so such sizes are refused like a negative one, before anything is
    // touched.
    if (n < 0 || n > max_permutation_size) return 2;

    for (int i = 0; i < n; ++i) {
        if (values[i] < 0 || values[i] >= n) return 1;
        values[i] |= marker_bit;
    }

    // Walk each cycle once, starting at its first element that is still
    // marked, writing into every element the one before it on the cycle and
    // clearing its marker on the way.  The walk must come back to its start.
    for (int i = 0; i < n; ++i) {
        if (!marked(values[i])) continue;
        int32_t prev = i;
        int32_t j = values[i] & value_mask;
        // An unmarked successor of an unvisited element means that two
        // elements hold the same value: for a permutation every element on a
        // cycle not yet walked is marked, including a fixed point's own.
        if (!marked(values[j])) return 51;
        do {
            const int32_t next = values[j] & value_mask;
            values[j] = prev;
            prev = j;
            j = next;
        } while (marked(values[j]));
        if (prev != i) return 51;
    }
    return 0;
}

namespace {

// Ascending order of the keys with NaN after every number, so that the order
// stays a strict weak order whatever the data hold.
bool before(double x, double y) noexcept { return x < y || (y != y && x == x); }

// The list of entries sorted by key is kept in the output array itself:
// links[j] is the entry after j, or list_end after the last entry.
constexpr int32_t list_end = -1;

// Key of entry j: a cell of the rows listed in rows[], or, with rows null,
// the j-th of the values that stand stride apart from data[column].
struct Keys {
    const double* data;
    const int32_t* rows;
    int64_t column;
    int64_t stride;

    double operator()(int32_t j) const noexcept
    {
        const int64_t row = rows == nullptr ? j : rows[j];
        return data[row * stride + column];
    }
};

// Merges two non-empty sorted lists and returns the head of the result.  On
// equal keys the entry of list a comes first.
int32_t merge(int32_t a, int32_t b, int32_t* links, const Keys& key) noexcept
{
    double ka = key(a);
    double kb = key(b);
    int32_t head;
    int32_t tail;
    if (before(kb, ka)) {
        head = tail = b;
        b = links[b];
        if (b == list_end) {
            links[tail] = a;
            return head;
        }
        kb = key(b);
    } else {
        head = tail = a;
        a = links[a];
        if (a == list_end) {
            links[tail] = b;
            return head;
        }
        ka = key(a);
    }
    for (;;) {
        if (before(kb, ka)) {
            links[tail] = b;
            tail = b;
            b = links[b];
            if (b == list_end) {
                links[tail] = a;
                return head;
            }
            kb = key(b);
        } else {
            links[tail] = a;
            tail = a;
            a = links[a];
            if (a == list_end) {
                links[tail] = b;
                return head;
            }
            ka = key(a);
        }
    }
}

// Writes the stable ascending rank of every entry's key into ranks[m].
void rank_entries(int m, const Keys& key, int32_t* ranks) noexcept
{
    if (m < 1) return;

    // Bottom-up merge sort of a linked list with the output array as the
    // links.  Entries are taken in index order; slot k holds a sorted run of
    // 2^k entries, and a new entry is merged with the occupied slots like a
    // carry in binary addition.  A run in a higher slot holds earlier
    // entries, so it is always the first operand, which keeps the sort
    // stable.  m < 2^31 needs at most 31 slots; no memory is allocated and
    // the work is O(m log m).
    constexpr int slot_count = 32;
    int32_t slot[slot_count];
    for (int32_t& s : slot) s = list_end;

    for (int32_t j = 0; j < m; ++j) {
        ranks[j] = list_end;
        int32_t run = j;
        int k = 0;
        while (slot[k] != list_end) {
            run = merge(slot[k], run, ranks, key);
            slot[k] = list_end;
            ++k;
        }
        slot[k] = run;
    }

    int32_t head = list_end;
    for (int k = 0; k < slot_count; ++k) {
        if (slot[k] == list_end) continue;
        head = head == list_end ? slot[k] : merge(slot[k], head, ranks, key);
    }

    // Walk the sorted list, replacing each link by the entry's rank.
    int32_t rank = 0;
    for (int32_t j = head; j != list_end;) {
        const int32_t next = ranks[j];
        ranks[j] = rank++;
        j = next;
    }
}

}  // namespace

void rank_by_key(const double* data, int m, const int32_t* rows, int column, int stride,
                 int32_t* ranks) noexcept
{
    rank_entries(m, Keys{data, rows, column, stride}, ranks);
}

void rank_values(const double* data, int count, int first, int stride, int32_t* ranks) noexcept
{
    rank_entries(count, Keys{data, nullptr, first, stride}, ranks);
}

void rank_int_keys(const int32_t* keys, int count, int first, int stride, int32_t* ranks) noexcept
{
    if (count < 1) return;
    const auto key = [keys, first, stride](int32_t i) noexcept {
        return keys[first + static_cast<int64_t>(i) * stride];
    };

    // Sort the entry numbers by key into the output array, which then holds
    // the entry at each rank; the stable sort keeps equal keys in entry
    // order.  Inverting that order gives each entry's rank.
    for (int32_t i = 0; i < count; ++i) ranks[i] = i;
    std::stable_sort(ranks, ranks + count, [&key](int32_t a, int32_t b) noexcept { return key(a) < key(b); });
    invert_permutation(ranks, count);
}

}  // namespace kest
