// Tree files: exact bytes of each kind of node block, round trips, and
// files that are short, malformed or too deep.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "../data/test_files.h"
#include "kest.h"
#include "trees/tree_node.h"

namespace {

using kest::TreePtr;
using kest_test::make_unreadable;
using kest_test::read_file;
using kest_test::ScratchDir;
using kest_test::write_file;

// ------------------------------------------------------------ expected bytes

void poke_int(std::string& bytes, std::size_t at, int32_t value)
{
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(static_cast<uint32_t>(value) >> (8 * i));
}
void poke_double(std::string& bytes, std::size_t at, double value)
{
    for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<char>(std::bit_cast<uint64_t>(value) >> (8 * i));
}
std::string ints(std::vector<int32_t> values)
{
    std::string bytes(4 * values.size(), '\0');
    for (std::size_t i = 0; i < values.size(); ++i) poke_int(bytes, 4 * i, values[i]);
    return bytes;
}
std::string doubles(std::vector<double> values)
{
    std::string bytes(8 * values.size(), '\0');
    for (std::size_t i = 0; i < values.size(); ++i) poke_double(bytes, 8 * i, values[i]);
    return bytes;
}

struct Fields {
    int32_t kind, keep, count, split_var, split_size;
    double value, spread, statistic;
    int32_t int_count;
};

// A 72-byte record laid out by the offset table; left is the left slot.
std::string record(const Fields& f, int32_t left)
{
    std::string bytes(72, '\0');
    poke_int(bytes, 0, f.kind);
    poke_int(bytes, 4, f.keep);
    poke_int(bytes, 8, f.count);
    poke_int(bytes, 12, f.split_var);
    poke_int(bytes, 16, f.split_size);
    poke_double(bytes, 24, f.value);
    poke_double(bytes, 32, f.spread);
    poke_double(bytes, 40, f.statistic);
    poke_int(bytes, 48, f.int_count);
    poke_int(bytes, 60, left);
    return bytes;
}

// ------------------------------------------------------------ trees in memory

TreeNode* node(const Fields& f, std::vector<double> split_values, std::vector<int32_t> int_array)
{
    TreeNode* n = kest::allocate_node();
    *n = TreeNode{f.kind,      f.keep,   f.count,     f.split_var, f.split_size, nullptr, f.value,
                  f.spread,    f.statistic, f.int_count, nullptr,  nullptr,      nullptr, nullptr};
    if (!split_values.empty()) {
        n->split_values = kest::allocate_doubles(split_values.size());
        std::memcpy(n->split_values, split_values.data(), 8 * split_values.size());
    }
    if (!int_array.empty()) {
        n->int_array = kest::allocate_ints(int_array.size());
        std::memcpy(n->int_array, int_array.data(), 4 * int_array.size());
    }
    return n;
}

TreeNode* join(TreeNode* parent, TreeNode* left, TreeNode* right)
{
    parent->left = left;
    parent->right = right;
    left->parent = right->parent = parent;
    return parent;
}

bool same_bits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// Walks both trees together without recursion: same fields (doubles bit for
// bit), same arrays, same shape, and every parent link of b points at the
// node it hangs under.
void expect_same_tree(const TreeNode* a, const TreeNode* b)
{
    struct Pair { const TreeNode *a, *b, *parent_b; };
    std::vector<Pair> pending{{a, b, nullptr}};
    std::size_t nodes = 0;
    while (!pending.empty()) {
        const Pair p = pending.back();
        pending.pop_back();
        ASSERT_EQ(p.a == nullptr, p.b == nullptr) << "node " << nodes;
        if (p.a == nullptr) continue;
        SCOPED_TRACE("node " + std::to_string(nodes++));
        const TreeNode& x = *p.a;
        const TreeNode& y = *p.b;
        ASSERT_EQ(y.parent, p.parent_b);
        ASSERT_EQ(x.kind, y.kind);
        ASSERT_EQ(x.keep, y.keep);
        ASSERT_EQ(x.count, y.count);
        ASSERT_EQ(x.split_var, y.split_var);
        ASSERT_EQ(x.split_size, y.split_size);
        ASSERT_TRUE(same_bits(x.value, y.value));
        ASSERT_TRUE(same_bits(x.spread, y.spread));
        ASSERT_TRUE(same_bits(x.statistic, y.statistic));
        ASSERT_EQ(x.int_count, y.int_count);
        const int values = x.split_size > 0 ? x.split_size : (x.split_size == 0 ? 1 : 0);
        ASSERT_EQ(y.split_values == nullptr, values == 0);
        for (int i = 0; i < values; ++i) ASSERT_TRUE(same_bits(x.split_values[i], y.split_values[i]));
        ASSERT_EQ(x.int_array == nullptr, y.int_array == nullptr);
        const int n = x.kind == 2 ? x.int_count : x.count;
        for (int i = 0; x.int_array != nullptr && i < n; ++i) ASSERT_EQ(x.int_array[i], y.int_array[i]);
        pending.push_back({x.right, y.right, &y});
        pending.push_back({x.left, y.left, &y});
    }
}

int save(const TreeNode* root, const std::string& path, int code = 0)
{
    int error[2] = {code, 1234};
    tree_save(root, path.c_str(), error);
    EXPECT_EQ(error[1], 1234);
    return error[0];
}

TreePtr load(const std::string& path, int* code, int entry_code = 0)
{
    TreeNode dummy{};
    TreeNode* root = &dummy;  // must be replaced, by null on failure
    int error[2] = {entry_code, 1234};
    tree_load(&root, path.c_str(), error);
    EXPECT_EQ(error[1], 1234);
    EXPECT_NE(root, &dummy);
    if (root == &dummy) root = nullptr;
    *code = error[0];
    return TreePtr(root);
}

// ------------------------------------------------------------ sample trees

const Fields waid_leaf{1, 0, 4, -1, -1, 2.5, 0.125, -2.0, -1};
const Fields waid_keeping_leaf{1, 1, 3, -1, -1, 1.0 / 3.0, 1e-17, -2.0, 2};
const Fields gini_leaf{2, 0, 11, -1, -1, 3.0, 7.0 / 11.0, -2.0, 3};
const Fields continuous_node{1, 0, 9, 4, 0, -7.75, 3.5, 12.25, -1};
const Fields gini_categorical_node{2, 0, 5, 2, 3, 2.0, 0.6, 0.4, 2};
const Fields gini_node_leaf_a{2, 0, 2, -1, -1, 1.0, 1.0, -2.0, 2};
const Fields gini_node_leaf_b{2, 0, 3, -1, -1, 2.0, 1.0, -2.0, 2};

struct ByteCase {
    const char* name;
    TreeNode* (*build)();
    std::string (*bytes)();
};

const ByteCase byte_cases[] = {
    {"leaf without kept values: one record", [] { return node(waid_leaf, {}, {}); },
     [] { return record(waid_leaf, 0); }},
    {"Gini leaf: class counts", [] { return node(gini_leaf, {}, {4, 0, 7}); },
     [] { return record(gini_leaf, 0) + ints({4, 0, 7}); }},
    {"keeping leaf: count values", [] { return node(waid_keeping_leaf, {}, {3, 5, -8}); },
     [] { return record(waid_keeping_leaf, 0) + ints({3, 5, -8}); }},
    {"continuous node: one threshold",
     [] { return join(node(continuous_node, {0.5}, {}), node(waid_leaf, {}, {}), node(waid_leaf, {}, {})); },
     [] { return record(continuous_node, 1) + doubles({0.5}) + record(waid_leaf, 0) + record(waid_leaf, 0); }},
    {"categorical node: k directions",
     [] {
         return join(node(gini_categorical_node, {-1.0, 1.0, 0.0}, {2, 3}), node(gini_node_leaf_a, {}, {2, 0}),
                     node(gini_node_leaf_b, {}, {0, 3}));
     },
     [] {
         return record(gini_categorical_node, 1) + doubles({-1.0, 1.0, 0.0}) + ints({2, 3}) +
                record(gini_node_leaf_a, 0) + ints({2, 0}) + record(gini_node_leaf_b, 0) + ints({0, 3});
     }},
};

TEST(TreeFile, EachKindOfNodeHasItsExactBytesAndReadsBack)
{
    ScratchDir dir;
    for (const ByteCase& c : byte_cases) {
        SCOPED_TRACE(c.name);
        const TreePtr tree(c.build());
        const std::string expected = c.bytes();
        ASSERT_EQ(save(tree.get(), dir.file("a.tree")), 0);
        EXPECT_EQ(read_file(dir.file("a.tree")), expected);

        // The hand-made bytes (with trailing bytes, which follow the root's
        // subtree and are not part of it) load as the tree they describe.
        write_file(dir.file("b.tree"), expected + "trailing");
        int code = -1;
        const TreePtr loaded = load(dir.file("b.tree"), &code);
        ASSERT_EQ(code, 0);
        expect_same_tree(tree.get(), loaded.get());
        ASSERT_EQ(save(loaded.get(), dir.file("c.tree")), 0);
        EXPECT_EQ(read_file(dir.file("c.tree")), expected);
    }
}

// A keeping WAID tree with continuous and categorical splits, values that
// are not finite and a negative zero.
TreeNode* mixed_tree()
{
    const Fields root{1, 1, 10, 0, 0, -0.0, std::numeric_limits<double>::infinity(), 7.5, 3};
    const Fields cat{1, 1, 6, 3, 4, std::nan(""), 0.25, 1.5, -1};
    const Fields leaf4{1, 1, 4, -1, -1, 1.5, 0.0, -2.0, -1};
    const Fields leaf2{1, 1, 2, -1, -1, -2.0, 0.0, -2.0, 1};
    const Fields leaf1{1, 1, 1, -1, -1, 1e300, 0.0, -2.0, -1};
    return join(node(root, {2.25}, {}),
                join(node(cat, {-1.0, 0.0, 1.0, -1.0}, {}), node(leaf4, {}, {1, 2, -3, 2147483647}),
                     node(leaf2, {}, {0, -2147483647 - 1})),
                node(leaf1, {}, {42}));
}

TEST(TreeFile, RoundTripKeepsEveryFieldArrayAndLinkAndSavesTheSameBytes)
{
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    ASSERT_EQ(save(tree.get(), dir.file("a.tree")), 0);
    int code = -1;
    const TreePtr loaded = load(dir.file("a.tree"), &code);
    ASSERT_EQ(code, 0);
    expect_same_tree(tree.get(), loaded.get());
    ASSERT_EQ(save(loaded.get(), dir.file("b.tree")), 0);
    EXPECT_EQ(read_file(dir.file("b.tree")), read_file(dir.file("a.tree")));
}

TEST(TreeFile, TruncatedFileGivesTheCodeOfThePartCutShort)
{
    // Root (record, threshold), second node (record, 4 directions), keeping
    // leaf (record, 4 values), ...
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    ASSERT_EQ(save(tree.get(), dir.file("full.tree")), 0);
    const std::string full = read_file(dir.file("full.tree"));
    const std::size_t second = 72 + 8, third = second + 72 + 32;
    const struct {
        const char* name;
        std::size_t length;
        int code;
    } cuts[] = {
        {"empty file", 0, 70},
        {"inside the first record", 40, 70},
        {"inside the root's threshold", 72 + 3, 71},
        {"inside the second record", second + 71, 70},
        {"inside the second node's split values", second + 72 + 20, 71},
        {"inside a leaf's kept values", third + 72 + 10, 70},
        {"before the last node", full.size() - 72 - 4, 70},
        {"one byte short", full.size() - 1, 70},
    };
    for (const auto& cut : cuts) {
        SCOPED_TRACE(cut.name);
        write_file(dir.file("cut.tree"), full.substr(0, cut.length));
        int code = 0;
        EXPECT_EQ(load(dir.file("cut.tree"), &code), nullptr);
        EXPECT_EQ(code, cut.code);
    }
}

TEST(TreeFile, MalformedFilesAreRefusedWithNothingLeaked)
{
    // Faults are put into the last node (a Gini leaf, after an internal node
    // and another leaf, so that a refusal has a partial tree to release) or
    // into the root.
    const Fields gini_keeping_leaf{2, 1, 2, -1, -1, 1.0, 1.0, -2.0, 2};
    const std::string head = record(gini_categorical_node, 1) + doubles({-1.0, 1.0, 0.0}) + ints({2, 3}) +
                             record(gini_node_leaf_a, 0) + ints({2, 0});
    const auto with_last = [&](Fields f, int32_t left, const std::string& tail) {
        return head + record(f, left) + tail;
    };
    const auto last = [](auto change) {
        Fields f = gini_node_leaf_b;
        change(f);
        return f;
    };
    const std::string counts = ints({0, 3});
    const std::string big(1000, '\0');
    const struct {
        const char* name;
        std::string file;
        int code;
    } cases[] = {
        {"kind 0", with_last(last([](Fields& f) { f.kind = 0; }), 0, counts), 70},
        {"kind 3 at the root", record({3, 0, 1, -1, -1, 0, 0, -2, 0}, 0), 70},
        {"keep 2", with_last(last([](Fields& f) { f.keep = 2; }), 0, counts), 70},
        {"kind unlike the root's", with_last(last([](Fields& f) { f.kind = 1; }), 0, counts), 70},
        {"keep unlike the root's", with_last(last([](Fields& f) { f.keep = 1; f.count = 2; }), 0, counts), 70},
        {"negative record count", with_last(last([](Fields& f) { f.count = -1; }), 0, counts), 70},
        {"split variable -2", with_last(last([](Fields& f) { f.split_var = -2; }), 0, counts), 70},
        {"split size -2", with_last(last([](Fields& f) { f.split_size = -2; }), 0, counts), 70},
        {"split size beyond the file", with_last(last([](Fields& f) { f.split_size = 200; }), 0, big), 71},
        {"split size 2^31-1", with_last(last([](Fields& f) { f.split_size = 2147483647; }), 0, big), 71},
        {"negative int count", with_last(last([](Fields& f) { f.int_count = -1; }), 0, counts), 70},
        {"int count beyond the file", with_last(last([](Fields& f) { f.int_count = 251; }), 0, big), 70},
        {"int count 2^31-1", with_last(last([](Fields& f) { f.int_count = 2147483647; }), 0, big), 70},
        {"keeping leaf count beyond the file",
         record({1, 1, 1000000, -1, -1, 0, 0, -2, -1}, 0) + big, 70},
        {"keeping leaf that says it has children", record({1, 1, 2, -1, -1, 0, 0, -2, -1}, 1) + ints({1, 2}),
         70},
        {"internal node whose left slot is zero",
         record(continuous_node, 0) + doubles({0.5}) + record(waid_leaf, 0) + record(waid_leaf, 0), 70},
        {"Gini keeping leaf with fewer values than records",
         record({2, 1, 3, -1, -1, 1, 1, -2, 2}, 0) + ints({1, 1}) + big, 70},
    };
    ScratchDir dir;
    // The base file itself is sound.
    write_file(dir.file("base.tree"), with_last(gini_node_leaf_b, 0, counts));
    int code = -1;
    EXPECT_NE(load(dir.file("base.tree"), &code), nullptr);
    EXPECT_EQ(code, 0);
    write_file(dir.file("base.tree"), record(gini_keeping_leaf, 0) + ints({1, 2}));
    EXPECT_NE(load(dir.file("base.tree"), &code), nullptr);
    EXPECT_EQ(code, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_file(dir.file("bad.tree"), c.file);
        EXPECT_EQ(load(dir.file("bad.tree"), &code), nullptr);
        EXPECT_EQ(code, c.code);
    }
}

// A left spine of internal nodes, each with a leaf on its right; levels
// counts the nodes on the longest path, the deepest being a leaf.
std::string spine_file(long levels)
{
    const std::string inner = record(continuous_node, 1) + doubles({0.5});
    const std::string leaf = record(waid_leaf, 0);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(levels) * (inner.size() + 2 * leaf.size()));
    for (long i = 1; i < levels; ++i) bytes += inner;
    for (long i = 0; i < levels; ++i) bytes += leaf;
    return bytes;
}

