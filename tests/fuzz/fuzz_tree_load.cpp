// tree_load on any tree file; a tree it accepts is saved again and must
// load back.
#include <cstdlib>

#include "fuzz_support.h"
#include "kest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string file = fuzz::path_of("t.tree");
    fuzz::write_file(file, std::string_view(reinterpret_cast<const char*>(data), size));
    TreeNode* root = nullptr;
    int error[2] = {0, 0};
    tree_load(&root, file.c_str(), error);
    if (error[0] != 0) {
        if (root != nullptr) std::abort();  // a refused file leaves no tree behind
        return 0;
    }
    const std::string again = fuzz::path_of("t2.tree");
    tree_save(root, again.c_str(), error);
    TreeNode* reloaded = nullptr;
    if (error[0] == 0) tree_load(&reloaded, again.c_str(), error);
    if (error[0] != 0) std::abort();  // what was accepted must survive a round trip
    tree_free(reloaded);
    tree_free(root);
    return 0;
}
