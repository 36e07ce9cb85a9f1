#include "data/data_set_lock.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/guard.h"

namespace kest {

namespace {

// The lock file of a schema: the schema's real path (so that every path to
// one data set finds one lock) with ".lock" added.  A schema that does not
// exist yet is named through its folder's real path.
std::string lock_path_of(const char* schema_path)
{
    char resolved[PATH_MAX];
    if (::realpath(schema_path, resolved) != nullptr) return std::string(resolved) + ".lock";
    const std::string path = schema_path;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (::realpath(folder.c_str(), resolved) != nullptr) return std::string(resolved) + "/" + base + ".lock";
    return path + ".lock";
}

// What a process writes into the lock file when it holds the lock through
// xml_lock.  The process's start time is part of it, so that a process of
// another container that happens to have the same number is not taken for
// this one.
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

bool held_by_this_process(int fd)
{
    char text[512];
    const ssize_t got = ::pread(fd, text, sizeof text, 0);
    if (got <= 0) return false;
    return std::string(text, static_cast<std::size_t>(got)) == this_process_identity();
}

int open_lock_file(const std::string& path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    // A lock file another user made may be read-only for this one; a lock
    // needs no more than an open file.
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

}  // namespace

Outcome DataSetLock::acquire(const char* schema_path, LockMode mode, int wait_ms, SchemaFile schema)
{
    release();
    if (schema_path == nullptr || *schema_path == '\0') return std::nullopt;
    struct stat schema_stat;
    if (schema == SchemaFile::existing && ::stat(schema_path, &schema_stat) != 0) return std::nullopt;

    const int fd = open_lock_file(lock_path_of(schema_path));
    if (fd < 0) {
        // A converter that cannot make the lock file beside the schema it is
        // to create fails on the schema itself, with its own code.
        if (mode == LockMode::shared || schema == SchemaFile::to_be_created) return std::nullopt;
        return Fault{KEST_ERR_DATA_SET_LOCKED, 2};
    }
    fd_ = fd;
    const auto wait = std::chrono::milliseconds(wait_ms < 0 ? default_lock_wait_ms : wait_ms);
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(1);
    const int operation = (mode == LockMode::shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    for (;;) {
        if (::flock(fd_, operation) == 0) {
            // A lone holder clears a mark that a process killed while it held
            // the lock through xml_lock left behind.
            if (mode == LockMode::exclusive && ::ftruncate(fd_, 0) != 0) {
                // read-only lock file: it holds no mark this process could make
            }
            return std::nullopt;
        }
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) {
            release();
            if (mode == LockMode::shared) return std::nullopt;
            return Fault{KEST_ERR_DATA_SET_LOCKED, 2};
        }
        if (held_by_this_process(fd_)) {
            release();  // the process's own lock covers the call
            covered_ = true;
            return std::nullopt;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            release();
            return Fault{KEST_ERR_DATA_SET_LOCKED, 1};
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

void DataSetLock::announce_owner() noexcept
{
    if (fd_ < 0) return;
    try {
        const std::string identity = this_process_identity();
        if (::ftruncate(fd_, 0) == 0 &&
            ::pwrite(fd_, identity.data(), identity.size(), 0) == static_cast<ssize_t>(identity.size()))
            announced_ = true;
    } catch (...) {
        // Without storage for the identity the lock is simply not announced:
        // the process's own routines then wait for it like any other.
    }
}

void DataSetLock::release() noexcept
{
    covered_ = false;
    if (fd_ < 0) return;
    // The mark goes before the lock, so that no later holder finds it.
    if (announced_ && ::ftruncate(fd_, 0) != 0) {
        // A mark that cannot be removed names a process that no longer
        // holds the lock; nothing else trusts the file without the lock.
    }
    announced_ = false;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace kest
