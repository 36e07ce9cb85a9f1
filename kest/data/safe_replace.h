// Replacing a file without ever destroying it: the new contents are written
// to a temporary file in the same folder, flushed to the disk, and renamed
// over the old file only when all of it was written.  A replacement that is
// abandoned removes its temporary file.
#pragma once

#include <cstdio>
#include <memory>
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

    // Appends to the temporary file.  Large files are handed to the disk in
    // the background as they grow, so that the flush at the end has little
    // left to wait for.
    void write(const char* data, std::size_t size);

    // Flushes and closes the temporary file, gives it the old file's
    // permissions and renames it over the old file.  1,1 when the contents
    // could not be written completely, 1,2 when the rename failed.
    Outcome commit();

private:
    void abandon() noexcept;

    std::string target_;
    std::string temporary_;
    std::unique_ptr<char[]> buffer_;  // the stream's buffer; lives until the stream is closed
    std::FILE* stream_ = nullptr;
    std::size_t written_ = 0;  // bytes handed to the stream (as far as known)
    std::size_t started_ = 0;  // offset up to which write-back has been started
};

// Removes the temporary files that replacements of target left when their
// process was killed part way.  Only a holder of the data set's lock alone
// may call this: no live writer can own such a file then.
void remove_abandoned_replacements(const char* target) noexcept;

}  // namespace kest
