// kest convert: a delimited text file becomes a data set (data file, schema,
// stylesheet) through the library's converter.  The tool reads the file
// whole as CSV first and checks every field: a numeric column must hold
// numbers, a categorical one codes or text labels, every record as many
// fields as there are names.  Only a file that passes is handed on, as a
// clean copy the converter cannot misread (numbers in at most its field
// length, labels as codes, missing values as empty fields), so a refusal
// writes nothing.  Labels and names the data set cannot hold go into the
// codebook beside it.
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
#include <unistd.h>
#include <vector>

#include "audit.h"
#include "codebook.h"
#include "command.h"
#include "csv.h"
#include "data_set.h"
#include "lock.h"
#include "numbers.h"
#include "kest.h"
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
    "in a browser (NAME.xsl); labels and original names go into the codebook\n"
    "NAME.codebook.csv beside them.\n"
    "\n"
    "The file is read as CSV: fields may be quoted (\"a,b\", doubled quotes\n"
    "inside), lines may end in CRLF, a byte-order mark is dropped, and an\n"
    "unnamed first column of row numbers 1..n or 0..n-1 (as R's write.csv and\n"
    "pandas' to_csv write them) is left out.  NA, . and an empty field are\n"
    "missing.  The conversion is refused, and nothing written, when a field of\n"
    "a numeric column is not wholly a number or beyond the range of numbers,\n"
    "a record has more or fewer fields than there are names, or a code is not\n"
    "one of those listed; the message names the line, the column and the text.\n"
    "Numbers longer than 14 characters are kept as the nearest number that\n"
    "fits, and counted.\n"
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
    "  --header N           header lines to skip; the first holds the names\n"
    "                       (default: 1)\n"
    "  --names a,b,c        variable names (default: the fields of the first line)\n"
    "  --records N          records to convert (default: every non-empty line\n"
    "                       after the header)\n"
    "  --floor X            numbers below X get status Validn (default: the lowest\n"
    "                       finite number, so every number is Valid)\n"
    "  --na TEXT            another text that stands for a missing value (repeat\n"
    "                       for more)\n"
    "  --text-as-missing    convert a field of a numeric column that is not a\n"
    "                       number as Missing instead of refusing the file, and\n"
    "                       count them per column\n"
    "  --categorical VAR=C1,C2,...\n"
    "                       VAR is categorical with exactly these whole-number codes\n"
    "  --categorical VAR    VAR is categorical: a column of whole numbers has the\n"
    "                       codes found in it; a column of text labels has them\n"
    "                       coded 1..k in sorted order, and the codebook keeps the\n"
    "                       labels (repeat --categorical for more variables)\n"
    "  --rename             give every name the data set cannot hold one it can:\n"
    "                       characters other than letters, digits, '_', '-' and\n"
    "                       '.' become '_', an empty name becomes V and its column\n"
    "                       number, a name not starting with a letter or '_' gets\n"
    "                       an X in front, a name is cut to 40 characters, and a\n"
    "                       name found in the record tag, an earlier name or a\n"
    "                       status word gets _1, _2, ...; the mapping is printed\n"
    "                       and the codebook keeps the original names for export\n"
    "\n"
    "The data file refers to the schema and stylesheet by paths relative to its\n"
    "own folder, so the three files can be moved together.  A conversion over\n"
    "an existing data set starts a new one: the audit log of the old one,\n"
    "NAME.audit.csv, is kept as NAME.audit-YYYYMMDDTHHMMSSZ.csv.\n";

constexpr KnownOption convert_options[] = {
    {"--name"},   {"--out"},    {"--data"},    {"--schema"}, {"--stylesheet"},         {"--delimiter"},
    {"--header"}, {"--names"},  {"--records"}, {"--floor"},  {"--categorical", true}, {"--na", true},
};
constexpr std::string_view text_as_missing_switch = "--text-as-missing";
constexpr std::string_view rename_switch = "--rename";

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
    std::vector<std::string> na_texts;
    bool text_as_missing = false;
    bool rename = false;
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
    Settings s;
    std::vector<std::string> rest = take_switch(args, text_as_missing_switch, convert_options, s.text_as_missing);
    rest = take_switch(rest, rename_switch, convert_options, s.rename);
    const ParsedArgs parsed = parse_args(rest, convert_options);
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
    for (const std::string& text : parsed.values("--na")) {
        if (text.empty()) throw UsageError("--na needs a text");
        s.na_texts.push_back(text);
    }
    if (!s.names && s.header_lines == 0) throw UsageError("with --header 0 there is no line to take names from; give --names");
    return s;
}

