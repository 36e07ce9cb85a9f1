// Fingerprints of whole trees grown on generated data sets of some thousands
// of records, with the record weights and the scores they give, pinned to
// the values the growers produce.  The growers and the scorer are tuned for
// speed again and again; any change of a node, a weight or a score, however
// small, changes its fingerprint.  The data are built from integers and
// exact binary fractions only, and the weight schemes used need no
// trigonometry, so every conforming double arithmetic gives the same bits.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kest.h"

namespace {

// FNV-1a over the bytes of the values fed to it.
class Fingerprint {
public:
    template <class T>
    void add(const T& value)
    {
        add_bytes(&value, sizeof value);
    }
    template <class T>
    void add_array(const T* values, std::size_t n)
    {
        add(static_cast<uint64_t>(n));
        if (values != nullptr) add_bytes(values, n * sizeof(T));
    }
    uint64_t value() const { return hash_; }

private:
    void add_bytes(const void* data, std::size_t n)
    {
        const auto* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < n; ++i) hash_ = (hash_ ^ bytes[i]) * 0x100000001b3ULL;
    }
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};

// Every field of every node in pre-order, with its arrays; the links only
// as the shape they give.
void add_tree(Fingerprint& f, const TreeNode* root)
{
    std::vector<const TreeNode*> stack{root};
    while (!stack.empty()) {
        const TreeNode* n = stack.back();
        stack.pop_back();
        if (n == nullptr) {
            f.add(int32_t{-7});
            continue;
        }
        f.add(n->kind), f.add(n->keep), f.add(n->count), f.add(n->split_var), f.add(n->split_size);
        if (n->split_values != nullptr)
            f.add_array(n->split_values, static_cast<std::size_t>(n->split_size > 0 ? n->split_size : 1));
        f.add(n->value), f.add(n->spread), f.add(n->statistic), f.add(n->int_count);
        if (n->int_array != nullptr) {
            const bool kept = n->split_var == -1 && n->keep == 1;
            f.add_array(n->int_array, static_cast<std::size_t>(kept ? n->count : n->int_count));
        }
        if (n->split_var != -1) {
            stack.push_back(n->right);
            stack.push_back(n->left);
        }
    }
}

