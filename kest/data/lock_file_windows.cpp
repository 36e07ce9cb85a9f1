#include "data/lock_file.h"

#include <cstdint>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "data/data_set_lock.h"

namespace kest {

namespace {

// Windows locks are mandatory: a locked byte can be neither read nor
// written through another open file.  So the lock covers one byte far past
// the end of the file, never its contents, and every process can still read
// which process holds the lock.
constexpr DWORD lock_offset_high = 0x7fffffff;

HANDLE handle_of(int fd) noexcept { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

OVERLAPPED lock_position() noexcept
{
    OVERLAPPED position{};
    position.Offset = 0;
    position.OffsetHigh = lock_offset_high;
    return position;
}

}  // namespace

int open_lock_file(const std::string& path) noexcept
{
    int fd = ::_open(path.c_str(), _O_RDWR | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    // A lock file another user made may be read-only for this one; a lock
    // needs no more than an open file.
    if (fd < 0) fd = ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    return fd;
}

LockAttempt try_lock_file(int fd, LockMode mode) noexcept
{
    const HANDLE file = handle_of(fd);
    if (file == INVALID_HANDLE_VALUE) return LockAttempt::failed;
    OVERLAPPED position = lock_position();
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (mode == LockMode::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (::LockFileEx(file, flags, 0, 1, 0, &position) != 0) return LockAttempt::taken;
    const DWORD failure = ::GetLastError();
    return failure == ERROR_LOCK_VIOLATION || failure == ERROR_IO_PENDING ? LockAttempt::busy : LockAttempt::failed;
}

std::string lock_file_text(int fd)
{
    const HANDLE file = handle_of(fd);
    char text[512];
    OVERLAPPED start{};
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || ::ReadFile(file, text, sizeof text, &got, &start) == 0) return std::string();
    return std::string(text, got);
}

bool empty_lock_file(int fd) noexcept { return ::_chsize(fd, 0) == 0; }

bool write_lock_file(int fd, const std::string& text) noexcept
{
    const HANDLE file = handle_of(fd);
    OVERLAPPED start{};
    DWORD put = 0;
    return file != INVALID_HANDLE_VALUE && empty_lock_file(fd) &&
           ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &put, &start) != 0 && put == text.size();
}

void close_lock_file(int fd) noexcept
{
    // The lock is let go of at once rather than whenever the system gets to
    // the closed handle, so that a waiting process need not wait longer.
    const HANDLE file = handle_of(fd);
    OVERLAPPED position = lock_position();
    if (file != INVALID_HANDLE_VALUE) ::UnlockFileEx(file, 0, 1, 0, &position);
    ::_close(fd);
}

std::string this_process_identity()
{
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD host_size = sizeof host;
    if (::GetComputerNameA(host, &host_size) == 0) host[0] = '\0';
    std::string identity = std::string(host) + " " + std::to_string(::GetCurrentProcessId());
    FILETIME created{}, exited{}, kernel{}, user{};
    if (::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user) != 0)
        identity += " " + std::to_string((static_cast<std::uint64_t>(created.dwHighDateTime) << 32) |
                                         created.dwLowDateTime);
    return identity + "\n";
}

}  // namespace kest
