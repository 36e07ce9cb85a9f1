#include "audit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#include <io.h>
#endif

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <utility>

#include "codebook.h"
#include "csv.h"
#include "numbers.h"
#include "options.h"

namespace kest_cli {

namespace {

#if defined(_WIN32)
// Windows has no descriptors to pass on to programs the tool starts, and
// commits a file's data to the disk with _commit.
constexpr int close_on_exec = 0;
int flush_to_disk(int fd) { return _commit(fd); }
#else
constexpr int close_on_exec = O_CLOEXEC;
int flush_to_disk(int fd) { return fsync(fd); }
#endif

// Set once by main, before any command runs.
std::string the_command_line = "kest";

constexpr std::size_t audit_fields = 10;

// An argument as a shell reads it back: quoted when it holds anything but
// the characters of ordinary names, paths and options.
std::string shell_word(const std::string& arg)
{
    const bool plain = !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789_./,:=+-@%") == std::string::npos;
    if (plain) return arg;
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string utc_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string value_field(double value) { return value == missing_code ? "" : shortest_text(value); }

std::string audit_row(const std::string& when, int record, const std::string& variable, StatusColumn old_status,
                      double old_value, StatusColumn new_status, double new_value, const CellSource& source)
{
    return when + "," + csv_field(the_command_line) + "," + std::to_string(record + 1) + "," + csv_field(variable) + "," +
           status_names[old_status] + "," + value_field(old_value) + "," + status_names[new_status] + "," +
           value_field(new_value) + "," + csv_field(source.method) + "," +
           (source.donor > 0 ? std::to_string(source.donor) : "") + "\n";
}

std::string first_line_of(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

[[noreturn]] void refuse(const std::string& path, long line, const std::string& why)
{
    throw DataSetFailure{"line " + std::to_string(line) + " of the audit log '" + path + "' " + why};
}

StatusColumn status_named(const std::string& path, long line, const std::string& text)
{
    for (int s = 0; s < status_columns; ++s)
        if (text == status_names[s]) return static_cast<StatusColumn>(s);
    refuse(path, line, "holds '" + text + "' where a status belongs");
}

std::optional<double> value_named(const std::string& path, long line, const std::string& text)
{
    if (text.empty()) return std::nullopt;
    double value = 0;
    if (read_decimal(text, value) != NumberText::number) refuse(path, line, "holds '" + text + "' where a number belongs");
    return value;
}

int whole_named(const std::string& path, long line, const std::string& text, std::string_view what)
{
    try {
        return static_cast<int>(parse_whole(text, what, 1, INT_MAX));
    } catch (const UsageError&) {
        refuse(path, line, "holds '" + text + "' where " + std::string(what) + " belongs");
    }
}

}  // namespace

std::string audit_log_path(const std::string& data_file) { return companion_path(data_file, ".audit.csv"); }

void set_command_line(std::span<const std::string> args)
{
    the_command_line = "kest";
    for (const std::string& a : args) the_command_line += " " + shell_word(a);
}

AuditLog::AuditLog(const std::string& data_file) : path_(audit_log_path(data_file))
{
    fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | close_on_exec, 0666);
    if (fd_ >= 0) {
        created_ = true;
        return;
    }
    if (errno == EEXIST) fd_ = open(path_.c_str(), O_WRONLY | O_APPEND | close_on_exec);
    if (fd_ < 0)
        throw DataSetFailure{"cannot open the audit log '" + path_ + "' for appending (" + std::strerror(errno) +
                             "); nothing was changed"};
    struct stat info {};
    if (fstat(fd_, &info) == 0 && info.st_size > 0 && first_line_of(path_) != audit_header)
        throw DataSetFailure{"'" + path_ + "' is not an audit log (its first line is not '" + std::string(audit_header) +
                             "'); nothing was changed"};
}

AuditLog::~AuditLog()
{
    if (fd_ < 0) return;
    struct stat info {};
    const bool empty = fstat(fd_, &info) == 0 && info.st_size == 0;
    close(fd_);
    if (created_ && !appended_ && empty) unlink(path_.c_str());
}

// One write, so that the rows of a command stand together; a write that
// fails halfway is cut off again, so that the log never ends in half a row.
void AuditLog::append(const std::string& rows)
{
    struct stat info {};
    if (fstat(fd_, &info) != 0) throw DataSetFailure{std::strerror(errno)};
    const std::string text = info.st_size == 0 ? std::string(audit_header) + "\n" + rows : rows;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string why = n < 0 ? std::strerror(errno) : "nothing could be written";
            if (ftruncate(fd_, info.st_size) != 0) {
                // Nothing more can be done; the message below says the log is incomplete.
            }
            throw DataSetFailure{why};
        }
        done += static_cast<std::size_t>(n);
    }
    if (flush_to_disk(fd_) != 0) throw DataSetFailure{std::string("it could not be saved to disk: ") + std::strerror(errno)};
    appended_ = true;
}

