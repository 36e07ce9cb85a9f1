// kest show: what a data set holds - its size, its variables with their
// category codes, and how many cells of each variable have each status.
//
// The reader has no per-status count, but it can be told which statuses to
// read as values; reading the file under growing status limits and taking
// differences gives the count of every status.
#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "kest.h"
#include "lines.h"
#include "messages.h"
#include "options.h"
#include "table.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view show_usage =
    "usage: kest show DATAFILE [--schema FILE]\n"
    "\n"
    "Prints the number of records and variables of a data set, its variables\n"
    "with their category codes, and per variable the number of cells that are\n"
    "Valid, Validn, Imputed, Suspect, Error and Missing.\n"
    "\n"
    "options:\n"
    "  --schema FILE   schema of the data file (default: the one the data file\n"
    "                  names, looked up beside the data file first)\n";

constexpr KnownOption show_options[] = {{"--schema"}};

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

// A schema line holds fewer than KEST_MAX_LINE characters and each code
// takes at least two ("1 "), so this many codes always fit a table row.
constexpr int max_possible_codes = KEST_MAX_LINE / 2;
constexpr int first_guess_codes = 256;

constexpr long large_record_count = 50000;

struct Failure {
    std::string message;
};

// ---------------------------------------------------------------------------
// Finding the schema

constexpr std::string_view root_prefix = "<kest_data xmlns=\"x-schema:";

// The schema path named in the root start tag, which stands among the
// first lines of a data file.
std::optional<std::string> schema_named_in(const std::string& data_file)
{
    std::ifstream in(data_file, std::ios::binary);
    if (!in) throw Failure{"cannot open the data file '" + data_file + "'"};
    Line line;
    for (int n = 0; n < 5 && read_line(in, line); ++n) {
        if (line.text.rfind(root_prefix, 0) != 0) continue;
        const std::size_t end = line.text.find('"', root_prefix.size());
        if (end == std::string::npos || end == root_prefix.size()) return std::nullopt;
        return line.text.substr(root_prefix.size(), end - root_prefix.size());
    }
    return std::nullopt;
}

// The converter writes the reference relative to the data file's folder;
// files from elsewhere may hold it relative to where they were made.
std::string locate_schema(const std::string& data_file)
{
    const std::optional<std::string> named = schema_named_in(data_file);
    if (!named)
        throw Failure{"'" + data_file + "' has no root tag " + std::string(root_prefix) +
                      "PATH\"> naming its schema; give the schema with --schema"};
    const fs::path reference(*named);
    std::error_code ec;
    if (reference.is_relative()) {
        const fs::path beside = fs::path(data_file).parent_path() / reference;
        if (fs::exists(beside, ec)) return beside.lexically_normal().string();
    }
    if (fs::exists(reference, ec)) return reference.string();
    throw Failure{"the schema '" + *named + "' named in '" + data_file +
                  "' is found neither beside the data file nor as given; give it with --schema"};
}

// ---------------------------------------------------------------------------
// Reading

struct NameList {
    char** list = nullptr;
    int count = 0;
    ~NameList() { free_list(list, count); }
};

struct DataSet {
    int num_obs = 0;   // as the schema states
    int num_vars = 0;
    int rows = 0;      // rows the buffers hold
    int rows_read = 0; // rows the data file actually had
    std::vector<double> data;
    NameList names;
    std::vector<int> ncat;
    std::vector<int> codes;
    int max_cats = first_guess_codes;
};

struct Files {
    std::string data, schema;
};

MessageContext context_for(const Files& f) { return MessageContext{{}, f.data, f.schema, {}, 0, {}, {}, 0, {}}; }

void size_data_set(const Files& f, DataSet& d)
{
    int name_size = 0;
    int error[2] = {0, 0};
    xml_data_size(f.schema.c_str(), &d.num_obs, &d.num_vars, &name_size, error);
    if (error[0] > 0) throw Failure{describe_failure(Export::xml_data_size, error[0], error[1], context_for(f))};
    if (d.num_vars < 1) throw Failure{"'" + f.schema + "' declares no variables"};
    if (d.num_obs < 1) throw Failure{"'" + f.schema + "' states no records"};
    if (name_size < 1 || name_size > KEST_MAX_LINE) throw Failure{"'" + f.schema + "' declares names of impossible length"};

    // The stated count is only a claim; the data file's size bounds the
    // records it can hold, and so the memory worth allocating.
    std::error_code ec;
    const std::uintmax_t bytes = fs::file_size(f.data, ec);
    const std::uintmax_t most = ec ? 1 : bytes / (min_cell_length * static_cast<std::uintmax_t>(d.num_vars)) + 1;
    d.rows = static_cast<int>(std::min<std::uintmax_t>(static_cast<std::uintmax_t>(d.num_obs), most));
    d.data.assign(static_cast<std::size_t>(d.rows) * static_cast<std::size_t>(d.num_vars), untouched);
    d.ncat.assign(static_cast<std::size_t>(d.num_vars), 0);

    d.names.count = d.num_vars;
    for (int j = 0; j < d.num_vars; ++j) {
        char* buffer = alloc_names(&d.names.list, d.num_vars, j, name_size);
        if (buffer == nullptr) throw Failure{"out of memory"};
        buffer[0] = '\0';
    }
}

// One reading under a status limit; returns the reader's ErrorPair.
std::pair<int, int> read_once(const Files& f, DataSet& d, int rows, int status_limit)
{
    d.codes.assign(static_cast<std::size_t>(d.num_vars) * static_cast<std::size_t>(d.max_cats), 0);
    int n_missing = 0;
    int error[2] = {0, 0};
    xml_read(f.data.c_str(), f.schema.c_str(), missing_code, rows, d.num_vars, d.data.data(), d.names.list,
             d.ncat.data(), d.codes.data(), d.max_cats, status_limit, &n_missing, error);
    return {error[0], error[1]};
}

