// Working storage that cannot be obtained while a tree grows: whichever
// allocation fails, gini_tree and anova_tree report 99, hand back no tree
// and release everything they took.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "../support/allocation_budget.h"
#include "kest.h"

namespace {

using allocation_budget::budget;
using allocation_budget::live;

// Twenty records: a continuous and a categorical predictor, a class and a
// case weight.
std::vector<double> matrix()
{
    std::vector<double> m;
    for (int r = 0; r < 20; ++r) {
        const double x = r % 7, c = 1 + r % 4, y = 1 + (r * 3 + r / 5) % 3, w = 1 + r % 2;
        m.insert(m.end(), {x, c, y, w});
    }
    return m;
}

// Calls grow with ever larger budgets until it succeeds; every failure
// before must be 99 without a tree and without storage left behind.
template <class Grow>
void fails_cleanly_at_every_allocation(Grow grow)
{
    for (long allowed = 0;; ++allowed) {
        ASSERT_LT(allowed, 10000) << "never succeeded";
        TreeNode* tree = nullptr;
        int error[2] = {0, 0};
        const long before = live;
        budget = allowed;
        grow(&tree, error);
        budget = -1;
        if (error[0] == 0) {
            ASSERT_NE(tree, nullptr);
            tree_free(tree);
            EXPECT_GT(allowed, 0);
            return;
        }
        EXPECT_EQ(error[0], KEST_ERR_NO_MEMORY) << allowed;
        EXPECT_EQ(error[1], 0) << allowed;
        EXPECT_EQ(tree, nullptr) << allowed;
        EXPECT_EQ(live, before) << allowed;
        if (testing::Test::HasFailure()) return;
    }
}

TEST(TreeNoMemory, GiniTree)
{
    const std::vector<double> m = matrix();
    const int ncat[4] = {0, 4, 3, 0};
    const int sel[2] = {0, 1};
    fails_cleanly_at_every_allocation([&](TreeNode** tree, int* error) {
        gini_tree(0, 4, 20, 20, m.data(), nullptr, 2, sel, 2, ncat, nullptr, 4, 2, 0.0, 1, tree, error);
    });
}

TEST(TreeNoMemory, AnovaTree)
{
    const std::vector<double> m = matrix();
    const int ncat[4] = {0, 4, 0, 0};
    const int sel[2] = {0, 1};
    fails_cleanly_at_every_allocation([&](TreeNode** tree, int* error) {
        anova_tree(0, 4, 20, 20, m.data(), nullptr, 2, sel, 2, 3, ncat, 4, 2, 0.1, 1, tree, error);
    });
}

}  // namespace
