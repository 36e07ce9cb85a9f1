// The audit log: every cell a command changes is a row with its old and new
// status and value, method and donor; export --original gives the first
// values back; a failed command logs nothing; a log that cannot be written
// stops a command before it changes anything, or says so loudly after.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

const char* const header = "when,command,record,variable,old_status,old_value,new_status,new_value,method,donor";

// The log without its first field, the time, which is checked for its form.
std::string without_times(const std::string& log)
{
    std::istringstream in(log);
    std::string out, line;
    std::getline(in, line);
    EXPECT_EQ(line, header);
    const std::regex iso("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z,");
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_search(line, iso)) << line;
        out += line.substr(line.find(',') + 1) + "\n";
    }
    return out;
}

// Splits a line of a CSV file without quoted commas.
std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    std::stringstream in(line);
    for (std::string f; std::getline(in, f, ',');) out.push_back(f);
    if (!line.empty() && line.back() == ',') out.emplace_back();
    return out;
}

std::vector<std::vector<std::string>> csv_lines(const std::string& text)
{
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(fields(line));
    return lines;
}

class KestAudit : public KestTool {
protected:
    // Record 4 lacks y, which only record 1 can give (the closest on
    // region and x); record 6 lacks its region, record 7 its x.
    void convert_small()
    {
        write_file(dir_ / "s.csv", "region,x,y\n1,1,10\n1,2,20\n2,1.1,90\n1,1.1,\n2,5,50\n,3,30\n1,,40\n");
        ASSERT_EQ(kest("convert s.csv --out set --categorical region").status, 0);
    }
    std::string log() { return slurp(dir_ / "set" / "s.audit.csv"); }
};

TEST_F(KestAudit, EveryFilledCellIsARowAndExportGivesTheFirstValuesBack)
{
    convert_small();
    EXPECT_FALSE(fs::exists(dir_ / "set" / "s.audit.csv")) << "a new data set has no history";
    ASSERT_EQ(kest("impute set/s.xml --variable y").status, 0);
    ASSERT_EQ(kest("impute set/s.xml --method mean").status, 0);
    // Nothing left to fill: no rows, and the log is not touched.
    const std::string before = log();
    ASSERT_EQ(kest("impute set/s.xml --method mean").status, 0);
    EXPECT_EQ(log(), before);
    // The mean of x is stored as the double it is, 2.1999999999999997.
    EXPECT_EQ(without_times(log()),
              "kest impute set/s.xml --variable y,4,y,Missing,,Imputed,10,nn,1\n"
              "kest impute set/s.xml --method mean,6,region,Missing,,Imputed,1,mode,\n"
              "kest impute set/s.xml --method mean,7,x,Missing,,Imputed,2.1999999999999997,mean,\n");

    const Outcome out = kest("export set/s.xml --out o.csv --original --na NA");
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.out, "exported 7 records of 3 variables to o.csv\n"
                       "original values of 3 changed cells in 3 column(s) NAME_original\n");
    EXPECT_EQ(slurp(dir_ / "o.csv"), "\"region\",\"x\",\"y\",\"region_original\",\"x_original\",\"y_original\"\n"
                                     "1,1,10,1,1,10\n"
                                     "1,2,20,1,2,20\n"
                                     "2,1.1,90,2,1.1,90\n"
                                     "1,1.1,10,1,1.1,NA\n"
                                     "2,5,50,2,5,50\n"
                                     "1,3,30,NA,3,30\n"
                                     "1,2.1999999999999997,40,1,NA,40\n");

    const Outcome show = kest("show set/s.xml");
    EXPECT_NE(show.out.find("variable  replaced  imputed  flagged\n"
                            "region           0        1        0\n"
                            "x                0        1        0\n"
                            "y                0        1        0\n"
                            "(all)            0        3        0\n"),
              std::string::npos)
        << show.out;

    const Outcome history = kest("log set/s.xml --record 4");
    ASSERT_EQ(history.status, 0) << history.err;
    EXPECT_NE(history.out.find("  kest impute set/s.xml --variable y\n"
                               "  record  variable  old      new         method  donor\n"
                               "       4  y         Missing  Imputed 10  nn          1\n"),
              std::string::npos)
        << history.out;
    EXPECT_NE(kest("log set/s.xml --variable x --record 4").out.find("no changes recorded for variable x record 4\n"),
              std::string::npos);
    EXPECT_EQ(kest("log set/s.xml --record 0").status, 2);
}

