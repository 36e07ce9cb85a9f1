// kest impute: which cells it fills with what, read back through the
// library, and how it refuses what it cannot do.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kest.h"
#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

// Value of a cell (records and variables counted from 0) as the library
// reads the data file, every status with a number taken as a value.
double cell(const fs::path& data, const fs::path& schema, int record, int variable)
{
    int num_obs = 0, num_vars = 0, name_size = 0, n_missing = 0;
    int error[2] = {0, 0};
    xml_data_size(schema.c_str(), &num_obs, &num_vars, &name_size, error);
    EXPECT_EQ(error[0], 0);
    std::vector<double> values(static_cast<std::size_t>(num_obs * num_vars));
    std::vector<std::vector<char>> buffers(static_cast<std::size_t>(num_vars), std::vector<char>(name_size + 1));
    std::vector<char*> names;
    for (auto& b : buffers) names.push_back(b.data());
    std::vector<int> ncat(static_cast<std::size_t>(num_vars)), codes(static_cast<std::size_t>(num_vars * 16));
    xml_read(data.c_str(), schema.c_str(), -1e300, num_obs, num_vars, values.data(), names.data(), ncat.data(),
             codes.data(), 16, 5, &n_missing, error);
    EXPECT_EQ(error[0], 0);
    return values.at(static_cast<std::size_t>(record * num_vars + variable));
}

class KestImpute : public KestTool {
protected:
    // Record 4 lacks y.  On region and x (scaled by 1/4) record 1 is closest;
    // record 3 has its x but another region.
    void convert_small()
    {
        write_file(dir_ / "small.csv", "region,x,y\n1,1,10\n1,2,20\n2,1.1,90\n1,1.1,\n2,5,50\n");
        ASSERT_EQ(kest("convert small.csv --out set --categorical region").status, 0);
    }
    double y_of_record_4() { return cell(dir_ / "set" / "small.xml", dir_ / "set" / "small.xdr", 3, 2); }

    void convert_example()
    {
        ASSERT_EQ(kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype").status, 0);
    }
};

// ---------------------------------------------------------------------------
// Donors

TEST_F(KestImpute, NearestDonorFillsTheCellAndTheFirstRecordCanDonate)
{
    convert_small();
    const Outcome run = kest("impute set/small.xml");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "filled 1 cells in set/small.xml\nrecipient groups: 0 skipped (too little matching weight), "
                       "1 with reduced weight, 0 without a donor\n");
    EXPECT_EQ(y_of_record_4(), 10.0);
    const std::string data = slurp(dir_ / "set" / "small.xml");
    EXPECT_NE(data.find("<x Status='Valid'>1.100000</x><y Status='Imputed'>10</y></small_rec>\n<small_rec><region"),
              std::string::npos)
        << data;
    EXPECT_NE(data.find("href=\"small.xsl\"?>\n<kest_data xmlns=\"x-schema:small.xdr\">\n"), std::string::npos);
}

TEST_F(KestImpute, WeightsAndPoolChooseOtherDonors)
{
    convert_small();
    // Without region, record 3 matches x exactly.
    ASSERT_EQ(kest("impute set/small.xml --weights region=0 --seed 0").status, 0);
    EXPECT_EQ(y_of_record_4(), 90.0);

    convert_small();
    // Records 2 and 3 only: record 2 shares the region.
    const Outcome range = kest("impute set/small.xml --pool range:2:4 --distance x=1 --ties 1");
    ASSERT_EQ(range.status, 0) << range.err;
    EXPECT_EQ(y_of_record_4(), 20.0);

    convert_small();
    // Regions as classes: record 3, though closest on x, is not in region 1.
    ASSERT_EQ(kest("impute set/small.xml --pool class:region --weights region=0 --reuse-penalty").status, 0);
    EXPECT_EQ(y_of_record_4(), 10.0);
}

