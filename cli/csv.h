// Delimited text as spreadsheets, R's write.csv and pandas' to_csv write it:
// fields may be quoted with double quotes (a doubled quote inside stands for
// one, and a quoted field may hold the delimiter and line feeds), lines end
// in LF or CRLF, and a UTF-8 byte-order mark before the first line is
// dropped.  Shared by kest convert, which reads users' files, kest export,
// which writes them, and the codebook, which is itself such a file.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kest_cli {

struct CsvField {
    std::string text;     // without its quotes
    bool quoted = false;  // it stood in double quotes
};

struct CsvRecord {
    std::vector<CsvField> fields;
    long line = 0;  // the line it starts on, counted from 1

    // A line with nothing on it; spreadsheets leave them at the end.
    bool blank() const { return fields.size() == 1 && !fields[0].quoted && fields[0].text.empty(); }
};

// A fault in the quoting, found at a line.
struct CsvError {
    long line = 0;
    std::string message;
};

// With blank_runs, a run of blanks separates two fields and blanks at the
// start and end of a line are ignored (the delimiter is then the blank).
struct CsvDialect {
    char delimiter = ',';
    bool blank_runs = false;
};

class CsvReader {
public:
    CsvReader(std::istream& in, CsvDialect dialect);
    // Reads the next record; false at the end of the input.  Throws
    // CsvError for a quote that is not closed before the end of the file,
    // text between a closing quote and the next delimiter, or a quote
    // inside a field that did not start with one.
    bool next(CsvRecord& record);

private:
    int get();
    int peek();
    std::istream& in_;
    CsvDialect dialect_;
    long line_ = 1;
    bool started_ = false;
};

// A field as written to a comma-separated file: in double quotes (inner
// quotes doubled) when quote is set or the text holds a comma, a quote, a
// line end or surrounding blanks, as it is otherwise.
std::string csv_field(std::string_view text, bool quote = false);

}  // namespace kest_cli
