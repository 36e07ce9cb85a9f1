// Finding the files of a data set and reading it through the library, as
// the subcommands that inspect or change a data set do.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "kest.h"

namespace kest_cli {

// A failure the subcommand reports as "kest NAME: message" with exit 1.
struct DataSetFailure {
    std::string message;
};

// The schema and the stylesheet named in a data file's first lines.  The
// converter writes the references relative to the data file's folder;
// files from elsewhere may hold them relative to where they were made, so
// a reference is looked up beside the data file first, then as given.
std::string locate_schema(const std::string& data_file);
std::string locate_stylesheet(const std::string& data_file);

struct DataSetFiles {
    std::string data, schema;
};

struct NameList {
    char** list = nullptr;
    int count = 0;
    NameList() = default;
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;
    ~NameList() { free_list(list, count); }
};

struct DataSet {
    int num_obs = 0;    // as the schema states
    int num_vars = 0;
    int rows = 0;       // rows the buffers hold
    int rows_read = 0;  // rows the data file actually had
    std::vector<double> data;
    NameList names;
    std::vector<int> ncat;
    std::vector<int> codes;
    int max_cats = 0;
};

// Sizes the data set from its schema and makes its buffers.
void size_data_set(const DataSetFiles& f, DataSet& d);

// The reader has no per-status count, but it can be told which statuses to
// read as values; reading under growing status limits and taking
// differences gives the count of every status.  Fills the names and codes.
enum StatusColumn { valid, validn, imputed, suspect, error, missing, status_columns };
inline constexpr const char* status_names[] = {"Valid", "Validn", "Imputed", "Suspect", "Error", "Missing"};

using StatusCounts = std::vector<std::array<long, status_columns>>;

StatusCounts count_statuses(const DataSetFiles& f, DataSet& d);

}  // namespace kest_cli
