// kest waid runs the WAID plug-in, whose debug log has one fixed path, so
// these tests run one at a time (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <string>

#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

const std::string log_path = "/tmp/tav_waid_debug_log.dat";

class KestWaid : public KestTool {
protected:
    // The bundled example as out/survey.xml: 166 of its 2000 incomes are missing.
    void convert_example()
    {
        const Outcome convert =
            kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype");
        ASSERT_EQ(convert.status, 0) << convert.err;
    }
};

// ---------------------------------------------------------------------------
// Imputing

TEST_F(KestWaid, ImputesEveryMissingIncomeOfTheExample)
{
    convert_example();
    const Outcome run = kest("waid out/survey.xml --dep income");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "imputed 166 values of income in out/survey.xml (log: " + log_path + ")\n");
    EXPECT_EQ(run.err, "");

    const Outcome show = kest("show out/survey.xml");
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("income     1834       0      166        0      0        0\n"), std::string::npos)
        << show.out;
    // Other variables keep their gaps.
    EXPECT_NE(show.out.find("age        1982       0        0        0      0       18\n"), std::string::npos)
        << show.out;

    // The rewritten file still names its schema and stylesheet beside it, so
    // the set stays readable wherever it is moved.
    const std::string data = slurp(dir_ / "out" / "survey.xml");
    EXPECT_NE(data.find("href=\"survey.xsl\"?>\n<kest_data xmlns=\"x-schema:survey.xdr\">\n"), std::string::npos);

    // A second run finds nothing left to impute and leaves the file alone.
    const Outcome again = kest("waid out/survey.xml --dep income");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "nothing to impute: income has no missing values in out/survey.xml\n");
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == data);
}

TEST_F(KestWaid, OptionsChooseVariablesAndSettings)
{
    convert_example();
    const Outcome run = kest("waid out/survey.xml --dep hours --predictors region,age --scheme none --method mode "
                             "--maxit 5 --tuning 2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "imputed 63 values of hours in out/survey.xml (log: " + log_path + ")\n");
    const std::string log = slurp(log_path);
    EXPECT_NE(log.find("vars_selected \n0 \n2 \ndep_var = 5 \n"), std::string::npos);
    EXPECT_NE(log.find("weight_scheme = 1 \n"), std::string::npos);
    EXPECT_NE(log.find("maxit = 5 \nimputation_method = 2 \n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Refusals and failures leave the data file as it was

TEST_F(KestWaid, UnknownNamesAreUsageErrors)
{
    convert_example();
    const std::string data = slurp(dir_ / "out" / "survey.xml");

    const Outcome dep = kest("waid out/survey.xml --dep salary");
    EXPECT_EQ(dep.status, 2);
    EXPECT_EQ(dep.err.rfind("kest waid: the variable to impute 'salary' is not a variable of the data set; its "
                            "variables are region, hhtype, age, income, expend, hours\n\nusage: kest waid DATAFILE",
                            0),
              0u)
        << dep.err;

    const Outcome predictor = kest("waid out/survey.xml --dep income --predictors age,wage");
    EXPECT_EQ(predictor.status, 2);
    EXPECT_NE(predictor.err.find("the predictor 'wage' is not a variable"), std::string::npos) << predictor.err;

    const Outcome itself = kest("waid out/survey.xml --dep income --predictors age,income");
    EXPECT_EQ(itself.status, 2);
    EXPECT_NE(itself.err.find("the predictor 'income' is the variable to impute"), std::string::npos);

    EXPECT_EQ(kest("waid out/survey.xml --dep income --scheme tukey").status, 2);
    EXPECT_EQ(kest("waid out/survey.xml --dep income --maxit 0").status, 2);
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == data);

    // The variable to impute is never guessed.
    const Outcome none = kest("waid out/survey.xml");
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.err.rfind("kest waid: no variable to impute given: use --dep VAR\n", 0), 0u) << none.err;
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == data);

    EXPECT_EQ(kest("help waid").out.rfind("usage: kest waid DATAFILE --dep VAR [options]\n", 0), 0u);
}

TEST_F(KestWaid, TooFewCompleteRecordsFailAndChangeNothing)
{
    write_file(dir_ / "few.csv", "x,y,z\n1,2,3\n,5,6\n,8,9\n4,5,\n");
    ASSERT_EQ(kest("convert few.csv").status, 0);
    const std::string data = slurp(dir_ / "few.xml");

    const Outcome run = kest("waid few.xml --dep x");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("WAID: ERROR LOAD_DATA FAILED\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("kest waid: imputation failed; see the log " + log_path + "\n"), std::string::npos)
        << run.err;
    EXPECT_TRUE(slurp(dir_ / "few.xml") == data);
}

// The scorer needs two records: one record to impute is explained before
// the plug-in runs.
TEST_F(KestWaid, OneRecordToImputeIsExplained)
{
    write_file(dir_ / "one.csv", "x,y,z\n1,2,3\n,5,6\n7,8,9\n4,5,6\n");
    ASSERT_EQ(kest("convert one.csv").status, 0);
    const std::string data = slurp(dir_ / "one.xml");
    const Outcome run = kest("waid one.xml --dep x");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest waid: only one record misses x, and the plug-in's tree routines need at least two records "
                       "to impute; nothing was imputed (kest tree --impute can impute one)\n");
    EXPECT_TRUE(slurp(dir_ / "one.xml") == data);
}

// A categorical variable gets the leaf's modal code by default, never a
// mean between its codes.
TEST_F(KestWaid, CategoricalVariableGetsModalCodes)
{
    std::string text = "g,x\n";
    for (int i = 0; i < 40; ++i) text += (i % 10 == 3 ? std::string() : std::to_string(1 + (i % 4 == 0))) + "," + std::to_string(i % 7) + "\n";
    write_file(dir_ / "cat.csv", text);
    ASSERT_EQ(kest("convert cat.csv --categorical g").status, 0);
    const Outcome run = kest("waid cat.xml --dep g");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "imputed 4 values of g in cat.xml (log: " + log_path + ")\n");
    EXPECT_NE(slurp(log_path).find("imputation_method = 2 \n"), std::string::npos);
    const std::string data = slurp(dir_ / "cat.xml");
    long imputed = 0;
    for (std::size_t at = data.find("<g Status='Imputed'>"); at != std::string::npos;
         at = data.find("<g Status='Imputed'>", at + 1)) {
        const std::string value = data.substr(at + 20, data.find('<', at + 20) - at - 20);
        EXPECT_TRUE(value == "1" || value == "2") << value;
        ++imputed;
    }
    EXPECT_EQ(imputed, 4);
}

TEST_F(KestWaid, RecordsTheFileLacksAreNotInvented)
{
    write_file(dir_ / "short.csv", "x,y,z\n1,2,3\n,5,6\n7,8,9\n");
    ASSERT_EQ(kest("convert short.csv").status, 0);
    const fs::path data = dir_ / "short.xml";
    std::string text = slurp(data);
    text.erase(text.find("<short_rec><x Status='Valid'>7"), text.find("</kest_data>") - text.find("<short_rec><x Status='Valid'>7"));
    write_file(data, text);

    const Outcome run = kest("waid short.xml --dep x");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kest waid: 'short.xml' holds 2 records but 'short.xdr' states 3; nothing was imputed\n");
    EXPECT_TRUE(slurp(data) == text);
}

}  // namespace
