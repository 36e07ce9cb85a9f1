// The library keeps no global state: its routines run on several threads at
// once on separate arrays, and one tree is scored and saved by several
// threads at once.  Each thread's results must equal those of the same work
// done alone.  Run under ThreadSanitizer, this also shows that no memory is
// shared behind the caller's back.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "../support/text_files.h"
#include "kest.h"

namespace {

constexpr double M = -999.0;
constexpr int threads = 4;

// Survey-like records: a dependent value, a continuous predictor and a
// categorical one with three codes, with every seventh value of the second
// column missing when asked.
std::vector<double> records(int n, int seed, bool with_missing)
{
    std::vector<double> d;
    unsigned x = static_cast<unsigned>(seed) * 2654435761u + 1u;
    for (int i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        const double a = static_cast<double>(x >> 8) / 16777216.0 * 40.0;
        const double c = 1 + i % 3;
        d.push_back(3.0 * a + 5.0 * c + static_cast<double>((x >> 4) % 7));
        d.push_back(with_missing && i % 7 == 3 ? M : a);
        d.push_back(c);
    }
    return d;
}

// Runs work(t) on `threads` threads at once and returns their results.
template <typename Result, typename Work>
std::vector<Result> on_threads(Work work)
{
    std::vector<Result> results(threads);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) pool.emplace_back([&, t] { results[static_cast<std::size_t>(t)] = work(t); });
    for (std::thread& th : pool) th.join();
    return results;
}

struct EmOutcome {
    std::vector<double> data;
    int error[2] = {0, 0};
    bool operator==(const EmOutcome& o) const { return data == o.data && error[0] == o.error[0]; }
};

EmOutcome run_em(int seed)
{
    EmOutcome out;
    out.data = records(400, seed, true);
    const int include[] = {1, 1, 0};
    std::vector<int> recs(out.data.size()), cols(out.data.size());
    std::vector<double> vals(out.data.size());
    int n_cells = 0;
    em(400, 3, include, out.data.data(), M, 1e-10, 200, nullptr, &n_cells, recs.data(), cols.data(), vals.data(),
       out.error);
    return out;
}

std::vector<double> run_bacon(int seed)
{
    std::vector<double> data = records(300, seed, true);
    const int include[] = {1, 1, 0};
    std::vector<double> member(300);
    int error[2] = {0, 0};
    bacon(300, 3, include, data.data(), M, 4, 0.05, 1, member.data(), nullptr, error);
    member.push_back(error[0]);
    return member;
}

TreeNode* grow(const std::vector<double>& data, int n, int* error)
{
    const int selected[] = {1, 2};
    const int ncat[] = {0, 0, 3};
    std::vector<double> weights(static_cast<std::size_t>(n));
    TreeNode* tree = nullptr;
    waid_tree(0, 3, n, n, data.data(), nullptr, 2, selected, 0, 3, weights.data(), ncat, 1e-4, 50, 4.685, 20, 5, 1,
              &tree, error);
    return tree;
}

std::vector<double> score(const TreeNode* tree, const std::vector<double>& data, int n, int method, int seed)
{
    RandState state;
    set_rand_seed(seed, &state);
    std::vector<double> values(static_cast<std::size_t>(n)), spreads(static_cast<std::size_t>(n));
    int error[2] = {0, 0};
    tree_score(0, 3, n, n, data.data(), nullptr, tree, 1, method, &state, values.data(), spreads.data(), error);
    values.insert(values.end(), spreads.begin(), spreads.end());
    values.push_back(error[0]);
    return values;
}

using test_text::slurp;

TEST(Threads, EstimationRunsOnSeparateArraysAtOnce)
{
    const std::vector<EmOutcome> em_results = on_threads<EmOutcome>([](int t) { return run_em(t); });
    const auto bacon_results = on_threads<std::vector<double>>([](int t) { return run_bacon(t); });
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(em_results[static_cast<std::size_t>(t)].error[0], 0) << t;
        EXPECT_EQ(bacon_results[static_cast<std::size_t>(t)].back(), 0.0) << t;
        EXPECT_TRUE(em_results[static_cast<std::size_t>(t)] == run_em(t)) << t;
        EXPECT_EQ(bacon_results[static_cast<std::size_t>(t)], run_bacon(t)) << t;
    }
}

TEST(Threads, TreesGrowOnSeparateArraysAtOnce)
{
    const auto grown = on_threads<std::vector<double>>([](int t) {
        const std::vector<double> data = records(500, 10 + t, false);
        int error[2] = {0, 0};
        TreeNode* tree = grow(data, 500, error);
        std::vector<double> v = tree == nullptr ? std::vector<double>{} : score(tree, data, 500, 1, 1);
        tree_free(tree);
        v.push_back(error[0]);
        return v;
    });
    for (int t = 0; t < threads; ++t) {
        const std::vector<double> data = records(500, 10 + t, false);
        int error[2] = {0, 0};
        TreeNode* tree = grow(data, 500, error);
        ASSERT_NE(tree, nullptr);
        std::vector<double> alone = score(tree, data, 500, 1, 1);
        alone.push_back(error[0]);
        tree_free(tree);
        EXPECT_EQ(grown[static_cast<std::size_t>(t)], alone) << t;
    }
}

TEST(Threads, OneTreeIsScoredAndSavedByManyThreadsAtOnce)
{
    const std::vector<double> data = records(600, 3, false);
    int error[2] = {0, 0};
    TreeNode* tree = grow(data, 600, error);
    ASSERT_NE(tree, nullptr);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("kest-threads-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);

    // Half the threads score (by leaf value and by donor, each with its own
    // generator), the other half save the same tree.
    const auto results = on_threads<std::vector<double>>([&](int t) {
        if (t % 2 == 0) return score(tree, data, 600, 1 + 2 * (t / 2 % 2), t);
        int save_error[2] = {0, 0};
        tree_save(tree, (dir / ("tree" + std::to_string(t))).string().c_str(), save_error);
        return std::vector<double>{static_cast<double>(save_error[0])};
    });

    const std::filesystem::path single = dir / "single";
    int save_error[2] = {0, 0};
    tree_save(tree, single.string().c_str(), save_error);
    ASSERT_EQ(save_error[0], 0);
    for (int t = 0; t < threads; ++t) {
        if (t % 2 == 0) {
            EXPECT_EQ(results[static_cast<std::size_t>(t)], score(tree, data, 600, 1 + 2 * (t / 2 % 2), t)) << t;
        } else {
            EXPECT_EQ(results[static_cast<std::size_t>(t)], std::vector<double>{0.0}) << t;
            EXPECT_EQ(slurp(dir / ("tree" + std::to_string(t))), slurp(single)) << t;
        }
    }
    tree_free(tree);
    std::filesystem::remove_all(dir);
}

}  // namespace