TEST(TreeFile, DeepTreesNeedNoCallStackAndTheDepthIsBounded)
{
    ScratchDir dir;
    TreeNode* root = node(continuous_node, {0.5}, {});
    TreeNode* bottom = root;
    for (int i = 1; i < 50000; ++i) {
        TreeNode* next = node(continuous_node, {0.5 + i}, {});
        join(bottom, next, node(waid_leaf, {}, {}));
        bottom = next;
    }
    join(bottom, node(waid_leaf, {}, {}), node(waid_leaf, {}, {}));
    const TreePtr tree(root);
    ASSERT_EQ(save(tree.get(), dir.file("deep.tree")), 0);
    int code = -1;
    const TreePtr loaded = load(dir.file("deep.tree"), &code);
    ASSERT_EQ(code, 0);
    expect_same_tree(tree.get(), loaded.get());

    write_file(dir.file("limit.tree"), spine_file(KEST_MAX_TREE_DEPTH));
    EXPECT_NE(load(dir.file("limit.tree"), &code), nullptr);
    EXPECT_EQ(code, 0);
    write_file(dir.file("limit.tree"), spine_file(KEST_MAX_TREE_DEPTH + 1));
    EXPECT_EQ(load(dir.file("limit.tree"), &code), nullptr);
    EXPECT_EQ(code, 70);
}

