// Runs the kest tool the way a user does and checks what it prints, which
// files it leaves and its exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "kest_tool.h"

namespace fs = std::filesystem;

namespace {

using namespace kest_cli_test;

// Replaces one exact text of a file, failing the test when it is absent.
void replace_in_file(const fs::path& path, const std::string& from, const std::string& to)
{
    std::string text = slurp(path);
    const std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    write_file(path, text);
}

const char* const small_survey =
    "region,size,score\n"
    "1,10,5.5\n"
    "2,,-3\n"
    "3,30,7\n"
    "1,40,\n"
    "2,50,1\n";

// ---------------------------------------------------------------------------

TEST_F(KestTool, ConvertThenShowCountsEveryStatus)
{
    write_file(dir_ / "small.csv", small_survey);
    const Outcome convert = kest("convert small.csv --out set --floor 0 --categorical region");
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_EQ(convert.out, "converted 5 records of 3 variables: set/small.xml, set/small.xdr, set/small.xsl\n");

    // Statuses that only later methods set, planted by hand.
    const fs::path data = dir_ / "set" / "small.xml";
    replace_in_file(data, "<score Status='Valid'>5.5</score>", "<score Status='Error'>5.5</score>");
    replace_in_file(data, "<size Status='Valid'>50</size>", "<size Status='Imputed'>50</size>");
    replace_in_file(data, "<region Status='Valid'>1</region><size Status='Valid'>40",
                    "<region Status='Suspect'>1</region><size Status='Valid'>40");

    const Outcome show = kest("show set/small.xml");
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_EQ(show.out,
              "data file  set/small.xml\n"
              "schema     set/small.xdr\n"
              "records    5\n"
              "variables  3\n"
              "\n"
              "variable  type         codes\n"
              "region    categorical  1 2 3\n"
              "size      numeric\n"
              "score     numeric\n"
              "\n"
              "variable  Valid  Validn  Imputed  Suspect  Error  Missing\n"
              "region        4       0        0        1      0        0\n"
              "size          3       0        1        0      0        1\n"
              "score         2       1        0        0      1        1\n"
              "(all)         9       1        1        1      1        2\n");
}

TEST_F(KestTool, ConvertedSetStaysReadableWhenMovedAndTakesExplicitCodes)
{
    write_file(dir_ / "small.csv", small_survey);
    ASSERT_EQ(kest("convert small.csv --name poll --out a --categorical region=3,1,2,9").status, 0);
    fs::rename(dir_ / "a", dir_ / "b");
    const Outcome show = kest("show b/poll.xml");
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("schema     b/poll.xdr\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("region    categorical  3 1 2 9\n"), std::string::npos) << show.out;
    // Without --floor no number is below the floor.
    EXPECT_NE(show.out.find("score         4       0"), std::string::npos) << show.out;
}

TEST_F(KestTool, BlankDelimitedFileWithoutHeaderTakesGivenNames)
{
    write_file(dir_ / "plain.txt", "  1   2 3\n4 5 6\n");
    const Outcome convert = kest("convert plain.txt --delimiter blank --header 0 --names u,v,w");
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_EQ(convert.out, "converted 2 records of 3 variables: plain.xml, plain.xdr, plain.xsl\n");
    EXPECT_NE(slurp(dir_ / "plain.xml").find("<plain_rec><u Status='Valid'>1</u><v Status='Valid'>2</v>"),
              std::string::npos);
}

// ---------------------------------------------------------------------------
// Usage errors: exit status 2 and the usage text

TEST_F(KestTool, UsageErrorsNameTheProblemAndPrintUsage)
{
    const Outcome none = kest("convert");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("kest convert: no text file given\n\nusage: kest convert TEXTFILE [options]\n", 0), 0u)
        << none.err;

    const Outcome unknown = kest("convert x.csv --colour red");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("kest convert: unknown option '--colour'\n"), std::string::npos) << unknown.err;

    const Outcome count = kest("convert x.csv --records 0");
    EXPECT_EQ(count.status, 2);
    EXPECT_NE(count.err.find("--records must be a whole number from 1 to 2147483647, not '0'"), std::string::npos);

