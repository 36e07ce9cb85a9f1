// Allocation and release of tree nodes and their arrays.  Nodes and arrays
// come from malloc, so that a tree built by any grower or by tree_load is
// released the same way; a TreePtr owns a whole (partial) tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "kest.h"

namespace kest {

// A new leaf with every field zero and no arrays or links; null when no
// memory is left.
TreeNode* allocate_node() noexcept;

// n elements, uninitialised; null when no memory is left (or n is 0).
double* allocate_doubles(std::size_t n) noexcept;
int32_t* allocate_ints(std::size_t n) noexcept;

// Releases a node, its arrays and everything below it, without recursion.
void release_tree(TreeNode* root) noexcept;

struct TreeRelease {
    void operator()(TreeNode* root) const noexcept { release_tree(root); }
};
using TreePtr = std::unique_ptr<TreeNode, TreeRelease>;

}  // namespace kest
