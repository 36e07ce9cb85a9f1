// A data set read whole into a matrix, for the subcommands that change its
// cells (impute, outliers): every cell that holds a number is a value,
// whatever its status, and the changed cells go back into the data file
// through the library's writer.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data_set.h"

namespace kest_cli {

// A value no number text can produce, so a cell holds it only when the
// reader found the cell missing.  Not NaN: missing cells are found by
// equality.  It also lies below every value, as the outlier detection's
// median start expects.
extern const double missing_code;

struct Variables {
    std::vector<std::string> names;
    std::vector<int> ncat;   // 0 continuous
    std::vector<int> codes;  // row j holds the codes of variable j
    int row_length = 0;      // the longest code list

    int count() const { return static_cast<int>(names.size()); }
    bool categorical(int j) const { return ncat[static_cast<std::size_t>(j)] > 0; }
    int* code_row(int j) { return codes.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(row_length); }
    const int* code_row(int j) const
    {
        return codes.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(row_length);
    }
};

struct Records {
    DataSetFiles files;
    std::string stylesheet;
    int count = 0;
    std::vector<double> data;  // count x variables, row-major
    Variables vars;
    long missing = 0;

    double at(int r, int j) const
    {
        return data[static_cast<std::size_t>(r) * vars.names.size() + static_cast<std::size_t>(j)];
    }
};

// Reads the data set.  An empty schema or stylesheet is found from the
// data file.  A data file that holds fewer records than its schema states
// is refused: the missing rows would be taken for records.
Records read_records(const std::string& data_file, const std::string& schema, const std::string& stylesheet);

// The index of a variable; a name that is not one throws a UsageError that
// lists the variables, with role saying what the name was given for.
int variable_index(const Variables& v, const std::string& name, std::string_view role);

// The numeric variables a command works on, in column order: those named
// (each given value may be a comma-separated list), or every numeric
// variable when none is named.  A categorical, unknown or twice-named
// variable is a usage error; a data set without numeric variables a
// failure.
std::vector<int> numeric_columns(const Variables& v, std::span<const std::string> given, std::string_view role);

struct Cell {
    int record, variable;
    double value;
};

// Writes the cells, in record-major order, into the data file with the
// writer's mode (KEST_STATUS_IMPUTED sets the values, KEST_STATUS_SUSPECT
// keeps them and changes the status).  Unchanged cells keep their values
// and statuses.  A failure leaves the data file as it was and throws.
// Returns the cells written; when the writer could not apply some, says so
// on standard error as "kest COMMAND: N of the WHAT could not be written".
long write_cells(const Records& rec, const std::vector<Cell>& cells, int mode, std::string_view command,
                 std::string_view what);

}  // namespace kest_cli
