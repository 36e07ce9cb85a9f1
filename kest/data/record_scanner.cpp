#include "data/record_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "data/number_text.h"

namespace kest {

namespace {

constexpr std::string_view status_mark = " Status='";

struct StatusText {
    std::string_view text;  // after the mark, with the closing quote
    StatusCode status;
};
// A value element's status is the first of these, in this order, whose
// attribute lies between the name and the ">" of the start tag.
constexpr StatusText status_priority[] = {
    {"Validn'", status_validn}, {"Valid'", status_valid},     {"Missing'", status_missing},
    {"Error'", status_error},   {"Suspect'", status_suspect}, {"Imputed'", status_imputed},
};

// Length of each status text with its closing quote, by status code.
constexpr std::size_t status_text_length[] = {6, 8, 8, 6, 8, 7};
static_assert(status_valid == 0 && status_imputed == 1 && status_suspect == 2 && status_error == 3 &&
              status_missing == 4 && status_validn == 5);

// The status texts as little-endian words, in the same order.
struct StatusWord {
    uint64_t mask;
    uint64_t value;
    StatusCode status;
};

constexpr StatusWord status_word(const StatusText& s)
{
    uint64_t value = 0;
    for (std::size_t i = 0; i < s.text.size(); ++i) value |= uint64_t{static_cast<unsigned char>(s.text[i])} << (8 * i);
    const uint64_t mask = s.text.size() >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * s.text.size())) - 1;
    return StatusWord{mask, value, s.status};
}

constexpr StatusWord status_words[] = {
    status_word(status_priority[0]), status_word(status_priority[1]), status_word(status_priority[2]),
    status_word(status_priority[3]), status_word(status_priority[4]), status_word(status_priority[5]),
};
static_assert(std::size(status_words) == std::size(status_priority));

uint16_t pair_key(const char* p) noexcept
{
    return static_cast<uint16_t>((static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]));
}

uint64_t load8(const char* p) noexcept
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The first n (<= 8) bytes of p as an integer; room is how many bytes may
// be read from p.
uint64_t load_prefix(const char* p, std::size_t n, std::size_t room) noexcept
{
    if (room >= 8) return n == 8 ? load8(p) : load8(p) & ((uint64_t{1} << (8 * n)) - 1);
    uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

// The characters that separate the runs of a line in the writer's form:
// names, "Status=", status texts and values lie between them.
constexpr std::string_view delimiters = "<>/ '";

bool holds_delimiter(std::string_view text) noexcept
{
    return text.find_first_of(delimiters) != std::string_view::npos;
}

// The characters of the values the writer and the converter write: digits,
// a sign, a point, an exponent, and the blank of a missing value.
constexpr bool is_number_char(char c) noexcept
{
    return (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
}

constexpr bool is_value_char(char c) noexcept { return is_number_char(c) || c == ' '; }

constexpr std::array<bool, 256> value_chars = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[static_cast<std::size_t>(c)] = is_value_char(static_cast<char>(c));
    return table;
}();

bool only_number_chars(std::string_view text) noexcept
{
    return std::all_of(text.begin(), text.end(), is_number_char);
}

}  // namespace

// A text of length n >= 2 as its first and last eight bytes (or all of
// them, zero-padded) and its length: for texts of up to 16 bytes, equal keys
// mean equal texts.
inline RecordScanner::TextKey RecordScanner::key_of(const char* p, std::size_t n, std::size_t room) noexcept
{
    if (n <= 8) return TextKey{load_prefix(p, n, room), 0, static_cast<uint32_t>(n)};
    return TextKey{load8(p), load8(p + n - 8), static_cast<uint32_t>(n)};
}

inline uint64_t RecordScanner::hash_of(const TextKey& key) noexcept
{
    uint64_t h = key.head ^ (key.tail * 0x9E3779B97F4A7C15ull) ^ (key.length * 0xC2B2AE3D27D4EB4Full);
    h ^= h >> 33;  // final mix of MurmurHash3: every input bit reaches the low bits
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 33);
}

