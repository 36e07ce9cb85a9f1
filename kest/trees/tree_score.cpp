// Scoring: each record goes down a grown tree to a leaf, which gives its
// prediction (the leaf value, the modal category, or a random donor among
// the leaf's kept values) and the leaf's spread.
//
// A grown tree is scattered over the heap, two cache misses per level (the
// node, then its split values).  Each call therefore first lays the tree out
// as one compact array, and walks a block of records down it together so
// that their memory waits overlap.  Random numbers are drawn afterwards, in
// record order, exactly as a walk of one record at a time would draw them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <memory>
#include <vector>

#include "internal/guard.h"
#include "kest.h"
#include "numeric/random.h"
#include "trees/grow.h"

namespace kest {

namespace {

enum Method { method_value = 1, method_mode = 2, method_donor = 3 };

// A leaf's spread as scoring reports it: 0 when negative or not a number,
// and at most 1 in a classification tree.
double reported_spread(const TreeNode* leaf) noexcept
{
    double spread = leaf->spread;
    if (!(spread >= 0.0)) spread = 0.0;
    if (leaf->kind == 2 && spread > 1.0) spread = 1.0;
    return spread;
}

// A node of the compact tree, 16 bytes, so that four share a cache line.
// Children of an internal node stand side by side: the right child follows
// the left one.
struct FlatNode {
    int32_t test;  // the split column (categorical_flag added for a categorical split), or a mark
    int32_t link;  // internal: index of the left child; leaf: index in the leaf table
    union {
        double threshold;  // continuous split
        double value;      // leaf
        struct {
            int32_t size;         // number of categories
            uint32_t directions;  // packed directions, or the first in the direction table
        } categories;
    };
};

static_assert(sizeof(FlatNode) == 16);

constexpr int32_t leaf_mark = -1;
constexpr int32_t broken_mark = -2;  // a node that does not fit a tree or the data
// Split columns are below 2^29 (a row of more columns would take 4 GiB);
// the bits above mark the kind of split.
constexpr int32_t categorical_flag = int32_t{1} << 29;  // a categorical split of up to 16 categories
constexpr int32_t table_flag = int32_t{1} << 30;        // a categorical split with a direction table
constexpr int32_t column_mask = categorical_flag - 1;
constexpr int32_t packed_categories = 16;

// What scoring needs of a leaf besides its value.
struct LeafInfo {
    double spread;  // as reported
    int32_t int_count;
};

class FlatTree {
public:
    // Nodes are visited in pre-order, the order in which a grower or the
    // loader allocated them, so the walk over the original tree mostly
    // moves forward through memory.  Children are given their pair of slots
    // when their parent is laid out.
    FlatTree(const TreeNode* root, int num_vars)
    {
        nodes_.push_back(FlatNode{});
        origin_.push_back(root);
        std::vector<int32_t> pending{0};
        while (!pending.empty()) {
            const int32_t i = pending.back();
            pending.pop_back();
            lay_out(static_cast<std::size_t>(i), num_vars);
            const FlatNode& n = nodes_[static_cast<std::size_t>(i)];
            if (n.test >= 0) {
                pending.push_back(n.link + 1);
                pending.push_back(n.link);
            }
        }
    }

    const FlatNode& node(int32_t i) const noexcept { return nodes_[static_cast<std::size_t>(i)]; }
    const TreeNode* origin(int32_t i) const noexcept { return origin_[static_cast<std::size_t>(i)]; }
    const LeafInfo& leaf(const FlatNode& n) const noexcept { return leaves_[static_cast<std::size_t>(n.link)]; }

    // Direction of category c at a node with more categories than fit the
    // node itself: -1 left, +1 right, 0 none.
    int8_t direction(const FlatNode& n, int c) const noexcept
    {
        return directions_[static_cast<std::size_t>(n.categories.directions) + static_cast<std::size_t>(c) - 1];
    }

private:
    static bool fits(const TreeNode* t, int num_vars) noexcept
    {
        return t->split_size >= 0 && t->split_var >= 0 && t->split_var < num_vars && t->split_var < categorical_flag &&
               t->split_values != nullptr && t->left != nullptr && t->right != nullptr;
    }

