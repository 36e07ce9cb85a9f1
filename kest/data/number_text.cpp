#include "data/number_text.h"

#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <string>

#include "numeric/rounding.h"

namespace kest {

bool contains_digit(std::string_view text) noexcept
{
    for (char c : text)
        if (c >= '0' && c <= '9') return true;
    return false;
}

namespace {

bool is_c_space(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Values that overflow or underflow: defer to strtod in the "C" locale, which
// gives the infinity or the correctly rounded tiny value.
double parse_out_of_range(const char* p, const char* end) noexcept
{
#if defined(_WIN32)
    // mingw-w64 links its own correctly rounded strtod in place of the
    // system's; Windows programs start in the "C" locale.
    try {
        std::string copy(p, end);
        return std::strtod(copy.c_str(), nullptr);
    } catch (...) {
        return 0.0;
    }
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    try {
        std::string copy(p, end);
        return strtod_l(copy.c_str(), nullptr, c_locale);
    } catch (...) {
        return 0.0;
    }
#endif
}

// A value whose hundredfold is the whole number m, with two decimals: the
// same text as fixed notation with two decimals gives, since the value lies
// within a rounding error of m / 100, far from any halfway point.
std::size_t format_hundredths(int32_t m, char* out) noexcept
{
    char* p = out;
    int64_t magnitude = m;
    if (magnitude < 0) {
        *p++ = '-';
        magnitude = -magnitude;
    }
    p = std::to_chars(p, p + 16, magnitude / 100).ptr;
    *p++ = '.';
    *p++ = static_cast<char>('0' + magnitude % 100 / 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
    return static_cast<std::size_t>(p - out);
}

}  // namespace

double parse_decimal(std::string_view text) noexcept
{
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end && is_c_space(*p)) ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    if (p == end || *p == '+' || *p == '-') return 0.0;
    double value = 0.0;
    if (!parse_plain_decimal(p, end, value)) {
        const auto [stop, ec] = std::from_chars(p, end, value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) value = parse_out_of_range(p, stop);
        else if (ec != std::errc()) value = 0.0;
    }
    return negative ? -value : value;
}

std::size_t format_cell_number(double value, char* out) noexcept
{
    char* const end = out + max_number_text;
    if (const auto n = round_to_int32(value); n && *n == value) {
        return static_cast<std::size_t>(std::to_chars(out, end, *n).ptr - out);
    }
    const double hundredfold = 100.0 * value;
    if (const auto m = round_to_int32(hundredfold); m && *m == hundredfold) return format_hundredths(*m, out);
    const auto result = std::to_chars(out, end, value, std::chars_format::fixed, 6);
    return static_cast<std::size_t>(result.ptr - out);
}

std::optional<double> read_general_number_text(std::string_view text) noexcept
{
    if (!contains_digit(text)) return std::nullopt;
    return parse_decimal(text);
}

}  // namespace kest