TEST_F(KestImpute, TooLittleMatchingWeightLeavesTheFileAlone)
{
    convert_small();
    const std::string before = slurp(dir_ / "set" / "small.xml");
    const Outcome run = kest("impute set/small.xml --min-weight 2.5");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "filled 0 cells in set/small.xml\nrecipient groups: 1 skipped (too little matching weight), "
                       "0 with reduced weight, 0 without a donor\n");
    EXPECT_TRUE(slurp(dir_ / "set" / "small.xml") == before);
}

// ---------------------------------------------------------------------------
// Means and modes

TEST_F(KestImpute, MeanFillsMeansAndTheMostFrequentCode)
{
    write_file(dir_ / "m.csv", "region,x,y\n2,1,10\n1,,20\n2,3,\n,4,40\n2,6,25\n1,2,5\n");
    ASSERT_EQ(kest("convert m.csv --categorical region").status, 0);
    const Outcome run = kest("impute m.xml --method mean");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "filled 3 cells in m.xml\n");
    EXPECT_EQ(cell(dir_ / "m.xml", dir_ / "m.xdr", 1, 1), 3.2);   // (1+3+4+6+2)/5
    EXPECT_EQ(cell(dir_ / "m.xml", dir_ / "m.xdr", 2, 2), 20.0);  // (10+20+40+25+5)/5
    EXPECT_EQ(cell(dir_ / "m.xml", dir_ / "m.xdr", 3, 0), 2.0);   // 2 three times, 1 twice
}

// Means of a business survey: turnovers beyond the 32-bit range and small
// rates are written in texts that read back as the same numbers, and every
// untouched cell keeps its value, so the data set stays readable.
TEST_F(KestImpute, MeansOfLargeAndTinyValuesReadBack)
{
    write_file(dir_ / "b.csv", "turnover,rate,share\n2500000000000,0.0000004,0.0000123\n"
                               "3500000000000,0.0000004,0.0000123\n,,0.0000123\n");
    ASSERT_EQ(kest("convert b.csv").status, 0);
    const Outcome run = kest("impute b.xml --method mean");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const std::string data = slurp(dir_ / "b.xml");
    EXPECT_NE(data.find("<b_rec><turnover Status='Imputed'>3e+12</turnover><rate Status='Imputed'>4e-07</rate>"
                        "<share Status='Valid'>1.23e-05</share></b_rec>\n"),
              std::string::npos)
        << data;
    EXPECT_EQ(cell(dir_ / "b.xml", dir_ / "b.xdr", 2, 0), 3e12);
    EXPECT_EQ(cell(dir_ / "b.xml", dir_ / "b.xdr", 2, 1), 0.0000004);
    EXPECT_EQ(cell(dir_ / "b.xml", dir_ / "b.xdr", 0, 2), 0.0000123);
    EXPECT_EQ(kest("show b.xml").status, 0);
}

// ---------------------------------------------------------------------------
// Refusals

TEST_F(KestImpute, UsageErrorsAndFailuresLeaveTheFileAlone)
{
    convert_small();
    const std::string before = slurp(dir_ / "set" / "small.xml");
    const Outcome unknown = kest("impute set/small.xml --variable salary");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.err.rfind("kest impute: the variable to impute 'salary' is not a variable of the data set; "
                                "its variables are region, x, y\n\nusage: kest impute DATAFILE", 0), 0u) << unknown.err;
    EXPECT_EQ(kest("impute set/small.xml --weights x=1,salary=2").status, 2);
    EXPECT_EQ(kest("impute set/small.xml --distance region=2").status, 2);
    EXPECT_EQ(kest("impute set/small.xml --method mean --ties 3").status, 2);
    EXPECT_EQ(kest("impute set/small.xml --pool range:2:7").status, 2);

    const Outcome zero = kest("impute set/small.xml --weights region=0,x=0,y=0");
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.err.rfind("kest impute: the weights add up to 0", 0), 0u) << zero.err;
    EXPECT_TRUE(slurp(dir_ / "set" / "small.xml") == before);

    EXPECT_EQ(kest("impute none.xml").err, "kest impute: cannot open the data file 'none.xml'\n");
}

