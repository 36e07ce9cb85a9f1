#include "data/number_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <limits>
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

// Values that overflow or underflow (and on Windows every number the plain
// path does not take): strtod in the "C" locale gives the infinity or the
// correctly rounded value.
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

#if defined(_WIN32)
// The end of the decimal number that starts at p: digits, a point and
// digits, and an exponent when digits follow its sign; p itself when no
// digit comes before the exponent.
const char* decimal_end(const char* p, const char* end) noexcept
{
    const auto digits = [end](const char* q) {
        while (q < end && static_cast<unsigned>(*q - '0') < 10) ++q;
        return q;
    };
    const char* q = digits(p);
    bool any = q > p;
    if (q < end && *q == '.') {
        const char* after = digits(q + 1);
        any = any || after > q + 1;
        q = after;
    }
    if (!any) return p;
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char* sign = q + 1 < end && (q[1] == '+' || q[1] == '-') ? q + 2 : q + 1;
        const char* exponent_end = digits(sign);
        if (exponent_end > sign) q = exponent_end;
    }
    return q;
}

// mingw's from_chars for double can be one unit in the last place off; its
// strtod (mingw-w64's own, in the "C" locale every Windows program starts
// in) rounds correctly, so the number is handed to it once its extent is
// known to be a decimal one.
bool starts_without_case(const char* p, const char* end, std::string_view word) noexcept
{
    if (static_cast<std::size_t>(end - p) < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
        if ((p[i] | 0x20) != word[i]) return false;
    return true;
}

double parse_general(const char* p, const char* end) noexcept
{
    const char* stop = decimal_end(p, end);
    if (stop != p) return parse_out_of_range(p, stop);
    // What from_chars takes besides decimals, so that such a text is not a
    // number on Windows either.
    if (starts_without_case(p, end, "inf")) return std::numeric_limits<double>::infinity();
    if (starts_without_case(p, end, "nan")) return std::numeric_limits<double>::quiet_NaN();
    return 0.0;
}
#else
double parse_general(const char* p, const char* end) noexcept
{
    double value = 0.0;
    const auto [stop, ec] = std::from_chars(p, end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) return parse_out_of_range(p, stop);
    return ec == std::errc() ? value : 0.0;
}
#endif

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
    if (!parse_plain_decimal(p, end, value)) value = parse_general(p, end);
    return negative ? -value : value;
}

namespace {

// Room for every candidate text: the writer's forms of values below 1e13
// (at most 22 characters), the shortest round-trip text (at most 24) and
// the fixed and scientific texts tried for the nearest one.
constexpr std::size_t scratch_size = 32;

struct Candidate {
    char text[scratch_size];
    std::size_t length = 0;
};

bool same_bits(double a, double b) noexcept { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// The value the reader takes from a text; empty when it takes none or one
// that is not finite (which it stores as missing).
std::optional<double> read_back(const Candidate& c) noexcept
{
    const std::optional<double> number = read_number_text(std::string_view(c.text, c.length));
    if (number && !std::isfinite(*number)) return std::nullopt;
    return number;
}

bool fits_and_reads_back(const Candidate& c, double value) noexcept
{
    if (c.length == 0 || c.length > max_number_text) return false;
    const std::optional<double> number = read_back(c);
    return number && same_bits(*number, value);
}

// The writer's own forms: whole number, two decimals, six decimals.  The
// six-decimal form of a value of 1e13 or more has over 19 characters, so it
// is not made.
Candidate writers_form(double value) noexcept
{
    Candidate c;
    char* const end = c.text + scratch_size;
    if (const auto n = round_to_int32(value); n && *n == value) {
        c.length = static_cast<std::size_t>(std::to_chars(c.text, end, *n).ptr - c.text);
        return c;
    }
    const double hundredfold = 100.0 * value;
    if (const auto m = round_to_int32(hundredfold); m && *m == hundredfold) {
        c.length = format_hundredths(*m, c.text);
        return c;
    }
    if (std::fabs(value) >= 1e13) return c;
    const auto result = std::to_chars(c.text, end, value, std::chars_format::fixed, 6);
    if (result.ec == std::errc()) c.length = static_cast<std::size_t>(result.ptr - c.text);
    return c;
}

Candidate shortest_form(double value) noexcept
{
    Candidate c;
    const auto result = std::to_chars(c.text, c.text + scratch_size, value);
    if (result.ec == std::errc()) c.length = static_cast<std::size_t>(result.ptr - c.text);
    return c;
}

// The text of the given style with the most digits that fits and reads back
// as a finite number; its length is 0 when there is none.
Candidate longest_fitting(double value, std::chars_format style) noexcept
{
    for (int precision = 17; precision >= 0; --precision) {
        Candidate c;
        const auto result = std::to_chars(c.text, c.text + scratch_size, value, style, precision);
        if (result.ec != std::errc()) continue;
        c.length = static_cast<std::size_t>(result.ptr - c.text);
        if (c.length <= max_number_text && read_back(c)) return c;
    }
    return Candidate{};
}

// The fitting text that reads back nearest to the value.
Candidate nearest_form(double value) noexcept
{
    const Candidate fixed = longest_fitting(value, std::chars_format::fixed);
    const Candidate scientific = longest_fitting(value, std::chars_format::scientific);
    if (fixed.length == 0) return scientific;
    if (scientific.length == 0) return fixed;
    // Both read back with the value's sign, so the differences cannot overflow.
    const double fixed_error = std::fabs(*read_back(fixed) - value);
    const double scientific_error = std::fabs(*read_back(scientific) - value);
    return scientific_error < fixed_error ? scientific : fixed;
}

CellNumber copy_out(const Candidate& c, bool exact, char* out) noexcept
{
    std::memcpy(out, c.text, c.length);
    return CellNumber{c.length, exact};
}

// The text of a value in the first form that fits and reads back as exactly
// the value; its length is 0 when no form does.
Candidate exact_form(double value) noexcept
{
    if (const Candidate c = writers_form(value); fits_and_reads_back(c, value)) return c;
    if (const Candidate c = shortest_form(value); fits_and_reads_back(c, value)) return c;
    return Candidate{};
}

}  // namespace

CellNumber format_cell_number(double value, char* out) noexcept
{
    if (!std::isfinite(value)) return CellNumber{0, false};
    if (const Candidate c = exact_form(value); c.length > 0) return copy_out(c, true, out);
    // The nearest text is written in the form its own value gets, so that
    // rewriting the file writes it again unchanged.
    const Candidate nearest = nearest_form(value);
    if (nearest.length == 0) return CellNumber{0, false};  // cannot happen: 1e+308 fits and reads back
    const Candidate same_value = exact_form(*read_back(nearest));
    return copy_out(same_value.length > 0 ? same_value : nearest, false, out);
}

std::optional<double> read_general_number_text(std::string_view text) noexcept
{
    if (!contains_digit(text)) return std::nullopt;
    return parse_decimal(text);
}

}  // namespace kest
