// Scoring: each record goes down a grown tree to a leaf, which gives its
// prediction (the leaf value, the modal category, or a random donor among
// the leaf's kept values) and the leaf's spread.
#include <cmath>
#include <memory>

#include "internal/guard.h"
#include "kest.h"
#include "numeric/random.h"
#include "trees/grow.h"

namespace kest {

namespace {

enum Method { method_value = 1, method_mode = 2, method_donor = 3 };

struct Scoring {
    const double* data;
    int num_vars;
    const TreeNode* tree;
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

// The direction of a categorical value at a split: -1 left, +1 right, and
// anything else (0 for a category the node never saw in training) for a
// value whose category has no direction, which includes values outside
// 1 .. split size.
double category_direction(const TreeNode* node, double value) noexcept
{
    if (!(value >= 1.0 && value < static_cast<double>(node->split_size) + 1.0)) return 0.0;
    return node->split_values[category_of(value) - 1];
}

// The leaf a row reaches, or null when it stops on the way: at an unseen
// category without routing (outputs -1), or at a node that does not fit a
// tree or the data (code 100: a negative split size, missing children or
// split values, a split variable outside the data's columns).
const TreeNode* descend(const Scoring& s, std::ptrdiff_t row, double& value, double& spread)
{
    const TreeNode* node = s.tree;
    while (node->split_var != -1) {
        if (node->split_size < 0 || node->split_var < 0 || node->split_var >= s.num_vars ||
            node->split_values == nullptr || node->left == nullptr || node->right == nullptr) {
            s.error[0] = KEST_ERR_TREE_INCONSISTENT;
            return nullptr;
        }
        const double x = s.data[row * s.num_vars + node->split_var];
        if (node->split_size == 0) {
            // A value that is not a number goes left as well.
            node = (x <= node->split_values[0] || std::isnan(x)) ? node->left : node->right;
            continue;
        }
        const double direction = category_direction(node, x);
        if (direction == -1.0) {
            node = node->left;
        } else if (direction == 1.0) {
            node = node->right;
        } else {
            if (s.error[0] <= 0) s.error[0] = KEST_WARN_UNSEEN_CATEGORY;
            if (!s.route) {
                value = -1.0;
                spread = -1.0;
                return nullptr;
            }
            // Sent on at random in proportion to the training records.
            const double p = static_cast<double>(node->left->count) / static_cast<double>(node->count);
            node = rand_uniform(s.state) < p ? node->left : node->right;
        }
    }
    return node;
}

// The prediction of a leaf; false when the donor draw failed (its code is
// in the ErrorPair).
bool predict(const Scoring& s, const TreeNode* leaf, double& value)
{
    switch (s.method) {
    case method_value:
        value = leaf->value;
        return true;
    case method_mode:
        value = static_cast<double>(leaf->int_count);
        return true;
    default: {
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

double reported_spread(const TreeNode* leaf) noexcept
{
    double spread = leaf->spread;
    if (!(spread >= 0.0)) spread = 0.0;  // negative or not a number
    if (leaf->kind == 2 && spread > 1.0) spread = 1.0;
    return spread;
}

void score_records(const Scoring& s, int rec1, int num_recs, double* values, double* spreads)
{
    for (int i = 0; i < num_recs && s.error[0] <= 0; ++i) {
        const TreeNode* leaf = descend(s, static_cast<std::ptrdiff_t>(rec1) + i, values[i], spreads[i]);
        if (s.error[0] > 0) return;
        if (leaf == nullptr) continue;
        if (!predict(s, leaf, values[i])) return;
        spreads[i] = reported_spread(leaf);
    }
}

int check_arguments(int rec1, int num_vars, int num_recs, int num_rows, const double* data, KestFetch fetch,
                    const TreeNode* tree, bool route, int method, const RandState* state, const double* values,
                    const double* spreads)
{
    if (rec1 < 0) return 1;
    if (num_vars < 1) return 2;
    if (num_recs < 2 || static_cast<long long>(rec1) + num_recs > num_rows) return 3;
    if (num_rows < 2) return 4;
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
            fetched = std::make_unique<double[]>(static_cast<std::size_t>(num_rows) * static_cast<std::size_t>(num_vars));
            fetch(rec1, num_rows, fetched.get(), error);
            if (error[0] > 100) return;
            data = fetched.get();
        }
        if (imputation_method == 3 && tree->keep != 1) {
            error[0] = 9;
            return;
        }
        const kest::Scoring scoring{data, num_vars, tree, routing, imputation_method, state, error};
        kest::score_records(scoring, rec1, num_recs, values, spreads);
    });
}