TEST(TreeFile, CodeOnEntry)
{
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    ASSERT_EQ(save(tree.get(), dir.file("a.tree")), 0);
    // A failure or a warning on entry: the file is opened and closed, nothing
    // is read and the root is null; the code stays.  (A file that cannot be
    // opened: RootOutputOfAFileThatCannotBeOpenedOrIsRefused.)
    for (const int entry : {5, -39}) {
        int code = 0;
        EXPECT_EQ(load(dir.file("a.tree"), &code, entry), nullptr);
        EXPECT_EQ(code, entry);
    }
    // A failure on entry still replaces the file, by an empty one.
    EXPECT_EQ(save(tree.get(), dir.file("a.tree"), 7), 7);
    EXPECT_TRUE(kest_test::file_exists(dir.file("a.tree")));
    EXPECT_EQ(read_file(dir.file("a.tree")), "");
    EXPECT_EQ(save(tree.get(), dir.file("no-such-dir/a.tree"), 7), 7);
    // A warning on entry is no reason not to write; it stays.
    EXPECT_EQ(save(tree.get(), dir.file("a.tree"), -39), -39);
    EXPECT_EQ(read_file(dir.file("a.tree")).size(), 72u * 5 + 8 + 32 + 16 + 8 + 4);
    // No tree: an empty file.
    EXPECT_EQ(save(nullptr, dir.file("a.tree")), 0);
    EXPECT_EQ(read_file(dir.file("a.tree")), "");
}

