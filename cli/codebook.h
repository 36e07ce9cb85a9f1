// The codebook of a data set: what the data set's own files cannot hold.
// It lives beside the data file as NAME.codebook.csv (NAME: the data file's
// name without .xml), a comma-separated file whose first line is
//
//   entry,variable,code,text
//
// followed by one line per entry:
//
//   label,VAR,CODE,TEXT   category CODE of VAR stands for the label TEXT
//   name,VAR,,TEXT        VAR was called TEXT in the file it came from
//   row_names,,FIRST,     the file had unnamed row numbers FIRST, FIRST+1, ...
//                         in its first column (not kept as a variable)
//
// VAR is the variable's name in the data set.  Fields are quoted as in any
// CSV file.  kest convert writes it; show, summary and export read it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest_cli {

struct CodeLabel {
    std::string variable;
    int code = 0;
    std::string label;
};

struct OriginalName {
    std::string variable, original;
};

struct Codebook {
    std::vector<CodeLabel> labels;
    std::vector<OriginalName> names;
    std::optional<long> first_row_name;

    bool empty() const { return labels.empty() && names.empty() && !first_row_name; }
    // The label of a code of a variable; null when it has none.
    const std::string* label_of(const std::string& variable, int code) const;
    bool has_labels(const std::string& variable) const;
    // The name the variable had before conversion (its own when unchanged).
    const std::string& original_name(const std::string& variable) const;
};

// NAME.codebook.csv beside the data file NAME.xml.
std::string codebook_path(const std::string& data_file);

// NAME followed by suffix, beside the data file NAME.xml (or beside a data
// file of another extension, its whole name followed by suffix): where the
// files that belong to a data set but are no part of its format live.
std::string companion_path(const std::string& data_file, std::string_view suffix);

// The codebook of a data file, empty when it has none.  A codebook that is
// there but cannot be read throws DataSetFailure naming its line.
Codebook read_codebook(const std::string& data_file);

// Writes the codebook beside the data file (replacing an old one), or
// removes an old one when the codebook is empty.  Throws DataSetFailure.
void write_codebook(const std::string& data_file, const Codebook& book);

}  // namespace kest_cli
