// Locating the cells of a record line.  A cell of variable j is found the
// way the format defines it: its start is the first occurrence of the
// variable's name anywhere in the line, its value starts after the first ">"
// from there, its status is the first status attribute between the two, and
// its end tag is the first occurrence of "/" and the name.  Searching the line
// from its start once per variable would cost variables x line length; the
// scanner instead finds the first occurrence of every name and end tag, and
// every status attribute, in one pass per line, with exactly the same result.
//
// Lines as the writer makes them, every cell in schema order right after the
// record's start tag, are read faster still: when the names are such that
// none can occur before its own cell in such a line (see
// check_names_for_written_lines), the cells are taken in one walk along the
// line, and any line that departs from that form goes through the search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    // record is the record type's name; without it every line is searched.
    explicit RecordScanner(const std::vector<std::string>& names, std::string_view record = {});

    // Indexes one record line; the queries below refer to it until the next
    // call.  The line must stay alive meanwhile.
    void scan(std::string_view line);

    struct CellStart {
        StatusCode status;
        std::size_t value_start;  // just after the ">" that ends the start tag
    };
    // Start of the cell of variable j; empty when the line does not hold the
    // variable's name or no ">" follows it.
    std::optional<CellStart> locate(int j) const
    {
        if (line_walked_) {
            const WrittenCell& cell = cells_[static_cast<std::size_t>(j)];
            return CellStart{cell.status, cell.value_start};
        }
        return locate_found(j);
    }

    // Value text of variable j: from value_start up to the character before
    // the first "/name" of the line.  Empty when that end tag does not come
    // after value_start.
    std::optional<std::string_view> value_text(int j, std::size_t value_start) const;

    // The number of cell j's value text when the line is in the writer's
    // form and the whole text is a plain decimal of an allowed length (see
    // scan_plain_decimal): the walk along such a line reads it in passing.
    bool plain_number(int j, double& number) const noexcept
    {
        if (!line_walked_) return false;
        const WrittenCell& cell = cells_[static_cast<std::size_t>(j)];
        number = cell.number;
        return cell.plain;
    }

private:
    struct StatusMark {
        std::size_t position;
        StatusCode status;
    };
    // Patterns that start with one two-byte key, by their lengths.
    struct PairLengths {
        uint16_t key;
        uint32_t begin;  // range in lengths_
        uint32_t end;
    };
    struct TextKey {
        uint64_t head;
        uint64_t tail;
        uint32_t length;
    };
    struct Slot {
        TextKey key;
        uint32_t pattern;
    };

    // A cell of a line in the writer's form: its status, its value text
    // from value_start up to the "<" of its end tag at value_end, and the
    // text's number when the whole text is a plain decimal.
    struct WrittenCell {
        StatusCode status;
        bool plain;
        std::size_t value_start;
        std::size_t value_end;
        double number;
    };

    // A tag of the writer's form, with its key for quick comparison.
    struct Tag {
        std::string text;
        TextKey key;
    };

    static TextKey key_of(const char* p, std::size_t n, std::size_t room) noexcept;
    static Tag tag_of(std::string text);
    static bool starts_with_tag(const char* p, std::size_t room, const Tag& tag) noexcept;
    static uint64_t hash_of(const TextKey& key) noexcept;

    void add_pattern(std::string text);
    void build_index();
    void build_expected_order(std::size_t num_names);
    void note_candidate(std::size_t position);
    void note_match(uint32_t pattern, std::size_t position);
    StatusCode status_at(std::size_t position) const;
    std::optional<CellStart> locate_found(int j) const;
    void search(std::string_view line);
    void check_names_for_written_lines(const std::vector<std::string>& names, std::string_view record);
    bool walk_written_line(std::string_view line);

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    static constexpr uint32_t empty_slot = static_cast<uint32_t>(-1);

    // Name of variable j at 2j, "/name" at 2j + 1, then the status mark.
    std::vector<std::string> patterns_;
    std::size_t status_pattern_ = 0;
    std::vector<std::size_t> skip_to_close_;  // per name: its length, or 0 when it holds a ">"
    std::vector<std::size_t> single_char_;  // patterns of one character, found with memchr
    // A position can start a pattern only if its two bytes are a key here;
    // then each length that patterns with that key have is looked up in the
    // hash table of all patterns.
    std::vector<uint64_t> pair_filter_;
#if defined(__SSE2__)
    __m128i first_bytes_[12];  // each byte that starts a pattern, in all 16 lanes
    std::size_t first_byte_count_ = 0;
#endif
    std::vector<PairLengths> pairs_;  // sorted by key
    std::vector<uint32_t> lengths_;
    std::vector<TextKey> keys_;  // key of each pattern

    // In a well-formed record line the patterns occur in a known order: the
    // name, the status mark, the end tag and the name inside it, variable by
    // variable.  A position where the expected pattern matches needs no
    // lookup when that pattern is alone, that is when no other pattern is a
    // prefix of it or has it as a prefix (then it is the only pattern that
    // can start there).
    std::vector<uint32_t> expected_;
    std::vector<char> alone_;
    std::size_t next_expected_ = 0;
    std::vector<Slot> table_;
    uint64_t table_mask_ = 0;

    std::string_view line_;
    std::vector<std::size_t> first_;  // first occurrence of each pattern in line_
    std::vector<StatusMark> marks_;   // status attributes in line_, in order
    mutable std::size_t mark_cursor_ = 0;

    // The writer's form: "<record>", then per variable its start tag up to
    // the status text, and its end tag.
    bool walk_written_ = false;  // whether the names allow the walk
    bool line_walked_ = false;   // whether line_ was read by the walk
    Tag record_open_;
    std::vector<Tag> start_tags_;
    std::vector<Tag> end_tags_;
    std::vector<WrittenCell> cells_;
};

}  // namespace kest
