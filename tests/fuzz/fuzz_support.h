// What the fuzz targets share: a private folder for the files the readers
// take by path, and the splitting of one input into several files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace fuzz {

// A folder of this process, made once and removed at exit.  Its name is
// never destroyed, so that the exit handler can still use it after the
// static objects are gone.
inline const std::string& folder()
{
    static const std::string* const path = [] {
        char name[] = "/tmp/kest-fuzz-XXXXXX";
        if (mkdtemp(name) == nullptr) std::abort();
        const std::string* made = new std::string(name);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder(), ignored);
        });
        return made;
    }();
    return *path;
}

inline std::string path_of(std::string_view file) { return folder() + "/" + std::string(file); }

inline void write_file(const std::string& path, std::string_view bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

// The line that separates the files of one input: a data file and its
// schema, say.  Parts beyond the input are empty.
constexpr std::string_view separator = "\n--8<--\n";

inline std::vector<std::string_view> split(const uint8_t* data, std::size_t size, std::size_t parts)
{
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> out;
    while (out.size() + 1 < parts) {
        const std::size_t at = rest.find(separator);
        if (at == std::string_view::npos) break;
        out.push_back(rest.substr(0, at));
        rest.remove_prefix(at + separator.size());
    }
    out.push_back(rest);
    while (out.size() < parts) out.push_back({});
    return out;
}

}  // namespace fuzz
