// kest convert: a delimited text file becomes a data set (data file, schema,
// stylesheet) through the library's converter.  The tool supplies what the
// text file does not say (names, record count, category codes) and refuses
// names the data set's readers would misread, before anything is written.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "command.h"
#include "kest.h"
#include "lines.h"
#include "messages.h"
#include "options.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view convert_usage =
    "usage: kest convert TEXTFILE [options]\n"
    "\n"
    "Converts a delimited text file into a data set of three files: the data\n"
    "file (NAME.xml), its schema (NAME.xdr) and a stylesheet for viewing it\n"
    "in a browser (NAME.xsl).\n"
    "\n"
    "options:\n"
    "  --name NAME          dataset name (default: TEXTFILE's name without extension;\n"
    "                       blanks and apostrophes become '_' in element and file names)\n"
    "  --out DIR            folder for the three files (default: the current folder;\n"
    "                       created if missing)\n"
    "  --data FILE          data file (default: DIR/NAME.xml)\n"
    "  --schema FILE        schema file (default: DIR/NAME.xdr)\n"
    "  --stylesheet FILE    stylesheet file (default: DIR/NAME.xsl)\n"
    "  --delimiter D        blank, tab or comma (default: comma)\n"
    "  --header N           header lines to skip (default: 1)\n"
    "  --names a,b,c        variable names (default: the fields of the first line)\n"
    "  --records N          records to convert (default: the non-empty lines after\n"
    "                       the header)\n"
    "  --floor X            numbers below X get status Validn (default: the lowest\n"
    "                       finite number, so every number is Valid)\n"
    "  --categorical VAR=C1,C2,...\n"
    "                       VAR is categorical with exactly these whole-number codes\n"
    "  --categorical VAR    VAR is categorical with the codes found in its column\n"
    "                       (repeat --categorical for more variables)\n"
    "\n"
    "The data file refers to the schema and stylesheet by paths relative to its\n"
    "own folder, so the three files can be moved together.\n";

constexpr KnownOption convert_options[] = {
    {"--name"},   {"--out"},    {"--data"},    {"--schema"}, {"--stylesheet"},         {"--delimiter"},
    {"--header"}, {"--names"},  {"--records"}, {"--floor"},  {"--categorical", true},
};

// Inputs above these sizes take long enough that the user should be told
// what is going on before the single library call starts.
constexpr long large_record_count = 50000;
constexpr std::uintmax_t large_file_bytes = 8u << 20;

struct Delimiter {
    int type;  // the converter's delimiter type
    char character;
};

struct Categorical {
    std::string variable;        // as named on the command line
    std::optional<std::vector<int>> codes;  // empty: collect them from the column
};

struct Settings {
    std::string text_file;
    std::string name;
    std::string data_file, schema_file, stylesheet_file;
    Delimiter delimiter{2, ','};
    int header_lines = 1;
    std::optional<std::vector<std::string>> names;
    std::optional<int> records;
    double floor = std::numeric_limits<double>::lowest();
    std::vector<Categorical> categorical;
};

// Whatever the command fails on after parsing; reported as "kest convert: ".
struct Failure {
    std::string message;
};

Delimiter parse_delimiter(const std::string& text)
{
    if (text == "blank") return {0, ' '};
    if (text == "tab") return {1, '\t'};
    if (text == "comma") return {2, ','};
    throw UsageError("--delimiter must be blank, tab or comma, not '" + text + "'");
}

std::vector<int> parse_code_list(const std::string& variable, const std::string& list)
{
    std::vector<int> codes;
    for (const std::string& part : split(list, ','))
        codes.push_back(static_cast<int>(parse_whole(part, "a category code of '" + variable + "'", INT_MIN, INT_MAX)));
    std::set<int> seen;
    for (int code : codes)
        if (!seen.insert(code).second)
            throw UsageError("category code " + std::to_string(code) + " of '" + variable + "' is listed twice");
    return codes;
}