// A folder opens as a file on POSIX systems (and is then refused when it
// is read); Windows does not open it at all.
#if defined(_WIN32)
constexpr bool folders_open = false;
#else
constexpr bool folders_open = true;
#endif

// A file that cannot be opened leaves the root output as it was (the caller
// may hold a tree there while trying another file); one that opens and is
// refused, or is not read for a code on entry, leaves null.
TEST(TreeFile, RootOutputOfAFileThatCannotBeOpenedOrIsRefused)
{
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    ASSERT_EQ(save(tree.get(), dir.file("a.tree")), 0);
    write_file(dir.file("cut.tree"), read_file(dir.file("a.tree")).substr(0, 40));
    const std::string missing = dir.file("missing.tree"), missing_folder = dir.file("no-such-dir/a.tree"),
                      folder = dir.path().string(), cut = dir.file("cut.tree"), good = dir.file("a.tree");
    struct Case {
        const char* name;
        const std::string* path;  // null for a null path
        int entry, code;
        bool kept;
    };
    const Case cases[] = {
        {"missing file", &missing, 0, 70, true},
        {"null path", nullptr, 0, 70, true},
        {"missing folder", &missing_folder, 0, 70, true},
        {"missing file, failure on entry", &missing, 5, 5, true},
        {"missing file, warning on entry", &missing, -39, -39, true},
        {"a folder", &folder, 0, 70, !folders_open},
        {"truncated file", &cut, 0, 70, false},
        {"good file, failure on entry", &good, 5, 5, false},
        {"good file, warning on entry", &good, -39, -39, false},
    };
    for (const Case& c : cases) {
        TreeNode held{};  // a tree the caller already holds
        TreeNode* root = &held;
        int error[2] = {c.entry, 1234};
        tree_load(&root, c.path ? c.path->c_str() : nullptr, error);
        EXPECT_EQ(error[0], c.code) << c.name;
        EXPECT_EQ(error[1], 1234) << c.name;
        EXPECT_EQ(root, c.kept ? &held : nullptr) << c.name;
        if (root != &held) tree_free(root);
    }
}

