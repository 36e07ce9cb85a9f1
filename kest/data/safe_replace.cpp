#include "data/safe_replace.h"

#include <cctype>
#include <string_view>

#if !defined(_WIN32)
#include <fcntl.h>  // sync_file_range
#endif

#include "data/file_system.h"

namespace kest {

namespace {
constexpr std::size_t stream_buffer = std::size_t{1} << 20;
constexpr std::size_t write_back_step = std::size_t{8} << 20;

struct PathParts {
    std::string folder;  // with its closing slash; empty for the working folder
    std::string base;
};

PathParts split_path(const std::string& path)
{
    const std::size_t slash = last_separator(path);
    if (slash == std::string::npos) return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// Temporary files of a target are hidden and carry its name and six
// characters that mkstemp chose: ".survey.xml.a1B2c3".
std::string temporary_prefix(const std::string& base) { return "." + base + "."; }
constexpr std::size_t temporary_suffix_length = 6;

bool is_temporary_of(std::string_view name, const std::string& prefix)
{
    if (name.size() != prefix.size() + temporary_suffix_length || name.substr(0, prefix.size()) != prefix)
        return false;
    for (char c : name.substr(prefix.size()))
        if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}
}  // namespace

void remove_abandoned_replacements(const char* target) noexcept
{
    if (target == nullptr || *target == '\0') return;
    try {
        const PathParts parts = split_path(resolved_path(target).value_or(target));
        const std::string prefix = temporary_prefix(parts.base);
        const auto temporary = [&prefix](std::string_view name) { return is_temporary_of(name, prefix); };
        for (const std::string& name : regular_files_in(parts.folder, temporary)) remove_file(parts.folder + name);
    } catch (...) {
        // Without storage for the names the leftovers stay for the next writer.
    }
}

FileReplacement::~FileReplacement() { abandon(); }

void FileReplacement::abandon() noexcept
{
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporary_.empty()) {
        remove_file(temporary_);
        temporary_.clear();
    }
}

bool FileReplacement::create(const char* target)
{
    if (target == nullptr || *target == '\0') return false;
    // A link is followed to the file it names, so that the replacement lands
    // there and not over the link.
    target_ = resolved_path(target).value_or(target);
    const PathParts parts = split_path(target_);
    // The name is in place before the file exists, so that a failure from
    // here on can always remove it.
    temporary_ = parts.folder + temporary_prefix(parts.base) + "XXXXXX";
    stream_ = create_unique_file(temporary_);
    if (stream_ == nullptr) {
        temporary_.clear();
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
    written = written && flush_to_disk(stream);
    if (written) copy_permissions(target_, stream);
    written = (std::fclose(stream) == 0) && written;
    if (!written) {
        abandon();
        return Fault{1, 1};
    }
    if (!replace_file(temporary_, target_)) {
        abandon();
        return Fault{1, 2};
    }
    temporary_.clear();
    return std::nullopt;
}

}  // namespace kest
