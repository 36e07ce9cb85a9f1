#include "data/line_reader.h"

#include <cstring>

namespace kest {

namespace {
constexpr std::size_t chunk_size = std::size_t{1} << 18;
}

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
    if (file_) buffer_.resize(chunk_size + max_length + 1);
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