TEST(TreeFile, FilesThatCannotBeOpenedOrWritten)
{
    ScratchDir dir;
    int code = 0;
    if (folders_open) {
        EXPECT_EQ(load(dir.path().string(), &code), nullptr);  // a folder
        EXPECT_EQ(code, 70);
    }
    int error[2] = {0, 1234};
    tree_load(nullptr, nullptr, error);
    EXPECT_EQ(error[0], 70);

    const TreePtr tree(mixed_tree());
    EXPECT_EQ(save(tree.get(), dir.file("no-such-dir/a.tree")), 71);
    error[0] = 0;
    tree_save(tree.get(), nullptr, error);
    EXPECT_EQ(error[0], 71);
}

#if !defined(_WIN32)  // file size limits and /dev/full exist on POSIX systems only
// Bytes that the system refuses show only when the buffer is flushed at the
// close; the save must still fail.
TEST(TreeFile, RefusedBytesFailTheSave)
{
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    // A file size limit below the tree's 428 bytes (the signal it raises is
    // ignored, so the write fails with EFBIG instead).
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old_limit;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int code = save(tree.get(), dir.file("a.tree"));
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(code, 71);

    // A full device, where the system has one (never create it here).
    struct stat info {};
    if (stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode)) {
        EXPECT_EQ(save(tree.get(), "/dev/full"), 71);
    }
}
#endif

