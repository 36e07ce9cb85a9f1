// kest export: a data set back out as a CSV file that R's read.csv, pandas
// and spreadsheets read as they read any other: the original names, the
// labels of categorical variables that have them in the codebook, empty
// fields for Missing cells and every number in the shortest text that reads
// back as exactly the value the data set holds.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "codebook.h"
#include "command.h"
#include "csv.h"
#include "data_set.h"
#include "kest.h"
#include "lock.h"
#include "messages.h"
#include "numbers.h"
#include "options.h"
#include "records.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view export_usage =
    "usage: kest export DATAFILE --out FILE.csv [options]\n"
    "\n"
    "Writes a data set as a comma-separated file: a header line of the\n"
    "variables' original names (as the codebook keeps them), then one line per\n"
    "record.  A categorical variable with labels in the codebook is written as\n"
    "its labels, other variables as numbers in the shortest text that reads\n"
    "back exactly; a Missing cell is an empty field.  Names and labels are\n"
    "quoted.  When the text file had unnamed row numbers, they come back as an\n"
    "unnamed first column.\n"
    "\n"
    "options:\n"
    "  --out FILE      the CSV file to write (replaced if present; nothing is\n"
    "                  left behind on a failure)\n"
    "  --status        add one column per variable, NAME_status, with the\n"
    "                  status of each cell: Valid, Validn, Imputed, Suspect,\n"
    "                  Error or Missing\n"
    "  --na TEXT       write Missing cells as TEXT, such as NA (default: an\n"
    "                  empty field)\n"
    "  --original      add, after the other columns, one column NAME_original\n"
    "                  per variable of which a command changed a value (an\n"
    "                  imputed gap or a replaced value; cells only marked are\n"
    "                  not changed), with the value the data set first held,\n"
    "                  taken from the audit log NAME.audit.csv: for a changed\n"
    "                  cell its value before the first change (empty, or the\n"
    "                  --na text, when it was Missing), for any other cell its\n"
    "                  value\n"
    "  --schema FILE   schema of the data file (default: the one the data file\n"
    "                  names, looked up beside the data file first)\n";

constexpr KnownOption export_options[] = {{"--out"}, {"--na"}, {"--schema"}};
constexpr std::string_view status_switch = "--status";
constexpr std::string_view original_switch = "--original";

struct Settings {
    std::string data_file, schema, out, na;
    bool status = false;
    bool original = false;
};

Settings parse_settings(std::span<const std::string> args)
{
    Settings s;
    const std::vector<std::string> without_status = take_switch(args, status_switch, export_options, s.status);
    const std::vector<std::string> rest = take_switch(without_status, original_switch, export_options, s.original);
    const ParsedArgs parsed = parse_args(rest, export_options);
    s.data_file = parsed.the_one("data file");
    if (!parsed.has("--out")) throw UsageError("give the CSV file to write with --out");
    s.out = *parsed.value("--out");
    if (s.out.empty()) throw UsageError("--out needs a file name");
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--na")) s.na = *v;
    return s;
}

std::string value_text(const Records& rec, const Codebook& book, int j, double value, const std::string& na)
{
    if (value == missing_code) return na;
    const std::string& name = rec.vars.names[static_cast<std::size_t>(j)];
    if (rec.vars.categorical(j) && value == static_cast<int>(value))
        if (const std::string* label = book.label_of(name, static_cast<int>(value))) return csv_field(*label, true);
    return shortest_text(value);
}

std::string cell_text(const Records& rec, const Codebook& book, int r, int j, const std::string& na)
{
    return value_text(rec, book, j, rec.at(r, j), na);
}

// The values the data set first held, from its audit log: per variable of
// which a value changed, every record's first value (missing_code for
// Missing).  A log that names cells the data set does not have does not
// belong to it and is refused.
struct Originals {
    std::vector<int> columns;                 // variables with a changed value, in column order
    std::vector<std::vector<double>> values;  // per such variable, per record
    long changed = 0;                         // cells whose value changed
    long differ = 0;                          // of those, cells whose value is not the log's last
};

