// The lock of a data set.  Readers share it; a writer holds it alone from
// before it reads the current file until its replacement is in place, so
// that two writers never work from the same old file and a reader never
// sees one file of a data set change between its passes.
//
// The lock is taken on a file of its own beside the schema file, named
// after it with ".lock" added (survey.xdr.lock).  The schema is the one
// file every routine of a data set is given and no update replaces, so the
// lock file is never replaced either: a lock on the data file itself would
// stay behind on the old file when the writer renames the new one over it.
// The lock file is left in place; its contents name the process that holds
// the lock through xml_lock, if any.  Locks belong to an open file and die
// with their process, so a crash never leaves a data set locked.
#pragma once

#include <string>

#include "data/fault.h"
#include "kest.h"

namespace kest {

enum class LockMode { shared, exclusive };

// Whether the data set must already exist: readers and the writer lock
// nothing when the schema file is absent (they fail on it by themselves and
// should leave no lock file behind), the converter creates it.
enum class SchemaFile { existing, to_be_created };

class DataSetLock {
public:
    DataSetLock() = default;
    DataSetLock(const DataSetLock&) = delete;
    DataSetLock& operator=(const DataSetLock&) = delete;
    ~DataSetLock() { release(); }

    // Takes the lock, waiting at most wait_ms milliseconds (a negative wait
    // is the default wait) for other processes to let go of it.  When this
    // process already holds the lock alone through xml_lock, the call works
    // under that lock and takes nothing.  A reader in a folder where no lock
    // file exists or can be made reads unlocked, since no writer can
    // replace a file there either.
    // KEST_ERR_DATA_SET_LOCKED with detail 1 when the wait ran out, 2 when a
    // writer can neither open nor create the lock file.
    Outcome acquire(const char* schema_path, LockMode mode, int wait_ms, SchemaFile schema);

    // Marks the lock file as held by this process, so that the routines it
    // calls on the data set work under its lock instead of waiting for it.
    void announce_owner() noexcept;

    // Whether the data set is locked for the caller: by this lock, or by the
    // process's own lock through xml_lock.  False when nothing was locked
    // (no schema, or a reader in a folder without a lock file).
    bool holds() const noexcept { return fd_ >= 0 || covered_; }

    void release() noexcept;

private:
    int fd_ = -1;
    bool announced_ = false;
    bool covered_ = false;
};

// How long the routines wait for a data set's lock.
inline constexpr int default_lock_wait_ms = KEST_LOCK_WAIT_DEFAULT_MS;

}  // namespace kest
