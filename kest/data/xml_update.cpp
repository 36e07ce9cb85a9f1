// The data writer: merges a change list into a data file.  The current file
// is read record by record and each record is written at once to its
// replacement, so memory does not grow with the file and the old file stays
// intact until the new one is complete.
#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "data/data_set_lock.h"
#include "data/number_text.h"
#include "data/record_reader.h"
#include "data/safe_replace.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

namespace {

constexpr std::string_view status_attribute[] = {
    "Status='Valid'", "Status='Imputed'", "Status='Suspect'",
    "Status='Error'", "Status='Missing'", "Status='Validn'",
};

// The change list: entries in row-major order ended by -1.  An entry is
// applied only when it names the cell being written, so one out of order
// holds back itself and every entry after it.
struct ChangeList {
    int mode;
    int n_changes;
    const int* records;
    const int* variables;
    const double* values;
    std::size_t next = 0;

    bool names(int r, int j) const noexcept
    {
        return records != nullptr && variables != nullptr && records[next] == r && variables[next] == j;
    }

    // Entries from the first unapplied one up to the terminator (never past
    // n_changes).
    int unapplied() const noexcept
    {
        if (records == nullptr || variables == nullptr) return 0;
        int count = 0;
        for (std::size_t k = next; k < static_cast<std::size_t>(n_changes > 0 ? n_changes : 0); ++k) {
            if (records[k] == -1 || variables[k] == -1) break;
            ++count;
        }
        return count;
    }
};

// Per-variable pieces of a record line, built once per call.
struct CellTags {
    std::string start[std::size(status_attribute)];  // "<name Status='...'>" by status code
    std::string close;                              // "</name>"
    std::string missing;                            // "<name Status='Missing'> </name>"
};

std::vector<CellTags> make_tags(const std::vector<std::string>& names)
{
    std::vector<CellTags> tags(names.size());
    for (std::size_t j = 0; j < names.size(); ++j) {
        const std::string& name = names[j];
        for (std::size_t status = 0; status < std::size(status_attribute); ++status)
            tags[j].start[status] = "<" + name + " " + std::string(status_attribute[status]) + ">";
        tags[j].close = "</" + name + ">";
        tags[j].missing = "<" + name + " Status='Missing'> </" + name + ">";
    }
    return tags;
}

// A value that is not finite (only a change value can be one) would read
// back as missing whatever its status, so it is written as Missing.  Returns
// false when the value had no text of the format's length that reads back
// as exactly the value and was written rounded.
bool append_cell(std::string& line, const CellTags& tags, double value, int status, double missing_code)
{
    if (value == missing_code || !std::isfinite(value)) {
        line += tags.missing;
        return true;
    }
    char number[max_number_text];
    const CellNumber text = format_cell_number(value, number);
    line += tags.start[status];
    line.append(number, text.length);
    line += tags.close;
    return text.exact;
}

struct Header {
    const char* schema_path;
    const char* xsl_path;
};

// The header lines after the XML declaration, without their line feeds.
std::string stylesheet_line(const Header& header)
{
    return std::string("<?xml-stylesheet type=\"text/xsl\" href=\"") + (header.xsl_path ? header.xsl_path : "") + "\"?>";
}

std::string root_line(const Header& header)
{
    return std::string("<kest_data xmlns=\"x-schema:") + (header.schema_path ? header.schema_path : "") + "\">";
}

void write_header(std::FILE* out, const Header& header)
{
    std::fputs("<?xml version='1.0'?>\n", out);
    std::fprintf(out, "%s\n", stylesheet_line(header).c_str());
    std::fprintf(out, "%s\n", root_line(header).c_str());
}

// The longest line the writer could write for these names and paths: every
// cell in its longest element, with a value text of the format's greatest
// length.
std::size_t longest_line(const std::vector<CellTags>& tags, const std::string& record_open,
                         const std::string& record_close, const Header& header)
{
    std::size_t record = record_open.size() + record_close.size() - 1;  // without the line feed
    for (const CellTags& t : tags) {
        std::size_t cell = t.missing.size();
        for (const std::string& start : t.start) cell = std::max(cell, start.size() + max_number_text + t.close.size());
        record += cell;
    }
    return std::max({record, stylesheet_line(header).size(), root_line(header).size()});
}

// A variable name longer than the format allows, or a record type whose
// name does not end in "_rec" (the writer's record tags are the dataset name
// and that suffix).
Outcome names_outside_format(const SchemaNames& names)
{
    for (std::size_t j = 0; j < names.variables.size(); ++j) {
        if (names.variables[j].size() > KEST_MAX_NAME) return Fault{KEST_ERR_NAME_TOO_LONG, static_cast<int>(j)};
    }
    constexpr std::string_view record_suffix = "_rec";
    const std::string& record = names.record;
    if (record.size() <= record_suffix.size() ||
        record.compare(record.size() - record_suffix.size(), record_suffix.size(), record_suffix) != 0)
        return Fault{2, 4};
    return std::nullopt;
}

// The old file's faults are reported as 21 with the reader's code.
Fault old_file_fault(const Fault& fault)
{
    return fault.code == KEST_ERR_LINE_TOO_LONG || fault.code == KEST_ERR_VALUE_TOO_LONG ? fault
                                                                                         : Fault{21, fault.code};
}

// rounded counts the values written rounded (see append_cell).
Outcome update_data_file(const char* data_path, const char* schema_path, const char* xsl_path,
                         double missing_code, int num_obs, int num_vars, ChangeList& changes, int& rounded)
{
    if (num_obs < 1) return Fault{5, num_obs};
    if (num_vars < 1) return Fault{6, num_vars};
    if (changes.mode < 1 || changes.mode > 4) return Fault{8, changes.mode};

    DataSetLock lock;
    if (auto fault = lock.acquire(schema_path, LockMode::exclusive, default_lock_wait_ms, SchemaFile::existing))
        return fault;
    if (lock.holds()) remove_abandoned_replacements(data_path);

    RecordReader records(data_path, schema_path);
    if (auto fault = records.opened()) return old_file_fault(*fault);
    if (auto fault = records.start(num_vars, nullptr)) return old_file_fault(*fault);
    const SchemaNames& names = records.names();
    const std::string record_open = "<" + names.record + ">";
    const std::string record_close = "</" + names.record + ">\n";
    const std::vector<CellTags> tags = make_tags(names.variables);
    // Every line written must read back, so a data set whose lines could grow
    // beyond what the readers take is refused before anything is written.
    if (longest_line(tags, record_open, record_close, Header{schema_path, xsl_path}) > LineReader::max_length)
        return Fault{KEST_ERR_LINE_TOO_LONG, 0};

    FileReplacement replacement;
    if (!replacement.create(data_path)) return Fault{1, 0};
    std::FILE* out = replacement.stream();
    write_header(out, Header{schema_path, xsl_path});

    std::string line;
    for (int r = 0; r < num_obs; ++r) {
        bool got = false;
        if (auto fault = records.next_record(got)) return old_file_fault(*fault);
        if (!got) break;
        line.assign(record_open);
        for (int j = 0; j < num_vars; ++j) {
            const auto cell = records.scanner().locate(j);
            if (!cell) return Fault{21, 1};
            double value = missing_code;
            int status = status_missing;
            if (cell->status != status_absent && cell->status != status_missing) {
                std::optional<double> old_value;
                if (auto fault = read_cell_value(records, j, cell->value_start, old_value))
                    return old_file_fault(*fault);
                if (old_value) {
                    value = *old_value;
                    status = cell->status;
                }
            }
            if (changes.names(r, j)) {
                if (changes.mode == 1) value = changes.values[changes.next];
                status = changes.mode;
                ++changes.next;
            }
            if (!append_cell(line, tags[j], value, status, missing_code) && rounded < INT_MAX) ++rounded;
        }
        line += record_close;
        replacement.write(line.data(), line.size());
    }
    std::fputs("</kest_data>\n", out);
    // Names outside the format are judged after every record was read, so
    // that a fault of the current file is reported first.
    if (auto fault = names_outside_format(names)) return fault;
    records.close_data_file();
    return replacement.commit();
}

}  // namespace

}  // namespace kest

extern "C" void xml_update(const char* data_path, const char* schema_path, const char* xsl_path,
                           double missing_code, int num_obs, int num_vars, int mode, int n_changes,
                           const int* change_recs, const int* change_vars, const double* change_vals,
                           int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        // A list without records or variables has no entries; one with
        // them needs its values in mode 1.
        const bool listed = n_changes > 0 && change_recs != nullptr && change_vars != nullptr;
        if (listed && mode == 1 && !kest::all_given(error, {{change_vals, 11}})) return;
        kest::ChangeList changes{mode, n_changes, change_recs, change_vars, change_vals};
        int rounded = 0;
        if (auto fault = kest::update_data_file(data_path, schema_path, xsl_path, missing_code, num_obs,
                                                num_vars, changes, rounded)) {
            kest::set_error(error, fault->code, fault->detail);
            return;
        }
        // Entries not applied matter more to the caller than rounded texts.
        if (const int unapplied = changes.unapplied(); unapplied > 0)
            kest::set_error(error, KEST_WARN_CHANGES_NOT_APPLIED, unapplied);
        else if (rounded > 0)
            kest::set_error(error, KEST_WARN_VALUES_ROUNDED, rounded);
    });
}
