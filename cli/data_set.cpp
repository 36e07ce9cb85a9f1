#include "data_set.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <utility>

#include "lines.h"
#include "messages.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

// ---------------------------------------------------------------------------
// Finding the schema and the stylesheet

constexpr std::string_view root_prefix = "<kest_data xmlns=\"x-schema:";
constexpr std::string_view stylesheet_prefix = "<?xml-stylesheet ";
constexpr std::string_view href_prefix = "href=\"";

// The text between an opening marker and the next double quote on the
// first of a data file's first lines that begins with line_prefix.
std::optional<std::string> reference_in(const std::string& data_file, std::string_view line_prefix,
                                        std::string_view marker)
{
    std::ifstream in(data_file, std::ios::binary);
    if (!in) throw DataSetFailure{"cannot open the data file '" + data_file + "'"};
    Line line;
    for (int n = 0; n < 5 && read_line(in, line); ++n) {
        if (line.text.rfind(line_prefix, 0) != 0) continue;
        const std::size_t at = line.text.find(marker);
        if (at == std::string::npos) return std::nullopt;
        const std::size_t start = at + marker.size();
        const std::size_t end = line.text.find('"', start);
        if (end == std::string::npos || end == start) return std::nullopt;
        return line.text.substr(start, end - start);
    }
    return std::nullopt;
}

std::string locate_reference(const std::string& data_file, const std::string& named, std::string_view what,
                             std::string_view option)
{
    const fs::path reference(named);
    std::error_code ec;
    if (reference.is_relative()) {
        const fs::path beside = fs::path(data_file).parent_path() / reference;
        if (fs::exists(beside, ec)) return beside.lexically_normal().string();
    }
    if (fs::exists(reference, ec)) return reference.string();
    throw DataSetFailure{"the " + std::string(what) + " '" + named + "' named in '" + data_file +
                         "' is found neither beside the data file nor as given; give it with " + std::string(option)};
}

// ---------------------------------------------------------------------------
// Reading

// A value no number text can produce, so a cell holds it only when the
// reader found it missing.  (Missing cells are found by equality, which
// rules out NaN.)
const double missing_code = -std::numeric_limits<double>::max();

// Rows the reader did not reach keep this; the reader never stores a value
// that is not finite.
const double untouched = std::numeric_limits<double>::quiet_NaN();

// A record line holds at least this many characters per variable (the
// shortest element, <x Status='Valid'>1</x>, has 23), which bounds how many
// records a data file of a given size can hold.
constexpr std::uintmax_t min_cell_length = 20;

constexpr int first_guess_codes = 256;

// The most category codes a declaration of the schema can list: each code
// is followed by a blank, so a declaration lists at most one code more than
// its line holds blanks.  A table row of this length holds every list.
int most_codes_declared(const std::string& schema)
{
    std::ifstream in(schema, std::ios::binary);
    Line line;
    std::size_t most = 0;
    while (read_line(in, line)) {
        if (line.text.rfind("<ElementType name=", 0) != 0) continue;
        most = std::max(most, static_cast<std::size_t>(std::count(line.text.begin(), line.text.end(), ' ')) + 1);
    }
    return static_cast<int>(std::min<std::size_t>(most, std::numeric_limits<int>::max()));
}

MessageContext context_for(const DataSetFiles& f)
{
    return MessageContext{{}, f.data, f.schema, {}, 0, {}, {}, 0, {}};
}

// One reading under a status limit; returns the reader's ErrorPair.
std::pair<int, int> read_once(const DataSetFiles& f, DataSet& d, int rows, int status_limit)
{
    d.codes.assign(static_cast<std::size_t>(d.num_vars) * static_cast<std::size_t>(d.max_cats), 0);
    int n_missing = 0;
    int error[2] = {0, 0};
    xml_read(f.data.c_str(), f.schema.c_str(), missing_code, rows, d.num_vars, d.data.data(), d.names.list,
             d.ncat.data(), d.codes.data(), d.max_cats, status_limit, &n_missing, error);
    return {error[0], error[1]};
}

// The smallest number of records whose reading fails: the record at fault.
long first_bad_record(const DataSetFiles& f, DataSet& d, int status_limit)
{
    int good = 0, bad = d.rows;
    while (bad - good > 1) {
        const int middle = good + (bad - good) / 2;
        if (read_once(f, d, middle, status_limit).first == 1)
            bad = middle;
        else
            good = middle;
    }
    return bad;
}

// A too-long line in a reading may be in either file; the schema is small,
// so look there first.
std::string file_with_long_line(const DataSetFiles& f, int line_number)
{
    const std::optional<Line> line = line_of_file(f.schema, line_number);
    return line && line->length >= KEST_MAX_LINE ? f.schema : f.data;
}

[[noreturn]] void report_read_failure(const DataSetFiles& f, DataSet& d, std::pair<int, int> error, int status_limit)
{
    MessageContext context = context_for(f);
    if (error.first == 1 && error.second == 2) context.record = first_bad_record(f, d, status_limit);
    if (error.first == KEST_ERR_LINE_TOO_LONG) context.long_line_file = file_with_long_line(f, error.second);
    if (error.first == KEST_ERR_VALUE_TOO_LONG) context.long_line_file = f.data;
    throw DataSetFailure{describe_failure(Export::xml_read, error.first, error.second, context)};
}