// The main job's outlier search and TS-SOM step: marked cells keep their
// values, replaced ones are logged with both, and export --original gives
// back exactly the values of the text file the data set came from.
TEST_F(KestAudit, FlaggedAndReplacedCellsOfTheExampleComeBackFromTheLog)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    ASSERT_EQ(kest("outliers out/survey.xml --variable age,income,expend,hours --start complete").status, 0);
    ASSERT_EQ(kest("tssom out/survey.xml --variables age,hours").status, 0);
    ASSERT_EQ(kest("impute out/survey.xml --method nn").status, 0);

    std::map<std::string, int> rows_by_method;
    for (const auto& row : csv_lines(slurp(dir_ / "out" / "survey.audit.csv"))) {
        if (row[0] == "when") continue;
        // The outlier search's command line holds commas and is quoted.
        const std::size_t n = row.size();
        const std::string &old_status = row[n - 6], &old_value = row[n - 5], &new_status = row[n - 4],
                          &new_value = row[n - 3], &method = row[n - 2];
        ++rows_by_method[method];
        if (method == "bacon") {
            EXPECT_EQ(old_status, "Valid");
            EXPECT_EQ(new_status, "Suspect");
            EXPECT_EQ(old_value, new_value);
        } else {
            EXPECT_EQ(new_status, "Imputed");
            EXPECT_TRUE(old_status == "Missing" || old_status == "Suspect") << old_status;
            EXPECT_EQ(old_value.empty(), old_status == "Missing");
            EXPECT_FALSE(new_value.empty());
        }
    }
    EXPECT_EQ(rows_by_method["bacon"], 48);
    EXPECT_EQ(rows_by_method["tssom"], 105);
    EXPECT_GT(rows_by_method["nn"], 0);

    const Outcome out = kest("export out/survey.xml --out o.csv --original");
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(out.err, "");
    const auto exported = csv_lines(slurp(dir_ / "o.csv"));
    const auto source = csv_lines(slurp(KEST_EXAMPLE_SURVEY));
    ASSERT_EQ(exported.size(), source.size());
    // The original columns follow the six variables, in their order.
    ASSERT_EQ(exported[0].size(), 12u);
    long replaced = 0;
    for (std::size_t r = 1; r < source.size(); ++r)
        for (std::size_t j = 0; j < 6; ++j) {
            const std::string& first = exported[r][6 + j];
            ASSERT_EQ(first.empty(), source[r][j].empty()) << "record " << r << " variable " << j;
            if (first.empty()) continue;
            ASSERT_EQ(std::strtod(first.c_str(), nullptr), std::strtod(source[r][j].c_str(), nullptr))
                << "record " << r << " variable " << j;
            replaced += exported[r][j] != first;
        }
    EXPECT_GT(replaced, 0);
}

// A tree's predictions are logged with the tree's method, one row per
// value the command says it imputed.
TEST_F(KestAudit, TreeImputationsAreLoggedWithTheTreesMethod)
{
    ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    const Outcome run = kest("tree out/survey.xml --kind anova --dep income --predictors region,hhtype --impute --depth 0");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::size_t at = run.out.find("imputed ");
    ASSERT_NE(at, std::string::npos) << run.out;
    const long imputed = std::stol(run.out.substr(at + 8));
    long rows = 0;
    for (const auto& row : csv_lines(slurp(dir_ / "out" / "survey.audit.csv"))) {
        if (row[0] == "when") continue;
        ++rows;
        // Counted from the end: the command line holds commas.
        const std::size_t n = row.size();
        EXPECT_EQ(row[n - 7], "income");
        EXPECT_EQ(row[n - 6] + "," + row[n - 5] + "," + row[n - 4], "Missing,,Imputed");
        EXPECT_EQ(row[n - 2] + "," + row[n - 1], "tree-value,");
    }
    EXPECT_GT(imputed, 100);
    EXPECT_EQ(rows, imputed);
}

TEST_F(KestAudit, FailedCommandsLogNothingAndAnUnusableLogStopsThemFirst)
{
    convert_small();
    const fs::path data = dir_ / "set" / "s.xml";
    const std::string original = slurp(data);

    // A failure of the method: the data and the log stay as they were.
    // (record 7 has no x to weigh it by)
    EXPECT_EQ(kest("impute set/s.xml --method em --variable y --weight x").status, 1);
    EXPECT_FALSE(fs::exists(dir_ / "set" / "s.audit.csv"));

    // A log that is not one, or cannot be opened: refused before the change.
    write_file(dir_ / "set" / "s.audit.csv", "something else\n");
    Outcome run = kest("impute set/s.xml --method mean");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is not an audit log"), std::string::npos) << run.err;
    EXPECT_EQ(slurp(data), original);
    fs::remove(dir_ / "set" / "s.audit.csv");
    fs::create_directory(dir_ / "set" / "s.audit.csv");
    run = kest("impute set/s.xml --method mean");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot open the audit log"), std::string::npos) << run.err;
    EXPECT_EQ(slurp(data), original);
    fs::remove(dir_ / "set" / "s.audit.csv");

    // A log that fails as it is appended: the change stays, the command
    // fails loudly and puts the rows on standard error.
    fs::create_symlink("/dev/full", dir_ / "set" / "s.audit.csv");
    run = kest("impute set/s.xml --method mean");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("kest impute: THE DATA SET 'set/s.xml' WAS CHANGED, BUT ITS AUDIT LOG"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(std::string(header) + "\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(",kest impute set/s.xml --method mean,7,x,Missing,,Imputed,2.1999999999999997,mean,\n"),
              std::string::npos)
        << run.err;
    EXPECT_NE(slurp(data), original);
}

// A conversion over a data set starts a new history and keeps the old one.
TEST_F(KestAudit, ConvertingAgainKeepsTheOldLogAside)
{
    convert_small();
    ASSERT_EQ(kest("impute set/s.xml --method mean").status, 0);
    const std::string old_log = log();
    const Outcome again = kest("convert s.csv --out set --categorical region");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_FALSE(fs::exists(dir_ / "set" / "s.audit.csv"));
    std::vector<fs::path> kept;
    for (const auto& e : fs::directory_iterator(dir_ / "set"))
        if (e.path().filename().string().rfind("s.audit-", 0) == 0) kept.push_back(e.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_TRUE(std::regex_match(kept[0].filename().string(), std::regex("s\\.audit-\\d{8}T\\d{6}Z\\.csv")));
    EXPECT_EQ(slurp(kept[0]), old_log);
    EXPECT_NE(again.out.find("the audit log of the earlier data set was kept as set/" + kept[0].filename().string()),
              std::string::npos)
        << again.out;
    // A refused conversion leaves the log where it was.
    ASSERT_EQ(kest("impute set/s.xml --method mean").status, 0);
    write_file(dir_ / "bad.csv", "region,x,y\n1,abc,2\n");
    EXPECT_EQ(kest("convert bad.csv --name s --out set --categorical region").status, 1);
    EXPECT_TRUE(fs::exists(dir_ / "set" / "s.audit.csv"));
}

}  // namespace
