// Number texts: the decimal reading shared by the reader and the converter,
// and the forms in which the writer prints a cell.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "data/number_text.h"

namespace {

std::string formatted(double value, bool* exact = nullptr)
{
    char out[kest::max_number_text];
    const kest::CellNumber number = kest::format_cell_number(value, out);
    if (exact != nullptr) *exact = number.exact;
    return std::string(out, number.length);
}

uint64_t bits(double value) { return std::bit_cast<uint64_t>(value); }

TEST(NumberTextTest, WriterFormsFollowTheRoundingRule)
{
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {2.0, "2"},
        {1.5, "1.50"},
        {0.125, "0.125000"},
        {-0.5, "-0.50"},  // rounds half up to 0, which is not the value
        {-2.5, "-2.50"},
        {1.75, "1.75"},
        {0.0, "0"},
        {-7.0, "-7"},
        {2147483647.0, "2147483647"},
        {-2147483648.0, "-2147483648"},
        {2147483648.0, "2147483648.000000"},  // a whole number beyond the 32-bit range
        {5e9, "5000000000.000000"},
        {-5e9, "-5000000000.000000"},
        {123.456, "123.456000"},
        {1234567.125, "1234567.125000"},
        {999999999999.5, "999999999999.500000"},  // 19 characters: the longest six-decimal form
    };
    for (const Case& c : cases) {
        bool exact = false;
        EXPECT_EQ(formatted(c.value, &exact), c.text) << "value " << c.value;
        EXPECT_TRUE(exact) << "value " << c.value;
    }
}

// Values the writer's forms would change or make too long get the shortest
// text that reads back as the same double; the few that need more than 19
// characters get the nearest text that fits.
TEST(NumberTextTest, ValuesBeyondTheWritersFormsKeepTheirBits)
{
    struct Case {
        double value;
        const char* text;
        bool exact;
    };
    const Case cases[] = {
        {-0.0, "-0", true},  // "0" would read back as +0
        {1e-7, "1e-07", true},
        {0.0000004, "4e-07", true},  // six decimals would give 0.000000
        {0.0000123, "1.23e-05", true},  // and 0.000012
        {0.1234567, "0.1234567", true},
        {0.09999999999999999, "0.09999999999999999", true},  // 100 times it gives 10, but 0.10 is another double
        {2500000000000.0, "2.5e+12", true},  // six decimals: 20 characters
        {-1e13, "-1e+13", true},
        {123456789.12345678, "123456789.12345678", true},
        {1.79e308, "1.79e+308", true},
        {5e-324, "5e-324", true},  // the least subnormal
        {-2.2250738585072014e-308, "-2.22507385851e-308", false},
        {0.049999999999999996, "0.05", false},  // nearer than 0.04999999999999999
        {-1.2345678901234568e-300, "-1.23456789012e-300", false},
        {1.2345678901234567e19, "1.2345678901235e+19", false},
        {-0.0012345678901234567, "-0.0012345678901235", false},  // fixed is nearer than -1.234567890123e-03
    };
    for (const Case& c : cases) {
        bool exact = !c.exact;
        EXPECT_EQ(formatted(c.value, &exact), c.text) << "value " << c.value;
        EXPECT_EQ(exact, c.exact) << "value " << c.value;
    }
    bool exact = true;
    EXPECT_EQ(formatted(INFINITY, &exact), "");
    EXPECT_FALSE(exact);
    EXPECT_EQ(formatted(NAN), "");
}

