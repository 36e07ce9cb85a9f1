// Replacing a file without ever destroying it: the new contents are written
// to a temporary file in the same folder, flushed to the disk, and renamed
// over the old file only when all of it was written.  A replacement that is
// abandoned removes its temporary file.
#pragma once

#include <cstdio>
#include <string>

#include "data/fault.h"

namespace kest {

class FileReplacement {
public:
    FileReplacement() = default;
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;
    ~FileReplacement();

    // Creates the temporary file beside target (following a symbolic link to
    // the file it names).  Returns false when that is impossible.
    bool create(const char* target);
    std::FILE* stream() const noexcept { return stream_; }

    // Flushes and closes the temporary file, gives it the old file's
    // permissions and renames it over the old file.  1,1 when the contents
    // could not be written completely, 1,2 when the rename failed.
    Outcome commit();

private:
    void abandon() noexcept;

    std::string target_;
    std::string temporary_;
    std::FILE* stream_ = nullptr;
};

}  // namespace kest
