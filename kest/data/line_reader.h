// Line-by-line reading of the data set's text files.  Lines are returned as
// views into one reusable buffer, so reading costs one copy from the stream
// and no allocation per line; a line that cannot fit the format's line
// buffer is reported instead of being split.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "kest.h"

namespace kest {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a file, accepting a null path as a file that cannot be opened.
FilePtr open_file(const char* path, const char* mode) noexcept;

// Closes a file that was written; false when any of it could not be written
// (a full disk shows only at the flush or the close).
bool close_written(FilePtr& file) noexcept;

class LineReader {
public:
    // A line holds at most this many characters before its line feed.
    static constexpr std::size_t max_length = KEST_MAX_LINE - 1;

    enum class Result { line, end, too_long, read_error };

    explicit LineReader(const char* path);
    bool is_open() const noexcept { return file_ != nullptr; }
    void close() noexcept { file_.reset(); }

    // Reads the next line.  On Result::line, line() is valid until the next
    // call; it excludes the line feed, which had_line_feed() reports (the
    // last line of a file may lack it).
    Result next();
    std::string_view line() const noexcept { return line_; }
    bool had_line_feed() const noexcept { return had_line_feed_; }
    // Number of the line last returned (or refused), counted from 1.
    long line_number() const noexcept { return line_number_; }

private:
    bool refill();

    FilePtr file_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool at_eof_ = false;
    bool failed_ = false;
    std::string_view line_;
    bool had_line_feed_ = false;
    long line_number_ = 0;
};

}  // namespace kest
