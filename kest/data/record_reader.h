// Reading a data set record by record: the schema's declarations first, then
// the data file's record lines, each handed to a RecordScanner.  Shared by
// the reader and the writer, which reads the current file before rewriting
// it, so that both find the same cells and fail on the same faults.
#pragma once

#include <memory>
#include <optional>

#include "data/fault.h"
#include "data/line_reader.h"
#include "data/record_scanner.h"
#include "data/schema.h"

namespace kest {

class RecordReader {
public:
    RecordReader(const char* data_path, const char* schema_path);

    // 1,0 when the data file, 2,0 when the schema file could not be opened.
    Outcome opened() const;

    // Reads the declarations of num_vars variables and the record type
    // (storing category codes when a table is given), then finds the first
    // record line of the data file.
    Outcome start(int num_vars, const CategoryTable* categories);

    const SchemaNames& names() const noexcept { return names_; }

    // Moves to the next record line.  got is false when the line that
    // follows is not a record line, which ends the records without a fault.
    Outcome next_record(bool& got);

    const RecordScanner& scanner() const noexcept { return *scanner_; }
    long line_number() const noexcept { return data_.line_number(); }
    // Closes the data file, which Windows will not let a replacement take
    // the place of while it is open.
    void close_data_file() noexcept { data_.close(); }

private:
    bool is_record_line(std::string_view line) const noexcept;

    LineReader data_;
    LineReader schema_;
    SchemaNames names_;
    std::optional<RecordScanner> scanner_;
    bool at_first_record_ = false;
};

// read_cell_value's reading of the value text itself.
Outcome read_text_value(const RecordReader& records, int j, std::size_t value_start,
                        std::optional<double>& value);

// The value of a cell whose status makes it a candidate value: the text
// between the start tag and the end tag converted as a decimal number.
// value stays empty when the text has no digit or does not convert to a
// finite number.  1,2 when the end tag does not follow the start; 62 when the
// text is longer than the format allows.
inline Outcome read_cell_value(const RecordReader& records, int j, std::size_t value_start,
                               std::optional<double>& value)
{
    // A line in the writer's form had its plain decimals read by the walk.
    double number;
    if (records.scanner().plain_number(j, number)) {
        value.emplace(number);
        return std::nullopt;
    }
    return read_text_value(records, j, value_start, value);
}

}  // namespace kest
