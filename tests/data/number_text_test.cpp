// Number texts: the decimal reading shared by the reader and the converter,
// and the three forms in which the writer prints a cell.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "data/number_text.h"

namespace {

std::string formatted(double value)
{
    char out[kest::max_number_text];
    return std::string(out, kest::format_cell_number(value, out));
}

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
        {-0.0, "0"},
        {-7.0, "-7"},
        {2147483647.0, "2147483647"},
        {-2147483648.0, "-2147483648"},
        {2147483648.0, "2147483648.000000"},  // a whole number beyond the 32-bit range
        {5e9, "5000000000.000000"},
        {-5e9, "-5000000000.000000"},
        {123.456, "123.456000"},
        {1e-7, "0.000000"},
        {1234567.125, "1234567.125000"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatted(c.value), c.text) << "value " << c.value;
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