    const Outcome command = kest("frobnicate");
    EXPECT_EQ(command.status, 2);
    EXPECT_NE(command.err.find("kest: unknown command 'frobnicate'"), std::string::npos);

    const Outcome overview = kest("");
    EXPECT_EQ(overview.status, 0);
    EXPECT_NE(overview.out.find("usage: kest convert TEXTFILE"), std::string::npos);
    EXPECT_NE(overview.out.find("usage: kest show DATAFILE"), std::string::npos);
    EXPECT_EQ(kest("show --help").out.rfind("usage: kest show DATAFILE", 0), 0u);
}

// ---------------------------------------------------------------------------
// Failures: exit status 1, a message naming file and line, no partial set

TEST_F(KestTool, IncompleteRecordIsNamedAndLeavesNoFiles)
{
    write_file(dir_ / "short.csv", "x,y,z\n1,2,3\n4,5,6\n7,8\n9,10,11\n");
    const Outcome run = kest("convert short.csv");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest convert: line 4 of 'short.csv' has 2 field(s) where there are 3 variables\n");
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(fs::exists(dir_ / "short.xml"));
    EXPECT_FALSE(fs::exists(dir_ / "short.xdr"));
}

// The converter writes its files in place: a conversion that fails after
// it has begun must leave the earlier data set there as it was, not a
// half-written one or none.
TEST_F(KestTool, AFailedConversionLeavesTheEarlierDataSetAsItWas)
{
    write_file(dir_ / "a.csv", "x,y\n1,2\n3,4\n");
    ASSERT_EQ(kest("convert a.csv --out set").status, 0);
    const std::string data = slurp(dir_ / "set" / "a.xml"), schema = slurp(dir_ / "set" / "a.xdr");
    // A folder where the stylesheet goes: the converter has begun the data
    // file when it cannot create the stylesheet.
    fs::remove(dir_ / "set" / "a.xsl");
    fs::create_directory(dir_ / "set" / "a.xsl");
    write_file(dir_ / "a.csv", "x,y\n5,6\n");
    const Outcome run = kest("convert a.csv --out set");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest convert: cannot create the stylesheet 'set/a.xsl'\n");
    EXPECT_TRUE(slurp(dir_ / "set" / "a.xml") == data);
    EXPECT_TRUE(slurp(dir_ / "set" / "a.xdr") == schema);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_ / "set")) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a.xdr", "a.xdr.lock", "a.xml", "a.xsl"}));
}

TEST_F(KestTool, TextFileFaultsAreExplained)
{
    write_file(dir_ / "quote.csv", "a,b\n1,2\n\"3,4\n");
    EXPECT_EQ(kest("convert quote.csv").err,
              "kest convert: line 3 of 'quote.csv': a double quote opened on this line is never closed\n");

    // A number longer than the converter's fields is kept as the nearest
    // number that fits, and counted.
    write_file(dir_ / "wide.csv", "a,b\n1,123456789012345\n");
    const Outcome wide = kest("convert wide.csv");
    ASSERT_EQ(wide.status, 0) << wide.err;
    EXPECT_NE(wide.out.find("b: 1 number(s) longer than 14 characters kept as the nearest number of 14 characters\n"),
              std::string::npos) << wide.out;
    EXPECT_NE(slurp(dir_ / "wide.xml").find("<b Status='Valid'>123456789012e3</b>"), std::string::npos);

    write_file(dir_ / "codes.csv", "kind,v\n1,2\n2.5,3\n");
    const Outcome codes = kest("convert codes.csv --categorical kind");
    EXPECT_EQ(codes.status, 1);
    EXPECT_EQ(codes.err, "kest convert: line 3 of 'codes.csv': '2.5' in the column of 'kind' is not a whole-number category code\n");
}