Categorical parse_categorical(const std::string& text)
{
    const std::size_t equals = text.find('=');
    Categorical c;
    c.variable = text.substr(0, equals);
    if (c.variable.empty()) throw UsageError("--categorical needs a variable name, not '" + text + "'");
    if (equals == std::string::npos) return c;
    const std::string list = text.substr(equals + 1);
    if (list.empty()) throw UsageError("--categorical " + c.variable + "= lists no codes");
    c.codes = parse_code_list(c.variable, list);
    return c;
}

std::string replace_any(std::string text, std::string_view chars)
{
    for (char& c : text)
        if (chars.find(c) != std::string_view::npos) c = '_';
    return text;
}

std::string path_in(const std::string& folder, const std::string& file)
{
    return folder.empty() ? file : (fs::path(folder) / file).string();
}

Settings parse_settings(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, convert_options);
    Settings s;
    s.text_file = parsed.the_one("text file");
    s.name = parsed.has("--name") ? *parsed.value("--name") : fs::path(s.text_file).stem().string();
    if (s.name.empty()) throw UsageError("the dataset name is empty; give one with --name");
    const std::string folder = parsed.has("--out") ? *parsed.value("--out") : std::string();
    // File names take the name as the data set's element names do.
    const std::string base = replace_any(s.name, " '");
    s.data_file = parsed.has("--data") ? *parsed.value("--data") : path_in(folder, base + ".xml");
    s.schema_file = parsed.has("--schema") ? *parsed.value("--schema") : path_in(folder, base + ".xdr");
    s.stylesheet_file = parsed.has("--stylesheet") ? *parsed.value("--stylesheet") : path_in(folder, base + ".xsl");
    if (parsed.has("--delimiter")) s.delimiter = parse_delimiter(*parsed.value("--delimiter"));
    if (parsed.has("--header")) s.header_lines = static_cast<int>(parse_whole(*parsed.value("--header"), "--header", 0, INT_MAX));
    if (parsed.has("--names")) s.names = split(*parsed.value("--names"), ',');
    if (parsed.has("--records")) s.records = static_cast<int>(parse_whole(*parsed.value("--records"), "--records", 1, INT_MAX));
    if (parsed.has("--floor")) s.floor = parse_real(*parsed.value("--floor"), "--floor");
    for (const std::string& text : parsed.values("--categorical")) s.categorical.push_back(parse_categorical(text));
    if (!s.names && s.header_lines == 0) throw UsageError("with --header 0 there is no line to take names from; give --names");
    return s;
}

// ---------------------------------------------------------------------------
// Reading the text file the way the converter splits it

std::string trim(std::string_view text, std::string_view junk)
{
    const std::size_t first = text.find_first_not_of(junk);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(junk);
    return std::string(text.substr(first, last - first + 1));
}

// With blanks as delimiter a run of blanks is one separator and leading
// blanks are ignored; tabs and commas separate every single field.
std::vector<std::string> split_fields(std::string_view line, Delimiter d)
{
    if (d.type != 0) return split(line, d.character);
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t start = line.find_first_not_of(' ', at);
        if (start == std::string_view::npos) break;
        const std::size_t end = std::min(line.find(' ', start), line.size());
        fields.emplace_back(line.substr(start, end - start));
        at = end;
    }
    return fields;
}

std::vector<std::string> names_from_header(const Line& header, const Settings& s)
{
    std::vector<std::string> names;
    for (const std::string& field : split_fields(header.text, s.delimiter)) names.push_back(trim(field, " \t\""));
    // A trailing delimiter is accepted on record lines, so accept it here.
    while (!names.empty() && names.back().empty()) names.pop_back();
    for (std::size_t j = 0; j < names.size(); ++j)
        if (names[j].empty())
            throw Failure{"field " + std::to_string(j + 1) + " of the header line of '" + s.text_file +
                          "' is empty; give the names with --names"};
    if (names.empty()) throw Failure{"the header line of '" + s.text_file + "' holds no names; give them with --names"};
    return names;
}

bool has_digit(std::string_view text) { return text.find_first_of("0123456789") != std::string_view::npos; }

