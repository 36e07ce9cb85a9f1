// kest show: what a data set holds - its size, its variables with their
// category codes, and how many cells of each variable have each status.
#include <algorithm>
#include <array>
#include <iostream>
#include <string>
#include <vector>

#include "audit.h"
#include "codebook.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "options.h"
#include "table.h"

namespace kest_cli {

namespace {

constexpr std::string_view show_usage =
    "usage: kest show DATAFILE [--schema FILE]\n"
    "\n"
    "Prints the number of records and variables of a data set, its variables\n"
    "with their category codes (and labels, from the codebook), and per\n"
    "variable the number of cells that are Valid, Validn, Imputed, Suspect,\n"
    "Error and Missing.  When the data set has an audit log (NAME.audit.csv,\n"
    "which the commands that change a data set append to), it also counts per\n"
    "variable the cells that commands changed, by what happened to them since\n"
    "the data set was converted: replaced (a value gave way to another),\n"
    "imputed (a Missing cell got a value) and flagged (the value stayed, its\n"
    "status changed, as outliers marks cells Suspect).\n"
    "\n"
    "options:\n"
    "  --schema FILE   schema of the data file (default: the one the data file\n"
    "                  names, looked up beside the data file first)\n";

constexpr KnownOption show_options[] = {{"--schema"}};

constexpr long large_record_count = 50000;

using Files = DataSetFiles;

// ---------------------------------------------------------------------------
// Printing

constexpr std::size_t codes_shown = 20;

// Codes with labels in the codebook are listed as "1 Female, 2 Male".
std::string code_list(const DataSet& d, int j, const Codebook& book)
{
    const int n = d.ncat[static_cast<std::size_t>(j)];
    const std::string name = d.names.list[j];
    const bool labelled = book.has_labels(name);
    std::string text;
    const int shown = std::min<int>(n, static_cast<int>(codes_shown));
    for (int k = 0; k < shown; ++k) {
        if (k > 0) text += labelled ? ", " : " ";
        const int code = d.codes[static_cast<std::size_t>(j) * d.max_cats + k];
        text += std::to_string(code);
        if (const std::string* label = book.label_of(name, code)) text += " " + *label;
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

void print_variables(const DataSet& d, const Codebook& book)
{
    Table t{{"variable", "type", "codes"}, {false, false, false}, {}};
    for (int j = 0; j < d.num_vars; ++j) {
        const bool categorical = d.ncat[static_cast<std::size_t>(j)] > 0;
        t.rows.push_back({d.names.list[j], categorical ? "categorical" : "numeric", categorical ? code_list(d, j, book) : ""});
    }
    print_table(std::cout, t);
    for (const OriginalName& n : book.names) std::cout << n.variable << " was '" << n.original << "' in the text file\n";
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

// What the audit log says of the variables: each cell it names counts
// once, by what happened to it between its first and its last change.
void print_audit_counts(const Files& f, const DataSet& d)
{
    const std::vector<AuditRow> rows = read_audit_log(f.data);
    if (rows.empty()) return;
    const std::vector<CellHistory> cells = cell_histories(rows);
    Table t{{"variable", "replaced", "imputed", "flagged"}, {false, true, true, true}, {}};
    std::array<long, 3> total{};
    for (int j = 0; j < d.num_vars; ++j) {
        std::array<long, 3> n{};
        for (const CellHistory& c : cells)
            if (c.variable == d.names.list[j]) {
                n[0] += c.replaced();
                n[1] += c.imputed();
                n[2] += c.flagged();
            }
        std::vector<std::string> row{d.names.list[j]};
        for (std::size_t k = 0; k < n.size(); ++k) {
            row.push_back(std::to_string(n[k]));
            total[k] += n[k];
        }
        t.rows.push_back(std::move(row));
    }
    std::vector<std::string> row{"(all)"};
    for (long n : total) row.push_back(std::to_string(n));
    t.rows.push_back(std::move(row));
    std::cout << "audit log  " << audit_log_path(f.data) << " (" << rows.size() << " changes of " << cells.size()
              << " cells)\n";
    print_table(std::cout, t);
    std::cout << "\n";
}

int show(const Files& f)
{
    DataSet d;
    size_data_set(f, d);
    if (d.rows >= large_record_count)
        std::cerr << "kest show: reading " << d.rows << " records of '" << f.data << "' (five passes)...\n";
    const StatusCounts counts = count_statuses(f, d);
    print_summary(f, d);
    print_variables(d, read_codebook(f.data));
    print_audit_counts(f, d);
    print_status_counts(d, counts);
    return exit_ok;
}

int run_show(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, show_options);
    const std::string& data_file = parsed.the_one("data file");
    Files f{data_file, {}};
    f.schema = parsed.has("--schema") ? *parsed.value("--schema") : locate_schema(f.data);
    const DataSetHold held = hold_data_set(f.data, f.schema, Access::read);
    return show(f);
}

}  // namespace

const Command show_command{"show", "print the size, variables and status counts of a data set", show_usage, run_show};

}  // namespace kest_cli
