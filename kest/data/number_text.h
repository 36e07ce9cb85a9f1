// Number texts of the data set format: the decimal reading used by the
// reader and the converter, and the three written forms of the writer.
// Both are independent of the process locale.
#pragma once

#include <cstddef>
#include <string_view>

namespace kest {

bool contains_digit(std::string_view text) noexcept;

// Converts text as a decimal floating-point number the way the C library's
// strtod does in the "C" locale: leading white space is skipped, an optional
// sign is accepted, and conversion stops at the first character that cannot
// continue the number (0 when nothing converts).  Hexadecimal forms are not
// decimal and read as their leading 0.
double parse_decimal(std::string_view text) noexcept;

// Longest text format_cell_number can produce (six decimals of the largest
// double, its sign and point).
inline constexpr std::size_t max_number_text = 330;

// Writes value in the writer's form: as a whole number when rounding it
// half up to a 32-bit integer gives the value itself; with two decimals when
// that holds for 100 times the value; with six decimals otherwise.  Returns
// the length; out must hold max_number_text characters.
std::size_t format_cell_number(double value, char* out) noexcept;

}  // namespace kest