// A category code as it stands in a column: a whole number in int range.
std::optional<int> whole_code(const std::string& field)
{
    const std::string text = trim(field, " \t\"");
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (text.empty() || stop != text.c_str() + text.size() || !std::isfinite(value) || value != std::floor(value) ||
        value < INT_MIN || value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

std::vector<int> categorical_columns(const std::vector<std::string>& names, const std::vector<Categorical>& cats);

struct TextFacts {
    std::vector<std::string> names;  // given, or else from the header line
    long non_empty_records = 0;
    std::vector<std::set<int>> found_codes;  // per variable, for --categorical VAR
};

// One pass over the text file: the variable names, the number of records
// and the codes of the columns whose codes are to be collected.
TextFacts inspect_text(const Settings& s)
{
    std::ifstream in(s.text_file, std::ios::binary);
    if (!in) throw Failure{"cannot open the text file '" + s.text_file + "'"};
    TextFacts facts;
    Line line;
    long number = 0;
    for (; number < s.header_lines; ++number) {
        if (!read_line(in, line))
            throw Failure{"'" + s.text_file + "' ends within its " + std::to_string(s.header_lines) + " header line(s)"};
        if (number == 0 && !s.names) facts.names = names_from_header(line, s);
    }
    if (s.names) facts.names = *s.names;
    const std::vector<int> columns = categorical_columns(facts.names, s.categorical);
    facts.found_codes.resize(columns.empty() ? 0 : static_cast<std::size_t>(*std::max_element(columns.begin(), columns.end())) + 1);
    long record = 0;
    while (read_line(in, line)) {
        ++number;
        ++record;
        if (!line.text.empty()) ++facts.non_empty_records;
        if (columns.empty() || (s.records && record > *s.records)) continue;
        const std::vector<std::string> fields = split_fields(line.text, s.delimiter);
        for (int column : columns) {
            const auto c = static_cast<std::size_t>(column);
            if (c >= fields.size() || !has_digit(fields[c])) continue;  // converted as Missing
            const std::optional<int> code = whole_code(fields[c]);
            if (!code)
                throw Failure{"line " + std::to_string(number) + " of '" + s.text_file + "': '" + trim(fields[c], " ") +
                              "' in the column of '" + facts.names[c] + "' is not a whole-number category code"};
            facts.found_codes[c].insert(*code);
        }
    }
    return facts;
}

// ---------------------------------------------------------------------------
// Names the data set's readers can find again

// The readers find a variable's element by the first occurrence of its name
// on the record line, so the name must not occur in anything written before
// that element: the record tag, earlier names, status attributes, numbers.
std::optional<std::string> earlier_occurrence(const std::vector<std::string>& names, std::size_t j,
                                              const std::string& record_tag)
{
    const std::string& name = names[j];
    if (record_tag.find(name) != std::string::npos) return "the record tag '<" + record_tag + ">'";
    if (j == 0) return std::nullopt;
    for (std::size_t i = 0; i < j; ++i)
        if (names[i].find(name) != std::string::npos) return "the name '" + names[i] + "'";
    for (const char* word : {"Status", "Valid", "Validn", "Missing", "Error", "Suspect", "Imputed"})
        if (std::string_view(word).find(name) != std::string_view::npos) return std::string("the status text '") + word + "'";
    if (name.find_first_not_of("eE0123456789+-.") == std::string::npos) return std::string("a number");
    return std::nullopt;
}

bool usable_in_element_name(const std::string& name)
{
    auto letter = [](unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; };
    if (name.empty() || !letter(static_cast<unsigned char>(name[0]))) return false;
    return std::all_of(name.begin(), name.end(), [&](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return letter(c) || std::isdigit(c) || c == '-' || c == '.';
    });
}

void check_names(const std::string& dataset, const std::vector<std::string>& given)
{
    const std::string record_tag = replace_any(dataset, " '") + "_rec";
    if (!usable_in_element_name(replace_any(dataset, " '")))
        throw Failure{"the dataset name '" + dataset +
                      "' must start with a letter or '_' and hold only letters, digits, '_', '-', '.', blanks and "
                      "apostrophes; choose one with --name"};
    std::vector<std::string> names;
    for (const std::string& n : given) names.push_back(replace_any(n, " "));
    for (std::size_t j = 0; j < names.size(); ++j) {
        const std::string label = "variable " + std::to_string(j + 1) + " ('" + given[j] + "')";
        if (!usable_in_element_name(names[j]))
            throw Failure{"the name of " + label +
                          " must start with a letter or '_' and hold only letters, digits, '_', '-', '.' and blanks"};
        for (std::size_t i = 0; i < j; ++i)
            if (names[i] == names[j]) throw Failure{"the name of " + label + " is also the name of variable " + std::to_string(i + 1)};
        if (const auto where = earlier_occurrence(names, j, record_tag))
            throw Failure{"the name of " + label + " also occurs in " + *where +
                          ", which comes before it on every record line, so its values could not be read back; "
                          "rename it with --names (or the dataset with --name)"};
    }
}

// ---------------------------------------------------------------------------
// Lines the readers can hold

constexpr std::size_t max_line = KEST_MAX_LINE - 1;

std::size_t declaration_length(const std::string& name, const std::vector<int>& codes)
{
    std::size_t length = std::string_view("<ElementType name=\"\" content=\"textOnly\" dt:type=\"enumeration\" dt:values=\"\">").size() + name.size();
    for (int code : codes) length += std::to_string(code).size() + 1;
    return length;
}

// The longest record line the converter could write: every value as long
// as a field may be and marked Validn.  The converter refuses a data set
// whose lines could be longer than the readers take.
std::size_t longest_record_line(const std::string& dataset, const std::vector<std::string>& names)
{
    std::size_t longest = 2 * dataset.size() + std::string_view("<_rec></_rec>").size();
    for (const std::string& n : names)
        longest += 2 * n.size() + std::string_view("< Status='Validn'></>").size() + KEST_MAX_FIELD;
    return longest;
}

// ---------------------------------------------------------------------------
// Category codes and the converter's arrays

struct CodeTable {
    std::vector<int> flags, counts, table;
    int row_length = 1;
};

int variable_index(const std::vector<std::string>& names, const std::string& wanted)
{
    for (std::size_t j = 0; j < names.size(); ++j)
        if (names[j] == wanted || replace_any(names[j], " ") == wanted) return static_cast<int>(j);
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
    throw UsageError("--categorical: there is no variable named '" + wanted + "' (variables: " + list + ")");
}

std::vector<int> categorical_columns(const std::vector<std::string>& names, const std::vector<Categorical>& cats)
{
    std::vector<int> columns;
    std::set<int> seen;
    for (const Categorical& c : cats) {
        const int j = variable_index(names, c.variable);
        if (!seen.insert(j).second) throw UsageError("--categorical: variable '" + c.variable + "' is given more than once");
        if (!c.codes) columns.push_back(j);
    }
    return columns;
}

CodeTable build_code_table(const Settings& s, const std::vector<std::string>& names, const TextFacts& facts)
{
    std::vector<std::vector<int>> codes(names.size());
    CodeTable t;
    t.flags.assign(names.size(), 0);
    for (const Categorical& c : s.categorical) {
        const auto j = static_cast<std::size_t>(variable_index(names, c.variable));
        if (c.codes) {
            codes[j] = *c.codes;
        } else {
            const std::set<int>& found = facts.found_codes[j];
            if (found.empty()) throw Failure{"the column of '" + c.variable + "' in '" + s.text_file + "' holds no codes"};
            codes[j].assign(found.begin(), found.end());
        }
        if (declaration_length(names[j], codes[j]) > max_line)
            throw Failure{"'" + c.variable + "' has too many category codes (" + std::to_string(codes[j].size()) +
                          ") for one schema line of " + std::to_string(max_line) + " characters"};
        t.flags[j] = 2;  // the converter takes a flag above 1 as categorical
        t.row_length = std::max(t.row_length, static_cast<int>(codes[j].size()));
    }
    t.counts.assign(names.size(), 0);
    t.table.assign(names.size() * static_cast<std::size_t>(t.row_length), 0);
    for (std::size_t j = 0; j < names.size(); ++j) {
        t.counts[j] = static_cast<int>(codes[j].size());
        std::copy(codes[j].begin(), codes[j].end(), t.table.begin() + static_cast<std::ptrdiff_t>(j * t.row_length));
    }
    return t;
}

// ---------------------------------------------------------------------------
// Output files

// Refuses to let an output overwrite the text file or another output.
void check_distinct_files(const Settings& s)
{
    const std::pair<const char*, const std::string*> files[] = {
        {"text file", &s.text_file}, {"data file", &s.data_file}, {"schema", &s.schema_file}, {"stylesheet", &s.stylesheet_file}};
    for (std::size_t a = 0; a < std::size(files); ++a)
        for (std::size_t b = a + 1; b < std::size(files); ++b) {
            std::error_code ec;
            const fs::path pa = fs::weakly_canonical(*files[a].second, ec);
            const fs::path pb = fs::weakly_canonical(*files[b].second, ec);
            if (pa == pb || (fs::exists(pa, ec) && fs::equivalent(pa, pb, ec)))
                throw Failure{std::string("the ") + files[b].first + " '" + *files[b].second + "' is the same file as the " +
                              files[a].first + " '" + *files[a].second + "'"};
        }
}

void create_parent_folder(const std::string& file)
{
    const fs::path parent = fs::path(file).parent_path();
    if (parent.empty()) return;
    std::error_code ec;
    fs::create_directories(parent, ec);
    if (ec) throw Failure{"cannot create the folder '" + parent.string() + "': " + ec.message()};
}

// The path of target as written into a file that lives in folder.
std::string reference_from(const fs::path& folder, const fs::path& target)
{
    const fs::path relative = target.lexically_relative(folder);
    return relative.empty() ? target.string() : relative.string();
}

// Which outputs exist after a failure, by the order of the converter's
// checks: the data file is created after the argument and text file checks,
// then the stylesheet, then the schema (detail 2: created but not written
// completely).
int outputs_written_before(int code, int detail)
{
    switch (code) {
    case 7: case 6: case KEST_ERR_NAME_TOO_LONG: case KEST_ERR_TOO_MANY_CODES: case 2: return 0;
    case 3: return detail == 2 ? 3 : 0;
    case 4: return detail == 2 ? 2 : 1;
    case 5: return detail == 2 ? 3 : 2;
    case KEST_ERR_NO_MEMORY: return -1;  // unknown
    default: return 3;
    }
}

void remove_partial_outputs(const Settings& s, int code, int detail)
{
    const std::string* files[] = {&s.data_file, &s.stylesheet_file, &s.schema_file};
    const int written = outputs_written_before(code, detail);
    for (int i = 0; i < written; ++i) {
        std::error_code ec;
        fs::remove(*files[i], ec);
    }
}

// ---------------------------------------------------------------------------
// Explaining failures

std::string why_record_incomplete(const Settings& s, int record, std::size_t num_vars)
{
    const long line_number = static_cast<long>(record) + s.header_lines;
    const std::optional<Line> line = line_of_file(s.text_file, line_number);
    if (!line) return "the file ends after " + std::to_string(record - 1) + " record(s)";
    if (line->text.empty()) return "the line is empty";
    if (std::count(line->text.begin(), line->text.end(), '"') % 2 != 0) return "a double quote is not closed";
    const std::size_t fields = split_fields(line->text, s.delimiter).size();
    return "it has " + std::to_string(fields) + " field(s) for " + std::to_string(num_vars) + " variables";
}

std::string which_field_too_long(const Settings& s, int line_number)
{
    const std::optional<Line> line = line_of_file(s.text_file, line_number);
    if (!line) return {};
    const std::vector<std::string> fields = split_fields(line->text, s.delimiter);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        // The converter counts the line feed as part of the last field.
        const std::size_t length = fields[i].size() + (i + 1 == fields.size() ? 1 : 0);
        if (length > KEST_MAX_FIELD)
            return "field " + std::to_string(i + 1) + " ('" + fields[i] + "') has " + std::to_string(fields[i].size()) +
                   " characters";
    }
    return {};
}

// ---------------------------------------------------------------------------

struct ConvertCall {
    std::string dataset;  // modifiable: the converter edits names in place
    std::vector<std::string> names;
    std::string text, data, stylesheet, schema;
};

// The converter writes the paths it is given into the files as references.
// Running it from the data file's folder with paths relative to that folder
// makes those references valid wherever the three files are moved together.
void run_converter(ConvertCall& call, const Settings& s, int records, const CodeTable& codes, int* error)
{
    std::vector<char*> name_pointers;
    for (std::string& n : call.names) name_pointers.push_back(n.data());
    data_conv(call.dataset.data(), call.text.c_str(), call.data.c_str(), call.stylesheet.c_str(), call.schema.c_str(),
              records, static_cast<int>(call.names.size()), s.delimiter.type, s.floor, s.header_lines,
              name_pointers.data(), codes.flags.data(), codes.counts.data(), codes.table.data(), codes.row_length, error);
}

ConvertCall prepare_call(const Settings& s, const std::vector<std::string>& names, fs::path& folder)
{
    std::error_code ec;
    const fs::path data = fs::absolute(s.data_file, ec).lexically_normal();
    folder = data.parent_path();
    ConvertCall call;
    call.dataset = s.name;
    call.names = names;
    call.text = fs::absolute(s.text_file, ec).lexically_normal().string();
    call.data = data.filename().string();
    call.schema = reference_from(folder, fs::absolute(s.schema_file, ec).lexically_normal());
    call.stylesheet = reference_from(folder, fs::absolute(s.stylesheet_file, ec).lexically_normal());
    return call;
}

int convert(const Settings& s)
{
    const TextFacts facts = inspect_text(s);
    const std::vector<std::string>& names = facts.names;
    // Before the names are compared with each other, which takes long for
    // a great many of them.
    if (longest_record_line(replace_any(s.name, " '"), names) > max_line)
        throw Failure{"records of " + std::to_string(names.size()) + " variables could be longer than the " +
                      std::to_string(max_line) + " characters of a data file line; use fewer or shorter names"};
    check_names(s.name, names);
    const int records = s.records ? *s.records : static_cast<int>(std::min<long>(facts.non_empty_records, INT_MAX));
    if (records < 1) throw Failure{"'" + s.text_file + "' has no records after its " + std::to_string(s.header_lines) + " header line(s)"};
    const CodeTable codes = build_code_table(s, names, facts);


    check_distinct_files(s);
    for (const std::string* f : {&s.data_file, &s.schema_file, &s.stylesheet_file}) create_parent_folder(*f);

    std::error_code ec;
    const std::uintmax_t size = fs::file_size(s.text_file, ec);
    if (records >= large_record_count || (!ec && size >= large_file_bytes))
        std::cerr << "kest convert: converting " << records << " records of '" << s.text_file << "'...\n";

    fs::path folder;
    ConvertCall call = prepare_call(s, names, folder);
    const fs::path previous = fs::current_path();
    fs::current_path(folder, ec);
    if (ec) throw Failure{"cannot enter the folder '" + folder.string() + "': " + ec.message()};
    int error[2] = {0, 0};
    run_converter(call, s, records, codes, error);
    fs::current_path(previous, ec);

    if (error[0] > 0) {
        MessageContext context{s.text_file, s.data_file, s.schema_file, s.stylesheet_file, s.header_lines, names, {}, 0, {}};
        if (error[0] == 51) context.reason = why_record_incomplete(s, error[1], names.size());
        if (error[0] == KEST_ERR_FIELD_TOO_LONG) context.reason = which_field_too_long(s, error[1]);
        remove_partial_outputs(s, error[0], error[1]);
        throw Failure{describe_failure(Export::data_conv, error[0], error[1], context)};
    }
    std::cout << "converted " << records << " records of " << names.size() << " variables: " << s.data_file << ", "
              << s.schema_file << ", " << s.stylesheet_file << "\n";
    return exit_ok;
}

int run_convert(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    try {
        return convert(settings);
    } catch (const Failure& f) {
        std::cerr << "kest convert: " << f.message << "\n";
        return exit_failure;
    }
}

}  // namespace

const Command convert_command{"convert", "convert a delimited text file into a data set", convert_usage, run_convert};

}  // namespace kest_cli