TEST_F(KestTool, RefusesWhatCouldNotBeReadBack)
{
    // "id" also occurs in the status text Valid of the element before it.
    write_file(dir_ / "pairs.csv", "x,id\n1,2\n");
    const Outcome misread = kest("convert pairs.csv");
    EXPECT_EQ(misread.status, 1);
    EXPECT_NE(misread.err.find("the name of variable 2 ('id') also occurs in the status text 'Valid'"), std::string::npos)
        << misread.err;
    EXPECT_FALSE(fs::exists(dir_ / "pairs.xml"));

    // Converting a file onto itself would destroy it.
    write_file(dir_ / "self.xml", "p,q\n1,2\n");
    EXPECT_EQ(kest("convert self.xml").err,
              "kest convert: the data file 'self.xml' is the same file as the text file 'self.xml'\n");
    EXPECT_EQ(slurp(dir_ / "self.xml"), "p,q\n1,2\n");
}

// A survey of 300 variables with seven-character names has record lines of
// over 11 000 characters: it converts without a warning and shows.  One of
// 40 000 variables could have lines longer than any reader takes and is
// refused before anything is written.
TEST_F(KestTool, WideSurveysConvertAndShowOrAreRefused)
{
    const auto survey = [](int variables) {
        std::string header, record;
        for (int j = 0; j < variables; ++j) {
            header += (j > 0 ? "," : "") + ("v" + std::to_string(1000000 + j).substr(1));
            record += (j > 0 ? "," : "") + std::to_string(1000000 + j) + ".25";
        }
        return header + "\n" + record + "\n" + record + "\n";
    };
    write_file(dir_ / "wide.csv", survey(300));
    const Outcome convert = kest("convert wide.csv");
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_EQ(convert.err, "");
    const Outcome show = kest("show wide.xml");
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("variables  300\n"), std::string::npos) << show.out;

    write_file(dir_ / "wider.csv", survey(40000));
    const Outcome refused = kest("convert wider.csv");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "kest convert: records of 40000 variables could be longer than the 1048575 characters of a "
                           "data file line; use fewer or shorter names\n");
    EXPECT_FALSE(fs::exists(dir_ / "wider.xml"));
}

TEST_F(KestTool, ShowNamesTheBrokenRecord)
{
    write_file(dir_ / "small.csv", small_survey);
    ASSERT_EQ(kest("convert small.csv").status, 0);
    replace_in_file(dir_ / "small.xml", "<size Status='Valid'>40</size>", "");
    const Outcome run = kest("show small.xml");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest show: record 4 of 'small.xml' lacks a variable's element, or an element's end tag does "
                       "not follow its value\n");

    const Outcome missing = kest("show none.xml");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "kest show: cannot open the data file 'none.xml'\n");
}

TEST_F(KestTool, ShowExplainsAMissingSchemaAndTakesAnotherOne)
{
    write_file(dir_ / "small.csv", small_survey);
    ASSERT_EQ(kest("convert small.csv --out set").status, 0);
    fs::rename(dir_ / "set" / "small.xdr", dir_ / "moved.xdr");
    const Outcome lost = kest("show set/small.xml");
    EXPECT_EQ(lost.status, 1);
    EXPECT_EQ(lost.err, "kest show: the schema 'small.xdr' named in 'set/small.xml' is found neither beside the data "
                        "file nor as given; give it with --schema\n");
    const Outcome found = kest("show set/small.xml --schema moved.xdr");
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_NE(found.out.find("records    5\n"), std::string::npos) << found.out;
}

// ---------------------------------------------------------------------------
// The bundled example

TEST_F(KestTool, ExampleSurveyConvertsAndShows)
{
    const Outcome convert = kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype");
    ASSERT_EQ(convert.status, 0) << convert.err;
    EXPECT_EQ(convert.out.rfind("converted 2000 records of 6 variables: out/survey.xml", 0), 0u) << convert.out;
    const Outcome show = kest("show out/survey.xml");
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("records    2000\nvariables  6\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("region    categorical  1 2 3 4 5\n"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("hhtype    categorical  1 2 3 4\n"), std::string::npos) << show.out;
}

TEST_F(KestTool, ExampleGeneratorReproducesTheBundledFile)
{
    const std::string command = "'" KEST_MAKE_SURVEY "' '" + (dir_ / "again.csv").string() + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_TRUE(slurp(dir_ / "again.csv") == slurp(KEST_EXAMPLE_SURVEY));
}

}  // namespace