RecordScanner::RecordScanner(const std::vector<std::string>& names, std::string_view record)
    : pair_filter_(65536 / 64, 0)
{
    for (const std::string& name : names) {
        add_pattern(name);
        add_pattern("/" + name);
    }
    for (const std::string& name : names)
        skip_to_close_.push_back(name.find('>') == std::string::npos ? name.size() : 0);
    status_pattern_ = patterns_.size();
    add_pattern(std::string(status_mark));
    build_index();
    build_expected_order(names.size());
    first_.assign(patterns_.size(), npos);
    check_names_for_written_lines(names, record);
}

void RecordScanner::add_pattern(std::string text)
{
    if (text.size() < 2) single_char_.push_back(patterns_.size());  // names are never empty
    patterns_.push_back(std::move(text));
}

void RecordScanner::build_expected_order(std::size_t num_names)
{
    for (std::size_t j = 0; j < num_names; ++j) {
        const auto name = static_cast<uint32_t>(2 * j);
        expected_.insert(expected_.end(), {name, static_cast<uint32_t>(status_pattern_), name + 1, name});
    }
    std::vector<uint32_t> order(patterns_.size());
    for (uint32_t id = 0; id < order.size(); ++id) order[id] = id;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return patterns_[a] < patterns_[b]; });
    alone_.assign(patterns_.size(), 1);
    // Among sorted texts, one that has another as a prefix follows it
    // directly or after other texts with that prefix; comparing neighbours
    // along each run of shared prefixes finds every such pair.
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::string& shorter = patterns_[order[k]];
        for (std::size_t m = k + 1; m < order.size(); ++m) {
            const std::string& longer = patterns_[order[m]];
            if (longer.compare(0, shorter.size(), shorter) != 0) break;
            alone_[order[k]] = 0;
            alone_[order[m]] = 0;
        }
    }
    for (uint32_t id = 0; id < patterns_.size(); ++id)
        if (patterns_[id].size() < 2 || patterns_[id].size() > 16) alone_[id] = 0;
}

void RecordScanner::build_index()
{
    std::vector<std::pair<uint16_t, uint32_t>> key_lengths;
    std::size_t indexed = 0;
    for (const std::string& text : patterns_) {
        if (text.size() < 2) continue;
        const uint16_t key = pair_key(text.data());
        pair_filter_[key >> 6] |= uint64_t{1} << (key & 63);
        key_lengths.emplace_back(key, static_cast<uint32_t>(text.size()));
        ++indexed;
    }
#if defined(__SSE2__)
    std::vector<unsigned char> first;
    for (const auto& kl : key_lengths) first.push_back(static_cast<unsigned char>(kl.first >> 8));
    std::sort(first.begin(), first.end());
    first.erase(std::unique(first.begin(), first.end()), first.end());
    // Beyond a dozen distinct first bytes, comparing each costs more than the
    // plain two-byte filter saves.
    if (first.size() <= std::size(first_bytes_))
        for (unsigned char c : first) first_bytes_[first_byte_count_++] = _mm_set1_epi8(static_cast<char>(c));
#endif
    std::sort(key_lengths.begin(), key_lengths.end());
    key_lengths.erase(std::unique(key_lengths.begin(), key_lengths.end()), key_lengths.end());
    for (const auto& [key, length] : key_lengths) {
        if (pairs_.empty() || pairs_.back().key != key)
            pairs_.push_back(PairLengths{key, static_cast<uint32_t>(lengths_.size()), static_cast<uint32_t>(lengths_.size())});
        lengths_.push_back(length);
        pairs_.back().end = static_cast<uint32_t>(lengths_.size());
    }

    std::size_t size = 16;
    while (size < 2 * indexed) size *= 2;
    keys_.assign(patterns_.size(), TextKey{0, 0, 0});
    table_.assign(size, Slot{TextKey{0, 0, 0}, empty_slot});
    table_mask_ = size - 1;
    for (uint32_t id = 0; id < patterns_.size(); ++id) {
        const std::string& text = patterns_[id];
        if (text.size() < 2) continue;
        const TextKey key = key_of(text.data(), text.size(), text.size());
        keys_[id] = key;
        std::size_t slot = hash_of(key) & table_mask_;
        while (table_[slot].pattern != empty_slot) slot = (slot + 1) & table_mask_;
        table_[slot] = Slot{key, id};
    }
}