Originals originals_of(const Records& rec)
{
    const std::vector<AuditRow> rows = read_audit_log(rec.files.data);
    const std::string path = audit_log_path(rec.files.data);
    const int nv = rec.vars.count();
    std::vector<std::vector<double>> first(static_cast<std::size_t>(nv));
    Originals o;
    for (const CellHistory& h : cell_histories(rows)) {
        const auto name = std::find(rec.vars.names.begin(), rec.vars.names.end(), h.variable);
        if (name == rec.vars.names.end())
            throw DataSetFailure{"line " + std::to_string(h.first->line) + " of the audit log '" + path +
                                 "' names the variable '" + h.variable + "', which the data set does not have"};
        if (h.record > rec.count)
            throw DataSetFailure{"line " + std::to_string(h.first->line) + " of the audit log '" + path +
                                 "' names record " + std::to_string(h.record) + ", but the data set has " +
                                 std::to_string(rec.count)};
        if (!h.replaced() && !h.imputed()) continue;
        const int j = static_cast<int>(name - rec.vars.names.begin());
        std::vector<double>& column = first[static_cast<std::size_t>(j)];
        if (column.empty())
            for (int r = 0; r < rec.count; ++r) column.push_back(rec.at(r, j));
        column[static_cast<std::size_t>(h.record - 1)] = h.first->old_value.value_or(missing_code);
        ++o.changed;
        if (h.last->new_value.value_or(missing_code) != rec.at(h.record - 1, j)) ++o.differ;
    }
    for (int j = 0; j < nv; ++j)
        if (!first[static_cast<std::size_t>(j)].empty()) {
            o.columns.push_back(j);
            o.values.push_back(std::move(first[static_cast<std::size_t>(j)]));
        }
    return o;
}

int export_csv(const Settings& s)
{
    // Export never writes the data file, so it needs no stylesheet.
    const DataSetHold held = hold_data_set(s.data_file, s.schema, Access::read);
    const Records rec = read_records(s.data_file, s.schema, "(not used)");
    const Codebook book = read_codebook(s.data_file);
    std::vector<StatusColumn> statuses;
    if (s.status) statuses = read_cell_statuses(rec);
    const Originals originals = s.original ? originals_of(rec) : Originals{};

    std::error_code ec;
    for (const auto& [file, what] : {std::pair{rec.files.data, "the data file"}, std::pair{rec.files.schema, "the schema"},
                                     std::pair{codebook_path(rec.files.data), "the codebook"},
                                     std::pair{audit_log_path(rec.files.data), "the audit log"}})
        if (fs::exists(s.out, ec) && fs::equivalent(s.out, file, ec))
            throw DataSetFailure{"the output '" + s.out + "' is " + what + " itself"};
    const std::string partial = s.out + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        if (!out) throw DataSetFailure{"cannot create '" + partial + "'"};
        const int nv = rec.vars.count();
        std::string line;
        if (book.first_row_name) line += "\"\",";
        for (int j = 0; j < nv; ++j) line += csv_field(book.original_name(rec.vars.names[static_cast<std::size_t>(j)]), true) + ",";
        if (s.status)
            for (int j = 0; j < nv; ++j)
                line += csv_field(book.original_name(rec.vars.names[static_cast<std::size_t>(j)]) + "_status", true) + ",";
        for (int j : originals.columns)
            line += csv_field(book.original_name(rec.vars.names[static_cast<std::size_t>(j)]) + "_original", true) + ",";
        line.back() = '\n';
        out << line;
        for (int r = 0; r < rec.count; ++r) {
            line.clear();
            // Quoted, as R writes row names.
            if (book.first_row_name) line += csv_field(std::to_string(*book.first_row_name + r), true) + ",";
            for (int j = 0; j < nv; ++j) line += cell_text(rec, book, r, j, s.na) + ",";
            if (s.status)
                for (int j = 0; j < nv; ++j)
                    line += std::string(status_names[statuses[static_cast<std::size_t>(r) * nv + j]]) + ",";
            for (std::size_t k = 0; k < originals.columns.size(); ++k)
                line += value_text(rec, book, originals.columns[k], originals.values[k][static_cast<std::size_t>(r)], s.na) + ",";
            line.back() = '\n';
            out << line;
        }
        out.flush();
        if (!out) {
            out.close();
            fs::remove(partial, ec);
            throw DataSetFailure{"'" + s.out + "' could not be written completely (is the disk full?)"};
        }
    }
    fs::rename(partial, s.out, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw DataSetFailure{"cannot write '" + s.out + "'"};
    }
    std::cout << "exported " << rec.count << " records of " << rec.vars.count() << " variables to " << s.out << "\n";
    if (s.original)
        std::cout << "original values of " << originals.changed << " changed cells in " << originals.columns.size()
                  << " column(s) NAME_original\n";
    if (originals.differ > 0)
        std::cerr << "kest export: " << originals.differ << " changed cells do not hold the value the audit log last "
                  << "recorded; the data set was changed without the tool, or the log belongs to another data set\n";
    return exit_ok;
}

int run_export(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    return export_csv(settings);
}

}  // namespace

const Command export_command{"export", "write a data set as a CSV file with its original names and labels",
                             export_usage, run_export};

}  // namespace kest_cli