    void lay_out(std::size_t i, int num_vars)
    {
        const TreeNode* t = origin_[i];
        FlatNode flat{};
        if (t->split_var == -1) {
            flat.test = leaf_mark;
            flat.link = static_cast<int32_t>(leaves_.size());
            flat.value = t->value;
            leaves_.push_back(LeafInfo{reported_spread(t), t->int_count});
        } else if (!fits(t, num_vars)) {
            flat.test = broken_mark;
        } else {
            flat.link = static_cast<int32_t>(nodes_.size());
            if (t->split_size == 0) {
                flat.test = t->split_var;
                flat.threshold = t->split_values[0];
            } else {
                flat.test = t->split_var + (t->split_size <= packed_categories ? categorical_flag : table_flag);
                flat.categories.size = t->split_size;
                flat.categories.directions = pack_directions(t);
            }
            nodes_.push_back(FlatNode{});
            nodes_.push_back(FlatNode{});
            origin_.push_back(t->left);
            origin_.push_back(t->right);
            // Laid out after the left subtree, which is often small.
            __builtin_prefetch(t->right);
        }
        nodes_[i] = flat;
    }

    uint32_t pack_directions(const TreeNode* t)
    {
        const auto code = [](double d) -> int8_t { return d == -1.0 ? -1 : d == 1.0 ? 1 : 0; };
        if (t->split_size <= packed_categories) {
            uint32_t packed = 0;
            for (int c = 0; c < t->split_size; ++c) {
                const int8_t d = code(t->split_values[c]);
                packed |= static_cast<uint32_t>(d == -1 ? 1 : d == 1 ? 2 : 0) << (2 * c);
            }
            return packed;
        }
        const auto first = static_cast<uint32_t>(directions_.size());
        for (int c = 0; c < t->split_size; ++c) directions_.push_back(code(t->split_values[c]));
        return first;
    }

    std::vector<FlatNode> nodes_;
    std::vector<const TreeNode*> origin_;
    std::vector<LeafInfo> leaves_;
    std::vector<int8_t> directions_;
};

struct Scoring {
    const double* data;
    int num_vars;
    const FlatTree& tree;
    bool route;
    int method;
    RandState* state;
    int* error;
};

// Whether a tree of this kind accepts the method; 100 for an unknown kind.
int method_code(const TreeNode* tree, int method) noexcept
{
    if (tree->kind == 1) return (method >= 1 && method <= 3) ? 0 : 9;
    if (tree->kind == 2) return (method == method_value || method == method_donor) ? 0 : 9;
    return KEST_ERR_TREE_INCONSISTENT;
}

// Where a record's walk stopped: at a leaf, at a node that needs a random
// number or ends the record (a category without a direction, including
// values outside 1 .. split size), or at a broken node.
enum class Stop { leaf, unseen, broken };

// A value truncated toward zero, or the int minimum for a value that has no
// such int (not a number, or out of range), which lies in no category.
inline int truncated_or_minimum(double x) noexcept
{
#if defined(__SSE2__)
    return _mm_cvttsd_si32(_mm_set_sd(x));  // the processor's own rule, without a branch
#else
    return (x > -2147483649.0 && x < 2147483648.0) ? static_cast<int>(x) : INT32_MIN;
#endif
}

// One step down from an internal node; returns the child, or -1 when the
// record meets a category without a direction.
int32_t step(const FlatTree& tree, const FlatNode& n, const double* row) noexcept
{
    if (n.test >= table_flag) {
        const double x = row[n.test - table_flag];
        if (!(x >= 1.0 && x < static_cast<double>(n.categories.size) + 1.0)) return -1;
        const int8_t d = tree.direction(n, category_of(x));
        return d == 0 ? -1 : n.link + static_cast<int32_t>(d > 0);
    }
    // Continuous and small categorical splits are decided alike, without a
    // branch on the kind of node, which along a record's path is as
    // unpredictable as the data.
    const bool categorical = n.test >= categorical_flag;
    const double x = row[n.test & column_mask];
    // Both readings of the node are formed; the kind picks one.  (A union
    // read through another member gives the bytes of the one written.)
    const int c = truncated_or_minimum(x);
    const auto k = static_cast<uint32_t>(c) - 1u;
    const bool valid = k < static_cast<uint32_t>(n.categories.size);
    const uint32_t code = (n.categories.directions >> ((2 * k) & 31)) & 3u;  // 1 left, 2 right, 0 none
    // Right only when greater, so a value that is not a number goes left.
    const auto greater = static_cast<uint32_t>(x > n.threshold);
    // The kind picks its reading through a mask: a conditional here is
    // compiled into a branch.
    const uint32_t kind_mask = 0u - static_cast<uint32_t>(categorical);
    const uint32_t right = ((code >> 1) & kind_mask) | (greater & ~kind_mask);
    const uint32_t unseen = kind_mask & (static_cast<uint32_t>(!valid) | static_cast<uint32_t>(code == 0));
    return unseen != 0 ? -1 : n.link + static_cast<int32_t>(right);
}

// Walks a record down from node i until a leaf or a stop.
Stop walk(const Scoring& s, std::ptrdiff_t row, int32_t& i) noexcept
{
    const double* values = s.data + row * s.num_vars;
    for (;;) {
        const FlatNode& n = s.tree.node(i);
        if (n.test == leaf_mark) return Stop::leaf;
        if (n.test == broken_mark) return Stop::broken;
        const int32_t next = step(s.tree, n, values);
        if (next < 0) return Stop::unseen;
        i = next;
    }
}

// Records walked down together.
constexpr int block_size = 128;

// Walks a block of records together, one level per round, so that the
// cache misses of different records overlap; a record leaves the round
// robin when it stops.
// The rows of the records to be walked next, fetched a few lines at a
// time: all at once they would fill every slot for a cache miss.
struct RowsAhead {
    const char* next;
    const char* end;