// Reads under one status limit, widening the category table once if the
// first guess was too small; returns the present cells per variable.
std::vector<long> present_cells(const DataSetFiles& f, DataSet& d, int status_limit)
{
    std::pair<int, int> error = read_once(f, d, d.rows, status_limit);
    if (error.first == 10) {
        if (const int most = most_codes_declared(f.schema); most > d.max_cats) {
            d.max_cats = most;
            error = read_once(f, d, d.rows, status_limit);
        }
    }
    if (error.first > 0) report_read_failure(f, d, error, status_limit);

    if (d.rows_read == 0) {
        d.rows_read = d.rows;
        for (int r = 0; r < d.rows; ++r)
            if (std::isnan(d.data[static_cast<std::size_t>(r) * d.num_vars])) {
                d.rows_read = r;
                break;
            }
    }
    std::vector<long> present(static_cast<std::size_t>(d.num_vars), 0);
    for (int r = 0; r < d.rows_read; ++r)
        for (int j = 0; j < d.num_vars; ++j)
            if (d.data[static_cast<std::size_t>(r) * d.num_vars + j] != missing_code) ++present[static_cast<std::size_t>(j)];
    return present;
}

}  // namespace

std::string locate_schema(const std::string& data_file)
{
    const std::optional<std::string> named = reference_in(data_file, root_prefix, root_prefix);
    if (!named)
        throw DataSetFailure{"'" + data_file + "' has no root tag " + std::string(root_prefix) +
                             "PATH\"> naming its schema; give the schema with --schema"};
    return locate_reference(data_file, *named, "schema", "--schema");
}

std::string locate_stylesheet(const std::string& data_file)
{
    const std::optional<std::string> named = reference_in(data_file, stylesheet_prefix, href_prefix);
    if (!named)
        throw DataSetFailure{"'" + data_file + "' has no line " + std::string(stylesheet_prefix) + "... " +
                             std::string(href_prefix) + "PATH\"?> naming its stylesheet; give the stylesheet with "
                             "--stylesheet"};
    return locate_reference(data_file, *named, "stylesheet", "--stylesheet");
}

void size_data_set(const DataSetFiles& f, DataSet& d)
{
    int name_size = 0;
    int error[2] = {0, 0};
    xml_data_size(f.schema.c_str(), &d.num_obs, &d.num_vars, &name_size, error);
    if (error[0] > 0) throw DataSetFailure{describe_failure(Export::xml_data_size, error[0], error[1], context_for(f))};
    if (d.num_vars < 1) throw DataSetFailure{"'" + f.schema + "' declares no variables"};
    if (d.num_obs < 1) throw DataSetFailure{"'" + f.schema + "' states no records"};
    if (name_size < 1 || name_size > KEST_MAX_LINE)
        throw DataSetFailure{"'" + f.schema + "' declares names of impossible length"};

    // The stated count is only a claim; the data file's size bounds the
    // records it can hold, and so the memory worth allocating.
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(f.data, ec);
    const std::uintmax_t most = ec ? 1 : bytes / (min_cell_length * static_cast<std::uintmax_t>(d.num_vars)) + 1;
    d.rows = static_cast<int>(std::min<std::uintmax_t>(static_cast<std::uintmax_t>(d.num_obs), most));
    d.data.assign(static_cast<std::size_t>(d.rows) * static_cast<std::size_t>(d.num_vars), untouched);
    d.ncat.assign(static_cast<std::size_t>(d.num_vars), 0);
    d.max_cats = first_guess_codes;

    d.names.count = d.num_vars;
    for (int j = 0; j < d.num_vars; ++j) {
        char* buffer = alloc_names(&d.names.list, d.num_vars, j, name_size);
        if (buffer == nullptr) throw DataSetFailure{"out of memory"};
        buffer[0] = '\0';
    }
}

// Limit 1 reads Valid; -2 adds Imputed; 2 adds Validn; -3 adds Suspect;
// -4 adds Error.  What none of them reads is Missing.
StatusCounts count_statuses(const DataSetFiles& f, DataSet& d)
{
    const std::vector<long> l1 = present_cells(f, d, 1);
    const std::vector<long> lm2 = present_cells(f, d, -2);
    const std::vector<long> l2 = present_cells(f, d, 2);
    const std::vector<long> lm3 = present_cells(f, d, -3);
    const std::vector<long> lm4 = present_cells(f, d, -4);
    StatusCounts counts(static_cast<std::size_t>(d.num_vars));
    for (std::size_t j = 0; j < counts.size(); ++j) {
        auto& c = counts[j];
        c[valid] = l1[j];
        c[imputed] = lm2[j] - l1[j];
        c[validn] = l2[j] - lm2[j];
        c[suspect] = lm3[j] - lm2[j];
        c[error] = lm4[j] - lm3[j];
        c[missing] = d.rows_read - lm4[j] - c[validn];
    }
    return counts;
}

}  // namespace kest_cli