TEST(TreeFile, TreeThatCannotBeWrittenFaithfullyFailsTheSave)
{
    ScratchDir dir;
    const TreePtr one_child(node(continuous_node, {0.5}, {}));
    one_child->left = node(waid_leaf, {}, {});
    one_child->left->parent = one_child.get();
    EXPECT_EQ(save(one_child.get(), dir.file("a.tree")), 71);
    const TreePtr no_threshold(join(node(continuous_node, {}, {}), node(waid_leaf, {}, {}), node(waid_leaf, {}, {})));
    EXPECT_EQ(save(no_threshold.get(), dir.file("a.tree")), 71);
    const TreePtr no_values(node(waid_keeping_leaf, {}, {}));
    EXPECT_EQ(save(no_values.get(), dir.file("a.tree")), 71);
}

}  // namespace

// A grown tree comes back from its file identical, and scores exactly as
// the tree it was saved from, donor draws included.
TEST(TreeFile, GrownTreeLoadsBackAndScoresAlike)
{
    const int rows = 400;
    const int num_vars = 4;
    std::vector<double> data;
    uint32_t seed = 7;
    const auto next = [&seed] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
    for (int r = 0; r < rows; ++r) {
        const double x = (next() % 1000) / 10.0;
        const double c = 1 + next() % 5;
        data.insert(data.end(), {x, c, x * (c == 2 ? 3 : 1) + (next() % 100) / 10.0, 1 + static_cast<double>(next() % 3)});
    }
    const int predictors[] = {0, 1, 3};
    const int ncat[] = {0, 5, 0, 3};
    std::vector<double> weights(rows);
    TreeNode* grown = nullptr;
    int error[2] = {0, 0};
    waid_tree(0, num_vars, rows, rows, data.data(), nullptr, 3, predictors, 2, 3, weights.data(), ncat, 1e-4, 50, 4.685,
              10, 3, 1, &grown, error);
    ASSERT_LE(error[0], 0);
    const TreePtr tree(grown);
    ASSERT_NE(tree->split_var, -1);

    ScratchDir dir;
    ASSERT_EQ(save(tree.get(), dir.file("grown.tree")), 0);
    int code = -1;
    const TreePtr loaded = load(dir.file("grown.tree"), &code);
    ASSERT_EQ(code, 0);
    expect_same_tree(tree.get(), loaded.get());

    const auto score = [&](const TreeNode* t, std::vector<double>& values) {
        RandState state;
        set_rand_seed(2024, &state);
        std::vector<double> spreads(rows);
        values.assign(rows, 0.0);
        int e[2] = {0, 0};
        tree_score(0, num_vars, rows, rows, data.data(), nullptr, t, 1, 3, &state, values.data(), spreads.data(), e);
        return e[0];
    };
    std::vector<double> from_grown, from_file;
    EXPECT_LE(score(tree.get(), from_grown), 0);
    EXPECT_LE(score(loaded.get(), from_file), 0);
    EXPECT_EQ(from_grown, from_file);
}