StatusCode RecordScanner::status_at(std::size_t position) const
{
    const std::size_t start = position + status_mark.size();
    const char* rest = line_.data() + start;
    const std::size_t room = line_.size() - start;
    if (std::endian::native == std::endian::little && room >= 8) {
        // Every status text with its quote fits in eight bytes: compare each
        // as one masked word.
        const uint64_t word = load8(rest);
        for (const StatusWord& s : status_words)
            if ((word & s.mask) == s.value) return s.status;
        return status_absent;
    }
    for (const StatusText& s : status_priority)
        if (s.text.size() <= room && std::memcmp(rest, s.text.data(), s.text.size()) == 0) return s.status;
    return status_absent;
}

inline void RecordScanner::note_match(uint32_t pattern, std::size_t position)
{
    if (next_expected_ < expected_.size() && expected_[next_expected_] == pattern) ++next_expected_;
    if (pattern == status_pattern_) {
        const StatusCode status = status_at(position);
        if (status != status_absent) marks_.push_back(StatusMark{position, status});
    } else if (first_[pattern] == npos) {
        first_[pattern] = position;  // only the first occurrence counts
    }
}

void RecordScanner::note_candidate(std::size_t position)
{
    const uint16_t pair_key_here = pair_key(line_.data() + position);
    const auto pair = std::lower_bound(pairs_.begin(), pairs_.end(), pair_key_here,
                                       [](const PairLengths& p, uint16_t k) { return p.key < k; });
    const char* text = line_.data() + position;
    const std::size_t room = line_.size() - position;
    for (uint32_t l = pair->begin; l < pair->end; ++l) {
        const std::size_t length = lengths_[l];
        if (length > room) break;  // lengths are sorted
        const TextKey key = key_of(text, length, room);
        for (std::size_t slot = hash_of(key) & table_mask_; table_[slot].pattern != empty_slot;
             slot = (slot + 1) & table_mask_) {
            const Slot& entry = table_[slot];
            if (entry.key.head != key.head || entry.key.tail != key.tail || entry.key.length != key.length)
                continue;
            if (length > 16 && std::memcmp(patterns_[entry.pattern].data() + 8, text + 8, length - 16) != 0)
                continue;
            note_match(entry.pattern, position);
        }
    }
}

void RecordScanner::scan(std::string_view line)
{
    line_walked_ = walk_written_ && walk_written_line(line);
    if (!line_walked_) search(line);
}

void RecordScanner::search(std::string_view line)
{
    line_ = line;
    std::fill(first_.begin(), first_.end(), npos);
    marks_.clear();
    mark_cursor_ = 0;
    next_expected_ = 0;
    for (const std::size_t id : single_char_) {
        const void* hit = line.empty() ? nullptr : std::memchr(line.data(), patterns_[id][0], line.size());
        if (hit != nullptr) first_[id] = static_cast<const char*>(hit) - line.data();
    }
    if (line.size() < 2) return;

    // The hot loop works on local copies, so that recording a match does not
    // make the compiler reload every member.
    const char* const text = line.data();
    const std::size_t size = line.size();
    const uint32_t* const expected = expected_.data();
    const std::size_t expected_count = expected_.size();
    const char* const alone = alone_.data();
    const TextKey* const keys = keys_.data();
    const uint64_t* const filter = pair_filter_.data();
    const std::size_t status_pattern = status_pattern_;
    std::size_t* const first = first_.data();
    std::size_t next = 0;

    const auto check = [&](std::size_t position) {
        if (next < expected_count) {
            const uint32_t id = expected[next];
            const TextKey& want = keys[id];
            const std::size_t room = size - position;
            if (alone[id] && want.length <= room) {
                const TextKey here = key_of(text + position, want.length, room);
                if (here.head == want.head && here.tail == want.tail) {
                    if (id == status_pattern) {
                        const StatusCode status = status_at(position);
                        if (status != status_absent) marks_.push_back(StatusMark{position, status});
                    } else if (first[id] == npos) {
                        first[id] = position;
                    }
                    ++next;
                    return;
                }
            }
        }
        const uint16_t key = pair_key(text + position);
        if ((filter[key >> 6] >> (key & 63)) & 1) {
            next_expected_ = next;
            note_candidate(position);
            next = next_expected_;
        }
    };

    const std::size_t last = size - 1;  // a pattern of two or more bytes starts before it
    std::size_t i = 0;
#if defined(__SSE2__)
    if (first_byte_count_ > 0) {
        // Sixteen positions at a time: only those whose byte starts some
        // pattern are looked at.
        const std::size_t byte_count = first_byte_count_;
        for (; i + 16 <= last; i += 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            __m128i hits = _mm_cmpeq_epi8(block, first_bytes_[0]);
            for (std::size_t b = 1; b < byte_count; ++b) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, first_bytes_[b]));
            for (unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hits)); mask != 0; mask &= mask - 1)
                check(i + static_cast<std::size_t>(__builtin_ctz(mask)));
        }
    }
