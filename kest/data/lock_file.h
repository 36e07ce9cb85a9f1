// The platform's side of a data set's lock, behind one small function per
// facility: lock_file_posix.cpp (flock on the lock file, the identity from
// /proc) and lock_file_windows.cpp (LockFileEx, the identity from
// GetProcessTimes).  A lock file is named by an int descriptor on both.
#pragma once

#include <string>

namespace kest {

enum class LockMode;

// Opens (or creates) the lock file for reading and writing, or only for
// reading when that is all this user may; -1 when neither works.
int open_lock_file(const std::string& path) noexcept;

enum class LockAttempt { taken, busy, failed };

// Tries once, without waiting, to lock the file shared or alone.  Locks
// belong to the open file: a second open file of the same process is
// refused like another process.
LockAttempt try_lock_file(int fd, LockMode mode) noexcept;

// What the lock file holds (at most its first 512 bytes); empty when it
// cannot be read.
std::string lock_file_text(int fd);

// Empties the lock file, or replaces its contents with text.
bool empty_lock_file(int fd) noexcept;
bool write_lock_file(int fd, const std::string& text) noexcept;

// Closes the file, which lets go of its lock.
void close_lock_file(int fd) noexcept;

// What identifies this process in a lock file: the host, the process number
// and the process's start time, so that a process of another machine or
// container, or a later one with the same number, is never taken for it.
std::string this_process_identity();

}  // namespace kest
