// kest impute: which cells it fills with what, read back through the
// library, and how it refuses what it cannot do.
#include <gtest/gtest.h>

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
}

}  // namespace
