// kest outliers: which records it finds on small data sets with planted
// outliers and on the bundled example, which cells it marks Suspect (the
// data file must differ from the original in exactly those statuses), and
// how it refuses what it cannot do without touching the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

// Replaces the one occurrence of a text; the test fails when it is not
// there exactly once.
std::string with_replaced(std::string text, const std::string& from, const std::string& to)
{
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return text;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

class KestOutliers : public KestTool {
protected:
    // 40 records: y follows 3x with small deviations, w varies on its own.
    // Record 7 has ordinary values of x and y on their own but lies far off
    // their line; record 30 has a gross w and no x; record 12 has no w.
    void convert_planted()
    {
        std::string text = "group,x,y,w\n";
        for (int i = 1; i <= 40; ++i) {
            const int x = 10 + i, w = 50 + (i * 5) % 13 - 6;
            const int y = i == 7 ? 3 * x - 60 : 3 * x + (i * 7) % 11 - 5;
            text += std::to_string(1 + i % 2) + "," + (i == 30 ? "" : std::to_string(x)) + "," + std::to_string(y) +
                    "," + (i == 30 ? "500" : i == 12 ? "" : std::to_string(w)) + "\n";
        }
        write_file(dir_ / "p.csv", text);
        ASSERT_EQ(kest("convert p.csv --categorical group").status, 0);
    }
    std::string data() { return slurp(dir_ / "p.xml"); }

    static constexpr const char* record_7 =
        "<x Status='Valid'>17</x><y Status='Valid'>-9</y><w Status='Valid'>53</w>";
    static constexpr const char* record_30 =
        "<x Status='Missing'> </x><y Status='Valid'>116</y><w Status='Valid'>500</w>";
};

// ---------------------------------------------------------------------------
// Finding and marking

TEST_F(KestOutliers, PlantedRecordsAreFoundAndOnlyTheirObservedCellsBecomeSuspect)
{
    convert_planted();
    const std::string before = data();
    const Outcome run = kest("outliers p.xml --start em");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "record        x    y    w\n"
              "     7       17   -9   53\n"
              "    30  missing  116  500\n"
              "found 2 outlying records among 40 (alpha 0.05, size factor 4, start em)\n"
              "marked 5 cells Suspect in p.xml\n");
    EXPECT_EQ(run.err, "");
    // The file differs from the original in these statuses only: the
    // categorical group is not examined, the missing x stays missing.
    std::string expected = with_replaced(
        before, record_7, "<x Status='Suspect'>17</x><y Status='Suspect'>-9</y><w Status='Suspect'>53</w>");
    expected = with_replaced(expected, record_30,
                             "<x Status='Missing'> </x><y Status='Suspect'>116</y><w Status='Suspect'>500</w>");
    EXPECT_TRUE(data() == expected) << data();

    // With every value, Suspect cells are values, so a second run finds the
    // same; by default they are not observed values, and the two records
    // have nothing left to judge.
    const Outcome again = kest("outliers p.xml --start em --values all");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, run.out);
    EXPECT_TRUE(data() == expected);
    const Outcome observed = kest("outliers p.xml --start em");
    ASSERT_EQ(observed.status, 0) << observed.err;
    EXPECT_EQ(observed.out, "found 0 outlying records among 40 (alpha 0.05, size factor 4, start em)\n"
                            "2 records without any of the variables were not judged\n"
                            "marked 0 cells Suspect in p.xml\n");
    EXPECT_TRUE(data() == expected);
}

