#include "records.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <limits>

#include "kest.h"
#include "lock.h"
#include "messages.h"
#include "options.h"

namespace fs = std::filesystem;

namespace kest_cli {

const double missing_code = -std::numeric_limits<double>::max();

namespace {

// The reader's status limit under which every status that comes with a
// number is read as a value.
constexpr int every_status = 5;

// The code table of the reader holds as many codes per variable as the
// schema could list; the routines get one just wide enough.
Variables variables_of(const DataSet& d)
{
    Variables v;
    v.names.assign(d.names.list, d.names.list + d.num_vars);
    v.ncat = d.ncat;
    for (int n : v.ncat) v.row_length = std::max(v.row_length, n);
    v.codes.assign(std::max<std::size_t>(1, static_cast<std::size_t>(d.num_vars) * v.row_length), 0);
    for (int j = 0; j < d.num_vars; ++j)
        std::copy_n(d.codes.begin() + static_cast<std::ptrdiff_t>(j) * d.max_cats, v.ncat[static_cast<std::size_t>(j)],
                    v.code_row(j));
    return v;
}

std::string describe_update(int code, int detail, const Records& rec)
{
    const std::string data = "'" + rec.files.data + "'";
    switch (code) {
    case 21: return "the data set could not be read again before writing (reader code " + std::to_string(detail) + ")";
    case KEST_ERR_LINE_TOO_LONG:
        if (detail == 0)
            return "the records of " + data + " could be longer than " + std::to_string(KEST_MAX_LINE - 1) +
                   " characters once rewritten, more than the data set format allows";
        return "line " + std::to_string(detail) + " of " + data + " is too long (" + std::to_string(KEST_MAX_LINE - 1) +
               " characters at most)";
    case KEST_ERR_VALUE_TOO_LONG:
        return "line " + std::to_string(detail) + " of " + data + " holds a value text longer than " +
               std::to_string(KEST_MAX_VALUE_TEXT) + " characters";
    case KEST_ERR_NAME_TOO_LONG:
        return "variable " + std::to_string(detail) + " has a name longer than " + std::to_string(KEST_MAX_NAME) +
               " characters, which cannot be written";
    case 2: return "the record type declared in '" + rec.files.schema + "' does not end in _rec";
    case 1:
        if (detail == 0) return "cannot create a new data file beside " + data;
        if (detail == 1) return "the new data file could not be written completely (is the disk full?)";
        if (detail == 2) return "the new data file could not replace " + data;
        break;
    case KEST_ERR_DATA_SET_LOCKED: return describe_locked(rec.files.data, rec.files.schema, detail);
    case KEST_ERR_NO_MEMORY: return "out of memory";
    default: break;
    }
    return "writing " + data + " failed (code " + std::to_string(code) + ", detail " + std::to_string(detail) + ")";
}

// A path as seen from a folder.
std::string relative_to(const fs::path& folder, const std::string& path)
{
    const fs::path absolute = fs::absolute(path).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    return relative.empty() ? absolute.string() : relative.string();
}

// Changes the current folder for its lifetime.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : previous_(fs::current_path())
    {
        std::error_code ec;
        fs::current_path(folder, ec);
        if (ec) throw DataSetFailure{"cannot enter the folder '" + folder.string() + "': " + ec.message()};
    }
    ~InFolder()
    {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path previous_;
};

}  // namespace

Records read_records(const std::string& data_file, const std::string& schema, const std::string& stylesheet)
{
    Records rec;
    rec.files = {data_file, schema.empty() ? locate_schema(data_file) : schema};
    rec.stylesheet = stylesheet.empty() ? locate_stylesheet(data_file) : stylesheet;

    // Counting the statuses checks the files, reports what is wrong with
    // them and sizes the code table; then one more reading takes every
    // status with a number.
    DataSet d;
    size_data_set(rec.files, d);
    count_statuses(rec.files, d);
    // Rows the schema states but the file lacks would be read as records
    // with every value missing, and be changed and written as new records.
    if (d.rows_read != d.num_obs)
        throw DataSetFailure{"'" + rec.files.data + "' holds " + std::to_string(d.rows_read) + " records but '" +
                             rec.files.schema + "' states " + std::to_string(d.num_obs) + "; nothing was changed"};
    int n_missing = 0;
    int error[2] = {0, 0};
    xml_read(rec.files.data.c_str(), rec.files.schema.c_str(), missing_code, d.num_obs, d.num_vars, d.data.data(),
             d.names.list, d.ncat.data(), d.codes.data(), d.max_cats, every_status, &n_missing, error);
    if (error[0] > 0)
        throw DataSetFailure{describe_failure(Export::xml_read, error[0], error[1],
                                              MessageContext{{}, rec.files.data, rec.files.schema, {}, 0, {}, {}, 0, {}})};
    rec.count = d.num_obs;
    rec.vars = variables_of(d);
    rec.data = std::move(d.data);
    rec.missing = static_cast<long>(std::count(rec.data.begin(), rec.data.end(), missing_code));
    return rec;
}

int variable_index(const Variables& v, const std::string& name, std::string_view role)
{
    const auto it = std::find(v.names.begin(), v.names.end(), name);
    if (it != v.names.end()) return static_cast<int>(it - v.names.begin());
    std::string known;
    for (const std::string& n : v.names) known += (known.empty() ? "" : ", ") + n;
    throw UsageError(std::string(role) + " '" + name + "' is not a variable of the data set; its variables are " + known);
}

std::vector<int> numeric_columns(const Variables& v, std::span<const std::string> given, std::string_view role)
{
    std::vector<int> columns;
    if (given.empty()) {
        for (int j = 0; j < v.count(); ++j)
            if (!v.categorical(j)) columns.push_back(j);
        if (columns.empty()) throw DataSetFailure{"the data set has no numeric variable"};
        return columns;
    }
    for (const std::string& list : given) {
        for (const std::string& name : split(list, ',')) {
            if (name.empty()) throw UsageError("--variable needs a variable name, not '" + list + "'");
            const int j = variable_index(v, name, role);
            if (v.categorical(j)) throw UsageError(std::string(role) + " '" + name + "' is categorical; only numeric variables can be used here");
            if (std::find(columns.begin(), columns.end(), j) != columns.end())
                throw UsageError("--variable names '" + name + "' twice");
            columns.push_back(j);
        }
    }
    std::sort(columns.begin(), columns.end());
    return columns;
}

// The writer puts the schema and stylesheet paths it is given into the data
// file, so it runs from the data file's folder with both as seen from there:
// the set stays readable wherever it is moved.
long write_cells(const Records& rec, const std::vector<Cell>& cells, int mode, std::string_view command,
                 std::string_view what)
{
    std::vector<int> recs, vars;
    std::vector<double> values;
    for (const Cell& c : cells) {
        recs.push_back(c.record);
        vars.push_back(c.variable);
        values.push_back(c.value);
    }
    recs.push_back(-1);
    vars.push_back(-1);
    values.push_back(missing_code);

    const fs::path folder = fs::absolute(rec.files.data).lexically_normal().parent_path();
    const std::string data = fs::path(rec.files.data).filename().string();
    const std::string schema = relative_to(folder, rec.files.schema);
    const std::string stylesheet = relative_to(folder, rec.stylesheet);
    int error[2] = {0, 0};
    {
        const InFolder there(folder);
        xml_update(data.c_str(), schema.c_str(), stylesheet.c_str(), missing_code, rec.count, rec.vars.count(), mode,
                   static_cast<int>(cells.size()), recs.data(), vars.data(), values.data(), error);
    }
    if (error[0] > 0) throw DataSetFailure{describe_update(error[0], error[1], rec) + "; the data file is unchanged"};
    if (error[0] == KEST_WARN_CHANGES_NOT_APPLIED) {
        std::cerr << "kest " << command << ": " << error[1] << " of the " << what << " could not be written\n";
        return static_cast<long>(cells.size()) - error[1];
    }
    if (error[0] == KEST_WARN_VALUES_ROUNDED)
        std::cerr << "kest " << command << ": " << error[1] << " value(s) need more than " << KEST_MAX_VALUE_TEXT
                  << " characters to be written exactly and were rounded to the nearest number that fits\n";
    return static_cast<long>(cells.size());
}

}  // namespace kest_cli