// The smallest number of records whose reading fails: the record at fault.
long first_bad_record(const Files& f, DataSet& d, int status_limit)
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
std::string file_with_long_line(const Files& f, int line_number)
{
    const std::optional<Line> line = line_of_file(f.schema, line_number);
    return line && line->length >= KEST_MAX_LINE ? f.schema : f.data;
}

[[noreturn]] void report_read_failure(const Files& f, DataSet& d, std::pair<int, int> error, int status_limit)
{
    MessageContext context = context_for(f);
    if (error.first == 1 && error.second == 2) context.record = first_bad_record(f, d, status_limit);
    if (error.first == KEST_ERR_LINE_TOO_LONG) context.long_line_file = file_with_long_line(f, error.second);
    if (error.first == KEST_ERR_VALUE_TOO_LONG) context.long_line_file = f.data;
    throw Failure{describe_failure(Export::xml_read, error.first, error.second, context)};
}

// Reads under one status limit, widening the category table once if the
// first guess was too small; returns the present cells per variable.
std::vector<long> present_cells(const Files& f, DataSet& d, int status_limit)
{
    std::pair<int, int> error = read_once(f, d, d.rows, status_limit);
    if (error.first == 10 && d.max_cats < max_possible_codes) {
        d.max_cats = max_possible_codes;
        error = read_once(f, d, d.rows, status_limit);
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

// ---------------------------------------------------------------------------
// Counting statuses

enum StatusColumn { valid, validn, imputed, suspect, error, missing, status_columns };
constexpr const char* status_names[] = {"Valid", "Validn", "Imputed", "Suspect", "Error", "Missing"};

using StatusCounts = std::vector<std::array<long, status_columns>>;

// Limit 1 reads Valid; -2 adds Imputed; 2 adds Validn; -3 adds Suspect;
// -4 adds Error.  What none of them reads is Missing.
StatusCounts count_statuses(const Files& f, DataSet& d)
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

// ---------------------------------------------------------------------------
// Printing

constexpr std::size_t codes_shown = 20;

std::string code_list(const DataSet& d, int j)
{
    const int n = d.ncat[static_cast<std::size_t>(j)];
    std::string text;
    const int shown = std::min<int>(n, static_cast<int>(codes_shown));
    for (int k = 0; k < shown; ++k) {
        if (k > 0) text += ' ';
        text += std::to_string(d.codes[static_cast<std::size_t>(j) * d.max_cats + k]);
    }
    if (n > shown) text += " ... (" + std::to_string(n) + " codes)";
    return text;
}

void print_summary(const Files& f, const DataSet& d)
{
    std::cout << "data file  " << f.data << "\n"
              << "schema     " << f.schema << "\n"
              << "records    " << d.rows_read;
    if (d.rows_read != d.num_obs) std::cout << " (the schema states " << d.num_obs << ")";
    std::cout << "\nvariables  " << d.num_vars << "\n\n";
}

void print_variables(const DataSet& d)
{
    Table t{{"variable", "type", "codes"}, {false, false, false}, {}};
    for (int j = 0; j < d.num_vars; ++j) {
        const bool categorical = d.ncat[static_cast<std::size_t>(j)] > 0;
        t.rows.push_back({d.names.list[j], categorical ? "categorical" : "numeric", categorical ? code_list(d, j) : ""});
    }
    print_table(std::cout, t);
    std::cout << "\n";
}

void print_status_counts(const DataSet& d, const StatusCounts& counts)
{
    Table t;
    t.header.push_back("variable");
    t.right_aligned.push_back(false);
    for (const char* s : status_names) {
        t.header.push_back(s);
        t.right_aligned.push_back(true);
    }
    std::array<long, status_columns> total{};
    for (int j = 0; j < d.num_vars; ++j) {
        std::vector<std::string> row{d.names.list[j]};
        for (int s = 0; s < status_columns; ++s) {
            row.push_back(std::to_string(counts[static_cast<std::size_t>(j)][s]));
            total[s] += counts[static_cast<std::size_t>(j)][s];
        }
        t.rows.push_back(std::move(row));
    }
    std::vector<std::string> row{"(all)"};
    for (long n : total) row.push_back(std::to_string(n));
    t.rows.push_back(std::move(row));
    print_table(std::cout, t);
}

int show(const Files& f)
{
    DataSet d;
    size_data_set(f, d);
    if (d.rows >= large_record_count)
        std::cerr << "kest show: reading " << d.rows << " records of '" << f.data << "' (five passes)...\n";
    const StatusCounts counts = count_statuses(f, d);
    print_summary(f, d);
    print_variables(d);
    print_status_counts(d, counts);
    return exit_ok;
}

int run_show(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, show_options);
    if (parsed.positional.empty()) throw UsageError("no data file given");
    if (parsed.positional.size() > 1) throw UsageError("unexpected argument '" + parsed.positional[1] + "'");
    try {
        Files f{parsed.positional[0], {}};
        f.schema = parsed.has("--schema") ? *parsed.value("--schema") : locate_schema(f.data);
        return show(f);
    } catch (const Failure& failure) {
        std::cerr << "kest show: " << failure.message << "\n";
        return exit_failure;
    }
}

}  // namespace

const Command show_command{"show", "print the size, variables and status counts of a data set", show_usage, run_show};

}  // namespace kest_cli