// ---------------------------------------------------------------------------
// Runs at once

// Cells the library reads as missing in one variable.
long missing_in(const fs::path& data, const fs::path& schema, int variable)
{
    int num_obs = 0, num_vars = 0, name_size = 0, n_missing = 0;
    int error[2] = {0, 0};
    xml_data_size(schema.c_str(), &num_obs, &num_vars, &name_size, error);
    std::vector<double> values(static_cast<std::size_t>(num_obs * num_vars));
    std::vector<int> ncat(static_cast<std::size_t>(num_vars)), codes(static_cast<std::size_t>(num_vars * 16));
    xml_read(data.c_str(), schema.c_str(), -1e300, num_obs, num_vars, values.data(), nullptr, ncat.data(),
             codes.data(), 16, 5, &n_missing, error);
    EXPECT_EQ(error[0], 0);
    long missing = 0;
    for (int r = 0; r < num_obs; ++r) missing += values[static_cast<std::size_t>(r * num_vars + variable)] == -1e300;
    return missing;
}

TEST_F(KestImpute, RunsAtOnceOnOtherVariablesBothLandAndAHeldDataSetIsWaitedFor)
{
    // income and expend are variables 3 and 4 of the example.
    const std::string both = "cd '" + dir_.string() + "' && { '" KEST_TOOL "' impute out/survey.xml --method mean "
                             "--variable income & '" KEST_TOOL "' impute out/survey.xml --method mean --variable "
                             "expend & wait; } >/dev/null";
    for (int round = 0; round < 3; ++round) {
        convert_example();
        ASSERT_EQ(missing_in(dir_ / "out" / "survey.xml", dir_ / "out" / "survey.xdr", 3), 166);
        ASSERT_EQ(missing_in(dir_ / "out" / "survey.xml", dir_ / "out" / "survey.xdr", 4), 66);
        ASSERT_EQ(std::system(both.c_str()), 0);
        EXPECT_EQ(missing_in(dir_ / "out" / "survey.xml", dir_ / "out" / "survey.xdr", 3), 0) << "round " << round;
        EXPECT_EQ(missing_in(dir_ / "out" / "survey.xml", dir_ / "out" / "survey.xdr", 4), 0) << "round " << round;
    }

    // While this process holds the data set, the tool waits as long as
    // --wait says and then gives up without touching it.
    convert_small();
    const std::string before = slurp(dir_ / "set" / "small.xml");
    KestLock* held = nullptr;
    int error[2] = {0, 0};
    xml_lock((dir_ / "set" / "small.xdr").c_str(), KEST_LOCK_EXCLUSIVE, 0, &held, error);
    ASSERT_EQ(error[0], 0);
    for (const char* command : {"impute set/small.xml --wait 0.2", "show set/small.xml --wait=0"}) {
        const Outcome refused = kest(command);
        EXPECT_EQ(refused.status, 1) << command;
        EXPECT_NE(refused.err.find(": another process is changing the data set 'set/small.xml'; gave up after waiting "),
                  std::string::npos)
            << refused.err;
    }
    EXPECT_TRUE(slurp(dir_ / "set" / "small.xml") == before);
    EXPECT_EQ(kest("show set/small.xml --wait -1").status, 2);
    EXPECT_EQ(kest("show set/small.xml --wait 1 --wait 2").status, 2);
    xml_unlock(held);
    EXPECT_EQ(kest("impute set/small.xml --wait 0").status, 0);
    EXPECT_EQ(y_of_record_4(), 10.0);
}

// ---------------------------------------------------------------------------
// EM

class KestImputeEm : public KestImpute {
protected:
    // y is 2x + 1 on every complete record, and z varies on its own.
    // Record 3 lacks y, record 5 lacks x, record 6 lacks z.
    void convert_line()
    {
        write_file(dir_ / "e.csv", "region,x,y,z\n1,1,3,7\n2,2,5,4\n1,3,,6\n2,4,9,2\n1,,11,5\n2,6,13,\n1,7,15,3\n");
        ASSERT_EQ(kest("convert e.csv --categorical region").status, 0);
    }
    double at(int record, int variable) { return cell(dir_ / "e.xml", dir_ / "e.xdr", record, variable); }
};

