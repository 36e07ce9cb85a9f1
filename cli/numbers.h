// Number texts as the tool reads them from users' files and writes them
// into data sets and exported files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kest_cli {

enum class NumberText { number, not_a_number, out_of_range };

// A decimal number and nothing else, blanks around it aside: an optional
// sign, digits with an optional decimal point (at least one digit), an
// optional exponent.  Hexadecimal, "inf", "nan", thousands separators and
// trailing units are not numbers; a number whose magnitude is beyond the
// range of a double (or so small that it would read as 0) is out of range.
NumberText read_decimal(std::string_view text, double& value);

// The shortest text that reads back as exactly this value.
std::string shortest_text(double value);

// The text of at most `limit` characters that reads back closest to the
// value: the shortest exact text when it fits, otherwise the nearest of the
// plain and exponent forms that fit.  `shortened` tells whether the value
// changed.
std::string text_within(double value, std::size_t limit, bool& shortened);

}  // namespace kest_cli
