// The report reader: a report file lists, one record per line, the
// variables of the record that were flagged.  A line is the record number,
// a second number the reader does not use, the count n and n variable
// numbers, each followed by a comma; all numbers count from 1.  The reader
// works in two passes: sizing counts the records and entries so that the
// caller can make the lists, reading fills them with (record, variable)
// cells counted from 0.
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "data/fault.h"
#include "data/line_reader.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

namespace {

// Codes of read_rep.
constexpr int unreadable = 1;          // detail 1 no file, 0 a header, else the record position
constexpr int no_room = 3;             // reading: the caller's total is below 1
constexpr int empty_line = 10;         // sizing: a count below 1
constexpr int beyond_int = 11;         // sizing: more records or entries than an int counts
constexpr int more_than_total = 12;    // reading: the file holds more entries than the caller's total

// Reads numbers the way the formats "%ld," and "%ld,%ld,%ld,\n" read them:
// a number skips the white space before it, a comma must follow at once,
// and the trailing white-space directive of the header takes any white
// space, line ends included.  A number whose size exceeds the largest int
// is not converted, so that every number read, less 1, is an int.
class ReportScanner {
public:
    explicit ReportScanner(std::FILE* in) noexcept : in_(in) {}

    enum class Got { number, mismatch, end };

    Got number(int& value) noexcept
    {
        int c = skip_space();
        if (c == EOF) return Got::end;
        bool negative = false;
        if (c == '+' || c == '-') {
            negative = c == '-';
            c = std::getc(in_);
        }
        if (!is_digit(c)) {
            unread(c);
            return Got::mismatch;
        }
        int64_t magnitude = 0;
        for (; is_digit(c); c = std::getc(in_))
            if (magnitude <= INT_MAX) magnitude = magnitude * 10 + (c - '0');
        unread(c);
        if (magnitude > INT_MAX) return Got::mismatch;
        value = static_cast<int>(negative ? -magnitude : magnitude);
        return Got::number;
    }

    Got comma() noexcept
    {
        const int c = std::getc(in_);
        if (c == EOF) return Got::end;
        if (c == ',') return Got::number;
        unread(c);
        return Got::mismatch;
    }

    // "%ld,%ld,%ld,\n": the number of fields converted, -1 when the input
    // ends before the first.
    int header(int fields[3]) noexcept
    {
        for (int i = 0; i < 3; ++i) {
            const Got got = number(fields[i]);
            if (got == Got::end) return i == 0 ? -1 : i;
            if (got == Got::mismatch) return i;
            if (comma() != Got::number) return i + 1;
        }
        unread(skip_space());
        return 3;
    }

    // "%ld,": whether the number was converted (the comma may be absent).
    bool entry(int& value) noexcept
    {
        if (number(value) != Got::number) return false;
        comma();
        return true;
    }

    void skip_line() noexcept
    {
        for (int c = std::getc(in_); c != EOF && c != '\n'; c = std::getc(in_)) {
        }
    }

private:
    static bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

    int skip_space() noexcept
    {
        int c = std::getc(in_);
        while (c != EOF && std::isspace(static_cast<unsigned char>(c))) c = std::getc(in_);
        return c;
    }

    void unread(int c) noexcept
    {
        if (c != EOF) std::ungetc(c, in_);
    }

    std::FILE* in_;
};

// Sizing pass: one record per header, its count added to the total; the
// rest of each line is skipped.  The first header that does not give three
// numbers ends the file.
Outcome size_report(ReportScanner& scan, int* num_recs, int* total) noexcept
{
    int fields[3];
    if (scan.header(fields) != 3) return Fault{unreadable, 0};
    int records = 0;
    int entries = 0;
    do {
        if (records == INT_MAX) return Fault{beyond_int, records};
        ++records;
        const int n = fields[2];
        if (n < 1) return Fault{empty_line, records};
        if (n > INT_MAX - entries) return Fault{beyond_int, records};
        entries += n;
        scan.skip_line();
    } while (scan.header(fields) == 3);
    *num_recs = records;
    *total = entries;
    return std::nullopt;
}

// Reading pass: the given number of records, each header's n entries
// appended to the lists.  The lists hold the caller's total and no more: a
// file that has more entries (changed since it was sized, or a line with
// more numbers than its count) is refused before one is written past them.
Outcome read_report(ReportScanner& scan, int num_recs, int total, int* rec_list, int* var_list) noexcept
{
    std::printf(" num = %ld \n", static_cast<long>(num_recs));
    std::fflush(stdout);
    int written = 0;
    for (int r = 0; r < num_recs; ++r) {
        int fields[3];
        const int converted = scan.header(fields);
        if (converted != 3) {
            std::printf(" err = %d \n", converted);
            std::fflush(stdout);
            return Fault{unreadable, 0};
        }
        for (int i = 0; i < fields[2]; ++i) {
            if (written == total) return Fault{more_than_total, r};
            int variable = 0;
            if (!scan.entry(variable)) return Fault{unreadable, r};
            rec_list[written] = fields[0] - 1;
            var_list[written] = variable - 1;
            ++written;
        }
    }
    return std::nullopt;
}

Outcome run_pass(const char* path, int pass, int* num_recs, int* total, int* rec_list, int* var_list) noexcept
{
    const FilePtr file = open_file(path, "rb");
    if (!file) return Fault{unreadable, 1};
    ReportScanner scan(file.get());
    if (pass <= 0) return size_report(scan, num_recs, total);
    if (*total < 1) return Fault{no_room, *num_recs};
    return read_report(scan, *num_recs, *total, rec_list, var_list);
}

}  // namespace

}  // namespace kest

extern "C" void read_rep(const char* path, int pass, int* num_recs, int* total, int* rec_list, int* var_list,
                         int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{num_recs, 3}, {total, 4}})) return;
        // Only the reading pass fills the lists.
        if (pass > 0 && !kest::all_given(error, {{rec_list, 5}, {var_list, 6}})) return;
        if (const kest::Outcome fault = kest::run_pass(path, pass, num_recs, total, rec_list, var_list))
            kest::set_error(error, fault->code, fault->detail);
    });
}