#endif
    for (; i < last; ++i) check(i);
}

// In a line of the writer's form,
//   <record><n0 Status='S0'>v0</n0><n1 Status='S1'>v1</n1>...
// with values made of number characters and blanks, every name is found at
// its own cell by the search as well, provided that no name can occur
// earlier in such a line.  A name holding none of the delimiters can occur
// only inside one run between them: the record's name, an earlier name,
// "Status=", a status text or a value.  So the walk is allowed when every
// name holds no delimiter and some character that is not a number
// character, and occurs in neither the record's name, "Status=", a status
// text nor an earlier name.
// Its end tag "/name" can then occur only in the end tag of an earlier name
// that starts with it, which is ruled out too.
void RecordScanner::check_names_for_written_lines(const std::vector<std::string>& names, std::string_view record)
{
    if (record.empty() || holds_delimiter(record) || names.empty()) return;
    constexpr std::string_view fixed_runs[] = {"Status=", "Validn", "Missing", "Error", "Suspect", "Imputed"};
    for (const std::string& name : names) {
        if (name.empty() || holds_delimiter(name) || only_number_chars(name)) return;
        if (record.find(name) != std::string_view::npos) return;
        for (std::string_view run : fixed_runs)
            if (run.find(name) != std::string_view::npos) return;
    }
    // Joined by a delimiter, a name is first found at its own place exactly
    // when no earlier name holds it.
    std::string joined;
    std::vector<std::size_t> places;
    for (const std::string& name : names) {
        joined += '<';
        places.push_back(joined.size());
        joined += name;
    }
    search(joined);
    for (std::size_t j = 0; j < names.size(); ++j)
        if (first_[2 * j] != places[j]) return;
    line_ = {};

    record_open_ = tag_of(std::string("<").append(record).append(">"));
    for (const std::string& name : names) {
        start_tags_.push_back(tag_of("<" + name + std::string(status_mark)));
        end_tags_.push_back(tag_of("</" + name + ">"));
    }
    cells_.resize(names.size());
    walk_written_ = true;
}

// Whether the text at p, with room bytes readable, starts with the tag.
inline bool RecordScanner::starts_with_tag(const char* p, std::size_t room, const Tag& tag) noexcept
{
    if (tag.key.length > room) return false;
    const TextKey here = key_of(p, tag.key.length, room);
    return here.head == tag.key.head && here.tail == tag.key.tail &&
           (tag.key.length <= 16 || std::memcmp(p + 8, tag.text.data() + 8, tag.key.length - 16) == 0);
}

RecordScanner::Tag RecordScanner::tag_of(std::string text)
{
    const TextKey key = key_of(text.data(), text.size(), text.size());
    return Tag{std::move(text), key};
}

