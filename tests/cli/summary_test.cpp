// kest summary: the table it prints, the chart it writes (well-formed XML
// whatever the names hold, with the bars of the figures printed), and how it
// refuses what it cannot summarise.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "../support/text_files.h"
#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

// Whether xmllint takes the file as well-formed XML.
bool well_formed(const fs::path& file)
{
    const std::string command = "xmllint --noout '" + file.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

using test_text::lines_of;

class KestSummary : public KestTool {
protected:
    // x: 1 2 3 5 and one missing: mean 2.75, squares 8.75, deviation
    // sqrt(8.75/3) = 1.70783.  g: code 1 three times, 2 twice.
    void convert_small()
    {
        write_file(dir_ / "small.csv", "g,x\n1,1\n2,2\n1,3\n2,\n1,5\n");
        ASSERT_EQ(kest("convert small.csv --categorical g").status, 0);
    }
};

TEST_F(KestSummary, PrintsValuesMomentsExtremesAndFrequencies)
{
    convert_small();
    const Outcome run = kest("summary small.xml");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "data file  small.xml\n"
              "records    5\n"
              "values     every cell with a number\n"
              "\n"
              "variable  type         values  missing  mean  deviation  minimum  maximum\n"
              "g         categorical       5        0\n"
              "x         numeric           4        1  2.75    1.70783        1        5\n"
              "\n"
              "g  count  percent\n"
              "1      3     60.0\n"
              "2      2     40.0\n");
}

TEST_F(KestSummary, UnflaggedValuesLeaveOutSuspectAndErrorCells)
{
    convert_small();
    std::string data = slurp(dir_ / "small.xml");
    for (const auto& [plain, flagged] : {std::pair<std::string, std::string>{"<x Status='Valid'>5<", "<x Status='Suspect'>5<"},
                                         {"<g Status='Valid'>2<", "<g Status='Error'>2<"}}) {
        const std::size_t at = data.find(plain);
        ASSERT_NE(at, std::string::npos) << plain;
        data.replace(at, plain.size(), flagged);
    }
    write_file(dir_ / "small.xml", data);

    const Outcome all = kest("summary small.xml --values all");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("x         numeric           4        1  2.75    1.70783        1        5\n"),
              std::string::npos)
        << all.out;

    // Imputed cells stay values: x of record 4 gets (1 + 2 + 3 + 5) / 4, the
    // mean of every value the Suspect one included.
    ASSERT_EQ(kest("impute small.xml --method mean --variable x --values all").status, 0);
    // x: 1 2 3 2.75, mean 2.1875, squares 2.421875, deviation 0.898494;
    // g: 1 three times, 2 once.
    const Outcome run = kest("summary small.xml --values unflagged");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "data file  small.xml\n"
              "records    5\n"
              "values     cells marked Suspect or Error left out\n"
              "\n"
              "variable  type         values  missing    mean  deviation  minimum  maximum\n"
              "g         categorical       4        1\n"
              "x         numeric           4        1  2.1875   0.898494        1        3\n"
              "\n"
              "g  count  percent\n"
              "1      3     75.0\n"
              "2      1     25.0\n");
    EXPECT_EQ(kest("summary small.xml --values valid").status, 2);
}

