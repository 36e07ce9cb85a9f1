// The binding of the analysis engine: the engine library is loaded by name
// at run time, its six functions are bound by name, and it is released
// when the binding goes out of scope, on every way out of the caller.
// Here the engine is the shared library libkrt.so, found by the dynamic
// loader's usual search (LD_LIBRARY_PATH, the run path of the object that
// loads it, the system folders); on Windows it is krt.dll.
#pragma once

#include <array>
#include <span>
#include <string>

#include "engine_api.h"

namespace kest_platform {

#if defined(_WIN32)
inline constexpr const char* engine_library = "krt.dll";
#else
inline constexpr const char* engine_library = "libkrt.so";
#endif

// Whether a command result counts as success: 0, or the engine's note.
constexpr bool command_succeeded(int result) noexcept { return result == 0 || result == KRT_RESULT_NOTE; }

// Values of one field lent by the engine.  `count` is never negative and
// `values` is not null when count > 0.
struct LentField {
    const void* values = nullptr;
    int count = 0;
};

class Engine {
public:
    // Loads the library and binds the six functions; bound() tells whether
    // both worked.  A library that lacks any of the six is released again.
    explicit Engine(const char* library = engine_library) noexcept;
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    bool bound() const noexcept { return handle_ != nullptr; }
    // Releases the library now; calls after this fail.
    void release() noexcept;

    // Each call answers -1 (a failure) when the engine is not bound.
    int run_command(const std::string& command) noexcept;
    int create_frame(const char* frame) noexcept;
    int insert_float_field(const char* frame, const char* field, std::span<const float> values) noexcept;
    // 0 and the field when the engine lends it with a sound count and
    // pointer; the engine's nonzero result, or -1 for a field it lends
    // with a negative count or a null pointer.
    int get_field(const char* frame, int index, LentField& field) noexcept;

private:
    void* handle_ = nullptr;
    krt_run_command_fn run_command_ = nullptr;
    krt_create_new_frame_fn create_new_frame_ = nullptr;
    krt_insert_ffield_fn insert_ffield_ = nullptr;
    krt_insert_ifield_fn insert_ifield_ = nullptr;
    krt_insert_sfield_fn insert_sfield_ = nullptr;
    krt_get_field_ptr_fn get_field_ptr_ = nullptr;
    // Every command passes this buffer for the engine's reply, which the
    // callers do not read.
    std::array<char, KRT_REPLY_SIZE> reply_{};
};

}  // namespace kest_platform
