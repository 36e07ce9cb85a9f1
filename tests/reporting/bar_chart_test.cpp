// SVG bar charts: the exact bytes of the worked charts, the heights and
// positions of stacked variables, bar lengths that reach 3750 for every
// largest frequency, the codes and what each leaves in the file, and a
// chart of the tables summ_stats fills.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "kest.h"
#include "test_files.h"

namespace {

using namespace kest_test;

constexpr int unset = -77;

// The three tables of bar_chart with rows of a entries.
struct ChartCall {
    std::vector<std::string> name_texts;
    std::vector<int> counts;
    int a;
    std::vector<int> codes, freqs;
    std::vector<double> mids;
    int height = unset;
    int error[2] = {55, 55};

    ChartCall(std::vector<std::string> names, std::vector<int> count_list, int row_length)
        : name_texts(std::move(names)), counts(std::move(count_list)), a(row_length),
          codes(counts.size() * static_cast<std::size_t>(a) + 1, 0),
          freqs(codes.size(), 0),
          mids(codes.size(), 0.0)
    {
    }

    void row(int k, const std::vector<int>& codes_or_empty, const std::vector<int>& f,
             const std::vector<double>& m = {})
    {
        for (std::size_t j = 0; j < f.size(); ++j) freqs[static_cast<std::size_t>(k * a) + j] = f[j];
        for (std::size_t j = 0; j < codes_or_empty.size(); ++j)
            codes[static_cast<std::size_t>(k * a) + j] = codes_or_empty[j];
        for (std::size_t j = 0; j < m.size(); ++j) mids[static_cast<std::size_t>(k * a) + j] = m[j];
    }

    void run(const std::string& path)
    {
        std::vector<char*> names;
        for (std::string& n : name_texts) names.push_back(n.data());
        bar_chart(path.c_str(), static_cast<int>(counts.size()), names.data(), counts.data(), codes.data(),
                  freqs.data(), a, mids.data(), &height, error);
    }
};

const char* const header_1650 =
    "<?xml version=\"1.0\"?>\n"
    "<svg viewBox=\"0 0 5000 1650\">\n"
    "<g>\n"
    "<title>Quorell Plots</title>\n";

TEST(BarChart, TwoCategoriesAsWorkedOut)
{
    ScratchDir dir;
    ChartCall c({"region"}, {2}, 3);
    c.row(0, {1, 2}, {10, 5});
    c.run(dir.file("c.svg"));
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.error[1], 0);
    EXPECT_EQ(c.height, 1650);
    EXPECT_EQ(read_file(dir.file("c.svg")),
              std::string(header_1650) +
                  "<text x=\"0\" y=\"400\" style=\"font-size:200\">\n"
                  "region \n"
                  "</text>\n"
                  "<rect x=\"500\" y=\"700\" width=\"3750\" height=\"150\" style=\"fill:#269068\" />\n"
                  "<text x=\"0\" y=\"820\" style=\"font-size:130\">\n"
                  "1\n"
                  "</text>\n"
                  "<rect x=\"500\" y=\"900\" width=\"1875\" height=\"150\" style=\"fill:#269068\" />\n"
                  "<text x=\"0\" y=\"1020\" style=\"font-size:130\">\n"
                  "2\n"
                  "</text>\n"
                  "<rect x=\"400\" y=\"1100\" width=\"3750\" height=\"20\" />\n"
                  "<rect x=\"400\" y=\"600\" width=\"20\" height=\"500\" />\n"
                  "</g>\n"
                  "</svg>\n");
}

