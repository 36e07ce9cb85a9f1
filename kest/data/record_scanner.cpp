#include "data/record_scanner.h"

#include <algorithm>
#include <cstring>

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

uint16_t pair_key(const char* p) noexcept
{
    return static_cast<uint16_t>((static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]));
}

}  // namespace

RecordScanner::RecordScanner(const std::vector<std::string>& names) : pair_filter_(65536 / 64, 0)
{
    for (const std::string& name : names) {
        add_pattern(name);
        add_pattern("/" + name);
    }
    status_pattern_ = patterns_.size();
    add_pattern(std::string(status_mark));
    std::sort(by_pair_.begin(), by_pair_.end());
    first_.assign(patterns_.size(), npos);
}

void RecordScanner::add_pattern(std::string text)
{
    const std::size_t id = patterns_.size();
    uint16_t key = 0;
    if (text.size() >= 2) {
        key = pair_key(text.data());
        pair_filter_[key >> 6] |= uint64_t{1} << (key & 63);
        by_pair_.emplace_back(key, static_cast<uint32_t>(id));
    } else {
        single_char_.push_back(id);  // names are never empty, so this has one character
    }
    patterns_.push_back(Pattern{std::move(text), key});
}

StatusCode RecordScanner::status_at(std::size_t position) const
{
    const std::string_view rest = line_.substr(position + status_mark.size());
    for (const StatusText& s : status_priority)
        if (rest.substr(0, s.text.size()) == s.text) return s.status;
    return status_absent;
}

void RecordScanner::note_candidate(std::size_t position)
{
    const uint16_t key = pair_key(line_.data() + position);
    auto it = std::lower_bound(by_pair_.begin(), by_pair_.end(), std::make_pair(key, uint32_t{0}));
    for (; it != by_pair_.end() && it->first == key; ++it) {
        const std::size_t id = it->second;
        if (id != status_pattern_ && first_[id] != npos) continue;  // only the first occurrence counts
        const std::string& text = patterns_[id].text;
        if (line_.size() - position < text.size()) continue;
        if (std::memcmp(line_.data() + position, text.data(), text.size()) != 0) continue;
        if (id == status_pattern_) {
            const StatusCode status = status_at(position);
            if (status != status_absent) marks_.push_back(StatusMark{position, status});
        } else {
            first_[id] = position;
        }
    }
}

void RecordScanner::scan(std::string_view line)
{
    line_ = line;
    std::fill(first_.begin(), first_.end(), npos);
    marks_.clear();
    for (const std::size_t id : single_char_) {
        const void* hit = line.empty() ? nullptr : std::memchr(line.data(), patterns_[id].text[0], line.size());
        if (hit != nullptr) first_[id] = static_cast<const char*>(hit) - line.data();
    }
    if (line.size() < 2) return;
    const char* data = line.data();
    const uint64_t* filter = pair_filter_.data();
    const std::size_t last = line.size() - 1;
    for (std::size_t i = 0; i < last; ++i) {
        const uint16_t key = pair_key(data + i);
        if ((filter[key >> 6] >> (key & 63)) & 1) note_candidate(i);
    }
}

std::optional<RecordScanner::CellStart> RecordScanner::locate(int j) const
{
    const std::size_t name = first_[2 * static_cast<std::size_t>(j)];
    if (name == npos) return std::nullopt;
    const void* close = std::memchr(line_.data() + name, '>', line_.size() - name);
    if (close == nullptr) return std::nullopt;
    const std::size_t value_start = static_cast<const char*>(close) - line_.data() + 1;

    // Status attributes that start at or after the name and before the value.
    unsigned seen = 0;
    auto mark = std::lower_bound(marks_.begin(), marks_.end(), name,
                                 [](const StatusMark& m, std::size_t pos) { return m.position < pos; });
    for (; mark != marks_.end() && mark->position < value_start; ++mark) seen |= 1u << mark->status;
    for (const StatusText& s : status_priority)
        if (seen & (1u << s.status)) return CellStart{s.status, value_start};
    return CellStart{status_absent, value_start};
}

std::optional<std::string_view> RecordScanner::value_text(int j, std::size_t value_start) const
{
    const std::size_t end_tag = first_[2 * static_cast<std::size_t>(j) + 1];
    if (end_tag == npos || end_tag <= value_start) return std::nullopt;
    return line_.substr(value_start, end_tag - 1 - value_start);
}

}  // namespace kest