// Takes the cells of a line in the writer's form; false, with nothing
// decided, for any other line.
bool RecordScanner::walk_written_line(std::string_view line)
{
    line_ = line;
    const char* const text = line.data();
    const std::size_t size = line.size();
    if (!starts_with_tag(text, size, record_open_)) return false;
    std::size_t p = record_open_.key.length;
    for (std::size_t j = 0; j < cells_.size(); ++j) {
        const Tag& start_tag = start_tags_[j];
        if (!starts_with_tag(text + p, size - p, start_tag)) return false;
        p += start_tag.key.length;
        const StatusCode status = status_at(p - status_mark.size());
        if (status == status_absent) return false;
        p += status_text_length[status];
        if (p >= size || text[p] != '>') return false;
        const std::size_t value_start = ++p;
        double number = 0.0;
        const char* const stop = scan_plain_decimal(text + p, text + size, number);
        const bool plain = stop != nullptr && stop < text + size && *stop == '<' &&
                           stop - (text + p) <= static_cast<std::ptrdiff_t>(KEST_MAX_VALUE_TEXT);
        if (plain) p = static_cast<std::size_t>(stop - text);
        while (p < size && value_chars[static_cast<unsigned char>(text[p])]) ++p;
        const Tag& end_tag = end_tags_[j];
        if (!starts_with_tag(text + p, size - p, end_tag)) return false;
        cells_[j] = WrittenCell{status, plain, value_start, p, number};
        p += end_tag.key.length;
    }
    return true;
}

// The cell of variable j in a line that was searched.
std::optional<RecordScanner::CellStart> RecordScanner::locate_found(int j) const
{
    const std::size_t name = first_[2 * static_cast<std::size_t>(j)];
    if (name == npos) return std::nullopt;

    // The first status attribute at or after the name.  Cells are mostly
    // located in line order, so the search starts where the previous one
    // ended.
    std::size_t m = mark_cursor_;
    if (m > 0 && marks_[m - 1].position >= name) {
        m = static_cast<std::size_t>(
            std::lower_bound(marks_.begin(), marks_.end(), name,
                             [](const StatusMark& mark, std::size_t pos) { return mark.position < pos; }) -
            marks_.begin());
    }
    while (m < marks_.size() && marks_[m].position < name) ++m;
    mark_cursor_ = m;

    // A well-formed start tag: the name, its status attribute right after it
    // and the ">" right after that.  The name holds no ">" and the attribute
    // cannot, so that ">" is the first one, and the attribute the only one.
    const std::size_t after_name = skip_to_close_[static_cast<std::size_t>(j)];
    if (m < marks_.size() && after_name > 0 && marks_[m].position == name + after_name) {
        const std::size_t close = marks_[m].position + status_mark.size() + status_text_length[marks_[m].status];
        if (close < line_.size() && line_[close] == '>') return CellStart{marks_[m].status, close + 1};
    }

    // The first ">" at or after the name lies after it unless the name
    // itself holds one.
    const std::size_t from = name + after_name;
    const void* close = std::memchr(line_.data() + from, '>', line_.size() - from);
    if (close == nullptr) return std::nullopt;
    const std::size_t value_start = static_cast<std::size_t>(static_cast<const char*>(close) - line_.data()) + 1;

    // The status attributes that start before the value; the first in
    // priority order decides.
    unsigned seen = 0;
    for (; m < marks_.size() && marks_[m].position < value_start; ++m) seen |= 1u << marks_[m].status;
    for (const StatusText& s : status_priority)
        if (seen & (1u << s.status)) return CellStart{s.status, value_start};
    return CellStart{status_absent, value_start};
}

std::optional<std::string_view> RecordScanner::value_text(int j, std::size_t value_start) const
{
    const std::size_t end_tag =
        line_walked_ ? cells_[static_cast<std::size_t>(j)].value_end + 1 : first_[2 * static_cast<std::size_t>(j) + 1];
    if (end_tag == npos || end_tag <= value_start) return std::nullopt;
    return line_.substr(value_start, end_tag - 1 - value_start);
}

}  // namespace kest
