// kest tree: growing the three kinds of tree from a data set, the outline,
// saving and loading, imputing with a grown or a loaded tree, and the
// refusals, which leave the data file as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "../trees/iris_data.h"
#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

class KestTree : public KestTool {
protected:
    // The bundled example as out/survey.xml: 166 of its 2000 incomes are missing.
    void convert_example()
    {
        const Outcome convert =
            kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype");
        ASSERT_EQ(convert.status, 0) << convert.err;
    }

    // Fisher's iris data as iris/iris.xml, the species coded 10, 20 and 30
    // so that the outline must turn classes back into codes.
    void convert_iris()
    {
        std::string text = "sepal_length,sepal_width,petal_length,petal_width,species\n";
        for (const auto& r : iris::data) {
            char line[80];
            std::snprintf(line, sizeof line, "%g,%g,%g,%g,%d\n", r[0], r[1], r[2], r[3], static_cast<int>(r[4]) * 10);
            text += line;
        }
        write_file(dir_ / "iris.csv", text);
        const Outcome convert = kest("convert iris.csv --out iris --categorical species");
        ASSERT_EQ(convert.status, 0) << convert.err;
    }
};

// ---------------------------------------------------------------------------
// Growing and the outline

TEST_F(KestTree, GiniTreeOfTheIrisDataIsTheClassicOne)
{
    convert_iris();
    const Outcome run = kest("tree iris/iris.xml --kind gini --dep species --depth 2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out,
              "gini tree for species: 150 records, 11 nodes, 6 leaves, depth 4\n"
              "all records: 150 records, class 10, spread 0.333333\n"
              "  petal_length <= 2.45: 50 records, class 10, spread 1\n"
              "  petal_length > 2.45: 100 records, class 20, spread 0.5\n"
              "    petal_width <= 1.75: 54 records, class 20, spread 0.907407\n"
              "    petal_width > 1.75: 46 records, class 30, spread 0.978261\n");
}

TEST_F(KestTree, AnovaTreeShowsCategoryGroupsAndCaseWeights)
{
    convert_example();
    const Outcome run = kest("tree out/survey.xml --kind anova --dep income --predictors hhtype --depth 1");
    ASSERT_EQ(run.status, 0) << run.err;
    // hhtype splits into two groups of its codes, one per child.
    EXPECT_NE(run.out.find("\n  hhtype in {"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("}: "), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "kest tree: 195 record(s) that lack an observed value of income or a predictor (or hold a "
                       "value that is not one of its codes) were left out\n");

    // A case weight of hours moves the tree; the weight is not a predictor.
    const Outcome weighted = kest("tree out/survey.xml --kind anova --dep income --weight hours --depth 0");
    ASSERT_EQ(weighted.status, 0) << weighted.err;
    EXPECT_EQ(weighted.out.find("hours <="), std::string::npos);
}

TEST_F(KestTree, MinImprovementOfOneLeavesAnAnovaRoot)
{
    convert_example();
    // A small --min-node takes half of it as --min-child unless one is given.
    const Outcome small = kest("tree out/survey.xml --kind anova --dep income --min-node 4 --depth 0");
    EXPECT_EQ(small.status, 0) << small.err;
    const Outcome run = kest("tree out/survey.xml --kind anova --dep income --min-improvement 1");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("anova tree for income: 1661 records, 1 nodes, 1 leaves, depth 0\n"
                            "all records: 1661 records, value ",
                            0),
              0u)
        << run.out;
}

// ---------------------------------------------------------------------------
// Saving, loading and imputing

TEST_F(KestTree, SavedTreeLoadsWithTheSameOutline)
{
    convert_iris();
    const Outcome grown = kest("tree iris/iris.xml --kind gini --dep species --save iris.tree");
    ASSERT_EQ(grown.status, 0) << grown.err;
    ASSERT_TRUE(fs::exists(dir_ / "iris.tree"));
    EXPECT_NE(grown.out.find("\nsaved the tree to iris.tree\n"), std::string::npos);
    // 11 nodes of 72 bytes, 5 thresholds, 3 class counts per node.
    EXPECT_EQ(fs::file_size(dir_ / "iris.tree"), 11u * 72 + 5 * 8 + 11 * 3 * 4);

    const Outcome loaded = kest("tree iris/iris.xml --dep species --load iris.tree");
    ASSERT_EQ(loaded.status, 0) << loaded.err;
    const auto outline = [](const std::string& out) { return out.substr(out.find('\n')); };
    EXPECT_EQ(loaded.out.rfind("classification tree from iris.tree for species: 150 records", 0), 0u) << loaded.out;
    EXPECT_EQ(outline(loaded.out), outline(grown.out.substr(0, grown.out.find("saved the tree"))));
}

TEST_F(KestTree, ImputesTheMissingCellsAsImputed)
{
    convert_example();
    const Outcome run = kest("tree out/survey.xml --dep income --predictors region,hhtype,expend --impute --depth 0");
    ASSERT_EQ(run.status, 0) << run.err;
    // Of the 166 missing incomes, those lacking expend, region or hhtype
    // where the tree splits on them stay missing.
    EXPECT_NE(run.out.find("\nimputed "), std::string::npos) << run.out;
    const Outcome show = kest("show out/survey.xml");
    ASSERT_EQ(show.status, 0);
    const std::size_t at = show.out.rfind("\nincome ");  // the line of status counts
    ASSERT_NE(at, std::string::npos);
    long valid = 0, validn = 0, imputed = 0, suspect = 0, error = 0, missing = 0;
    ASSERT_EQ(std::sscanf(show.out.c_str() + at, " income %ld %ld %ld %ld %ld %ld", &valid, &validn, &imputed, &suspect,
                          &error, &missing),
              6);
    EXPECT_EQ(valid, 1834);
    EXPECT_EQ(imputed + missing, 166);
    EXPECT_GT(imputed, 140);
    EXPECT_NE(run.out.find("imputed " + std::to_string(imputed) + " values of income in out/survey.xml; " +
                           std::to_string(missing) + " left missing"),
              std::string::npos)
        << run.out;
}