// ---------------------------------------------------------------------------
// Reading the text file whole, as CSV

std::string trim(std::string_view text, std::string_view junk)
{
    const std::size_t first = text.find_first_not_of(junk);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(junk);
    return std::string(text.substr(first, last - first + 1));
}

struct Table {
    std::vector<std::string> names;  // as the file or --names gives them
    std::vector<CsvRecord> rows;     // the records, without the row names
    std::optional<long> first_row_name;  // R's and pandas' unnamed row numbers, left out
};

std::string where(const Settings& s, long line) { return "line " + std::to_string(line) + " of '" + s.text_file + "'"; }

// R's write.csv and pandas' to_csv put the row names under an empty first
// name.  The default ones, 1..n or 0..n-1, carry nothing and are left out
// (the codebook remembers them for export); others stay a variable.
std::optional<long> default_row_names(const std::vector<CsvRecord>& rows)
{
    std::optional<long> first;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        double value = 0;
        if (rows[i].fields.empty() || read_decimal(rows[i].fields[0].text, value) != NumberText::number) return std::nullopt;
        if (i == 0) {
            if (value != 0 && value != 1) return std::nullopt;
            first = static_cast<long>(value);
        }
        if (value != static_cast<double>(*first + static_cast<long>(i))) return std::nullopt;
    }
    return first;
}

// Every record must have as many fields as there are names; when none of
// them does, the header is the odd one out.
void check_field_counts(const Settings& s, const Table& t, std::size_t expected, long header_line)
{
    bool all_same = !t.rows.empty();
    for (const CsvRecord& r : t.rows) all_same = all_same && r.fields.size() == t.rows.front().fields.size();
    for (const CsvRecord& r : t.rows) {
        if (r.fields.size() == expected) continue;
        if (all_same && header_line > 0)
            throw Failure{where(s, header_line) + " holds " + std::to_string(expected) + " names but every record has " +
                          std::to_string(r.fields.size()) + " fields"};
        throw Failure{where(s, r.line) + " has " + std::to_string(r.fields.size()) + " field(s) where there are " +
                      std::to_string(expected) + " variables"};
    }
}

Table read_table(const Settings& s)
{
    std::ifstream in(s.text_file, std::ios::binary);
    if (!in) throw Failure{"cannot open the text file '" + s.text_file + "'"};
    CsvReader reader(in, CsvDialect{s.delimiter.character, s.delimiter.type == 0});
    Table t;
    CsvRecord record;
    std::vector<CsvField> header;
    long header_line = 0;
    try {
        for (int n = 0; n < s.header_lines; ++n) {
            if (!reader.next(record))
                throw Failure{"'" + s.text_file + "' ends within its " + std::to_string(s.header_lines) + " header line(s)"};
            if (n == 0) {
                header = record.fields;
                header_line = record.line;
            }
        }
        while ((!s.records || static_cast<long>(t.rows.size()) < *s.records) && reader.next(record))
            if (!record.blank()) t.rows.push_back(std::move(record));
    } catch (const CsvError& e) {
        throw Failure{where(s, e.line) + ": " + e.message};
    }
    if (s.records && static_cast<long>(t.rows.size()) < *s.records)
        throw Failure{"'" + s.text_file + "' has " + std::to_string(t.rows.size()) + " record(s) after its header, not the " +
                      std::to_string(*s.records) + " that --records asks for"};

    std::vector<std::string> header_names;
    for (const CsvField& f : header) header_names.push_back(f.quoted ? f.text : trim(f.text, " \t"));
    const bool unnamed_first = header_names.size() > 1 && header_names[0].empty();
    if (s.names) {
        t.names = *s.names;
        if (unnamed_first && header_names.size() == t.names.size() + 1) t.names.insert(t.names.begin(), "");
    } else {
        if (header_names.empty() || (header_names.size() == 1 && header_names[0].empty()))
            throw Failure{"the header line of '" + s.text_file + "' holds no names; give them with --names"};
        t.names = header_names;
    }
    check_field_counts(s, t, t.names.size(), s.names ? 0 : header_line);
    if (unnamed_first && t.names[0].empty() && !t.rows.empty()) {
        t.first_row_name = default_row_names(t.rows);
        if (t.first_row_name) {
            t.names.erase(t.names.begin());
            for (CsvRecord& r : t.rows) r.fields.erase(r.fields.begin());
        }
    }
    return t;
}

