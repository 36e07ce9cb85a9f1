#include "data/file_system.h"

#include <climits>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kest {

std::optional<std::string> resolved_path(const char* path)
{
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr) return std::nullopt;
    return std::string(resolved);
}

std::size_t last_separator(const std::string& path) noexcept { return path.rfind('/'); }

std::FILE* create_unique_file(std::string& name_template) noexcept
{
    const int fd = ::mkstemp(name_template.data());
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, "wb");
    if (stream == nullptr) {
        ::close(fd);
        ::unlink(name_template.c_str());
    }
    return stream;
}

bool flush_to_disk(std::FILE* stream) noexcept { return ::fdatasync(::fileno(stream)) == 0; }

void copy_permissions(const std::string& target, std::FILE* stream) noexcept
{
    struct stat old_file;
    if (::stat(target.c_str(), &old_file) == 0) ::fchmod(::fileno(stream), old_file.st_mode & 07777);
}

bool replace_file(const std::string& from, const std::string& to) noexcept
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

void remove_file(const std::string& path) noexcept { ::unlink(path.c_str()); }

std::vector<std::string> regular_files_in(const std::string& folder,
                                          const std::function<bool(std::string_view)>& wanted)
{
    std::vector<std::string> names;
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()), ::closedir);
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (!wanted(entry->d_name)) continue;
        struct stat file;
        if (::lstat((folder + entry->d_name).c_str(), &file) == 0 && S_ISREG(file.st_mode))
            names.emplace_back(entry->d_name);
    }
    return names;
}

}  // namespace kest