TEST(BarChart, ThreeBinsAsWorkedOut)
{
    ScratchDir dir;
    ChartCall c({"income"}, {-3}, 3);
    c.row(0, {}, {4, 8, 1}, {1.5, 1234.5678, 0.000012345});
    c.run(dir.file("h.svg"));
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.height, 1850);
    EXPECT_EQ(read_file(dir.file("h.svg")),
              "<?xml version=\"1.0\"?>\n"
              "<svg viewBox=\"0 0 5000 1850\">\n"
              "<g>\n"
              "<title>Quorell Plots</title>\n"
              "<text x=\"0\" y=\"400\" style=\"font-size:200\">\n"
              "income \n"
              "</text>\n"
              "<rect x=\"700\" y=\"700\" width=\"1875\" height=\"200\" style=\"fill:#269068\" />\n"
              "<text x=\"0\" y=\"820\" style=\"font-size:130\">\n"
              "1.5\n"
              "</text>\n"
              "<rect x=\"700\" y=\"900\" width=\"3750\" height=\"200\" style=\"fill:#269068\" />\n"
              "<text x=\"0\" y=\"1020\" style=\"font-size:130\">\n"
              "1.23e+03\n"
              "</text>\n"
              "<rect x=\"700\" y=\"1100\" width=\"468\" height=\"200\" style=\"fill:#269068\" />\n"
              "<text x=\"0\" y=\"1220\" style=\"font-size:130\">\n"
              "1.23e-05\n"
              "</text>\n"
              "<rect x=\"650\" y=\"1350\" width=\"3850\" height=\"20\" />\n"
              "<rect x=\"650\" y=\"600\" width=\"20\" height=\"750\" />\n"
              "</g>\n"
              "</svg>\n");
}

TEST(BarChart, VariablesStackAndThoseWithCountZeroAddNothing)
{
    // Categories: last bar at 900, next top 1500.  Histogram of 2 bins from
    // 1500: bars at 1800 and 2000, axes at 2250 and from 1700 (height 550).
    ScratchDir dir;
    ChartCall c({"a", "skipped", "b", "also skipped"}, {2, 0, -2, 0}, 2);
    c.row(0, {3, 4}, {1, 1});
    c.row(1, {9, 9}, {0, 0});  // never read: count 0
    c.row(2, {}, {2, 3}, {10, 20});
    c.run(dir.file("s.svg"));
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(c.height, 500 + (400 + 750) + (400 + 750));
    const std::vector<std::string> lines = split_lines(read_file(dir.file("s.svg")));
    ASSERT_EQ(lines.size(), 4u + 3 + 2 * 4 + 2 + 3 + 2 * 4 + 2 + 2);
    EXPECT_EQ(lines[1], "<svg viewBox=\"0 0 5000 2800\">");
    EXPECT_EQ(lines[17], "<text x=\"0\" y=\"1500\" style=\"font-size:200\">");
    EXPECT_EQ(lines[18], "b ");
    EXPECT_EQ(lines[20], "<rect x=\"700\" y=\"1800\" width=\"2500\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[24], "<rect x=\"700\" y=\"2000\" width=\"3750\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[28], "<rect x=\"650\" y=\"2250\" width=\"3850\" height=\"20\" />");
    EXPECT_EQ(lines[29], "<rect x=\"650\" y=\"1700\" width=\"20\" height=\"550\" />");
    EXPECT_EQ(lines[30], "</g>");
}

TEST(BarChart, TheLargestFrequencyAlwaysGetsTheFullLength)
{
    // 7 * (3750 / 7) in floating point is 3749.99..., which truncates to
    // 3749; the lengths are the integer part of f * 3750 / largest.  One
    // variable per largest frequency from 3 to 2000, each with a bar of 3.
    ScratchDir dir;
    constexpr int first = 3, last = 2000;
    ChartCall c(std::vector<std::string>(last - first + 1, "v"), std::vector<int>(last - first + 1, 2), 2);
    for (int largest = first; largest <= last; ++largest) c.row(largest - first, {1, 2}, {largest, 3});
    c.run(dir.file("l.svg"));
    ASSERT_EQ(c.error[0], 0);
    const std::vector<std::string> lines = split_lines(read_file(dir.file("l.svg")));
    ASSERT_EQ(lines.size(), 4u + 13u * (last - first + 1) + 2);
    for (int largest = first; largest <= last; ++largest) {
        const std::size_t block = 4 + 13 * static_cast<std::size_t>(largest - first);
        const long y = 700 + 1100L * (largest - first);  // a block of two bars is 1100 high
        ASSERT_EQ(lines[block + 3], "<rect x=\"500\" y=\"" + std::to_string(y) +
                                        "\" width=\"3750\" height=\"150\" style=\"fill:#269068\" />")
            << "largest " << largest;
        ASSERT_EQ(lines[block + 7], "<rect x=\"500\" y=\"" + std::to_string(y + 200) + "\" width=\"" +
                                        std::to_string(3L * 3750 / largest) +
                                        "\" height=\"150\" style=\"fill:#269068\" />")
            << "largest " << largest;
    }
}

