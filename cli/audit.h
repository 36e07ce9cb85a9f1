// The audit log of a data set: one row per cell that a command of the tool
// changed, so that for every published cell one can say what the data set
// held before, what replaced it, by which method and from which donor.  It
// lives beside the data file as NAME.audit.csv, a CSV file whose first line
// is
//
//   when,command,record,variable,old_status,old_value,new_status,new_value,method,donor
//
// when: the time of the change, ISO 8601 in UTC; command: the command line;
// record: counted from 1; variable: its name in the data set; the statuses
// are the status words of the data file; a value is the shortest text that
// reads back as exactly the number the data set held, empty for a Missing
// cell; method: nn, mean, mode, em, bacon, waid, tssom, tree-value,
// tree-mode or tree-donor; donor: the record a value was copied from,
// counted from 1, empty where it is not known.
//
// A command that changes a data set reads every cell before it writes and
// again after, under its exclusive hold of the data set, and appends the
// cells that differ in one write.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cell_status.h"
#include "data_set.h"
#include "records.h"

namespace kest_cli {

inline constexpr std::string_view audit_header =
    "when,command,record,variable,old_status,old_value,new_status,new_value,method,donor";

// NAME.audit.csv beside the data file NAME.xml.
std::string audit_log_path(const std::string& data_file);

// The command line the tool was called with, as the log records it; main
// sets it once.
void set_command_line(std::span<const std::string> args);

// Where a changed cell's value came from.  donor counts records from 1; 0
// is unknown.
struct CellSource {
    std::string method;
    int donor = 0;
};
using SourceOf = std::function<CellSource(int record, int variable)>;

// The log, opened before a command changes anything: a log that cannot be
// written, or is not an audit log, stops the command while the data set is
// still as it was.  A log created here and left empty is removed again.
class AuditLog {
public:
    explicit AuditLog(const std::string& data_file);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Reads the data set again and appends a row for every cell whose
    // status or value differs from before.  When the log cannot be
    // appended, says so on standard error as "kest COMMAND: ...", lists
    // the rows there instead, and returns false; the data set keeps its
    // change.
    bool record_changes(const Records& rec, const CellStates& before, const SourceOf& source,
                        std::string_view command);

private:
    void append(const std::string& rows);
    std::string path_;
    int fd_ = -1;
    bool created_ = false;
    bool appended_ = false;
};

// A conversion over an existing data set starts a new one, whose history
// the old log does not tell; the old log is kept, renamed to
// NAME.audit-YYYYMMDDTHHMMSSZ.csv (with -2, -3, ... when that is taken).
// Returns the new name, or nothing when there was no log; throws
// DataSetFailure when it cannot be renamed.  put_audit_log_back undoes it
// when the conversion fails.
std::optional<std::string> set_audit_log_aside(const std::string& data_file);
void put_audit_log_back(const std::string& data_file, const std::string& aside);

// A row of the log as read back.
struct AuditRow {
    long line = 0;  // in the log file
    std::string when, command;
    int record = 0;  // from 1
    std::string variable;
    StatusColumn old_status = missing, new_status = missing;
    std::optional<double> old_value, new_value;
    std::string method;
    int donor = 0;
};

// Every row of the log beside the data file, in order; none when there is
// no log.  A log that cannot be read throws DataSetFailure naming its line.
std::vector<AuditRow> read_audit_log(const std::string& data_file);

// What the log says of each cell it names: the first row that changed it
// and the last.
struct CellHistory {
    int record = 0;  // from 1
    std::string variable;
    const AuditRow* first = nullptr;
    const AuditRow* last = nullptr;

    // The value that was there first is gone: the cell held a value and
    // holds another now (a cell only flagged or filled is not replaced).
    bool replaced() const;
    // The cell was Missing and holds a value now.
    bool imputed() const;
    // The value is the same but the status is not.
    bool flagged() const;
};

// One history per cell, in the order of the cells' first rows.
std::vector<CellHistory> cell_histories(const std::vector<AuditRow>& rows);

}  // namespace kest_cli
