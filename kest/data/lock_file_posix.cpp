#include "data/lock_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "data/data_set_lock.h"

namespace kest {

int open_lock_file(const std::string& path) noexcept
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // A lock file another user made may be read-only for this one; a lock
    // needs no more than an open file.
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

LockAttempt try_lock_file(int fd, LockMode mode) noexcept
{
    const int operation = (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    for (;;) {
        if (::flock(fd, operation) == 0) return LockAttempt::taken;
        if (errno == EINTR) continue;
        return errno == EWOULDBLOCK ? LockAttempt::busy : LockAttempt::failed;
    }
}

std::string lock_file_text(int fd)
{
    char text[512];
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    if (got <= 0) return std::string();
    return std::string(text, static_cast<std::size_t>(got));
}

bool empty_lock_file(int fd) noexcept { return ::ftruncate(fd, 0) == 0; }

bool write_lock_file(int fd, const std::string& text) noexcept
{
    return ::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

void close_lock_file(int fd) noexcept { ::close(fd); }

std::string this_process_identity()
{
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::string identity = std::string(host) + " " + std::to_string(::getpid());
    if (std::FILE* stat = std::fopen("/proc/self/stat", "r")) {
        char text[1024] = {};
        const std::size_t got = std::fread(text, 1, sizeof text - 1, stat);
        std::fclose(stat);
        // The start time is field 22; the command name in field 2 may hold
        // blanks but ends with the last ')'.
        const char* p = std::strrchr(text, ')');
        for (int field = 2; p != nullptr && field < 22 && p < text + got; ++field) p = std::strchr(p + 1, ' ');
        if (p != nullptr) identity += " " + std::string(p + 1, std::strcspn(p + 1, " "));
    }
    return identity + "\n";
}

}  // namespace kest
