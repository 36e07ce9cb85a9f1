#include "trees/tree_node.h"

#include <cstring>

namespace kest {

TreeNode* allocate_node() noexcept
{
    return static_cast<TreeNode*>(std::calloc(1, sizeof(TreeNode)));
}

double* allocate_doubles(std::size_t n) noexcept
{
    return static_cast<double*>(std::malloc(n * sizeof(double)));
}

int32_t* allocate_ints(std::size_t n) noexcept
{
    return static_cast<int32_t*>(std::malloc(n * sizeof(int32_t)));
}

void release_tree(TreeNode* node) noexcept
{
    // Rotating each left child up turns the tree into a right spine that is
    // released front to back: no recursion, however deep the tree, and no
    // memory of its own.
    while (node != nullptr) {
        if (TreeNode* left = node->left; left != nullptr) {
            node->left = left->right;
            left->right = node;
            node = left;
        } else {
            TreeNode* right = node->right;
            std::free(node->split_values);
            std::free(node->int_array);
            std::free(node);
            node = right;
        }
    }
}

}  // namespace kest

extern "C" void tree_free(TreeNode* root)
{
    kest::release_tree(root);
}
