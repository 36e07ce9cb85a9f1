#include "data/file_system.h"

#include <cstdlib>

#include <io.h>
#include <windows.h>

namespace kest {

std::optional<std::string> resolved_path(const char* path)
{
    // The final path of the file a link (or junction) names.
    const HANDLE file = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    char resolved[MAX_PATH + 1];
    const DWORD length = ::GetFinalPathNameByHandleA(file, resolved, sizeof resolved, FILE_NAME_NORMALIZED);
    ::CloseHandle(file);
    if (length == 0 || length >= sizeof resolved) return std::nullopt;
    std::string result(resolved, length);
    // The long-path prefix \\?\ is left out, so that the names stay ordinary.
    if (result.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + result.substr(8);
    if (result.rfind("\\\\?\\", 0) == 0) return result.substr(4);
    return result;
}

std::size_t last_separator(const std::string& path) noexcept { return path.find_last_of("/\\"); }

std::FILE* create_unique_file(std::string& name_template) noexcept
{
    // mingw-w64's mkstemp creates the file exclusively, in binary mode.
    const int fd = ::mkstemp(name_template.data());
    if (fd < 0) return nullptr;
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (stream == nullptr) {
        ::_close(fd);
        ::DeleteFileA(name_template.c_str());
    }
    return stream;
}

bool flush_to_disk(std::FILE* stream) noexcept
{
    const intptr_t handle = ::_get_osfhandle(::_fileno(stream));
    return handle != -1 && ::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) != 0;
}

void copy_permissions(const std::string&, std::FILE*) noexcept
{
    // A new file takes the access rules of its folder, as the old one did.
}

bool replace_file(const std::string& from, const std::string& to) noexcept
{
    return ::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_file(const std::string& path) noexcept { ::DeleteFileA(path.c_str()); }

std::vector<std::string> regular_files_in(const std::string& folder,
                                          const std::function<bool(std::string_view)>& wanted)
{
    std::vector<std::string> names;
    std::string pattern = folder.empty() ? "." : folder;
    if (pattern.back() != '/' && pattern.back() != '\\') pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    struct SearchEnd {
        HANDLE search;
        ~SearchEnd() { ::FindClose(search); }
    } const end{search};
    do {
        const DWORD not_regular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
        if ((found.dwFileAttributes & not_regular) == 0 && wanted(found.cFileName))
            names.emplace_back(found.cFileName);
    } while (::FindNextFileA(search, &found) != 0);
    return names;
}

}  // namespace kest
