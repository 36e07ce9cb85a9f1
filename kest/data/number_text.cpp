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

constexpr double exact_powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                          1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Plain decimals ("52341", "-12.75") are by far the most common texts.  With
// at most 15 significant digits both the digits and the power of ten are
// exact doubles, so one division is the correctly rounded result.  Returns
// false for anything else, which the general path handles.
bool parse_plain_decimal(const char* p, const char* end, double& out) noexcept
{
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
        if (!had_integer_digits && decimals == 0) return false;  // a lone point
    } else if (!had_integer_digits) {
        return false;
    }
    if (digits > 15 || decimals > 22) return false;        // mantissa or power of ten not exact
    if (q < end && (*q == 'e' || *q == 'E')) return false;  // an exponent may follow
    out = static_cast<double>(mantissa) / exact_powers_of_ten[decimals];
    return true;
}

// Values that overflow or underflow: defer to strtod in the "C" locale, which
// gives the infinity or the correctly rounded tiny value.
double parse_out_of_range(const char* p, const char* end) noexcept
{
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    try {
        std::string copy(p, end);
        return strtod_l(copy.c_str(), nullptr, c_locale);
    } catch (...) {
        return 0.0;
    }
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
    const auto m = round_to_int32(hundredfold);
    const int decimals = (m && *m == hundredfold) ? 2 : 6;
    const auto result = std::to_chars(out, end, value, std::chars_format::fixed, decimals);
    return static_cast<std::size_t>(result.ptr - out);
}

}  // namespace kest
