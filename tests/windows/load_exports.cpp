// A host as the system's Windows hosts are: it loads each DLL with
// LoadLibraryA and resolves every export by the name a host looks up,
// the decorated name of a __stdcall export computed here from the argument
// types the header declares.  It then calls through a few of the resolved
// names, which proves the calling conventions match the header.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine_api.h"
#include "kest.h"
#include "quillon.h"

namespace {

int failures = 0;

void check(bool ok, const std::string& what)
{
    if (!ok) {
        std::printf("FAILED: %s\n", what.c_str());
        ++failures;
    }
}

// Bytes a __stdcall function removes from the stack: every argument takes
// a multiple of four bytes.
template <class Argument>
constexpr int stack_bytes()
{
    return (static_cast<int>(sizeof(Argument)) + 3) / 4 * 4;
}

template <class Result, class... Arguments>
constexpr int argument_bytes(Result(KEST_CALL*)(Arguments...))
{
    return (stack_bytes<Arguments>() + ... + 0);
}

enum class Names { decorated_only, both };

struct KestExport {
    const char* name;
    int bytes;
    Names names;
};

#define KEST_EXPORT(name, names) {#name, argument_bytes(&name), Names::names}

// Every export of kest.h; anova_tree, gini_tree, set_rand_seed, tree_free,
// tree_load, tree_save, tree_score and waid_tree under the decorated name
// only.
const KestExport kest_exports[] = {
    KEST_EXPORT(xml_lock, both),       KEST_EXPORT(xml_unlock, both),
    KEST_EXPORT(xml_data_size, both),  KEST_EXPORT(xml_read, both),
    KEST_EXPORT(xml_update, both),     KEST_EXPORT(data_conv, both),
    KEST_EXPORT(list_names, both),     KEST_EXPORT(alloc_names, both),
    KEST_EXPORT(get_names, both),      KEST_EXPORT(free_list, both),
    KEST_EXPORT(set_rand_seed, decorated_only), KEST_EXPORT(waid_tree, decorated_only),
    KEST_EXPORT(tree_score, decorated_only),    KEST_EXPORT(tree_save, decorated_only),
    KEST_EXPORT(tree_load, decorated_only),     KEST_EXPORT(tree_free, decorated_only),
    KEST_EXPORT(gini_tree, decorated_only),     KEST_EXPORT(anova_tree, decorated_only),
    KEST_EXPORT(gen_imp, both),        KEST_EXPORT(simp_imp, both),
    KEST_EXPORT(em, both),             KEST_EXPORT(bacon, both),
    KEST_EXPORT(summ_stats, both),     KEST_EXPORT(bar_chart, both),
    KEST_EXPORT(read_rep, both),
};

bool is_32_bit() { return sizeof(void*) == 4; }

std::string decorated(const KestExport& e) { return "_" + std::string(e.name) + "@" + std::to_string(e.bytes); }

FARPROC find(HMODULE module, const std::string& name) { return GetProcAddress(module, name.c_str()); }

template <class Function>
Function as(FARPROC address)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

void check_kest()
{
    const HMODULE kest = LoadLibraryA("kest.dll");
    check(kest != nullptr, "LoadLibraryA(\"kest.dll\")");
    if (kest == nullptr) return;
    check(!is_32_bit() || decorated(kest_exports[11]) == "_waid_tree@88", "waid_tree takes 88 bytes of arguments");
    for (const KestExport& e : kest_exports) {
        const FARPROC plain = find(kest, e.name);
        if (!is_32_bit()) {
            check(plain != nullptr, std::string("kest.dll exports ") + e.name);
            continue;
        }
        const FARPROC with_size = find(kest, decorated(e));
        check(with_size != nullptr, "kest.dll exports " + decorated(e));
        if (e.names == Names::both)
            check(plain == with_size, std::string("kest.dll exports ") + e.name + " as the same function");
        else
            check(plain == nullptr, std::string("kest.dll does not export the plain name ") + e.name);
        // The other decoration conventions must not be there.
        check(find(kest, std::string(e.name) + "@" + std::to_string(e.bytes)) == nullptr,
              std::string("kest.dll has no ") + e.name + "@" + std::to_string(e.bytes));
    }

    // Through the name a host looks up, with the header's convention.
    RandState state{};
    const auto seed = as<decltype(&set_rand_seed)>(
        find(kest, is_32_bit() ? decorated(KEST_EXPORT(set_rand_seed, decorated_only)) : "set_rand_seed"));
    if (seed != nullptr) {
        seed(34, &state);
        check(state.marker == 1851, "set_rand_seed through its export marks the state");
    }
    const auto names = as<decltype(&alloc_names)>(find(kest, "alloc_names"));
    const auto get = as<decltype(&get_names)>(find(kest, "get_names"));
    const auto release = as<decltype(&free_list)>(find(kest, "free_list"));
    if (names != nullptr && get != nullptr && release != nullptr) {
        char** list = nullptr;
        char* first = names(&list, 2, 0, 8);
        char* second = names(&list, 2, 1, 8);
        check(first != nullptr && second != nullptr, "alloc_names through its plain export");
        if (first != nullptr && second != nullptr) {
            std::strcpy(second, "income");
            char copy[32] = {};
            get(list, 1, copy);
            check(std::strcmp(copy, "income</name>") == 0, "get_names through its plain export");
        }
        release(list, 2);
    }
    FreeLibrary(kest);
}

void check_plugin(const char* dll, const char* wrapper)
{
    const HMODULE plugin = LoadLibraryA(dll);
    check(plugin != nullptr, std::string("LoadLibraryA(\"") + dll + "\")");
    if (plugin == nullptr) return;
    check(find(plugin, wrapper) != nullptr, std::string(dll) + " exports " + wrapper);
    // Every plug-in's TAV_IMPUTATION is called alike, with quillon's seven
    // arguments (quillon.h's declaration): brindle's takes six, and under __cdecl the caller clears
    // the stack, so the extra argument does no harm.
    const auto imputation = as<decltype(&TAV_IMPUTATION)>(find(plugin, "TAV_IMPUTATION"));
    check(imputation != nullptr, std::string(dll) + " exports TAV_IMPUTATION");
    if (imputation != nullptr && std::strcmp(dll, "brindle.dll") == 0)
        check(imputation(nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr) == 0, "brindle's TAV_IMPUTATION returns 0");
    if (imputation != nullptr && std::strcmp(dll, "quillon.dll") == 0)
        check(imputation(nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr) == QUILLON_SETTINGS_OF_FIRST_FAILED,
              "quillon's TAV_IMPUTATION refuses null arguments");
    FreeLibrary(plugin);
}

void check_engine()
{
    const HMODULE engine = LoadLibraryA("krt.dll");
    check(engine != nullptr, "LoadLibraryA(\"krt.dll\")");
    if (engine == nullptr) return;
    for (const char* name : {"run_KRT_command", "create_new_frame", "krt_insert_ffield", "krt_insert_ifield",
                             "krt_insert_sfield", "get_field_ptr"})
        check(find(engine, name) != nullptr, std::string("krt.dll exports ") + name);
    const auto create = as<krt_create_new_frame_fn>(find(engine, "create_new_frame"));
    if (create != nullptr) check(create("data") == 0, "create_new_frame through its export");
    FreeLibrary(engine);
}

}  // namespace

int main()
{
    check_kest();
    check_plugin("brindle.dll", "TAV_WAID_WRAPPER");
    check_plugin("quillon.dll", "TAV_TSSOM_WRAPPER");
    check_engine();
    if (failures == 0) std::printf("every export found by its name\n");
    return failures == 0 ? 0 : 1;
}
