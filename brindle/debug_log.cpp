#include "debug_log.h"

#include <cstdarg>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brindle {

#if !defined(_WIN32)
// (The Windows side is in debug_log_windows.cpp.)
bool DebugLog::open(const char* path, bool truncate)
{
    close();
    // No O_TRUNC here: a file is emptied only after it is known to be ours.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (truncate ? 0 : O_APPEND);
    const int fd = ::open(path, flags, 0600);
    if (fd < 0) return false;
    struct stat info;
    const bool ours = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
    if (!ours || (truncate && (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0))) {
        ::close(fd);
        return false;
    }
    file_ = ::fdopen(fd, truncate ? "w" : "a");
    if (file_ == nullptr) {
        ::close(fd);
        return false;
    }
    return true;
}
#endif

bool DebugLog::create(const char* path) { return open(path, true); }

bool DebugLog::reopen(const char* path) { return open(path, false); }

void DebugLog::close() noexcept
{
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void DebugLog::write(const char* format, ...) noexcept
{
    if (file_ == nullptr) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file_, format, args);
    va_end(args);
}

}  // namespace brindle
