#include "data/line_reader.h"

#include <algorithm>
#include <cstring>

namespace kest {

namespace {
// The stream is read in chunks of this size.  The buffer holds a chunk and
// the unread tail of the last one, and grows only when a line longer than
// that tail room comes, up to a chunk and the longest line.
constexpr std::size_t chunk_size = std::size_t{1} << 18;
constexpr std::size_t initial_tail_room = std::size_t{1} << 14;
constexpr std::size_t largest_buffer = chunk_size + LineReader::max_length + 1;
}  // namespace

FilePtr open_file(const char* path, const char* mode) noexcept
{
    if (path == nullptr || *path == '\0') return nullptr;
    return FilePtr(std::fopen(path, mode));
}

bool close_written(FilePtr& file) noexcept
{
    std::FILE* f = file.release();
    const bool flushed = std::fflush(f) == 0 && !std::ferror(f);
    return (std::fclose(f) == 0) && flushed;
}

LineReader::LineReader(const char* path) : file_(open_file(path, "rb"))
{
    if (file_) buffer_.resize(chunk_size + initial_tail_room);
}

// Moves the unread tail to the front and appends what the stream has.
// Returns false when nothing more could be read.
bool LineReader::refill()
{
    if (at_eof_ || failed_) return false;
    const std::size_t tail = end_ - begin_;
    if (tail > 0 && begin_ > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, tail);
    begin_ = 0;
    end_ = tail;
    // A pending line (at most max_length characters, or next() would have
    // refused it) always leaves room for a whole chunk.
    if (buffer_.size() - end_ < chunk_size && buffer_.size() < largest_buffer)
        buffer_.resize(std::min(largest_buffer, std::max(end_ + chunk_size, 2 * buffer_.size())));
    const std::size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_.get());
    end_ += got;
    if (got == 0) {
        if (std::ferror(file_.get())) failed_ = true;
        else at_eof_ = true;
        return false;
    }
    return true;
}

LineReader::Result LineReader::next()
{
    if (!file_) return Result::end;
    std::size_t searched = 0;  // bytes of the pending line already known to hold no line feed
    for (;;) {
        const char* start = buffer_.data() + begin_;
        const std::size_t available = end_ - begin_;
        const void* feed = std::memchr(start + searched, '\n', available - searched);
        if (feed != nullptr) {
            const std::size_t length = static_cast<const char*>(feed) - start;
            ++line_number_;
            if (length > max_length) return Result::too_long;
            line_ = std::string_view(start, length);
            had_line_feed_ = true;
            begin_ += length + 1;
            return Result::line;
        }
        searched = available;
        if (available > max_length) {
            ++line_number_;
            return Result::too_long;
        }
        if (!refill()) {
            if (failed_) return Result::read_error;
            if (end_ == begin_) return Result::end;
            // The last line of the file ends without a line feed.
            ++line_number_;
            line_ = std::string_view(buffer_.data() + begin_, end_ - begin_);
            had_line_feed_ = false;
            begin_ = end_;
            return Result::line;
        }
        // refill moved the pending line to the front; its bytes hold no line feed
        searched = available;
    }
}

}  // namespace kest