// ---------------------------------------------------------------------------
// Fields as the data set will hold them

bool is_missing_text(const Settings& s, const CsvField& field)
{
    const std::string text = trim(field.text, " \t");
    if (text.empty() || text == "NA" || text == ".") return true;
    return std::find(s.na_texts.begin(), s.na_texts.end(), text) != s.na_texts.end();
}

// A category code as it stands in a column: a whole number in int range.
std::optional<int> whole_code(const std::string& text)
{
    double value = 0;
    if (read_decimal(text, value) != NumberText::number || value != std::floor(value) || value < INT_MIN ||
        value > INT_MAX)
        return std::nullopt;
    return static_cast<int>(value);
}

struct Column {
    std::vector<std::string> cells;  // per record: the number text handed on, empty for Missing
    std::vector<std::string> labels;  // text labels, coded 1..k in this order
    std::set<int> found_codes;        // the codes of a categorical column of codes
    long shortened = 0;               // number texts cut to the converter's field length
    long made_missing = 0;            // texts taken as Missing (--text-as-missing)
};

std::string code_list_text(const std::vector<int>& codes)
{
    std::string text;
    for (int c : codes) text += (text.empty() ? "" : ", ") + std::to_string(c);
    return text;
}

std::string quoted_text(const CsvField& f) { return "'" + (f.quoted ? f.text : trim(f.text, " \t")) + "'"; }

Column numeric_column(const Settings& s, const Table& t, std::size_t j)
{
    Column c;
    const std::string& name = t.names[j];
    for (const CsvRecord& r : t.rows) {
        const CsvField& f = r.fields[j];
        if (is_missing_text(s, f)) {
            c.cells.emplace_back();
            continue;
        }
        double value = 0;
        const NumberText kind = read_decimal(f.text, value);
        if (kind != NumberText::number) {
            if (s.text_as_missing) {
                ++c.made_missing;
                c.cells.emplace_back();
                continue;
            }
            throw Failure{where(s, r.line) + ": " + quoted_text(f) + " in the column of '" + name + "' is " +
                          (kind == NumberText::out_of_range ? "beyond the range of numbers" : "not a number") +
                          "; give --text-as-missing to convert such fields as Missing" +
                          (kind == NumberText::out_of_range ? "" : ", or --categorical " + name + " if it holds labels")};
        }
        bool shortened = false;
        c.cells.push_back(text_within(value, KEST_MAX_FIELD, shortened));
        c.shortened += shortened;
    }
    return c;
}