bool AuditLog::record_changes(const Records& rec, const CellStates& before, const SourceOf& source,
                              std::string_view command)
{
    std::string rows;
    try {
        const CellStates after = read_cell_states(rec);
        if (after.values.size() != before.values.size())
            throw DataSetFailure{"the data set no longer has the shape it had before the change"};
        const std::string when = utc_now();
        const std::size_t nv = rec.vars.names.size();
        for (std::size_t i = 0; i < after.values.size(); ++i) {
            if (after.statuses[i] == before.statuses[i] && after.values[i] == before.values[i]) continue;
            const int r = static_cast<int>(i / nv), j = static_cast<int>(i % nv);
            rows += audit_row(when, r, rec.vars.names[i % nv], before.statuses[i], before.values[i], after.statuses[i],
                              after.values[i], source(r, j));
        }
        if (!rows.empty()) append(rows);
        return true;
    } catch (const DataSetFailure& failure) {
        std::cerr << "kest " << command << ": THE DATA SET '" << rec.files.data
                  << "' WAS CHANGED, BUT ITS AUDIT LOG '" << path_ << "' COULD NOT BE APPENDED: " << failure.message
                  << "\n";
        if (!rows.empty())
            std::cerr << "kest " << command << ": the rows that belong in it:\n" << audit_header << "\n" << rows;
        return false;
    }
}

std::optional<std::string> set_audit_log_aside(const std::string& data_file)
{
    namespace fs = std::filesystem;
    const std::string path = audit_log_path(data_file);
    std::error_code ec;
    if (!fs::exists(path, ec)) return std::nullopt;
    std::string stamp = utc_now();
    std::erase(stamp, '-');
    std::erase(stamp, ':');
    const std::string stem = path.substr(0, path.size() - std::string_view(".csv").size());
    for (int n = 1; n < 1000; ++n) {
        const std::string aside = stem + "-" + stamp + (n == 1 ? "" : "-" + std::to_string(n)) + ".csv";
        if (fs::exists(aside, ec)) continue;
        fs::rename(path, aside, ec);
        if (ec) break;
        return aside;
    }
    throw DataSetFailure{"cannot rename the audit log '" + path + "' of the earlier data set" +
                         (ec ? " (" + ec.message() + ")" : std::string()) + "; nothing was converted"};
}

void put_audit_log_back(const std::string& data_file, const std::string& aside)
{
    std::error_code ec;
    std::filesystem::rename(aside, audit_log_path(data_file), ec);
    if (ec) std::cerr << "kest convert: the audit log of the earlier data set stays '" << aside << "'\n";
}

std::vector<AuditRow> read_audit_log(const std::string& data_file)
{
    const std::string path = audit_log_path(data_file);
    std::vector<AuditRow> rows;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return rows;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DataSetFailure{"cannot open the audit log '" + path + "'"};
    CsvReader reader(in, CsvDialect{});
    CsvRecord record;
    try {
        if (!reader.next(record)) return rows;
        std::string header;
        for (const CsvField& f : record.fields) header += (header.empty() ? "" : ",") + f.text;
        if (header != audit_header) refuse(path, 1, "is not the header '" + std::string(audit_header) + "'");
        while (reader.next(record)) {
            if (record.blank()) continue;
            const long line = record.line;
            if (record.fields.size() != audit_fields)
                refuse(path, line, "does not hold " + std::to_string(audit_fields) + " fields");
            const auto field = [&record](std::size_t k) -> const std::string& { return record.fields[k].text; };
            AuditRow row;
            row.line = line;
            row.when = field(0);
            row.command = field(1);
            row.record = whole_named(path, line, field(2), "a record number");
            row.variable = field(3);
            row.old_status = status_named(path, line, field(4));
            row.old_value = value_named(path, line, field(5));
            row.new_status = status_named(path, line, field(6));
            row.new_value = value_named(path, line, field(7));
            row.method = field(8);
            row.donor = field(9).empty() ? 0 : whole_named(path, line, field(9), "a donor record");
            rows.push_back(std::move(row));
        }
    } catch (const CsvError& e) {
        refuse(path, e.line, e.message);
    }
    return rows;
}

bool CellHistory::replaced() const { return first->old_value && last->new_value != first->old_value; }

bool CellHistory::imputed() const { return !first->old_value && last->new_value; }

bool CellHistory::flagged() const
{
    return first->old_value && last->new_value == first->old_value && last->new_status != first->old_status;
}

std::vector<CellHistory> cell_histories(const std::vector<AuditRow>& rows)
{
    std::vector<CellHistory> histories;
    std::map<std::pair<int, std::string>, std::size_t> index;
    for (const AuditRow& row : rows) {
        const auto [at, added] = index.try_emplace({row.record, row.variable}, histories.size());
        if (added) histories.push_back({row.record, row.variable, &row, &row});
        histories[at->second].last = &row;
    }
    return histories;
}

}  // namespace kest_cli
