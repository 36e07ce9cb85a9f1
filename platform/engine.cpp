// Loading the analysis engine and binding its functions by name: dlopen,
// dlsym and dlclose here, LoadLibraryA, GetProcAddress and FreeLibrary on
// Windows.
#include "engine.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <link.h>
#endif

#include <climits>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace kest_platform {

namespace {

#if !defined(_WIN32)
// The folders the loader searches for a library that this module (the
// plug-in, or the program the binding is linked into) loads by name:
// LD_LIBRARY_PATH, the module's run path, the system folders.
std::vector<std::string> search_folders()
{
    std::vector<std::string> folders;
    Dl_info where{};
    void* self = nullptr;
    if (dladdr(reinterpret_cast<void*>(&search_folders), &where) != 0 && where.dli_fname != nullptr &&
        where.dli_fname[0] != '\0')
        self = dlopen(where.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    if (self == nullptr) self = dlopen(nullptr, RTLD_NOW);  // the program itself
    if (self == nullptr) return folders;
    Dl_serinfo size{};
    if (dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<std::max_align_t> storage((size.dls_size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        auto* list = reinterpret_cast<Dl_serinfo*>(storage.data());
        list->dls_size = size.dls_size;
        list->dls_cnt = size.dls_cnt;
        if (dlinfo(self, RTLD_DI_SERINFO, list) == 0)
            for (unsigned i = 0; i < list->dls_cnt; ++i)
                if (list->dls_serpath[i].dls_name != nullptr) folders.emplace_back(list->dls_serpath[i].dls_name);
    }
    dlclose(self);
    return folders;
}
#endif

void* open_library(const char* name) noexcept
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(LoadLibraryA(name));
#else
    void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr || std::strchr(name, '/') != nullptr) return handle;
    // A dlopen interposed by another library (the address sanitizer's, say)
    // searches with that library's run path instead of this module's, so
    // the search is made again through this module's own folders.
    try {
        for (const std::string& folder : search_folders()) {
            handle = dlopen((folder + "/" + name).c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle != nullptr) return handle;
        }
    } catch (...) {
        // No storage for the search: the library counts as not found.
    }
    return nullptr;
#endif
}

void close_library(void* handle) noexcept
{
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

// Binds one function by name into `target`; false when the library lacks it.
template <class Function>
bool bind(void* handle, const char* name, Function& target) noexcept
{
#if defined(_WIN32)
    // Through the generic function pointer type, which converts to any
    // other without a warning.
    using AnyFunction = void (*)();
    target = reinterpret_cast<Function>(
        reinterpret_cast<AnyFunction>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name)));
#else
    target = reinterpret_cast<Function>(dlsym(handle, name));
#endif
    return target != nullptr;
}

}  // namespace

Engine::Engine(const char* library) noexcept
{
    if (library == nullptr) return;
    handle_ = open_library(library);
    if (handle_ == nullptr) return;
    const bool all_bound = bind(handle_, "run_KRT_command", run_command_) &&
                           bind(handle_, "create_new_frame", create_new_frame_) &&
                           bind(handle_, "krt_insert_ffield", insert_ffield_) &&
                           bind(handle_, "krt_insert_ifield", insert_ifield_) &&
                           bind(handle_, "krt_insert_sfield", insert_sfield_) &&
                           bind(handle_, "get_field_ptr", get_field_ptr_);
    if (!all_bound) release();
}

Engine::~Engine() { release(); }

void Engine::release() noexcept
{
    if (handle_ != nullptr) close_library(handle_);
    handle_ = nullptr;
    run_command_ = nullptr;
    create_new_frame_ = nullptr;
    insert_ffield_ = nullptr;
    insert_ifield_ = nullptr;
    insert_sfield_ = nullptr;
    get_field_ptr_ = nullptr;
}

int Engine::run_command(const std::string& command) noexcept
{
    if (!bound()) return -1;
    reply_[0] = '\0';
    return run_command_(command.c_str(), reply_.data(), static_cast<int>(reply_.size()));
}

int Engine::create_frame(const char* frame) noexcept
{
    if (!bound()) return -1;
    return create_new_frame_(frame);
}

int Engine::insert_float_field(const char* frame, const char* field, std::span<const float> values) noexcept
{
    if (!bound() || values.size() > static_cast<std::size_t>(INT_MAX)) return -1;
    return insert_ffield_(frame, field, static_cast<int>(values.size()), values.data());
}

int Engine::get_field(const char* frame, int index, LentField& field) noexcept
{
    field = LentField{};
    if (!bound()) return -1;
    void* values = nullptr;
    int count = 0;
    const int result = get_field_ptr_(frame, index, &values, &count);
    if (result != 0) return result;
    if (count < 0 || (count > 0 && values == nullptr)) return -1;
    field.values = values;
    field.count = count;
    return 0;
}

}  // namespace kest_platform
