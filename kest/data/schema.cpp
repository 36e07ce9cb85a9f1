#include "data/schema.h"

#include <algorithm>
#include <climits>

#include "kest.h"

namespace kest {

namespace {

constexpr std::string_view observation_marker = "<?Number of observations = ";
constexpr std::string_view any_declaration_prefix = "<ElementType";
constexpr std::size_t name_start = 19;  // after `<ElementType name="`

// Integer text read like strtol: leading white space, an optional sign,
// digits up to the first other character.  Saturates at the int range and
// reports whether it had to.
int parse_int_prefix(std::string_view text, std::size_t& pos, bool& out_of_range) noexcept
{
    while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    long long value = 0;
    out_of_range = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        if (value <= INT_MAX) value = value * 10 + (text[pos] - '0');
    }
    if (negative) value = -value;
    if (value > INT_MAX) { out_of_range = true; return INT_MAX; }
    if (value < INT_MIN) { out_of_range = true; return INT_MIN; }
    return static_cast<int>(value);
}

// Reads lines until one begins with prefix.  end_fault is returned when the
// file ends first.
Outcome skip_to_prefix(LineReader& reader, std::string_view prefix, Fault end_fault)
{
    for (;;) {
        const auto result = reader.next();
        if (result == LineReader::Result::line) {
            if (starts_with(reader.line(), prefix)) return std::nullopt;
            continue;
        }
        if (result == LineReader::Result::end) return end_fault;
        return line_fault(reader, result, end_fault);
    }
}

// The category codes listed after dt:values=" on a declaration line, each
// followed by one blank, up to the closing double quote or the line end.
Outcome read_category_codes(std::string_view line, int j, const CategoryTable& table)
{
    int count = 0;
    const std::size_t type = line.find("dt:type");
    const bool numeric = type != std::string_view::npos && type + 11 <= line.size() &&
                         line.substr(type + 9, 2) == "r8";
    if (!numeric) {
        const std::size_t values = line.find("dt:values");
        std::size_t pos = values == std::string_view::npos ? line.size() : values + 11;
        const long long row = static_cast<long long>(j) * table.max_cats;
        while (pos < line.size() && line[pos] != '"') {
            bool clipped = false;
            std::size_t number = pos;
            const int code = parse_int_prefix(line, number, clipped);
            if (count < table.max_cats) table.codes[row + count] = code;
            ++count;
            const std::size_t blank = line.find(' ', pos);
            if (blank == std::string_view::npos) break;
            pos = blank + 1;
        }
    }
    table.ncat[j] = count;
    if (!numeric && count > table.max_cats) return Fault{10, table.max_cats};
    return std::nullopt;
}

}  // namespace

std::string_view declared_name(std::string_view line) noexcept
{
    const std::size_t content = line.find(" content");
    if (content == std::string_view::npos || content <= name_start + 1) return {};
    return line.substr(name_start, content - name_start - 1);
}

Fault line_fault(const LineReader& reader, LineReader::Result result, Fault end_fault) noexcept
{
    if (result == LineReader::Result::too_long)
        return Fault{KEST_ERR_LINE_TOO_LONG, static_cast<int>(std::min<long>(reader.line_number(), INT_MAX))};
    return end_fault;
}

Outcome read_schema_size(const char* schema_path, SchemaSize& size)
{
    LineReader schema(schema_path);
    if (!schema.is_open()) return Fault{2, 0};
    for (int i = 0; i < 2; ++i) {
        const auto result = schema.next();
        if (result != LineReader::Result::line) return line_fault(schema, result, Fault{2, 1});
    }
    if (auto fault = skip_to_prefix(schema, observation_marker, Fault{1, 1})) return fault;

    const std::string_view line = schema.line();
    const std::size_t close = line.find("?>", observation_marker.size());
    if (close == std::string_view::npos || close == observation_marker.size()) return Fault{1, 2};
    const std::string_view number = line.substr(observation_marker.size(), close - observation_marker.size());
    if (number.size() > KEST_MAX_VALUE_TEXT)
        return Fault{KEST_ERR_VALUE_TOO_LONG, static_cast<int>(schema.line_number())};
    std::size_t pos = 0;
    bool out_of_range = false;
    size.num_obs = parse_int_prefix(number, pos, out_of_range);
    if (out_of_range) return Fault{1, 2};

    const auto result = schema.next();
    if (result != LineReader::Result::line) return line_fault(schema, result, Fault{2, 1});
    if (!starts_with(schema.line(), declaration_prefix)) {
        if (auto fault = skip_to_prefix(schema, declaration_prefix, Fault{2, 1})) return fault;
    }

    int count = 0;
    std::size_t longest = 0;
    for (;;) {
        const std::string_view name = declared_name(schema.line());
        if (name.empty()) return Fault{2, 3};
        ++count;
        longest = std::max(longest, name.size() + 1);
        auto next = schema.next();
        if (next != LineReader::Result::line) return line_fault(schema, next, Fault{2, 1});
        while (!starts_with(schema.line(), declaration_prefix)) {
            next = schema.next();
            if (next == LineReader::Result::end) {
                size.num_vars = count - 2;
                size.name_size = static_cast<int>(std::min<std::size_t>(longest, INT_MAX));
                return std::nullopt;
            }
            if (next != LineReader::Result::line) return line_fault(schema, next, Fault{2, 1});
        }
    }
}

Outcome read_schema_names(LineReader& schema, int num_vars, SchemaNames& names,
                          const CategoryTable* categories)
{
    if (auto fault = skip_to_prefix(schema, any_declaration_prefix, Fault{1, 1})) return fault;
    if (!starts_with(schema.line(), declaration_prefix)) {
        if (auto fault = skip_to_prefix(schema, declaration_prefix, Fault{2, 1})) return fault;
    }
    names.variables.clear();
    for (int j = 0; j < num_vars; ++j) {
        const std::string_view line = schema.line();
        const std::string_view name = declared_name(line);
        if (name.empty()) return Fault{2, 3};
        names.variables.emplace_back(name);
        if (categories != nullptr) {
            if (auto fault = read_category_codes(line, j, *categories)) return fault;
        }
        const Fault absent = j + 1 < num_vars ? Fault{2, 3} : Fault{2, 4};
        if (auto fault = skip_to_prefix(schema, declaration_prefix, absent)) return fault;
    }
    const std::string_view record = declared_name(schema.line());
    if (record.empty()) return Fault{2, 4};
    names.record = record;
    return std::nullopt;
}

}  // namespace kest