Column categorical_column(const Settings& s, const Table& t, std::size_t j, const Categorical& cat)
{
    Column c;
    const std::string& name = t.names[j];
    // Labels when any value is not a number at all; codes otherwise.
    bool labels = false;
    if (!cat.codes)
        for (const CsvRecord& r : t.rows) {
            double value = 0;
            if (!is_missing_text(s, r.fields[j]) && read_decimal(r.fields[j].text, value) == NumberText::not_a_number)
                labels = true;
        }
    if (labels) {
        std::set<std::string> distinct;
        for (const CsvRecord& r : t.rows)
            if (!is_missing_text(s, r.fields[j])) distinct.insert(r.fields[j].text);
        c.labels.assign(distinct.begin(), distinct.end());
        for (const CsvRecord& r : t.rows) {
            if (is_missing_text(s, r.fields[j])) {
                c.cells.emplace_back();
                continue;
            }
            const auto at = std::lower_bound(c.labels.begin(), c.labels.end(), r.fields[j].text);
            c.cells.push_back(std::to_string(at - c.labels.begin() + 1));
        }
        return c;
    }
    for (const CsvRecord& r : t.rows) {
        const CsvField& f = r.fields[j];
        if (is_missing_text(s, f)) {
            c.cells.emplace_back();
            continue;
        }
        const std::optional<int> code = whole_code(f.text);
        if (!code)
            throw Failure{where(s, r.line) + ": " + quoted_text(f) + " in the column of '" + name +
                          "' is not a whole-number category code"};
        if (cat.codes && std::find(cat.codes->begin(), cat.codes->end(), *code) == cat.codes->end())
            throw Failure{where(s, r.line) + ": " + quoted_text(f) + " in the column of '" + name +
                          "' is not one of its codes (" + code_list_text(*cat.codes) + ")"};
        c.found_codes.insert(*code);
        c.cells.push_back(std::to_string(*code));
    }
    return c;
}

int variable_index(const std::vector<std::string>& names, const std::vector<std::string>& stored,
                   const std::string& wanted);