TEST_F(KestOutliers, ChosenVariablesStartModesAndDryRun)
{
    convert_planted();
    const std::string before = data();

    // The median start leaves nothing out and finds the same two.
    const Outcome median = kest("outliers p.xml --start median --dry-run");
    ASSERT_EQ(median.status, 0) << median.err;
    EXPECT_EQ(median.out.substr(median.out.find("found")),
              "found 2 outlying records among 40 (alpha 0.05, size factor 4, start median)\n"
              "nothing was written (--dry-run)\n");
    EXPECT_TRUE(data() == before);

    // On x and y only record 7 is far out (record 30, without x, is left
    // out); w is not marked.
    const Outcome xy = kest("outliers p.xml --variable x --variable y --alpha 0.01 --size-factor 3 --start complete");
    ASSERT_EQ(xy.status, 0) << xy.err;
    EXPECT_EQ(xy.out,
              "record   x   y\n"
              "     7  17  -9\n"
              "found 1 outlying records among 40 (alpha 0.01, size factor 3, start complete)\n"
              "1 records with a missing value were left out\n"
              "marked 2 cells Suspect in p.xml\n");
    EXPECT_TRUE(data() == with_replaced(before, record_7,
                                        "<x Status='Suspect'>17</x><y Status='Suspect'>-9</y><w Status='Valid'>53</w>"));

    // The complete start never judges records with a missing value.
    convert_planted();
    const Outcome complete = kest("outliers p.xml --variable x,y,w --start 0");
    ASSERT_EQ(complete.status, 0) << complete.err;
    EXPECT_EQ(complete.out,
              "record   x   y   w\n"
              "     7  17  -9  53\n"
              "found 1 outlying records among 40 (alpha 0.05, size factor 4, start complete)\n"
              "2 records with a missing value were left out\n"
              "marked 3 cells Suspect in p.xml\n");
}

// A record without any of the variables ends outside the subset, but
// there is nothing in it to judge or mark.
TEST_F(KestOutliers, NoOutlierLeavesTheFileAlone)
{
    std::string text = "x,y\n";
    for (int i = 1; i <= 30; ++i) text += std::to_string(i) + "," + std::to_string(2 * i + (i * 7) % 5) + "\n";
    write_file(dir_ / "clean.csv", text + ",\n");
    ASSERT_EQ(kest("convert clean.csv").status, 0);
    const std::string before = slurp(dir_ / "clean.xml");
    const Outcome run = kest("outliers clean.xml --start em");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "found 0 outlying records among 31 (alpha 0.05, size factor 4, start em)\n"
                       "1 records without any of the variables were not judged\n"
                       "marked 0 cells Suspect in clean.xml\n");
    EXPECT_TRUE(slurp(dir_ / "clean.xml") == before);
}

// ---------------------------------------------------------------------------
// Refusals: usage errors (2) and failures (1) write nothing

TEST_F(KestOutliers, UsageErrorsLeaveTheFileAlone)
{
    convert_planted();
    const std::string before = data();
    const Outcome categorical = kest("outliers p.xml --variable group,x");
    EXPECT_EQ(categorical.status, 2);
    EXPECT_EQ(categorical.err.rfind("kest outliers: the variable to examine 'group' is categorical; only numeric "
                                    "variables can be used here\n\nusage: kest outliers DATAFILE",
                                    0),
              0u)
        << categorical.err;
    const Outcome unknown = kest("outliers p.xml --variable z");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err.rfind("kest outliers: the variable to examine 'z' is not a variable of the data set; its "
                                "variables are group, x, y, w\n",
                                0),
              0u)
        << unknown.err;
    EXPECT_EQ(kest("outliers p.xml --variable x --variable x").err.rfind("kest outliers: --variable names 'x' twice\n", 0),
              0u);
    EXPECT_EQ(kest("outliers p.xml --alpha 1").err.rfind("kest outliers: --alpha must lie between 0 and 1, not '1'\n", 0),
              0u);
    EXPECT_EQ(kest("outliers p.xml --alpha 0").status, 2);
    EXPECT_EQ(kest("outliers p.xml --size-factor 0").status, 2);
    EXPECT_EQ(kest("outliers p.xml --start 3").err.rfind("kest outliers: --start must be em, median or complete, not '3'\n", 0),
              0u);
    EXPECT_EQ(kest("outliers p.xml --dry-run --dry-run").status, 2);
    EXPECT_EQ(kest("outliers p.xml --dry-run=yes").status, 2);
    EXPECT_EQ(kest("outliers").status, 2);
    EXPECT_TRUE(data() == before);

    const Outcome help = kest("help outliers");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: kest outliers DATAFILE [options]\n", 0), 0u);
    EXPECT_NE(kest("help").out.find("outliers  find multivariate outliers and mark their cells Suspect\n"),
              std::string::npos);
}

