#include "data/data_set_lock.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include <sys/stat.h>

#include "data/file_system.h"
#include "data/lock_file.h"
#include "internal/guard.h"

namespace kest {

namespace {

// The lock file of a schema: the schema's real path (so that every path to
// one data set finds one lock) with ".lock" added.  A schema that does not
// exist yet is named through its folder's real path.
std::string lock_path_of(const char* schema_path)
{
    if (const auto resolved = resolved_path(schema_path)) return *resolved + ".lock";
    const std::string path = schema_path;
    const std::size_t slash = last_separator(path);
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (const auto resolved = resolved_path(folder.c_str())) {
        const bool ends_with_separator = !resolved->empty() && last_separator(*resolved) == resolved->size() - 1;
        return *resolved + (ends_with_separator ? "" : std::string(1, folder_separator)) + base + ".lock";
    }
    return path + ".lock";
}

bool held_by_this_process(int fd) { return lock_file_text(fd) == this_process_identity(); }

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
    for (;;) {
        const LockAttempt attempt = try_lock_file(fd_, mode);
        if (attempt == LockAttempt::taken) {
            // A lone holder clears a mark that a process killed while it held
            // the lock through xml_lock left behind.
            if (mode == LockMode::exclusive && !empty_lock_file(fd_)) {
                // read-only lock file: it holds no mark this process could make
            }
            return std::nullopt;
        }
        if (attempt == LockAttempt::failed) {
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
        if (write_lock_file(fd_, identity)) announced_ = true;
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
    if (announced_ && !empty_lock_file(fd_)) {
        // A mark that cannot be removed names a process that no longer
        // holds the lock; nothing else trusts the file without the lock.
    }
    announced_ = false;
    close_lock_file(fd_);
    fd_ = -1;
}

}  // namespace kest