TEST_F(KestImputeEm, RegressionFillsTheChosenVariablesAsImputed)
{
    convert_line();
    const std::string before = slurp(dir_ / "e.xml");
    const Outcome run = kest("impute e.xml --method em --variable x --variable y --tolerance 1e-12");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "filled 2 cells in e.xml\n");
    EXPECT_EQ(run.err, "");
    // On the line through every complete record, whatever z does.
    EXPECT_NEAR(at(2, 2), 7.0, 1e-6);
    EXPECT_NEAR(at(4, 1), 5.0, 1e-6);
    // z was not chosen: its missing cell stays missing.
    const std::string data = slurp(dir_ / "e.xml");
    EXPECT_NE(data.find("<x Status='Valid'>6</x><y Status='Valid'>13</y><z Status='Missing'> </z>"), std::string::npos);
    EXPECT_NE(data.find("<region Status='Valid'>1</region><x Status='Valid'>3</x><y Status='Imputed'>"),
              std::string::npos);
    EXPECT_NE(data.find("<x Status='Imputed'>"), std::string::npos);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), std::count(before.begin(), before.end(), '\n'));
}

TEST_F(KestImputeEm, OutcomesThatLeaveResultsAreWarnings)
{
    convert_line();
    const std::string before = slurp(dir_ / "e.xml");
    // With one variable every record that lacks it has none of the
    // variables and gets the mean: (7+4+6+2+5+3)/6.
    const Outcome one = kest("impute e.xml --method em --variable z");
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.err, "kest impute: 1 record(s) had no value of z and got the means\n");
    EXPECT_EQ(one.out, "filled 1 cells in e.xml\n");
    EXPECT_NEAR(at(5, 3), 27.0 / 6.0, 1e-12);

    convert_line();
    const Outcome only_y = kest("impute e.xml --method em --variable y,z");
    ASSERT_EQ(only_y.status, 0) << only_y.err;
    EXPECT_EQ(only_y.out, "filled 2 cells in e.xml\n");

    write_file(dir_ / "f.csv", "x,y\n1,2\n2,4\n3,5\n4,9\n");
    ASSERT_EQ(kest("convert f.csv").status, 0);
    const std::string full = slurp(dir_ / "f.xml");
    const Outcome complete = kest("impute f.xml --method em");
    ASSERT_EQ(complete.status, 0) << complete.err;
    EXPECT_EQ(complete.err, "kest impute: no cell of x, y is missing; there is nothing to fill\n");
    EXPECT_EQ(complete.out, "filled 0 cells in f.xml\n");
    EXPECT_TRUE(slurp(dir_ / "f.xml") == full);

    // A record with none of the variables gets the means; every numeric
    // variable is taken when none is named.
    write_file(dir_ / "g.csv", "x,y\n1,2\n2,4\n,\n3,5\n4,9\n");
    ASSERT_EQ(kest("convert g.csv").status, 0);
    const Outcome empty = kest("impute g.xml --method em");
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.err, "kest impute: 1 record(s) had none of x, y and got the means\n");
    EXPECT_EQ(empty.out, "filled 2 cells in g.xml\n");
    EXPECT_NEAR(cell(dir_ / "g.xml", dir_ / "g.xdr", 2, 0), 2.5, 1e-9);
    EXPECT_NEAR(cell(dir_ / "g.xml", dir_ / "g.xdr", 2, 1), 5.0, 1e-9);

    // Means that have not settled are written with a warning.
    convert_line();
    const Outcome unsettled = kest("impute e.xml --method em --variable x,y --tolerance 1e-16 --max-passes 1");
    ASSERT_EQ(unsettled.status, 0) << unsettled.err;
    EXPECT_EQ(unsettled.err, "kest impute: the means did not settle within 1 passes (--max-passes); the values of "
                             "the last pass were written\n");
    EXPECT_EQ(unsettled.out, "filled 2 cells in e.xml\n");
    EXPECT_FALSE(slurp(dir_ / "e.xml") == before);
}