TEST(BarChart, NamesAreWrittenVerbatim)
{
    ScratchDir dir;
    ChartCall c({"a<b & 'c'"}, {1}, 1);
    c.row(0, {7}, {2});
    c.run(dir.file("n.svg"));
    ASSERT_EQ(c.error[0], 0);
    EXPECT_EQ(split_lines(read_file(dir.file("n.svg")))[5], "a<b & 'c' ");
}

// ---------------------------------------------------------------------------
// Codes

TEST(BarChart, NoPositiveFrequencyEndsTheDrawingAtItsTitle)
{
    ScratchDir dir;
    ChartCall c({"first", "empty", "never"}, {1, -2, 1}, 2);
    c.row(0, {1}, {4});
    c.row(1, {}, {0, -3});
    c.row(2, {1}, {4});
    c.run(dir.file("e.svg"));
    EXPECT_EQ(c.error[0], 5);
    EXPECT_EQ(c.error[1], 0);
    EXPECT_EQ(c.height, 500 + 950 + 1150 + 950);
    const std::string text = read_file(dir.file("e.svg"));
    const std::string tail = "<text x=\"0\" y=\"1300\" style=\"font-size:200\">\nempty \n</text>\n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_EQ(text.find("never"), std::string::npos);
}

TEST(BarChart, RefusalsLeaveAnExistingFileAlone)
{
    ScratchDir dir;
    const std::string path = dir.file("kept.svg");
    write_file(path, "earlier chart\n");
    struct Case {
        const char* name;
        std::vector<int> counts;
        int a;
        int code, detail;
    };
    const Case cases[] = {
        {"a count beyond the row", {2, 3}, 2, 3, 2},
        {"a bin count beyond the row", {-1, -3}, 2, 3, 2},
        {"the smallest int as count", {INT_MIN}, 2, 3, 1},
        {"a row length below 1", {1}, 0, 3, 1},
        {"too tall for an int", {1, 2000000, 2000000, 2000000, 2000000, 2000000, 2000000}, 2000000, 4, 0},
    };
    for (const Case& k : cases) {
        ChartCall c(std::vector<std::string>(k.counts.size(), "v"), k.counts, 1);
        c.a = k.a;  // the tables are not read before the refusal
        c.run(path);
        EXPECT_EQ(c.error[0], k.code) << k.name;
        EXPECT_EQ(c.error[1], k.detail) << k.name;
        EXPECT_EQ(c.height, unset) << k.name;
        EXPECT_EQ(read_file(path), "earlier chart\n") << k.name;
    }

    // A negative number of variables.
    int height = unset;
    int error[2] = {55, 55};
    bar_chart(path.c_str(), -1, nullptr, nullptr, nullptr, nullptr, 1, nullptr, &height, error);
    EXPECT_EQ(error[0], 2);
    EXPECT_EQ(error[1], -1);
    EXPECT_EQ(read_file(path), "earlier chart\n");

    // Count 0 variables are not checked against the row length.
    ChartCall none({"v"}, {0}, 1);
    none.a = -5;
    none.run(path);
    EXPECT_EQ(none.error[0], 0);
    EXPECT_EQ(none.height, 500);
}

TEST(BarChart, FilesThatCannotBeCreatedOrWritten)
{
    ScratchDir dir;
    ChartCall c({"v"}, {1}, 1);
    c.row(0, {1}, {1});
    c.run(dir.file("no/such/folder.svg"));
    EXPECT_EQ(c.error[0], 1);
    EXPECT_EQ(c.error[1], 1);
    EXPECT_EQ(c.height, unset);

    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
    ChartCall full({"v"}, {1}, 1);
    full.row(0, {1}, {1});
    full.run("/dev/full");
    EXPECT_EQ(full.error[0], 1);
    EXPECT_EQ(full.error[1], 2);
}

// ---------------------------------------------------------------------------
// With summ_stats

