#include "plugin_call.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

// A path as seen from a folder.
std::string seen_from(const fs::path& folder, const std::string& path)
{
    const fs::path absolute = fs::absolute(path).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    return relative.empty() ? absolute.string() : relative.string();
}

}  // namespace

int call_from_data_folder(const DataSetFiles& f, const std::string& stylesheet,
                          const std::function<int(const PluginPaths&)>& call)
{
    const fs::path folder = fs::absolute(f.data).lexically_normal().parent_path();
    const PluginPaths paths{fs::path(f.data).filename().string(), seen_from(folder, f.schema),
                            seen_from(folder, stylesheet)};
    const fs::path previous = fs::current_path();
    std::error_code ec;
    fs::current_path(folder, ec);
    if (ec) throw DataSetFailure{"cannot enter the folder '" + folder.string() + "': " + ec.message()};
    const int result = call(paths);
    fs::current_path(previous, ec);
    if (ec) throw DataSetFailure{"cannot return to the folder '" + previous.string() + "': " + ec.message()};
    return result;
}

}  // namespace kest_cli