TEST_F(KestImputeEm, FailuresAndUsageErrorsWriteNothing)
{
    // b is 2a on every record, so the block of a record that lacks only z
    // is singular (exactly: the variances are 1 and 4, the covariance 2).
    write_file(dir_ / "s.csv", "a,b,z\n0,0,1\n2,4,3\n0,0,5\n2,4,\n");
    ASSERT_EQ(kest("convert s.csv").status, 0);
    const std::string singular_before = slurp(dir_ / "s.xml");
    const Outcome singular = kest("impute s.xml --method em");
    EXPECT_EQ(singular.status, 1);
    EXPECT_EQ(singular.err, "kest impute: the covariance of the variables a record has is not positive definite: one "
                            "of them is constant, or a linear combination of the others; nothing was written\n");
    EXPECT_EQ(singular.out, "");
    EXPECT_TRUE(slurp(dir_ / "s.xml") == singular_before);

    // A variable without any value has no mean to start from.
    write_file(dir_ / "n.csv", "x,y\n1,\n2,\n,\n");
    ASSERT_EQ(kest("convert n.csv").status, 0);
    const std::string empty_before = slurp(dir_ / "n.xml");
    const Outcome no_value = kest("impute n.xml --method em");
    EXPECT_EQ(no_value.status, 1);
    EXPECT_EQ(no_value.err, "kest impute: 'y' has no observed value, so its mean cannot be estimated; nothing was written\n");
    EXPECT_TRUE(slurp(dir_ / "n.xml") == empty_before);

    convert_line();
    const std::string before = slurp(dir_ / "e.xml");
    const Outcome categorical = kest("impute e.xml --method em --variable region");
    EXPECT_EQ(categorical.status, 2);
    EXPECT_EQ(categorical.err.rfind("kest impute: the variable to impute 'region' is categorical; only numeric "
                                    "variables can be used here\n\nusage: kest impute DATAFILE",
                                    0),
              0u)
        << categorical.err;
    EXPECT_EQ(kest("impute e.xml --method em --variable x,x").err.rfind("kest impute: --variable names 'x' twice\n", 0), 0u);
    EXPECT_EQ(kest("impute e.xml --method em --tolerance 1e-17").err.rfind(
                  "kest impute: --tolerance must be 1e-16 or more, not '1e-17'\n", 0),
              0u);
    EXPECT_EQ(kest("impute e.xml --method em --max-passes 0").status, 2);
    EXPECT_EQ(kest("impute e.xml --method em --ties 2").err.rfind("kest impute: --ties applies only to --method nn\n", 0),
              0u);
    EXPECT_EQ(kest("impute e.xml --tolerance 1e-5").err.rfind("kest impute: --tolerance applies only to --method em\n", 0),
              0u);
    EXPECT_EQ(kest("impute e.xml --variable x --variable y").err.rfind(
                  "kest impute: --variable may be given only once, except with --method em\n", 0),
              0u);
    EXPECT_EQ(kest("impute e.xml --method pca").status, 2);
    EXPECT_TRUE(slurp(dir_ / "e.xml") == before);
}

// ---------------------------------------------------------------------------
// What the methods fit on: observed values by default