std::vector<Column> read_columns(const Settings& s, const Table& t, const std::vector<std::string>& stored)
{
    std::vector<const Categorical*> kind(t.names.size(), nullptr);
    for (const Categorical& c : s.categorical) {
        const auto j = static_cast<std::size_t>(variable_index(t.names, stored, c.variable));
        if (kind[j] != nullptr) throw UsageError("--categorical: variable '" + c.variable + "' is given more than once");
        kind[j] = &c;
    }
    std::vector<Column> columns;
    for (std::size_t j = 0; j < t.names.size(); ++j)
        columns.push_back(kind[j] ? categorical_column(s, t, j, *kind[j]) : numeric_column(s, t, j));
    return columns;
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

void check_dataset_name(const std::string& dataset)
{
    if (!usable_in_element_name(replace_any(dataset, " '")))
        throw Failure{"the dataset name '" + dataset +
                      "' must start with a letter or '_' and hold only letters, digits, '_', '-', '.', blanks and "
                      "apostrophes; choose one with --name"};
}

void check_names(const std::string& dataset, const std::vector<std::string>& given)
{
    const std::string record_tag = replace_any(dataset, " '") + "_rec";
    std::vector<std::string> names;
    for (const std::string& n : given) names.push_back(replace_any(n, " "));
    for (std::size_t j = 0; j < names.size(); ++j) {
        const std::string label = "variable " + std::to_string(j + 1) + " ('" + given[j] + "')";
        if (names[j].empty())
            throw Failure{"the name of variable " + std::to_string(j + 1) +
                          " is empty; give the names with --names, or --rename to have them made"};
        if (!usable_in_element_name(names[j]))
            throw Failure{"the name of " + label +
                          " must start with a letter or '_' and hold only letters, digits, '_', '-', '.' and blanks; "
                          "give --rename to have such names changed (export gives the originals back)"};
        for (std::size_t i = 0; i < j; ++i)
            if (names[i] == names[j])
                throw Failure{"the name of " + label + " is also the name of variable " + std::to_string(i + 1) +
                              "; give --rename to have such names changed"};
        if (const auto where = earlier_occurrence(names, j, record_tag))
            throw Failure{"the name of " + label + " also occurs in " + *where +
                          ", which comes before it on every record line, so its values could not be read back; "
                          "give --rename to have such names changed (export gives the originals back), or rename it "
                          "with --names (or the dataset with --name)"};
    }
}

// --rename: each name the data set cannot hold becomes one it can, in
// column order.  Characters other than letters, digits, '_', '-' and '.'
// become '_'; an empty name becomes V and its column number; a name that
// does not start with a letter or '_' gets an X in front; a name longer
// than 40 characters is cut to 40.  A name that then equals or occurs in
// anything before it on a record line (the record tag, an earlier name, a
// status text) or looks like a number gets the first of _1, _2, ... that
// makes it readable.
constexpr std::size_t renamed_length = 40;

std::vector<std::string> readable_names(const std::string& dataset, const std::vector<std::string>& given)
{
    const std::string record_tag = replace_any(dataset, " '") + "_rec";
    std::vector<std::string> names;
    for (std::size_t j = 0; j < given.size(); ++j) {
        std::string name = given[j];
        for (char& ch : name) {
            const auto c = static_cast<unsigned char>(ch);
            if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.' || c >= 0x80)) ch = '_';
        }
        if (name.empty()) name = "V" + std::to_string(j + 1);
        if (!usable_in_element_name(name)) name = "X" + name;
        if (name.size() > renamed_length) name.resize(renamed_length);
        names.push_back(name);
        const auto clashes = [&] {
            for (std::size_t i = 0; i < j; ++i)
                if (names[i] == names[j]) return true;
            return earlier_occurrence(names, j, record_tag).has_value();
        };
        for (int suffix = 1; clashes(); ++suffix) names[j] = name + "_" + std::to_string(suffix);
    }
    return names;
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

// A variable named on the command line by its name in the text file or in
// the data set.
int variable_index(const std::vector<std::string>& names, const std::vector<std::string>& stored,
                   const std::string& wanted)
{
    for (std::size_t j = 0; j < names.size(); ++j)
        if (names[j] == wanted || replace_any(names[j], " ") == wanted) return static_cast<int>(j);
    for (std::size_t j = 0; j < stored.size(); ++j)
        if (stored[j] == wanted) return static_cast<int>(j);
    std::string list;
    for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
    throw UsageError("--categorical: there is no variable named '" + wanted + "' (variables: " + list + ")");
}

CodeTable build_code_table(const Settings& s, const std::vector<std::string>& names, const std::vector<std::string>& stored,
                           const std::vector<Column>& columns)
{
    std::vector<std::vector<int>> codes(names.size());
    CodeTable t;
    t.flags.assign(names.size(), 0);
    for (const Categorical& c : s.categorical) {
        const auto j = static_cast<std::size_t>(variable_index(names, stored, c.variable));
        const Column& column = columns[j];
        if (c.codes) {
            codes[j] = *c.codes;
        } else if (!column.labels.empty()) {
            for (std::size_t k = 1; k <= column.labels.size(); ++k) codes[j].push_back(static_cast<int>(k));
        } else {
            if (column.found_codes.empty())
                throw Failure{"the column of '" + c.variable + "' in '" + s.text_file + "' holds no codes"};
            codes[j].assign(column.found_codes.begin(), column.found_codes.end());
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
    const std::string codebook = codebook_path(s.data_file);
    const std::pair<const char*, const std::string*> files[] = {{"text file", &s.text_file},
                                                                {"data file", &s.data_file},
                                                                {"schema", &s.schema_file},
                                                                {"stylesheet", &s.stylesheet_file},
                                                                {"codebook", &codebook}};
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

// The files of an earlier data set that a conversion replaces.  The
// converter writes its files in place, so a conversion that failed part way
// would leave the earlier data set destroyed: its files are moved aside
// first, put back when the conversion fails, and removed once it succeeded.
class EarlierFiles {
public:
    explicit EarlierFiles(const Settings& s)
    {
        for (const std::string* f : {&s.data_file, &s.schema_file, &s.stylesheet_file}) {
            std::error_code ec;
            if (!fs::is_regular_file(*f, ec)) continue;
            const fs::path target(*f);
            const fs::path aside = target.parent_path() / ("." + target.filename().string() + ".before-convert");
            fs::rename(target, aside, ec);
            if (ec) {
                put_back();
                throw Failure{"cannot move the earlier '" + *f + "' aside (" + ec.message() + "); nothing was changed"};
            }
            moved_.push_back({target, aside});
        }
    }
    ~EarlierFiles() { put_back(); }
    EarlierFiles(const EarlierFiles&) = delete;
    EarlierFiles& operator=(const EarlierFiles&) = delete;

    bool empty() const noexcept { return moved_.empty(); }

    // The new data set stands: the earlier files go.
    void discard() noexcept
    {
        for (const Moved& m : moved_) {
            std::error_code ec;
            fs::remove(m.aside, ec);
        }
        moved_.clear();
    }

    void put_back() noexcept
    {
        for (auto m = moved_.rbegin(); m != moved_.rend(); ++m) {
            std::error_code ec;
            fs::rename(m->aside, m->target, ec);
            if (ec)
                std::cerr << "kest convert: the earlier '" << m->target.string() << "' could not be put back; it is kept as '"
                          << m->aside.string() << "'\n";
        }
        moved_.clear();
    }

private:
    struct Moved {
        fs::path target, aside;
    };
    std::vector<Moved> moved_;
};

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
    constexpr int comma = 2;
    data_conv(call.dataset.data(), call.text.c_str(), call.data.c_str(), call.stylesheet.c_str(), call.schema.c_str(),
              records, static_cast<int>(call.names.size()), comma, s.floor, 0, name_pointers.data(),
              codes.flags.data(), codes.counts.data(), codes.table.data(), codes.row_length, error);
}

ConvertCall prepare_call(const Settings& s, const std::vector<std::string>& names, fs::path& folder)
{
    std::error_code ec;
    const fs::path data = fs::absolute(s.data_file, ec).lexically_normal();
    folder = data.parent_path();
    ConvertCall call;
    call.dataset = s.name;
    call.names = names;
    call.data = data.filename().string();
    call.schema = reference_from(folder, fs::absolute(s.schema_file, ec).lexically_normal());
    call.stylesheet = reference_from(folder, fs::absolute(s.stylesheet_file, ec).lexically_normal());
    return call;
}

// The records as the converter takes them: comma-separated, one line per
// record, numbers as texts it copies unchanged, codes for labels, empty
// fields for Missing, and a comma after every field so that no field runs
// into the line end.  Removed when the conversion is over.
class CleanCopy {
public:
    CleanCopy(const fs::path& folder, const std::vector<Column>& columns, std::size_t records)
    {
        std::string pattern = (folder / ".kest-convert-XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd < 0) throw Failure{"cannot create a working file in '" + folder.string() + "'"};
        close(fd);
        path_ = pattern;
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        std::string line;
        for (std::size_t r = 0; r < records; ++r) {
            line.clear();
            for (const Column& c : columns) line += c.cells[r] + ",";
            line += "\n";
            out << line;
        }
        out.flush();
        if (!out) throw Failure{"cannot write the working file '" + path_ + "' (is the disk full?)"};
    }
    ~CleanCopy()
    {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    CleanCopy(const CleanCopy&) = delete;
    CleanCopy& operator=(const CleanCopy&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Codebook codebook_of(const Table& t, const std::vector<std::string>& stored, const std::vector<Column>& columns)
{
    Codebook book;
    for (std::size_t j = 0; j < stored.size(); ++j) {
        if (stored[j] != t.names[j]) book.names.push_back({stored[j], t.names[j]});
        for (std::size_t k = 0; k < columns[j].labels.size(); ++k)
            book.labels.push_back({stored[j], static_cast<int>(k + 1), columns[j].labels[k]});
    }
    book.first_row_name = t.first_row_name;
    return book;
}

void print_notes(const Settings& s, const Table& t, const std::vector<std::string>& stored,
                 const std::vector<Column>& columns, const Codebook& book)
{
    if (t.first_row_name)
        std::cout << "row numbers " << *t.first_row_name << ".." << *t.first_row_name + static_cast<long>(t.rows.size()) - 1
                  << " in the unnamed first column were left out\n";
    for (std::size_t j = 0; j < stored.size(); ++j)
        if (s.rename && stored[j] != t.names[j]) std::cout << "renamed '" << t.names[j] << "' to '" << stored[j] << "'\n";
    for (std::size_t j = 0; j < stored.size(); ++j) {
        const Column& c = columns[j];
        if (!c.labels.empty())
            std::cout << stored[j] << ": " << c.labels.size() << " labels coded 1 to " << c.labels.size() << "\n";
        if (c.shortened > 0)
            std::cout << stored[j] << ": " << c.shortened << " number(s) longer than " << KEST_MAX_FIELD
                      << " characters kept as the nearest number of " << KEST_MAX_FIELD << " characters\n";
        if (c.made_missing > 0)
            std::cout << stored[j] << ": " << c.made_missing << " text(s) that are not numbers converted as Missing\n";
    }
    if (!book.empty()) std::cout << "codebook " << codebook_path(s.data_file) << "\n";
}

int convert(const Settings& s)
{
    check_dataset_name(s.name);
    const Table table = read_table(s);
    if (table.rows.empty())
        throw Failure{"'" + s.text_file + "' has no records after its " + std::to_string(s.header_lines) + " header line(s)"};
    if (table.rows.size() > static_cast<std::size_t>(INT_MAX)) throw Failure{"'" + s.text_file + "' has too many records"};
    const int records = static_cast<int>(table.rows.size());
    std::vector<std::string> names;
    if (s.rename) {
        names = readable_names(s.name, table.names);
    } else {
        for (const std::string& n : table.names) names.push_back(replace_any(n, " "));
    }
    // Before the names are compared with each other, which takes long for
    // a great many of them.
    if (longest_record_line(replace_any(s.name, " '"), names) > max_line)
        throw Failure{"records of " + std::to_string(names.size()) + " variables could be longer than the " +
                      std::to_string(max_line) + " characters of a data file line; use fewer or shorter names"};
    if (!s.rename) check_names(s.name, table.names);
    const std::vector<Column> columns = read_columns(s, table, names);
    const CodeTable codes = build_code_table(s, table.names, names, columns);
    const Codebook book = codebook_of(table, names, columns);

    check_distinct_files(s);
    for (const std::string* f : {&s.data_file, &s.schema_file, &s.stylesheet_file}) create_parent_folder(*f);

    std::error_code ec;
    const std::uintmax_t size = fs::file_size(s.text_file, ec);
    if (records >= large_record_count || (!ec && size >= large_file_bytes))
        std::cerr << "kest convert: converting " << records << " records of '" << s.text_file << "'...\n";

    fs::path folder;
    ConvertCall call = prepare_call(s, names, folder);
    // Readers of an earlier data set wait while its files are replaced.
    const DataSetHold held = hold_data_set(s.data_file, s.schema_file, Access::change);
    EarlierFiles earlier(s);
    const std::optional<std::string> old_log = set_audit_log_aside(s.data_file);
    const CleanCopy copy(folder, columns, table.rows.size());
    call.text = copy.path();
    const fs::path previous = fs::current_path();
    fs::current_path(folder, ec);
    if (ec) throw Failure{"cannot enter the folder '" + folder.string() + "': " + ec.message()};
    int error[2] = {0, 0};
    run_converter(call, s, records, codes, error);
    fs::current_path(previous, ec);

    if (error[0] > 0) {
        MessageContext context{s.text_file, s.data_file, s.schema_file, s.stylesheet_file, 0, names, {}, 0, {}};
        remove_partial_outputs(s, error[0], error[1]);
        earlier.put_back();
        if (old_log) put_audit_log_back(s.data_file, *old_log);
        throw Failure{describe_failure(Export::data_conv, error[0], error[1], context)};
    }
    try {
        write_codebook(s.data_file, book);
    } catch (const DataSetFailure& f) {
        remove_partial_outputs(s, 0, 0);
        const bool had_earlier = !earlier.empty();
        earlier.put_back();
        if (old_log) put_audit_log_back(s.data_file, *old_log);
        throw Failure{f.message + (had_earlier ? "; the earlier data set was put back" : "; the data set was removed")};
    }
    earlier.discard();
    std::cout << "converted " << records << " records of " << names.size() << " variables: " << s.data_file << ", "
              << s.schema_file << ", " << s.stylesheet_file << "\n";
    print_notes(s, table, names, columns, book);
    if (old_log) std::cout << "the audit log of the earlier data set was kept as " << *old_log << "\n";
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

const Command convert_command{"convert", "convert a CSV or other delimited text file into a data set", convert_usage, run_convert};

}  // namespace kest_cli
