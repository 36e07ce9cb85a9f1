// The few file system facilities that differ between the platforms, behind
// one small function each: file_system_posix.cpp and file_system_windows.cpp
// implement them.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest {

// The absolute path of an existing file or folder with its symbolic links
// followed; nothing when it cannot be resolved (it does not exist, say).
std::optional<std::string> resolved_path(const char* path);

// The separator the platform's resolved paths use.
#if defined(_WIN32)
inline constexpr char folder_separator = '\\';
#else
inline constexpr char folder_separator = '/';
#endif

// The position of the last folder separator of a path ('/', and on Windows
// also '\\'), or npos.
std::size_t last_separator(const std::string& path) noexcept;

// Creates a new file from a template whose last six characters are XXXXXX
// (replaced in place by the name chosen) and opens it for binary writing.
std::FILE* create_unique_file(std::string& name_template) noexcept;

// Hands what the stream wrote (already flushed to the system) to the disk.
bool flush_to_disk(std::FILE* stream) noexcept;

// Gives the open file the permissions of the file at target, if it exists.
void copy_permissions(const std::string& target, std::FILE* stream) noexcept;

// Puts the file from in place of the file to in one step: a reader sees the
// old file or the new one, never neither.
bool replace_file(const std::string& from, const std::string& to) noexcept;

void remove_file(const std::string& path) noexcept;

// The names of the regular files (not links, not folders) in a folder
// (empty: the working folder, otherwise ending with a separator) that
// wanted accepts; only those are looked at.
std::vector<std::string> regular_files_in(const std::string& folder,
                                          const std::function<bool(std::string_view)>& wanted);

}  // namespace kest