TEST_F(KestOutliers, DetectionFailuresNameTheCauseAndWriteNothing)
{
    convert_planted();
    const std::string before = data();
    // 13 x 3 starting records are not fewer than the 40 - 1 usable (two
    // missing cells make up a part of a record of three).
    const Outcome big = kest("outliers p.xml --size-factor 13 --start em");
    EXPECT_EQ(big.status, 1);
    EXPECT_EQ(big.err, "kest outliers: the starting subset is not smaller than the number of usable records: "
                       "13 x 3 = 39 starting records, 39 usable; give a smaller --size-factor; nothing was written\n");
    EXPECT_TRUE(data() == before);
    // With the median start only the 38 complete records count.
    const Outcome median = kest("outliers p.xml --size-factor 13 --start median");
    EXPECT_EQ(median.status, 1);
    EXPECT_NE(median.err.find("13 x 3 = 39 starting records, 38 usable;"), std::string::npos) << median.err;
    EXPECT_TRUE(data() == before);

    // v is 2u on every record: the covariance is singular at v.
    std::string text = "u,v\n";
    for (int i = 1; i <= 20; ++i) text += std::to_string(i % 7) + "," + std::to_string(2 * (i % 7)) + "\n";
    write_file(dir_ / "line.csv", text);
    ASSERT_EQ(kest("convert line.csv").status, 0);
    const std::string line_before = slurp(dir_ / "line.xml");
    const Outcome singular = kest("outliers line.xml");
    EXPECT_EQ(singular.status, 1);
    EXPECT_EQ(singular.err.rfind("kest outliers: the covariance of the basic subset is not positive definite at 'v'", 0),
              0u)
        << singular.err;
    EXPECT_NE(singular.err.find("; nothing was written\n"), std::string::npos);
    EXPECT_EQ(singular.out, "");
    EXPECT_TRUE(slurp(dir_ / "line.xml") == line_before);

    EXPECT_EQ(kest("outliers none.xml").err, "kest outliers: cannot open the data file 'none.xml'\n");
}

// ---------------------------------------------------------------------------
// The bundled example

TEST_F(KestOutliers, ExampleGrossErrorsAreFoundAmongCompleteRecords)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    const Outcome run = kest("outliers out/survey.xml --variable age,income,expend,hours --start complete");
    ASSERT_EQ(run.status, 0) << run.err;
    // Ten of the eleven planted errors (record 1173's income of -241 with a
    // low expenditure is not far out on these variables) and two records
    // that spend more than they earn.
    std::vector<std::string> records;
    std::size_t at = run.out.find('\n') + 1;
    while (at < run.out.size() && run.out.compare(at, 5, "found") != 0) {
        const std::size_t end = run.out.find('\n', at);
        const std::size_t first = run.out.find_first_not_of(' ', at);
        records.push_back(run.out.substr(first, run.out.find(' ', first) - first));
        at = end + 1;
    }
    EXPECT_EQ(records, (std::vector<std::string>{"85", "103", "106", "212", "699", "1070", "1162", "1172", "1369",
                                                 "1412", "1567", "1740"}))
        << run.out;
    EXPECT_NE(run.out.find("  1172  999   38632  26475.97      0\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("found 12 outlying records among 2000 (alpha 0.05, size factor 4, start complete)\n"
                           "294 records with a missing value were left out\n"
                           "marked 48 cells Suspect in out/survey.xml\n"),
              std::string::npos)
        << run.out;
    const Outcome show = kest("show out/survey.xml");
    EXPECT_NE(show.out.find("(all)     11591       0        0       48      0      361\n"), std::string::npos)
        << show.out;
}

}  // namespace
