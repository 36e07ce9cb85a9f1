// kest tssom runs the TS-SOM plug-in with the reference engine on the
// bundled example.
#include <gtest/gtest.h>

#include <string>

#include "kest_tool.h"

namespace {

using namespace kest_cli_test;

class KestTssom : public KestTool {
protected:
    void convert_example()
    {
        const Outcome convert =
            kest("convert '" KEST_EXAMPLE_SURVEY "' --out out --categorical region --categorical hhtype");
        ASSERT_EQ(convert.status, 0) << convert.err;
    }
};

const std::string plugin_lines = "command_buf >>select sfr -f F0 F1 F2 F3 F4 F5< \nNow allocate the XML arrays \n";

TEST_F(KestTssom, ImputesEveryMissingValueOfTheExample)
{
    convert_example();
    const Outcome run = kest("tssom out/survey.xml --verbose");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, plugin_lines + "imputed 361 values in out/survey.xml\n");
    EXPECT_EQ(run.err, "");
    const Outcome show = kest("show out/survey.xml");
    EXPECT_NE(show.out.find("income     1834       0      166        0      0        0\n"), std::string::npos)
        << show.out;
    EXPECT_NE(show.out.find("(all)     11639       0      361        0      0        0\n"), std::string::npos)
        << show.out;
    // The rewritten file still names its schema and stylesheet beside it.
    EXPECT_NE(slurp(dir_ / "out" / "survey.xml").find("href=\"survey.xsl\"?>\n<kest_data xmlns=\"x-schema:survey.xdr\">"),
              std::string::npos);
}

TEST_F(KestTssom, WritesOnlyTheChosenVariablesAndRunsAlikeForASeed)
{
    convert_example();
    const Outcome run = kest("tssom out/survey.xml --variables income,hours --seed 3 --train complete --passes 10");
    ASSERT_EQ(run.status, 0) << run.err;
    // The plug-in's own lines only with --verbose.
    EXPECT_EQ(run.out, "imputed 229 values in out/survey.xml\n");
    const Outcome show = kest("show out/survey.xml");
    EXPECT_NE(show.out.find("age        1982       0        0        0      0       18\n"), std::string::npos)
        << show.out;
    const std::string first = slurp(dir_ / "out" / "survey.xml");

    convert_example();
    ASSERT_EQ(kest("tssom out/survey.xml --variables income,hours --seed 3 --train complete --passes 10").status, 0);
    EXPECT_TRUE(slurp(dir_ / "out" / "survey.xml") == first);
}

TEST_F(KestTssom, RefusesUnknownVariablesAndSettings)
{
    convert_example();
    const Outcome unknown = kest("tssom out/survey.xml --variables wealth");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("the variable 'wealth' is not a variable of the data set"), std::string::npos)
        << unknown.err;
    EXPECT_EQ(kest("tssom out/survey.xml --variables income,income").status, 2);
    EXPECT_EQ(kest("tssom out/survey.xml --layer 4").status, 2);
    EXPECT_EQ(kest("tssom out/survey.xml --train some").status, 2);
    const Outcome missing = kest("tssom nowhere.xml");
    EXPECT_EQ(missing.status, 1);
}

}  // namespace
