// kest log: the history of the cells of a data set, from its audit log -
// per command that changed it, the cells with their old and new status and
// value, the method and the donor.
#include <climits>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "audit.h"
#include "codebook.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "numbers.h"
#include "options.h"
#include "table.h"

namespace kest_cli {

namespace {

constexpr std::string_view log_usage =
    "usage: kest log DATAFILE [--variable VAR] [--record N]\n"
    "\n"
    "Prints the history of the cells of a data set from its audit log\n"
    "NAME.audit.csv: for every command that changed the data set, its time\n"
    "(UTC) and command line, then each cell it changed - the record (counted\n"
    "from 1), the variable, the old and the new status and value, the method\n"
    "and the donor record where it is known.  Every command that writes a\n"
    "data set (impute, outliers, waid, tssom, tree --impute) appends to the\n"
    "log.\n"
    "\n"
    "options:\n"
    "  --variable VAR  only the cells of this variable (its name in the data\n"
    "                  set or its original name)\n"
    "  --record N      only the cells of record N\n";

constexpr KnownOption log_options[] = {{"--variable"}, {"--record"}};

std::string state_text(StatusColumn status, const std::optional<double>& value)
{
    return std::string(status_names[status]) + (value ? " " + shortest_text(*value) : "");
}

void print_rows(const std::vector<const AuditRow*>& rows)
{
    Table t;
    const std::string* when = nullptr;
    const std::string* command = nullptr;
    const auto flush = [&t] {
        if (t.rows.empty()) return;
        print_table(std::cout, t);
        t.rows.clear();
    };
    for (const AuditRow* row : rows) {
        if (when == nullptr || *when != row->when || *command != row->command) {
            flush();
            if (when != nullptr) std::cout << "\n";
            when = &row->when;
            command = &row->command;
            std::cout << row->when << "  " << row->command << "\n";
            t = Table{{"  record", "variable", "old", "new", "method", "donor"}, {true, false, false, false, false, true}, {}};
        }
        t.rows.push_back({std::to_string(row->record), row->variable, state_text(row->old_status, row->old_value),
                          state_text(row->new_status, row->new_value), row->method,
                          row->donor > 0 ? std::to_string(row->donor) : ""});
    }
    flush();
}

int show_log(const std::string& data_file, const std::string* variable, int record)
{
    std::error_code ec;
    if (!std::filesystem::exists(data_file, ec)) throw DataSetFailure{"cannot open the data file '" + data_file + "'"};
    const DataSetHold held = hold_data_set(data_file, "", Access::read);
    const std::string path = audit_log_path(data_file);
    const std::vector<AuditRow> rows = read_audit_log(data_file);
    if (rows.empty()) {
        std::cout << "no changes recorded: '" << path << "' is " << (std::filesystem::exists(path, ec) ? "empty" : "absent")
                  << "\n";
        return exit_ok;
    }
    std::string wanted;
    if (variable != nullptr) {
        const Codebook book = read_codebook(data_file);
        wanted = *variable;
        for (const OriginalName& n : book.names)
            if (n.original == *variable) wanted = n.variable;
    }
    std::vector<const AuditRow*> chosen;
    for (const AuditRow& row : rows)
        if ((variable == nullptr || row.variable == wanted) && (record == 0 || row.record == record))
            chosen.push_back(&row);
    std::cout << "audit log  " << path << "\n\n";
    if (chosen.empty()) {
        std::cout << "no changes recorded for";
        if (variable != nullptr) std::cout << " variable " << *variable;
        if (record != 0) std::cout << " record " << record;
        std::cout << "\n";
        return exit_ok;
    }
    print_rows(chosen);
    std::vector<AuditRow> kept;
    for (const AuditRow* row : chosen) kept.push_back(*row);
    std::cout << "\n" << chosen.size() << " changes of " << cell_histories(kept).size() << " cells\n";
    return exit_ok;
}

int run_log(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, log_options);
    const std::string& data_file = parsed.the_one("data file");
    const std::string* variable = parsed.value("--variable");
    if (variable != nullptr && variable->empty()) throw UsageError("--variable needs a variable name");
    int record = 0;
    if (const std::string* v = parsed.value("--record"))
        record = static_cast<int>(parse_whole(*v, "--record", 1, INT_MAX));
    return show_log(data_file, variable, record);
}

}  // namespace

const Command log_command{"log", "print the history of the cells of a data set from its audit log", log_usage, run_log};

}  // namespace kest_cli