// splitmix64: the same data on every platform.
struct Generator {
    uint64_t state;
    uint64_t next()
    {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    double fraction() { return static_cast<double>(next() >> 11) * 0x1p-53; }
};

// Columns: four continuous predictors (whole years, eighths, full-precision
// fractions, five values only), categorical ones with 3, 7
// and 20 codes, a continuous dependent variable with interactions and gross
// outliers, and a three-class one derived from it.
enum Col { c_age, c_hours, c_share, c_ties, c_region, c_size, c_branch, c_y, c_class, num_cols };
constexpr int ncat_of[num_cols] = {0, 0, 0, 0, 3, 7, 20, 0, 3};

// With signed_zeros, a tenth of the eighths and of the five-valued column
// are -0 or +0: equal values of different bits, which no cut may part.
std::vector<double> generate(int records, uint64_t seed, bool signed_zeros)
{
    Generator g{seed};
    std::vector<double> m(static_cast<std::size_t>(records) * num_cols);
    for (int r = 0; r < records; ++r) {
        double* row = &m[static_cast<std::size_t>(r) * num_cols];
        row[c_age] = 16 + g.below(60);
        row[c_hours] = g.below(640) / 8.0;
        row[c_share] = g.fraction();
        row[c_ties] = g.below(5) * 0.25;
        if (signed_zeros && g.below(10) == 0) {
            const double zero = g.below(2) == 0 ? -0.0 : 0.0;
            row[c_hours] = zero;
            row[c_ties] = zero;
        }
        row[c_region] = 1 + g.below(3);
        row[c_size] = 1 + g.below(7) * g.below(7) / 6;
        row[c_branch] = 1 + g.below(20);
        double y = 300 + 5 * row[c_age] + (row[c_region] == 1 ? 2 * row[c_hours] : row[c_hours]);
        if (row[c_share] > 0.7 && static_cast<int>(row[c_branch]) % 3 == 0) y += 400;
        y += 30 * row[c_size] + g.below(257) - 128 + g.fraction();
        if (g.below(500) == 0) y *= 50;
        row[c_y] = y;
        row[c_class] = y < 520 ? 1 : y < 640 ? 2 : 3;
    }
    return m;
}

enum class Grower { waid, gini, anova };

struct Case {
    const char* name;
    Grower grower;
    int scheme;  // WAID weight scheme; Gini: 1 without priors, 2 with
    int records;
    int min_node, min_child;
    int keep;
    uint64_t expected;
    bool signed_zeros = false;
};

const int predictors[] = {c_age, c_hours, c_share, c_ties, c_region, c_size, c_branch};
const double priors[] = {0.25, 0.5, 0.25};

// Grows the case's tree, scores every record with the leaf value and (when
// the leaves keep values) with a random donor, and fingerprints the tree,
// the record weights and the scores.
uint64_t fingerprint_of(const Case& c)
{
    const std::vector<double> m = generate(c.records, 9000 + c.records + c.scheme, c.signed_zeros);
    std::vector<int> ncat(ncat_of, ncat_of + num_cols);
    std::vector<double> weights(static_cast<std::size_t>(c.records), 0.0);
    const int np = static_cast<int>(std::size(predictors));
    TreeNode* tree = nullptr;
    int error[2] = {0, 0};
    switch (c.grower) {
    case Grower::waid:
        waid_tree(0, num_cols, c.records, c.records, m.data(), nullptr, np, predictors, c_y, c.scheme, weights.data(),
                  ncat.data(), 1e-6, 30, c.scheme == 4 ? 1.345 : 4.685, c.min_node, c.min_child, c.keep, &tree, error);
        break;
    case Grower::gini:
        gini_tree(0, num_cols, c.records, c.records, m.data(), nullptr, np, predictors, c_class, ncat.data(),
                  c.scheme == 2 ? priors : nullptr, c.min_node, c.min_child, 0.0, c.keep, &tree, error);
        break;
    case Grower::anova:
        anova_tree(0, num_cols, c.records, c.records, m.data(), nullptr, np, predictors, c_y, -1, ncat.data(),
                   c.min_node, c.min_child, 0.0, c.keep, &tree, error);
        break;
    }
    EXPECT_LE(error[0], 0);
    if (tree == nullptr) return 0;
    Fingerprint f;
    add_tree(f, tree);
    if (c.grower == Grower::waid) f.add_array(weights.data(), weights.size());
    std::vector<double> values(static_cast<std::size_t>(c.records)), spreads(values.size());
    for (int method : {1, 3}) {
        if (method == 3 && c.keep != 1) continue;
        RandState state{};
        set_rand_seed(4711, &state);
        error[0] = error[1] = 0;
        tree_score(0, num_cols, c.records, c.records, m.data(), nullptr, tree, 1, method, &state, values.data(),
                   spreads.data(), error);
        EXPECT_LE(error[0], 0) << "method " << method;
        f.add_array(values.data(), values.size());
        f.add_array(spreads.data(), spreads.size());
    }
    tree_free(tree);
    return f.value();
}

TEST(TreeFingerprint, GrownTreesWeightsAndScoresStayBitForBit)
{
    const Case cases[] = {
        {"waid none", Grower::waid, 1, 3000, 10, 5, 1, 0x945868f1a0c61c4bULL},
        {"waid biweight", Grower::waid, 3, 20000, 10, 5, 1, 0x6062f7c3fabf9e03ULL},
        {"waid huber", Grower::waid, 4, 7000, 30, 2, 0, 0x430cf8b55cc9b4daULL},
        {"gini", Grower::gini, 1, 20000, 20, 7, 0, 0x4a8cc32383598141ULL},
        {"gini priors", Grower::gini, 2, 5000, 6, 3, 1, 0x1fd4f2d1ecacb57eULL},
        {"anova", Grower::anova, 0, 20000, 20, 7, 1, 0xf506c53ae6ae524bULL},
        {"waid signed zeros", Grower::waid, 3, 4000, 10, 5, 1, 0xda991502080736aeULL, true},
        {"gini signed zeros", Grower::gini, 1, 4000, 10, 5, 1, 0x1637668b6b0edc31ULL, true},
    };
    for (const Case& c : cases) {
        const uint64_t got = fingerprint_of(c);
        EXPECT_EQ(got, c.expected) << c.name << ": 0x" << std::hex << got;
    }
}

}  // namespace
