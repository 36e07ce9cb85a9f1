// Tree files: the nodes of a tree in pre-order, each a 72-byte little-endian
// record followed by its split values and its int array.  Both directions
// walk the tree with an explicit stack, so a deep tree costs heap, not call
// stack.  The reader trusts nothing in the file: every record is checked,
// and every array is checked against what is left of the file, before any
// storage is taken for it.
#include <sys/stat.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "data/line_reader.h"
#include "internal/guard.h"
#include "kest.h"
#include "trees/tree_node.h"

namespace kest {

namespace {

constexpr std::size_t record_size = 72;

// Offsets of the fields in a node record; the pointer slots other than the
// left one are written as zero and ignored when read, as is the padding.
constexpr std::size_t at_kind = 0;
constexpr std::size_t at_keep = 4;
constexpr std::size_t at_count = 8;
constexpr std::size_t at_split_var = 12;
constexpr std::size_t at_split_size = 16;
constexpr std::size_t at_value = 24;
constexpr std::size_t at_spread = 32;
constexpr std::size_t at_statistic = 40;
constexpr std::size_t at_int_count = 48;
constexpr std::size_t at_left = 60;

void put_int(unsigned char* out, int32_t value)
{
    const auto bits = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

void put_double(unsigned char* out, double value)
{
    const auto bits = std::bit_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

int32_t get_int(const unsigned char* in)
{
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i) bits |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(bits);
}

double get_double(const unsigned char* in)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(in[i]) << (8 * i);
    return std::bit_cast<double>(bits);
}

bool is_leaf(const TreeNode& node) { return node.split_var == -1; }

// Number of split values that follow a record of this split size.
std::size_t split_value_count(int32_t split_size)
{
    if (split_size > 0) return static_cast<std::size_t>(split_size);
    return split_size == 0 ? 1 : 0;
}

// Number of ints that follow a record; negative sizes mean none.
std::size_t int_array_count(int32_t kind, int32_t keep, int32_t count, int32_t int_count, bool leaf)
{
    int32_t n = 0;
    if (kind == 2) n = int_count;
    else if (keep == 1 && leaf) n = count;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// ---------------------------------------------------------------- writing

// Writes one node block; false when the node cannot be written faithfully
// (an array it needs is absent) or the stream refuses the bytes.
bool write_block(std::FILE* file, const TreeNode& node)
{
    const bool leaf = is_leaf(node);
    unsigned char record[record_size] = {};
    put_int(record + at_kind, node.kind);
    put_int(record + at_keep, node.keep);
    put_int(record + at_count, node.count);
    put_int(record + at_split_var, node.split_var);
    put_int(record + at_split_size, node.split_size);
    put_double(record + at_value, node.value);
    put_double(record + at_spread, node.spread);
    put_double(record + at_statistic, node.statistic);
    put_int(record + at_int_count, node.int_count);
    put_int(record + at_left, leaf ? 0 : 1);
    if (std::fwrite(record, 1, record_size, file) != record_size) return false;

    const std::size_t values = split_value_count(node.split_size);
    if (values > 0 && node.split_values == nullptr) return false;
    for (std::size_t i = 0; i < values; ++i) {
        unsigned char bytes[8];
        put_double(bytes, node.split_values[i]);
        if (std::fwrite(bytes, 1, 8, file) != 8) return false;
    }
    const std::size_t ints = int_array_count(node.kind, node.keep, node.count, node.int_count, leaf);
    if (ints > 0 && node.int_array == nullptr) return false;
    for (std::size_t i = 0; i < ints; ++i) {
        unsigned char bytes[4];
        put_int(bytes, node.int_array[i]);
        if (std::fwrite(bytes, 1, 4, file) != 4) return false;
    }
    return true;
}

// Pre-order walk: a node, its left subtree, its right subtree.  Children of
// a leaf are not part of the tree; an internal node without both children
// cannot be written in a form that reads back, and fails the save.
bool write_tree(std::FILE* file, const TreeNode* root)
{
    std::vector<const TreeNode*> pending{root};
    while (!pending.empty()) {
        const TreeNode* node = pending.back();
        pending.pop_back();
        if (!write_block(file, *node)) return false;
        if (is_leaf(*node)) continue;
        if (node->left == nullptr || node->right == nullptr) return false;
        pending.push_back(node->right);
        pending.push_back(node->left);
    }
    return true;
}

// ---------------------------------------------------------------- reading

// A child still to be read: where it hangs and how deep it lies (the root
// is level 1).
struct Slot {
    TreeNode* parent;
    TreeNode** link;
    long level;
};

class TreeReader {
public:
    TreeReader(std::FILE* file, long long size) : file_(file), remaining_(size) {}

    // Reads the root's subtree; the code (0 on success) of the first fault.
    int read(TreePtr& root)
    {
        TreeNode* root_node = nullptr;
        std::vector<Slot> pending{{nullptr, &root_node, 1}};
        int code = 0;
        while (code == 0 && !pending.empty()) {
            const Slot slot = pending.back();
            pending.pop_back();
            if (slot.level > KEST_MAX_TREE_DEPTH) {
                code = KEST_ERR_TREE_FILE;
                break;
            }
            TreeNode* node = nullptr;
            code = read_block(slot, node);
            if (slot.parent == nullptr && root_node != nullptr) root.reset(root_node);
            if (code == 0 && !is_leaf(*node)) {
                pending.push_back({node, &node->right, slot.level + 1});
                pending.push_back({node, &node->left, slot.level + 1});
            }
        }
        return code;
    }

private:
    bool take(unsigned char* bytes, std::size_t n)
    {
        if (std::fread(bytes, 1, n, file_) != n) return false;
        remaining_ -= static_cast<long long>(n);
        return true;
    }

    // Checks a record on its own and against the root and the rest of the
    // file; 0 when it is well formed.
    int check(const unsigned char* record, std::size_t values, std::size_t ints) const
    {
        const int32_t kind = get_int(record + at_kind);
        const int32_t keep = get_int(record + at_keep);
        const int32_t count = get_int(record + at_count);
        const int32_t split_var = get_int(record + at_split_var);
        const int32_t split_size = get_int(record + at_split_size);
        const int32_t int_count = get_int(record + at_int_count);
        const bool leaf = split_var == -1;
        if (kind != 1 && kind != 2) return KEST_ERR_TREE_FILE;
        if (keep != 0 && keep != 1) return KEST_ERR_TREE_FILE;
        if (kind_ != 0 && (kind != kind_ || keep != keep_)) return KEST_ERR_TREE_FILE;
        if (count < 0 || split_var < -1 || split_size < -1) return KEST_ERR_TREE_FILE;
        // The left slot says whether children follow; it must agree with the
        // split variable, or a keeping leaf could arrive without its values.
        if ((get_int(record + at_left) != 0) == leaf) return KEST_ERR_TREE_FILE;
        if (kind == 2 && int_count < 0) return KEST_ERR_TREE_FILE;
        // A keeping leaf of a classification tree holds one value per record.
        if (kind == 2 && keep == 1 && leaf && int_count != count) return KEST_ERR_TREE_FILE;
        const auto value_bytes = static_cast<long long>(values) * 8;
        if (value_bytes > remaining_) return KEST_ERR_TREE_VALUES;
        if (static_cast<long long>(ints) * 4 > remaining_ - value_bytes) return KEST_ERR_TREE_FILE;
        return 0;
    }

    // Reads one node block into a new node hung at the slot, so that the
    // tree owns it (and whatever of it was read) from the start.
    int read_block(const Slot& slot, TreeNode*& node)
    {
        unsigned char record[record_size];
        if (!take(record, record_size)) return KEST_ERR_TREE_FILE;
        const int32_t kind = get_int(record + at_kind);
        const int32_t keep = get_int(record + at_keep);
        const int32_t split_var = get_int(record + at_split_var);
        const int32_t split_size = get_int(record + at_split_size);
        const int32_t count = get_int(record + at_count);
        const int32_t int_count = get_int(record + at_int_count);
        const std::size_t values = split_value_count(split_size);
        const std::size_t ints = int_array_count(kind, keep, count, int_count, split_var == -1);
        if (const int code = check(record, values, ints); code != 0) return code;
        if (kind_ == 0) {
            kind_ = kind;
            keep_ = keep;
        }

        node = allocate_node();
        if (node == nullptr) return KEST_ERR_NO_MEMORY;
        *slot.link = node;
        node->kind = kind;
        node->keep = keep;
        node->count = count;
        node->split_var = split_var;
        node->split_size = split_size;
        node->value = get_double(record + at_value);
        node->spread = get_double(record + at_spread);
        node->statistic = get_double(record + at_statistic);
        node->int_count = int_count;
        node->parent = slot.parent;

        if (values > 0) {
            node->split_values = allocate_doubles(values);
            if (node->split_values == nullptr) return KEST_ERR_NO_MEMORY;
            for (std::size_t i = 0; i < values; ++i) {
                unsigned char bytes[8];
                if (!take(bytes, 8)) return KEST_ERR_TREE_VALUES;
                node->split_values[i] = get_double(bytes);
            }
        }
        if (ints > 0) {
            node->int_array = allocate_ints(ints);
            if (node->int_array == nullptr) return KEST_ERR_NO_MEMORY;
            for (std::size_t i = 0; i < ints; ++i) {
                unsigned char bytes[4];
                if (!take(bytes, 4)) return KEST_ERR_TREE_FILE;
                node->int_array[i] = get_int(bytes);
            }
        }
        return 0;
    }

    std::FILE* file_;
    long long remaining_;  // bytes of the file not yet read
    int32_t kind_ = 0;     // kind and keep of the root, once it is read
    int32_t keep_ = 0;
};

// Size of an open regular file; -1 for anything else, whose length cannot
// bound what the reader may allocate.
long long regular_file_size(std::FILE* file)
{
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    return static_cast<long long>(info.st_size);
}

}  // namespace

}  // namespace kest

extern "C" void tree_save(const TreeNode* root, const char* path, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::FilePtr file = kest::open_file(path, "wb");
        // An earlier failure stays the one reported; the file is still
        // created empty, as a caller of a chain of calls expects.
        if (error[0] > 0) return;
        if (!file) {
            error[0] = KEST_ERR_TREE_VALUES;
            return;
        }
        const bool written = root == nullptr || kest::write_tree(file.get(), root);
        // A full disk may show only when the buffer is flushed at the close.
        const bool closed = kest::close_written(file);
        if (!written || !closed) error[0] = KEST_ERR_TREE_VALUES;
    });
}

extern "C" void tree_load(TreeNode** root_out, const char* path, int* error)
{
    if (error == nullptr) return;
    kest::FilePtr file = kest::open_file(path, "rb");
    // A file that cannot be opened leaves the root output as it was: the
    // caller may hold a tree there while trying another file.  An earlier
    // failure stays the one reported.
    if (!file) {
        if (error[0] == 0) error[0] = KEST_ERR_TREE_FILE;
        return;
    }
    // From here on the output holds the tree read, or null after a failure.
    if (root_out != nullptr) *root_out = nullptr;
    kest::run_guarded(error, [&] {
        if (error[0] != 0) return;
        const long long size = kest::regular_file_size(file.get());
        if (size < 0) {
            error[0] = KEST_ERR_TREE_FILE;
            return;
        }
        kest::TreePtr root;
        kest::TreeReader reader(file.get(), size);
        if (const int code = reader.read(root); code != 0) {
            error[0] = code;
            return;
        }
        if (root_out != nullptr) *root_out = root.release();
    });
}