TEST_F(KestTree, DonorImputationNeedsATreeThatKeepsItsValues)
{
    convert_example();
    ASSERT_EQ(kest("tree out/survey.xml --kind gini --dep region --predictors hhtype --save plain.tree").status, 0);
    ASSERT_EQ(kest("tree out/survey.xml --kind gini --dep region --predictors hhtype --method donor --save kept.tree")
                  .status,
              0);
    const std::string before = slurp(dir_ / "out" / "survey.xml");
    const Outcome refused = kest("tree out/survey.xml --dep region --load plain.tree --impute --method donor");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("keeps no values of its records"), std::string::npos) << refused.err;
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == before);

    const Outcome donor = kest("tree out/survey.xml --dep region --load kept.tree --impute --method donor --depth 0");
    ASSERT_EQ(donor.status, 0) << donor.err;
    EXPECT_NE(donor.out.find("imputed "), std::string::npos);
    // A Gini tree has no modal category of its own to offer.
    const Outcome mode = kest("tree out/survey.xml --dep region --load kept.tree --impute --method mode");
    EXPECT_EQ(mode.status, 2);
}

// ---------------------------------------------------------------------------
// Refusals

TEST_F(KestTree, UsageErrors)
{
    convert_example();
    const std::string before = slurp(dir_ / "out" / "survey.xml");
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"tree out/survey.xml", "no variable to predict given: use --dep VAR"},
        {"tree out/survey.xml --dep income --kind cart", "--kind must be one of waid, gini, anova, not 'cart'"},
        {"tree out/survey.xml --dep income --kind gini", "a gini tree predicts a class: 'income' is not categorical"},
        {"tree out/survey.xml --dep income --priors 0.5,0.5", "--priors applies only to --kind gini"},
        {"tree out/survey.xml --dep income --min-node 10 --min-child 6",
         "--min-child 6 is more than half of --min-node 10"},
        {"tree out/survey.xml --dep income --min-node 1", "--min-node must be a whole number from 2 to "},
        {"tree out/survey.xml --dep income --load x.tree --min-node 5",
         "--min-node applies only to growing a tree, not to --load"},
        {"tree out/survey.xml --dep salary", "the variable to predict 'salary' is not a variable of the data set"},
        {"tree out/survey.xml --kind gini --dep region --priors 0.5,0.5",
         "--priors gives 2 priors for the 5 codes of 'region'"},
        {"tree out/survey.xml --dep hhtype --method value --impute", "use --method mode or donor"},
        {"tree out/survey.xml --dep income --impute --impute", "option '--impute' is given more than once"},
    };
    for (const Case& c : cases) {
        const Outcome run = kest(c.args);
        EXPECT_EQ(run.status, 2) << c.args;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args << "\n" << run.err;
    }
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == before);
}

TEST_F(KestTree, FailuresLeaveTheDataFileAlone)
{
    convert_example();
    const std::string before = slurp(dir_ / "out" / "survey.xml");
    // 0.7 + 0.2 + 0.1 does not add up to exactly 1 in binary arithmetic.
    const Outcome priors = kest("tree out/survey.xml --kind gini --dep region --priors 0.7,0.2,0.1,0,0 --impute");
    EXPECT_EQ(priors.status, 1);
    EXPECT_NE(priors.err.find("kest tree: the priors must be 0 or more and add up to exactly 1\n"), std::string::npos)
        << priors.err;

    write_file(dir_ / "junk.tree", "not a tree");
    const Outcome junk = kest("tree out/survey.xml --dep income --load junk.tree --impute");
    EXPECT_EQ(junk.status, 1);
    EXPECT_EQ(junk.err,
              "kest tree: 'junk.tree' cannot be read as a tree file (it is missing, damaged or of another kind)\n");

    // A tree grown on region's five codes does not fit hhtype's four.
    ASSERT_EQ(kest("tree out/survey.xml --dep income --predictors region --save region.tree").status, 0);
    const std::string csv = "hhtype,income\n1,20\n2,30\n3,40\n4,50\n";
    write_file(dir_ / "other.csv", csv);
    ASSERT_EQ(kest("convert other.csv --out other --categorical hhtype").status, 0);
    const Outcome misnamed = kest("tree other/other.xml --dep income --load region.tree");
    EXPECT_EQ(misnamed.status, 1);
    EXPECT_EQ(misnamed.err, "kest tree: the tree in 'region.tree' does not fit the data set: its predictor 'region' "
                            "was column 1, which is 'hhtype' here\n");
    // Without the record of its variables the split itself must fit.
    fs::remove(dir_ / "region.tree.variables.csv");
    const Outcome misfit = kest("tree other/other.xml --dep income --load region.tree");
    EXPECT_EQ(misfit.status, 1);
    EXPECT_NE(misfit.err.find("does not fit the data set: it splits on 'hhtype' with 5 categories, which has 4 codes"),
              std::string::npos)
        << misfit.err;
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == before);
}

}  // namespace