TEST_F(KestSummary, TheChartDrawsTheFrequenciesAndParsesAsXml)
{
    convert_small();
    const Outcome run = kest("summary small.xml --chart small.svg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\nchart      small.svg (2 of 2 variables drawn)\n"), std::string::npos) << run.out;
    ASSERT_TRUE(well_formed(dir_ / "small.svg"));
    const std::vector<std::string> lines = lines_of(slurp(dir_ / "small.svg"));
    // g: 2 bars; x: 5 records give 3 bins of width 4/3 holding 1 2 | 3 | 5.
    ASSERT_EQ(lines.size(), 4u + 13 + 17 + 2);
    EXPECT_EQ(lines[1], "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 5000 3000\">");
    EXPECT_EQ(lines[5], "g ");
    EXPECT_EQ(lines[7], "<rect x=\"500\" y=\"700\" width=\"3750\" height=\"150\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[11], "<rect x=\"500\" y=\"900\" width=\"2500\" height=\"150\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[18], "x ");
    EXPECT_EQ(lines[20], "<rect x=\"700\" y=\"1800\" width=\"3750\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[22], "1.67");
    EXPECT_EQ(lines[24], "<rect x=\"700\" y=\"2000\" width=\"1875\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[28], "<rect x=\"700\" y=\"2200\" width=\"1875\" height=\"200\" style=\"fill:#269068\" />");
    EXPECT_EQ(lines[30], "4.33");
}

TEST_F(KestSummary, TheChartOfTheImputedExampleParsesAsXml)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    ASSERT_EQ(kest("impute out/survey.xml --method mean").status, 0);
    const Outcome run = kest("summary out/survey.xml --chart out/survey.svg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("records    2000\n"), std::string::npos);
    EXPECT_NE(run.out.find("(6 of 6 variables drawn)"), std::string::npos) << run.out;
    EXPECT_TRUE(well_formed(dir_ / "out" / "survey.svg"));
    // 2000 records: 11 bins for each of the 4 numeric variables.
    const std::string svg = slurp(dir_ / "out" / "survey.svg");
    EXPECT_NE(svg.find("viewBox=\"0 0 5000 " + std::to_string(500 + (5 * 200 + 750) + (4 * 200 + 750) +
                                                              4 * (11 * 200 + 750)) + "\""),
              std::string::npos);
}

TEST_F(KestSummary, NamesWithXmlCharactersAreEscapedInTheChart)
{
    // The converter accepts no such names, but a data set made elsewhere
    // may hold them: the reader finds them by their text.
    write_file(dir_ / "t.csv", "qq,x\n1,1\n2,2\n3,4\n");
    ASSERT_EQ(kest("convert t.csv").status, 0);
    for (const char* file : {"t.xml", "t.xdr"}) {
        std::string text = slurp(dir_ / file);
        for (std::size_t at; (at = text.find("qq")) != std::string::npos;) text.replace(at, 2, "q&<q");
        write_file(dir_ / file, text);
    }
    const Outcome run = kest("summary t.xml --chart t.svg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\nq&<q      numeric"), std::string::npos) << run.out;
    EXPECT_TRUE(well_formed(dir_ / "t.svg"));
    EXPECT_EQ(lines_of(slurp(dir_ / "t.svg"))[5], "q&amp;&lt;q ");
}

TEST_F(KestSummary, VariablesWithTooFewValuesAreNeitherDescribedNorDrawn)
{
    // x has one value; the categorical g none.
    write_file(dir_ / "few.csv", "g,x,y\n,1,1\n,,2\n,,4\n");
    ASSERT_EQ(kest("convert few.csv --categorical g=1,2").status, 0);
    const Outcome run = kest("summary few.xml --chart few.svg");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\ng         categorical       0        3\n"
                           "x         numeric           1        2        -          -        -        -\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\ng  count  percent\n1      0        -\n2      0        -\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("(1 of 3 variables drawn)"), std::string::npos);
    ASSERT_TRUE(well_formed(dir_ / "few.svg"));
    const std::string svg = slurp(dir_ / "few.svg");
    EXPECT_NE(svg.find("\ny \n"), std::string::npos);
    EXPECT_EQ(svg.find("\nx \n"), std::string::npos);
    EXPECT_EQ(svg.find("\ng \n"), std::string::npos);
}

TEST_F(KestSummary, Refusals)
{
    // A value that is none of its variable's codes, named by its record.
    // The converter refuses such a value, so the schema loses a code after.
    write_file(dir_ / "bad.csv", "g,x\n1,1\n3,2\n1,3\n");
    ASSERT_EQ(kest("convert bad.csv --categorical g=1,2,3").status, 0);
    {
        std::string schema = slurp(dir_ / "bad.xdr");
        const std::size_t at = schema.find("dt:values=\"1 2 3 \"");
        ASSERT_NE(at, std::string::npos);
        schema.replace(at, 19, "dt:values=\"1 2 \"");
        write_file(dir_ / "bad.xdr", schema);
    }
    Outcome run = kest("summary bad.xml --chart bad.svg");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest summary: record 2 of 'bad.xml': g holds 3, which is not one of its codes (1 2)\n");
    EXPECT_FALSE(fs::exists(dir_ / "bad.svg"));

    // Fewer records than variables.
    write_file(dir_ / "w.csv", "k,q,z\n1,2,3\n2,3,4\n");
    ASSERT_EQ(kest("convert w.csv").status, 0);
    run = kest("summary w.xml");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest summary: a summary needs at least as many records as variables; 'w.xml' has 2 "
                       "records and 3 variables\n");

    // A chart that would replace the data file.
    const std::string before = slurp(dir_ / "bad.xml");
    run = kest("summary bad.xml --chart ./bad.xml");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(slurp(dir_ / "bad.xml"), before);

    // A chart that cannot be created.
    convert_small();
    run = kest("summary small.xml --chart no/such/folder.svg");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest summary: cannot create the chart 'no/such/folder.svg'\n");

    EXPECT_EQ(kest("summary").status, 2);
    EXPECT_EQ(kest("summary small.xml other.xml").status, 2);
    EXPECT_EQ(kest("summary small.xml --chart=").status, 2);
    run = kest("summary absent.xml");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("absent.xml"), std::string::npos);
}

}  // namespace
