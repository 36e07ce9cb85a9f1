// Number texts of the data set format: the decimal reading used by the
// reader and the converter, and the forms in which the writer prints a value.
// Both are independent of the process locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "kest.h"

namespace kest {

bool contains_digit(std::string_view text) noexcept;

// Converts text as a decimal floating-point number the way the C library's
// strtod does in the "C" locale: leading white space is skipped, an optional
// sign is accepted, and conversion stops at the first character that cannot
// continue the number (0 when nothing converts).  Hexadecimal forms are not
// decimal and read as their leading 0.
double parse_decimal(std::string_view text) noexcept;

// Plain decimals ("52341", "12.75", no sign or blanks) are by far the most
// common value texts.  With at most 15 significant digits both the digits
// and the power of ten are exact doubles, so one division gives the
// correctly rounded value.  Returns where the number stops, or null for any
// text that does not start with a plain decimal.
inline const char* scan_plain_decimal(const char* p, const char* end, double& out) noexcept
{
    static constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                     1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                     1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t mantissa = 0;
    int digits = 0;  // significant digits, leading zeros not counted
    const char* q = p;
    for (; q < end && static_cast<unsigned>(*q - '0') < 10; ++q) {
        mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
        digits += mantissa != 0;
    }
    const bool had_integer_digits = q > p;
    int decimals = 0;
    if (q < end && *q == '.') {
        const char* fraction = ++q;
        for (; q < end && static_cast<unsigned>(*q - '0') < 10; ++q) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*q - '0');
            digits += mantissa != 0;
        }
        decimals = static_cast<int>(q - fraction);
        if (!had_integer_digits && decimals == 0) return nullptr;  // a lone point
    } else if (!had_integer_digits) {
        return nullptr;
    }
    if (digits > 15 || decimals > 22) return nullptr;        // mantissa or power of ten not exact
    if (q < end && (*q == 'e' || *q == 'E')) return nullptr;  // an exponent may follow
    out = static_cast<double>(mantissa) / exact_powers_of_ten[decimals];
    return q;
}

// Whether the text starts with a plain decimal, whose value is then in out;
// what follows the number is ignored, as the C library's conversion ignores
// it.
inline bool parse_plain_decimal(const char* p, const char* end, double& out) noexcept
{
    return scan_plain_decimal(p, end, out) != nullptr;
}

// Any text the plain path does not take: empty when it holds no decimal
// digit, otherwise parse_decimal of it.
std::optional<double> read_general_number_text(std::string_view text) noexcept;

// The value of a text as the reader takes it: empty when the text holds no
// decimal digit, otherwise parse_decimal of it.
inline std::optional<double> read_number_text(std::string_view text) noexcept
{
    double value;
    if (parse_plain_decimal(text.data(), text.data() + text.size(), value)) return value;
    return read_general_number_text(text);
}

// Room for any text format_cell_number writes: the format's limit on value
// texts.
inline constexpr std::size_t max_number_text = KEST_MAX_VALUE_TEXT;

// How a value was written: the length of its text, and whether the text
// reads back (through read_number_text) as exactly the same double, bit for
// bit.
struct CellNumber {
    std::size_t length;
    bool exact;
};

// Writes a finite value as a value text of at most max_number_text
// characters, in the first of these forms that reads back as exactly the
// value and fits:
//   1. the writer's own forms: a whole number when rounding the value half
//      up to a 32-bit integer gives the value itself; two decimals when that
//      holds for 100 times the value; six decimals otherwise (2, 1.50,
//      0.125000, 3000000000.000000);
//   2. the shortest text that reads back as the value, fixed or scientific
//      notation whichever is shorter (std::to_chars without a format:
//      4e-07, 2.5e+12, -0, 5e-324);
//   3. none fits: of the longest fixed and the longest scientific text that
//      fit, the one that reads back nearer to the value; exact is then
//      false.
// A value that is not finite has no text: the length is 0, exact false;
// the caller writes such a value as missing.
CellNumber format_cell_number(double value, char* out) noexcept;

}  // namespace kest
