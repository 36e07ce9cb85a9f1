// SVG bar charts of the tables summ_stats fills: for every variable, from
// top to bottom, one horizontal bar per category code or histogram bin,
// labelled with the code or the bin midpoint.  The drawing is 5000 units
// wide; every coordinate is a whole number of user units.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "data/fault.h"
#include "data/line_reader.h"
#include "internal/guard.h"
#include "kest.h"

namespace kest {

namespace {

// Codes of bar_chart.  A file failure is code 1, with detail 1 when the
// file cannot be created and 2 when it could not be written completely.
constexpr int file_failure = 1;
constexpr int not_created = 1;
constexpr int not_written = 2;
constexpr int negative_variables = 2;
constexpr int rows_too_short = 3;
constexpr int too_tall = 4;
constexpr int nothing_to_draw = 5;

// The longest bar of a variable, in user units.
constexpr int64_t longest_bar = 3750;

struct Chart {
    int num_vars;
    char* const* names;
    const int* counts;  // > 0 categories, < 0 minus the bins, 0 not drawn
    const int* codes;
    const int* freqs;
    int a;
    const double* mids;

    std::size_t row(int k) const noexcept { return static_cast<std::size_t>(k) * static_cast<std::size_t>(a); }
    // Bars of variable k; 64 bits, since minus the smallest int is no int.
    int64_t bars(int k) const noexcept { return std::llabs(static_cast<long long>(counts[k])); }
    // A missing name is drawn as an empty one rather than read through.
    const char* name(int k) const noexcept
    {
        return names != nullptr && names[k] != nullptr ? names[k] : "";
    }
};

// Every drawn variable must fit the rows of the tables, or its bars would
// be read beyond them.  Detail: the variable, from 1.
Outcome check_rows(const Chart& c) noexcept
{
    if (c.num_vars < 0) return Fault{negative_variables, c.num_vars};
    for (int k = 0; k < c.num_vars; ++k)
        if (c.bars(k) > 0 && c.bars(k) > c.a) return Fault{rows_too_short, k + 1};
    return std::nullopt;
}

// The argument number of the first table a drawn variable needs that is
// null, or 0: the frequencies for every drawn variable, the codes for a
// categorical one, the midpoints for a histogram.
int missing_table(const Chart& c) noexcept
{
    for (int k = 0; k < c.num_vars; ++k) {
        if (c.counts[k] == 0) continue;
        if (c.counts[k] > 0 && c.codes == nullptr) return 5;
        if (c.freqs == nullptr) return 6;
        if (c.counts[k] < 0 && c.mids == nullptr) return 8;
    }
    return 0;
}

// H = 500 + the sum of 200 n + 750 over the drawn variables of n bars.
int64_t drawing_height(const Chart& c) noexcept
{
    int64_t height = 500;
    for (int k = 0; k < c.num_vars; ++k)
        if (c.bars(k) > 0) height += 200 * c.bars(k) + 750;
    return height;
}

void write_header(std::FILE* out, long height)
{
    std::fputs("<?xml version=\"1.0\"?>\n", out);
    std::fprintf(out, "<svg viewBox=\"0 0 %ld %ld\">\n", 5000L, height);
    std::fputs("<g>\n", out);
    std::fputs("<title>Quorell Plots</title>\n", out);
}

void write_label(std::FILE* out, long y, long size)
{
    std::fprintf(out, "<text x=\"0\" y=\"%ld\" style=\"font-size:%ld\">\n", y, size);
}

// The largest frequency of a variable's row; 0 when none is positive.
int64_t largest_frequency(const int* freqs, int64_t n) noexcept
{
    int64_t largest = 0;
    for (int64_t k = 0; k < n; ++k)
        if (freqs[k] > largest) largest = freqs[k];
    return largest;
}

// The integer part of frequency * 3750 / largest, computed in integers so
// that the largest frequency always gets the full 3750 units (in floating
// point, 7 * (3750 / 7) is 3749.99...).
long bar_length(int frequency, int64_t largest) noexcept
{
    return static_cast<long>(static_cast<int64_t>(frequency) * longest_bar / largest);
}

// Bars of a categorical variable: 150 units high from x = 500, labelled
// with the codes; axes at x = 400.  Returns the next variable's top.
long draw_categories(std::FILE* out, const Chart& c, int k, long top, int64_t largest)
{
    const int* codes = c.codes + c.row(k);
    const int* freqs = c.freqs + c.row(k);
    long y = top + 300;
    const int64_t n = c.bars(k);
    for (int64_t j = 0; j < n; ++j, y += 200) {
        std::fprintf(out, "<rect x=\"500\" y=\"%ld\" width=\"%ld\" height=\"150\" style=\"fill:#269068\" />\n", y,
                     bar_length(freqs[j], largest));
        write_label(out, y + 120, 130);
        std::fprintf(out, "%ld\n", static_cast<long>(codes[j]));
        std::fputs("</text>\n", out);
    }
    const long last = y - 200;
    std::fprintf(out, "<rect x=\"400\" y=\"%ld\" width=\"%ld\" height=\"20\" />\n", last + 200, 3750L);
    std::fprintf(out, "<rect x=\"400\" y=\"%ld\" width=\"20\" height=\"%ld\" />\n", top + 200, last - top);
    return last + 600;
}

// Bars of a histogram: 200 units high, touching, from x = 700, labelled
// with the bin midpoints; axes at x = 650.  Returns the next variable's top.
long draw_histogram(std::FILE* out, const Chart& c, int k, long top, int64_t largest)
{
    const double* mids = c.mids + c.row(k);
    const int* freqs = c.freqs + c.row(k);
    long y = top + 300;
    const int64_t n = c.bars(k);
    for (int64_t j = 0; j < n; ++j, y += 200) {
        std::fprintf(out, "<rect x=\"700\" y=\"%ld\" width=\"%ld\" height=\"200\" style=\"fill:#269068\" />\n", y,
                     bar_length(freqs[j], largest));
        write_label(out, y + 120, 130);
        std::fprintf(out, "%.3g\n", mids[j]);
        std::fputs("</text>\n", out);
    }
    const long last = y - 200;
    std::fprintf(out, "<rect x=\"650\" y=\"%ld\" width=\"%ld\" height=\"20\" />\n", last + 250, 3850L);
    std::fprintf(out, "<rect x=\"650\" y=\"%ld\" width=\"20\" height=\"%ld\" />\n", top + 200, last + 50 - top);
    return last + 650;
}

// Draws the variables in order.  A drawn variable without a positive
// frequency ends the drawing there with code 5; what was written stays.
Outcome draw(std::FILE* out, const Chart& c)
{
    long top = 400;
    for (int k = 0; k < c.num_vars; ++k) {
        if (c.counts[k] == 0) continue;
        write_label(out, top, 200);
        std::fprintf(out, "%s \n", c.name(k));
        std::fputs("</text>\n", out);
        const int64_t largest = largest_frequency(c.freqs + c.row(k), c.bars(k));
        if (largest == 0) return Fault{nothing_to_draw, 0};
        top = c.counts[k] > 0 ? draw_categories(out, c, k, top, largest) : draw_histogram(out, c, k, top, largest);
    }
    std::fputs("</g>\n", out);
    std::fputs("</svg>\n", out);
    return std::nullopt;
}

void chart(const char* path, const Chart& c, int* height, int* error)
{
    if (const Outcome refused = check_rows(c)) return set_error(error, refused->code, refused->detail);
    const int64_t h = drawing_height(c);
    if (h > INT_MAX) return set_error(error, too_tall, 0);

    FilePtr file = open_file(path, "wb");
    if (!file) return set_error(error, file_failure, not_created);
    *height = static_cast<int>(h);
    write_header(file.get(), static_cast<long>(h));
    const Outcome drawn = draw(file.get(), c);
    // The file is closed on every return, an incomplete drawing included.
    const bool written = close_written(file);
    if (drawn) return set_error(error, drawn->code, drawn->detail);
    if (!written) set_error(error, file_failure, not_written);
}

}  // namespace

}  // namespace kest

extern "C" void bar_chart(const char* path, int num_vars, char** names, const int* counts, const int* codes,
                          const int* freqs, int a, const double* mids, int* height, int* error)
{
    if (error == nullptr) return;
    kest::run_guarded(error, [&] {
        kest::set_error(error, 0, 0);
        if (!kest::all_given(error, {{height, 9}})) return;
        if (num_vars > 0 && !kest::all_given(error, {{counts, 4}})) return;
        const kest::Chart c{num_vars, names, counts, codes, freqs, a, mids};
        if (const int argument = kest::missing_table(c); argument != 0)
            return kest::set_error(error, KEST_ERR_NULL_ARGUMENT, argument);
        kest::chart(path, c, height, error);
    });
}
