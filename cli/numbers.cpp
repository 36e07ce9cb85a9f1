#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kest_cli {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Checks the grammar; from_chars alone would also take "inf" and "nan".
bool decimal_shape(std::string_view t)
{
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < t.size() && is_digit(t[i])) ++i, ++digits;
    if (i < t.size() && t[i] == '.') {
        ++i;
        while (i < t.size() && is_digit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < t.size() && is_digit(t[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    return i == t.size();
}

std::string_view trimmed(std::string_view t)
{
    const std::size_t first = t.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return t.substr(first, t.find_last_not_of(" \t") - first + 1);
}

bool has_nonzero_digit(std::string_view mantissa)
{
    for (char c : mantissa) {
        if (c == 'e' || c == 'E') return false;
        if (c >= '1' && c <= '9') return true;
    }
    return false;
}

}  // namespace

NumberText read_decimal(std::string_view text, double& value)
{
    std::string_view t = trimmed(text);
    if (!decimal_shape(t)) return NumberText::not_a_number;
    if (t.front() == '+') t.remove_prefix(1);
    const auto [stop, error] = std::from_chars(t.data(), t.data() + t.size(), value, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        // Subnormal values are read with this flag too, but they are values.
        const std::string copy(t);
        value = std::strtod(copy.c_str(), nullptr);
        if (!std::isfinite(value) || (value == 0 && has_nonzero_digit(t))) return NumberText::out_of_range;
        return NumberText::number;
    }
    if (error != std::errc() || stop != t.data() + t.size()) return NumberText::not_a_number;
    if (!std::isfinite(value)) return NumberText::out_of_range;
    return NumberText::number;
}

std::string shortest_text(double value)
{
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

namespace {

// "1.5e+07" and "1.5e-07" as "1.5e7" and "1.5e-7": the same value in fewer
// characters.
std::string compact_exponent(const std::string& text)
{
    const std::size_t e = text.find_first_of("eE");
    if (e == std::string::npos) return text;
    std::string mantissa = text.substr(0, e);
    std::string exponent = text.substr(e + 1);
    bool negative = false;
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
        negative = exponent[0] == '-';
        exponent.erase(0, 1);
    }
    const std::size_t first = exponent.find_first_not_of('0');
    exponent = first == std::string::npos ? "0" : exponent.substr(first);
    return mantissa + "e" + (negative ? "-" : "") + exponent;
}

// "0.5" as ".5": the converter takes a number from its first point, digit
// or minus sign, and the reader reads such texts.
std::string without_leading_zero(const std::string& text)
{
    if (text.rfind("0.", 0) == 0) return text.substr(1);
    if (text.rfind("-0.", 0) == 0) return "-" + text.substr(2);
    return text;
}

// The value to `precision` significant digits as a whole number of digits
// and a power of ten ("12345e3"), which needs no decimal point.
std::string whole_mantissa(double value, int precision)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*e", precision - 1, value);
    const std::string s = text;
    const std::size_t e = s.find('e');
    std::string digits;
    for (std::size_t i = 0; i < e; ++i)
        if (is_digit(s[i])) digits.push_back(s[i]);
    int exponent = std::atoi(s.c_str() + e + 1) - static_cast<int>(digits.size()) + 1;
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    const std::string sign = value < 0 ? "-" : "";
    return sign + digits + (exponent == 0 ? "" : "e" + std::to_string(exponent));
}

}  // namespace

std::string text_within(double value, std::size_t limit, bool& shortened)
{
    shortened = false;
    std::string best = shortest_text(value);
    if (best.size() <= limit) return best;
    best = without_leading_zero(best);
    if (best.size() <= limit) return best;
    shortened = true;
    best.clear();
    double best_error = INFINITY;
    for (int precision = 1; precision <= 17; ++precision) {
        char plain[64], exponent[64];
        std::snprintf(plain, sizeof plain, "%.*g", precision, value);
        std::snprintf(exponent, sizeof exponent, "%.*e", precision - 1, value);
        for (const std::string& form : {compact_exponent(plain), compact_exponent(exponent), whole_mantissa(value, precision)}) {
            const std::string candidate = without_leading_zero(form);
            if (candidate.size() > limit) continue;
            const double error = std::fabs(std::strtod(candidate.c_str(), nullptr) - value);
            if (error < best_error || (error == best_error && candidate.size() < best.size())) {
                best = candidate;
                best_error = error;
            }
        }
    }
    shortened = best_error != 0;
    return best;
}

}  // namespace kest_cli