namespace {

TEST(TreeFile, UnreadableFileNullOutputAndNullErrorPair)
{
    ScratchDir dir;
    const TreePtr tree(mixed_tree());
    ASSERT_EQ(save(tree.get(), dir.file("a.tree")), 0);
    const std::string bytes = read_file(dir.file("a.tree"));
    // Without an ErrorPair neither routine touches anything.
    tree_save(nullptr, dir.file("a.tree").c_str(), nullptr);
    EXPECT_EQ(read_file(dir.file("a.tree")), bytes);
    TreeNode dummy{};
    TreeNode* root = &dummy;
    tree_load(&root, dir.file("a.tree").c_str(), nullptr);
    EXPECT_EQ(root, &dummy);
    tree_free(nullptr);  // accepted
    // Without root_out the file is read, checked and released.
    int error[2] = {0, 1234};
    tree_load(nullptr, dir.file("a.tree").c_str(), error);
    EXPECT_EQ(error[0], 0);
    write_file(dir.file("cut.tree"), bytes.substr(0, 40));
    tree_load(nullptr, dir.file("cut.tree").c_str(), error);
    EXPECT_EQ(error[0], 70);

    if (!make_unreadable(dir.file("a.tree"))) GTEST_SKIP() << "running as root: a file without permissions is read";
    error[0] = 0;
    tree_load(&root, dir.file("a.tree").c_str(), error);  // cannot be opened: the root stays
    EXPECT_EQ(error[0], 70);
    EXPECT_EQ(root, &dummy);
}

}  // namespace
