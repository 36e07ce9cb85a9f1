// Locating the cells of a record line.  A cell of variable j is found the
// way the format defines it: its start is the first occurrence of the
// variable's name anywhere in the line, its value starts after the first ">"
// from there, its status is the first status attribute between the two, and
// its end tag is the first occurrence of "/" and the name.  Searching the line
// from its start once per variable would cost variables x line length; the
// scanner instead finds the first occurrence of every name and end tag, and
// every status attribute, in one pass per line, with exactly the same result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kest {

// Status codes of the format (the writer's numbering); absent when a value
// element carries none of the six status attributes.
enum StatusCode : int {
    status_absent = -1,
    status_valid = 0,
    status_imputed = 1,
    status_suspect = 2,
    status_error = 3,
    status_missing = 4,
    status_validn = 5,
};

class RecordScanner {
public:
    explicit RecordScanner(const std::vector<std::string>& names);

    // Indexes one record line; the queries below refer to it until the next
    // call.  The line must stay alive meanwhile.
    void scan(std::string_view line);

    struct CellStart {
        StatusCode status;
        std::size_t value_start;  // just after the ">" that ends the start tag
    };
    // Start of the cell of variable j; empty when the line does not hold the
    // variable's name or no ">" follows it.
    std::optional<CellStart> locate(int j) const;

    // Value text of variable j: from value_start up to the character before
    // the first "/name" of the line.  Empty when that end tag does not come
    // after value_start.
    std::optional<std::string_view> value_text(int j, std::size_t value_start) const;

private:
    struct Pattern {
        std::string text;
        uint16_t pair;  // first two bytes, the filter key
    };
    struct StatusMark {
        std::size_t position;
        StatusCode status;
    };

    void add_pattern(std::string text);
    void note_candidate(std::size_t position);
    StatusCode status_at(std::size_t position) const;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::vector<Pattern> patterns_;  // name of j at 2j, "/name" at 2j + 1, then the status mark
    std::vector<std::size_t> single_char_;      // patterns of one character, found with memchr
    std::vector<uint64_t> pair_filter_;         // bit per two-byte key that starts a pattern
    std::vector<std::pair<uint16_t, uint32_t>> by_pair_;  // (key, pattern), sorted by key
    std::size_t status_pattern_ = 0;

    std::string_view line_;
    std::vector<std::size_t> first_;  // first occurrence of each pattern in line_
    std::vector<StatusMark> marks_;   // status attributes in line_, in order
};

}  // namespace kest