TEST(BarChart, DrawsTheTablesSummStatsFills)
{
    // 9 records: a categorical variable with codes 1 2 and a continuous one
    // with 4 bins of width 2 from 0 to 8.
    const int a = 11;
    std::vector<double> data = {1, 0, 2, 1, 1, 2, 2, 3, 1, 4, 2, 5, 1, 6, 1, 7, 2, 8};
    std::vector<int> ncat = {2, 0};
    std::vector<int> codes(2 * a, 0);
    codes[0] = 1;
    codes[1] = 2;
    std::vector<double> mean(2), sd(2), min(2), max(2), mids(2 * a);
    std::vector<int> n_obs(2), freqs(2 * a);
    int error[2] = {55, 55};
    summ_stats(9, 2, -1.0, data.data(), ncat.data(), codes.data(), a, mean.data(), sd.data(), min.data(), max.data(),
               n_obs.data(), mids.data(), freqs.data(), error);
    ASSERT_EQ(error[0], 0);
    ASSERT_EQ(ncat[1], -4);

    ScratchDir dir;
    std::string region = "region", age = "age";
    char* names[] = {region.data(), age.data()};
    int height = unset;
    bar_chart(dir.file("both.svg").c_str(), 2, names, ncat.data(), codes.data(), freqs.data(), a, mids.data(),
              &height, error);
    ASSERT_EQ(error[0], 0);
    EXPECT_EQ(height, 500 + (400 + 750) + (800 + 750));
    const std::vector<std::string> lines = split_lines(read_file(dir.file("both.svg")));
    // Codes 1 and 2 hold 5 and 4 records; bins [0,2] [2,4] [4,6] [6,8] hold
    // 0 1 2 | 3 4 | 5 6 | 7 8.
    EXPECT_EQ(lines[7], "<rect x=\"500\" y=\"700\" width=\"3750\" height=\"150\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[11], "<rect x=\"500\" y=\"900\" width=\"3000\" height=\"150\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[20], "<rect x=\"700\" y=\"1800\" width=\"3750\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[22], "1");
    EXPECT_EQ(lines[24], "<rect x=\"700\" y=\"2000\" width=\"2500\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[26], "3");
    EXPECT_EQ(lines.back(), "</svg>");
}

}  // namespace

namespace {

TEST(BarChart, NullTablesAreRefusedWithTheirArgumentNumber)
{
    ScratchDir dir;
    const std::string path = dir.file("kept.svg");
    write_file(path, "earlier chart\n");
    ChartCall c({"c", "h"}, {2, -2}, 2);
    c.row(0, {1, 2}, {3, 4});
    c.row(1, {}, {5, 6}, {1.5, 2.5});
    for (int argument : {4, 5, 6, 8, 9}) {
        auto given = [argument](int number, auto* pointer) { return number == argument ? nullptr : pointer; };
        int height = unset;
        int error[2] = {55, 55};
        bar_chart(path.c_str(), 2, nullptr, given(4, c.counts.data()), given(5, c.codes.data()),
                  given(6, c.freqs.data()), c.a, given(8, c.mids.data()), given(9, &height), error);
        EXPECT_EQ(error[0], KEST_ERR_NULL_ARGUMENT) << argument;
        EXPECT_EQ(error[1], argument);
        EXPECT_EQ(height, unset) << argument;
        EXPECT_EQ(read_file(path), "earlier chart\n") << argument;
    }
    // A chart of categorical variables needs no midpoints, one of
    // histograms no codes; names may be left out.
    int height = unset;
    int error[2] = {55, 55};
    bar_chart(path.c_str(), 1, nullptr, c.counts.data(), c.codes.data(), c.freqs.data(), c.a, nullptr, &height,
              error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(height, 1650);
    const int histogram[] = {-2};
    bar_chart(path.c_str(), 1, nullptr, histogram, nullptr, c.freqs.data(), c.a, c.mids.data(), &height, error);
    EXPECT_EQ(error[0], 0);
    // No variable: no table is read.
    bar_chart(path.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1, nullptr, &height, error);
    EXPECT_EQ(error[0], 0);
    EXPECT_EQ(height, 500);
    // A null ErrorPair makes the call return before the file is touched.
    write_file(path, "earlier chart\n");
    bar_chart(path.c_str(), 1, nullptr, c.counts.data(), c.codes.data(), c.freqs.data(), c.a, nullptr, &height,
              nullptr);
    EXPECT_EQ(read_file(path), "earlier chart\n");
}

}  // namespace
