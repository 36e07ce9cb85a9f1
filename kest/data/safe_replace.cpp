#include "data/safe_replace.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kest {

namespace {
constexpr std::size_t stream_buffer = std::size_t{1} << 20;
constexpr std::size_t write_back_step = std::size_t{8} << 20;
}

FileReplacement::~FileReplacement() { abandon(); }

void FileReplacement::abandon() noexcept
{
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        temporary_.clear();
    }
}

bool FileReplacement::create(const char* target)
{
    if (target == nullptr || *target == '\0') return false;
    char resolved[PATH_MAX];
    target_ = ::realpath(target, resolved) != nullptr ? resolved : target;

    const std::size_t slash = target_.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    // The name is in place before the file exists, so that a failure from
    // here on can always remove it.
    temporary_ = folder + "." + base + ".XXXXXX";
    const int fd = ::mkstemp(temporary_.data());
    if (fd < 0) {
        temporary_.clear();
        return false;
    }
    stream_ = ::fdopen(fd, "wb");
    if (stream_ == nullptr) {
        ::close(fd);
        abandon();
        return false;
    }
    buffer_ = std::make_unique<char[]>(stream_buffer);
    std::setvbuf(stream_, buffer_.get(), _IOFBF, stream_buffer);
    return true;
}

void FileReplacement::write(const char* data, std::size_t size)
{
    std::fwrite(data, 1, size, stream_);
    written_ += size;
#if defined(SYNC_FILE_RANGE_WRITE)
    if (written_ - started_ >= write_back_step && std::fflush(stream_) == 0) {
        const off_t end = ::ftello(stream_);
        if (end > static_cast<off_t>(started_))
            ::sync_file_range(::fileno(stream_), static_cast<off_t>(started_), end - static_cast<off_t>(started_),
                              SYNC_FILE_RANGE_WRITE);
        started_ = written_ = static_cast<std::size_t>(end);
    }
#endif
}

Outcome FileReplacement::commit()
{
    std::FILE* stream = stream_;
    stream_ = nullptr;
    bool written = std::fflush(stream) == 0 && !std::ferror(stream);
    written = written && ::fdatasync(::fileno(stream)) == 0;
    struct stat old_file;
    if (written && ::stat(target_.c_str(), &old_file) == 0)
        ::fchmod(::fileno(stream), old_file.st_mode & 07777);
    written = (std::fclose(stream) == 0) && written;
    if (!written) {
        abandon();
        return Fault{1, 1};
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        abandon();
        return Fault{1, 2};
    }
    temporary_.clear();
    return std::nullopt;
}

}  // namespace kest