// y of record 3 was imputed by an earlier step (100, far from the line
// y = 10x of the observed records); record 4 lacks y.  By default no
// method learns from the 100 or refills it; --values all takes it as data.
TEST_F(KestImpute, MethodsFitOnObservedValuesAndNeverRefill)
{
    struct Case {
        const char* options;
        double y4;
    };
    const char* const by_x = " --weights a=0,b=0,w=0";
    const Case cases[] = {
        {"--method mean --variable y", 100.0 / 3},               // (10 + 20 + 70) / 3
        {"--method mean --variable y --values all", 50.0},       // (10 + 20 + 100 + 70) / 4
        {"--method em --variable x,y", 40.0},                    // the line through the observed records
        {"--method em --variable x,y --values all", 50 + 190 / 20.75 * 0.75},  // least squares with the 100
        {"--method em --variable x,y --values all --weight w", 40.0},         // record 3 weighs 0
        {"--variable y", 20.0},                                  // record 2 (x = 2) donates
        {"--variable y --values all", 100.0},                    // the imputed value (x = 3) donates
        {"--variable y --pool class:a", 20.0},
        {"--variable y --pool class:a,b", 10.0},                 // only record 1 has a = 1 and b = 2
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        write_file(dir_ / "o.csv", "a,b,x,y,w\n1,2,1,10,1\n1,1,2,20,1\n1,1,3,100,0\n1,2,4,,1\n2,2,7,70,1\n");
        ASSERT_EQ(kest("convert o.csv --categorical a --categorical b").status, 0);
        std::string data = slurp(dir_ / "o.xml");
        data.replace(data.find("<y Status='Valid'>100</y>"), 25, "<y Status='Imputed'>100</y>");
        write_file(dir_ / "o.xml", data);

        const bool donors = std::string(c.options).find("--method") == std::string::npos;
        const Outcome run = kest(std::string("impute o.xml ") + c.options + (donors ? by_x : ""));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out.substr(0, 23), "filled 1 cells in o.xml") << run.out;
        EXPECT_NEAR(cell(dir_ / "o.xml", dir_ / "o.xdr", 3, 3), c.y4, 1e-3);
        EXPECT_NE(slurp(dir_ / "o.xml").find("<y Status='Imputed'>100</y>"), std::string::npos);
    }

    // A tree grows on the observed records only, without the 100 and the
    // value the last case imputed.
    const Outcome observed = kest("tree o.xml --dep y --predictors x --kind anova --min-node 2 --min-child 1 --depth 0");
    EXPECT_EQ(observed.out.substr(0, 28), "anova tree for y: 3 records,") << observed.out;
    const Outcome all = kest("tree o.xml --dep y --predictors x --kind anova --min-node 2 --min-child 1 --depth 0 "
                             "--values all");
    EXPECT_EQ(all.out.substr(0, 28), "anova tree for y: 5 records,") << all.out;
}

// ---------------------------------------------------------------------------
// The bundled example: 361 missing cells

TEST_F(KestImpute, ExampleFillsEveryMissingCellEitherWay)
{
    convert_example();
    const Outcome nn = kest("impute out/survey.xml");
    ASSERT_EQ(nn.status, 0) << nn.err;
    // 339 records lack a value: each is one recipient group.
    EXPECT_EQ(nn.out, "filled 361 cells in out/survey.xml\nrecipient groups: 0 skipped (too little matching weight), "
                      "339 with reduced weight, 0 without a donor\n");
    const Outcome show = kest("show out/survey.xml");
    EXPECT_NE(show.out.find("(all)     11639       0      361        0      0        0\n"), std::string::npos)
        << show.out;

    convert_example();
    const Outcome mean = kest("impute out/survey.xml --method mean");
    ASSERT_EQ(mean.status, 0) << mean.err;
    EXPECT_EQ(mean.out, "filled 361 cells in out/survey.xml\n");

    // EM on income and expenditure: 166 + 66 cells, ten records lack both.
    convert_example();
    const Outcome em = kest("impute out/survey.xml --method em --variable income --variable expend");
    ASSERT_EQ(em.status, 0) << em.err;
    EXPECT_EQ(em.out, "filled 232 cells in out/survey.xml\n");
    EXPECT_EQ(em.err, "kest impute: 10 record(s) had none of income, expend and got the means\n");
    const Outcome after = kest("show out/survey.xml");
    EXPECT_NE(after.out.find("income     1834       0      166        0      0        0\n"
                             "expend     1934       0       66        0      0        0\n"
                             "hours      1937       0        0        0      0       63\n"),
              std::string::npos)
        << after.out;
}

}  // namespace
