// Helpers shared by the data exchange tests: a scratch folder per test and
// whole-file reading and writing.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kest_test {

namespace fs = std::filesystem;

// A folder of its own for one test, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        static std::atomic<unsigned> serial{0};
        std::random_device seed;
        path_ = fs::temp_directory_path() /
                ("kest-data-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-" +
                 std::to_string(seed()));
        fs::create_directories(path_);
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& path() const { return path_; }

    // Names of all entries of the folder, hidden ones included.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The entries without the data sets' lock files, which the routines
    // make when first needed and leave in place.
    std::vector<std::string> entries_but_locks() const
    {
        std::vector<std::string> names = entries();
        std::erase_if(names, [](const std::string& name) { return name.ends_with(".lock"); });
        return names;
    }

private:
    fs::path path_;
};

inline void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) { return fs::exists(path); }

// Takes every permission from the file.  Returns false when the file can
// still be opened for reading (a process with the rights of root reads it
// all the same), so that a test can skip what it cannot arrange.
inline bool make_unreadable(const std::string& path)
{
    ::chmod(path.c_str(), 0);
    std::ifstream probe(path, std::ios::binary);
    return !probe.is_open();
}

inline std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const auto feed = text.find('\n', start);
        if (feed == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, feed - start));
        start = feed + 1;
    }
    return lines;
}

}  // namespace kest_test