// Random doubles of every kind: every text fits the format, reads back as
// the same double when it is exact, and is written again unchanged (a
// rewrite keeps it).  A rounded text is justified only when the shortest
// text of the value is too long, and then lies within the precision 12
// significant digits give.
TEST(NumberTextTest, RandomValuesReadBackBitForBit)
{
    std::mt19937_64 random(20261208);
    const auto draw = [&](int kind) -> double {
        const double sign = random() % 2 ? -1.0 : 1.0;
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        switch (kind) {
        case 0: {  // any finite bit pattern: tiny, huge, subnormal
            double v;
            do v = std::bit_cast<double>(random()); while (!std::isfinite(v));
            return v;
        }
        case 1: return sign * std::bit_cast<double>(random() % 0x0010000000000000ull);  // subnormal
        case 2: return sign * std::ldexp(1.0 + unit(random), static_cast<int>(random() % 40) - 30);  // -30 to 10
        case 3: return sign * std::ldexp(static_cast<double>(random() % (1ull << 53)), static_cast<int>(random() % 12));  // whole, beyond 2^31
        case 4: return sign * static_cast<double>(random() % 100000000000ull) / 100.0;  // two decimals
        case 5: return sign * static_cast<double>(random() % 1000000000ull) / 1000000.0;  // six decimals
        default: return sign * (static_cast<double>(random() % 10000) / 100.0 + 1e-13 * unit(random));  // x100 not exact
        }
    };
    long rounded = 0;
    for (int i = 0; i < 700000; ++i) {
        const double value = draw(i % 7);
        bool exact = false;
        const std::string text = formatted(value, &exact);
        ASSERT_GE(text.size(), 1u) << value;
        ASSERT_LE(text.size(), static_cast<std::size_t>(KEST_MAX_VALUE_TEXT)) << value;
        const std::optional<double> back = kest::read_number_text(text);
        ASSERT_TRUE(back && std::isfinite(*back)) << text;
        char shortest[64];
        const std::size_t shortest_length = static_cast<std::size_t>(std::to_chars(shortest, shortest + 64, value).ptr - shortest);
        if (exact) {
            ASSERT_EQ(bits(*back), bits(value)) << text;
        } else {
            ++rounded;
            ASSERT_GT(shortest_length, static_cast<std::size_t>(KEST_MAX_VALUE_TEXT)) << text;
            ASSERT_LE(std::fabs(*back - value), std::fabs(value) * 1e-11) << text;
        }
        bool again_exact = false;
        ASSERT_EQ(formatted(*back, &again_exact), text) << value;
        ASSERT_TRUE(again_exact) << text;
    }
    EXPECT_GT(rounded, 0);  // the random bit patterns include values that need rounding
}

TEST(NumberTextTest, DecimalReadingOfTypicalTexts)
{
    struct Case {
        const char* text;
        double value;
    };
    const Case cases[] = {
        {"12", 12.0},        {"  -3.5", -3.5},   {"+4", 4.0},          {"1.5e3", 1500.0},
        {"12abc", 12.0},     {".5", 0.5},        {"5.", 5.0},          {"-.5e-2", -0.005},
        {"0x1A", 0.0},       {"abc", 0.0},       {"", 0.0},            {"-", 0.0},
        {".", 0.0},          {"+-1", 0.0},       {"1e", 1.0},          {"1e+", 1.0},
        {"007", 7.0},        {"\t 8 9", 8.0},    {"52000.5", 52000.5}, {"1E2", 100.0},
        {"0.0000000000000000000001", 1e-22},
    };
    for (const Case& c : cases) EXPECT_EQ(kest::parse_decimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberTextTest, OverflowAndNotANumberAreNotFinite)
{
    EXPECT_TRUE(std::isinf(kest::parse_decimal("1e999")));
    EXPECT_TRUE(std::isinf(kest::parse_decimal("-1e999")));
    EXPECT_TRUE(std::isnan(kest::parse_decimal("nan5")));
    EXPECT_EQ(kest::parse_decimal("1e-999"), 0.0);
    EXPECT_EQ(kest::parse_decimal("4.9e-324"), 4.9e-324);
}

// The reading must agree bit for bit with the C library's decimal
// conversion in the "C" locale, on random decimal texts of all lengths.
TEST(NumberTextTest, AgreesWithTheCLibraryOnRandomTexts)
{
    std::setlocale(LC_NUMERIC, "C");
    std::mt19937 random(20240611);
    const std::string pieces = "0123456789..--+eE 5x";
    for (int i = 0; i < 200000; ++i) {
        std::string text;
        const int kind = static_cast<int>(random() % 3);
        if (kind == 0) {
            // plain digits with a point, up to 25 digits
            if (random() % 2) text += '-';
            const int digits = 1 + static_cast<int>(random() % 25);
            const int point = static_cast<int>(random() % (digits + 1));
            for (int d = 0; d < digits; ++d) {
                if (d == point) text += '.';
                text += static_cast<char>('0' + random() % 10);
            }
            if (random() % 3 == 0) {
                text += 'e';
                text += std::to_string(static_cast<int>(random() % 700) - 350);
            }
        } else {
            const int length = static_cast<int>(random() % 12);
            for (int c = 0; c < length; ++c) {
                const char ch = pieces[random() % pieces.size()];
                if (ch != 'x') text += ch;
            }
        }
        const double expected = std::strtod(text.c_str(), nullptr);
        const double actual = kest::parse_decimal(text);
        ASSERT_TRUE((std::isnan(expected) && std::isnan(actual)) || expected == actual)
            << '"' << text << "\": " << actual << " instead of " << expected;
    }
}

}  // namespace