    void fetch_some() noexcept
    {
        constexpr int lines = 16;
        constexpr int line_size = 64;
        for (int k = 0; k < lines && next < end; ++k, next += line_size) __builtin_prefetch(next);
    }
};

void walk_block(const Scoring& s, std::ptrdiff_t first_row, int count, int32_t* at, Stop* stop,
                RowsAhead& ahead) noexcept
{
    // The records still moving, each with its node and its row, kept side
    // by side in the first `active` places; one that stops hands its place
    // to the last.
    int32_t node_of[block_size];
    const double* row_of[block_size];
    int record_of[block_size];
    for (int r = 0; r < count; ++r) {
        node_of[r] = 0;
        row_of[r] = s.data + (first_row + r) * s.num_vars;
        record_of[r] = r;
    }
    for (int active = count; active > 0;) {
        ahead.fetch_some();
        for (int m = 0; m < active;) {
            const FlatNode& n = s.tree.node(node_of[m]);
            int32_t next = -1;
            if (n.test >= 0) next = step(s.tree, n, row_of[m]);
            if (next < 0) {
                const int r = record_of[m];
                at[r] = node_of[m];
                stop[r] = n.test == leaf_mark ? Stop::leaf : n.test == broken_mark ? Stop::broken : Stop::unseen;
                // The leaf's spread, read when the block is finished.
                if (n.test == leaf_mark) __builtin_prefetch(&s.tree.leaf(n));
                --active;
                node_of[m] = node_of[active];
                row_of[m] = row_of[active];
                record_of[m] = record_of[active];
                continue;
            }
            node_of[m] = next;
            // Fetched while the other records of the block take their step.
            __builtin_prefetch(&s.tree.node(next));
            ++m;
        }
    }
}

// The prediction of leaf i; false when the donor draw failed (its code is
// in the ErrorPair).
bool predict(const Scoring& s, int32_t i, double& value)
{
    switch (s.method) {
    case method_value:
        value = s.tree.node(i).value;
        return true;
    case method_mode:
        value = static_cast<double>(s.tree.leaf(s.tree.node(i)).int_count);
        return true;
    default: {
        const TreeNode* leaf = s.tree.origin(i);
        if (leaf->int_array == nullptr) {
            s.error[0] = KEST_ERR_TREE_INCONSISTENT;
            return false;
        }
        int32_t position = 0;
        int code = 0;
        rand_sample(-1, 1, 0, leaf->count - 1, &position, s.state, &code);
        if (code > 0) {
            s.error[0] = code;
            return false;
        }
        value = static_cast<double>(leaf->int_array[position]);
        return true;
    }
    }
}

// Finishes one record from where its walk stopped, drawing random numbers
// as a walk of this record alone would.  False when scoring must end.
bool finish_record(const Scoring& s, std::ptrdiff_t row, int32_t at, Stop stop, double& value, double& spread)
{
    while (stop == Stop::unseen) {
        if (s.error[0] <= 0) s.error[0] = KEST_WARN_UNSEEN_CATEGORY;
        if (!s.route) {
            value = -1.0;
            spread = -1.0;
            return true;
        }
        // Sent on at random in proportion to the training records.
        const TreeNode* node = s.tree.origin(at);
        const double p = static_cast<double>(node->left->count) / static_cast<double>(node->count);
        at = s.tree.node(at).link + (rand_uniform(s.state) < p ? 0 : 1);
        stop = walk(s, row, at);
    }
    if (stop == Stop::broken) {
        s.error[0] = KEST_ERR_TREE_INCONSISTENT;
        return false;
    }
    if (!predict(s, at, value)) return false;
    spread = s.tree.leaf(s.tree.node(at)).spread;
    return true;
}

void score_records(const Scoring& s, int rec1, int num_recs, double* values, double* spreads)
{
    int32_t at[block_size];
    Stop stop[block_size];
    for (int first = 0; first < num_recs; first += block_size) {
        const int count = std::min(block_size, num_recs - first);
        const std::ptrdiff_t first_row = static_cast<std::ptrdiff_t>(rec1) + first;
        // The next block's rows are read while this block walks, so that its
        // first round of steps finds them at hand.
        const int next_count = std::min(block_size, num_recs - first - count);
        const double* next_rows = s.data + (first_row + count) * s.num_vars;
        RowsAhead ahead{reinterpret_cast<const char*>(next_rows),
                        reinterpret_cast<const char*>(next_rows + static_cast<std::ptrdiff_t>(next_count) * s.num_vars)};
        walk_block(s, first_row, count, at, stop, ahead);
        for (int r = 0; r < count; ++r) {
            const int i = first + r;
            if (stop[r] == Stop::leaf && s.method == method_value) {
                // The common case, without a draw: the leaf's value and spread.
                const FlatNode& leaf = s.tree.node(at[r]);
                values[i] = leaf.value;
                spreads[i] = s.tree.leaf(leaf).spread;
                continue;
            }
            if (!finish_record(s, first_row + r, at[r], stop[r], values[i], spreads[i])) return;
        }
    }
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    const TreeNode* tree, bool route, int method, const RandState* state, const double* values,
                    const double* spreads)
{
    if (const int code = matrix_shape_code(rec1, num_vars, num_recs, num_rows); code != 0) return code;
    if (data != nullptr && fetch != nullptr) return 5;
    if (data == nullptr && fetch == nullptr) return 6;
    if (tree == nullptr) return 7;
    if (state == nullptr && (route || method == method_donor)) return 10;
    if (const int code = method_code(tree, method); code != 0) return code;
    if (values == nullptr) return 11;
    if (spreads == nullptr) return 12;
    return 0;
}

}  // namespace

}  // namespace kest

extern "C" void tree_score(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                           const TreeNode* tree, int route, int imputation_method, RandState* state, double* values,
                           double* spreads, int* error)
{
    if (error == nullptr || error[0] > 0) return;
    kest::run_guarded(error, [&] {
        const bool routing = route == 1;
        const int code = kest::check_arguments(rec1, num_vars, num_recs, num_rows, data, fetch, tree, routing,
                                               imputation_method, state, values, spreads);
        if (code != 0) {
            error[0] = code;
            return;
        }
        std::unique_ptr<double[]> fetched;
        if (data == nullptr) {
            fetched = kest::fetch_matrix(fetch, rec1, num_rows, num_vars, error);
            if (error[0] > 100) return;
            data = fetched.get();
        }
        if (imputation_method == 3 && tree->keep != 1) {
            error[0] = 9;
            return;
        }
        if (error[0] > 0) return;  // a code up to 100 left by the callback ends scoring
        const kest::FlatTree flat(tree, num_vars);
        const kest::Scoring scoring{data, num_vars, flat, routing, imputation_method, state, error};
        kest::score_records(scoring, rec1, num_recs, values, spreads);
    });
}
