// Holding a data set's lock for the length of a command.  A command that
// only reads holds it shared across all its passes, so that no writer
// changes the data set between them; a command that changes cells holds it
// alone from its first read to its last write, so that no other process
// comes between what it read and what it writes back.  The library's
// routines that the command (or a plug-in it calls) runs on the data set
// work under the command's lock.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "kest.h"

namespace kest_cli {

enum class Access { read, change };

class DataSetHold {
public:
    DataSetHold() = default;
    explicit DataSetHold(KestLock* lock) noexcept : lock_(lock) {}
    DataSetHold(DataSetHold&& other) noexcept : lock_(other.lock_) { other.lock_ = nullptr; }
    DataSetHold& operator=(DataSetHold&& other) noexcept;
    DataSetHold(const DataSetHold&) = delete;
    DataSetHold& operator=(const DataSetHold&) = delete;
    ~DataSetHold() { xml_unlock(lock_); }

private:
    KestLock* lock_ = nullptr;
};

// Takes the lock of the data set (an empty schema is found from the data
// file), waiting as long as --wait says.  Throws DataSetFailure naming the
// data set when another process holds it for longer.  Holds nothing when
// the schema cannot be found.
DataSetHold hold_data_set(const std::string& data_file, const std::string& schema, Access access);

// The sentence for a data set whose lock could not be had (the detail of
// KEST_ERR_DATA_SET_LOCKED).
std::string describe_locked(const std::string& data_file, const std::string& schema, int detail);

// Takes "--wait SECONDS" (or "--wait=SECONDS") out of a command's
// arguments and keeps it for hold_data_set.  Throws UsageError for a value
// that is not a number of seconds from 0 on.
std::vector<std::string> take_wait_option(std::span<const std::string> args);

}  // namespace kest_cli
