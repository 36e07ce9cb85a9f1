// The engine demo as a user runs it: with the reference engine (found
// through the demo's run path), with the recording engine (found first
// through LD_LIBRARY_PATH) and without any engine.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../support/text_files.h"

namespace {

namespace fs = std::filesystem;

struct DemoRun {
    int status = -1;
    std::string out, err;
};

using test_text::slurp;
using test_text::lines_of;

// One printed row: its row index and the two values.
struct Row {
    long index;
    double var1, var2;
};

// The rows printed after the line that starts with `head`, up to the next
// line that is not a row.
std::vector<Row> rows_after(const std::vector<std::string>& lines, std::size_t from, const std::string& head,
                            const char* format)
{
    std::vector<Row> rows;
    std::size_t i = from;
    while (i < lines.size() && lines[i].rfind(head, 0) != 0) ++i;
    for (++i; i < lines.size(); ++i) {
        Row r{};
        if (std::sscanf(lines[i].c_str(), format, &r.index, &r.var1, &r.var2) != 3) break;
        rows.push_back(r);
    }
    return rows;
}

constexpr const char* data_row = "row index=%ld, data:\tvar1=%lf\tvar2=%lf";
constexpr const char* error_row = "row index=%ld, error probabilities:\tvar1=%lf\tvar2=%lf";

std::size_t line_of(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
}

class KrtDemo : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(::testing::TempDir()) / "krtdemo_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    DemoRun run(const std::string& environment, const std::string& program = KRTDEMO)
    {
        const std::string command = "env -u LD_LIBRARY_PATH " + environment + " '" + program + "' >'" +
                                    (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'";
        const int raw = std::system(command.c_str());
        DemoRun r;
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = slurp(dir_ / "out");
        r.err = slurp(dir_ / "err");
        return r;
    }

    DemoRun run_recording(const std::string& script)
    {
        std::ofstream(dir_ / "script") << script;
        return run("LD_LIBRARY_PATH='" KRT_RECORDING_DIR "' KRT_RECORDING_LOG='" + (dir_ / "log").string() +
                   "' KRT_RECORDING_SCRIPT='" + (dir_ / "script").string() + "'");
    }

    fs::path dir_;
};

TEST_F(KrtDemo, WithTheReferenceEngineTheThreeScenariosFindWhatWasPlanted)
{
    const DemoRun r = run("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(r.out.rfind("krt.dll loaded\n\ngenerating incomplete and erroneous data\n\nIMPUTATION\n", 0), 0u);
    EXPECT_EQ(lines.back(), "krt.dll released");
    EXPECT_EQ(r.out.find("failed"), std::string::npos);

    // IMPUTATION: exactly the five missing var2 values, from the range of
    // the observed ones; var1 as generated.
    const std::size_t imputation = line_of(lines, "IMPUTATION");
    EXPECT_EQ(lines[imputation + 1], "5 records have been changed, the records are:");
    const auto imputed = rows_after(lines, imputation, "5 records", data_row);
    ASSERT_EQ(imputed.size(), 5u);
    const long missing[5] = {5, 105, 210, 315, 420};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(imputed[i].index, missing[i]);
        char var1[32];
        std::snprintf(var1, sizeof var1, "%f",
                      static_cast<double>(static_cast<float>((std::cos(missing[i] * 0.001) + 1.0) * 0.5)));
        EXPECT_NE(lines[imputation + 2 + i].find(std::string("var1=") + var1 + "\t"), std::string::npos);
        EXPECT_GE(imputed[i].var2, 0.25);
        EXPECT_LT(imputed[i].var2, 0.75);
    }

    // EDIT: the five planted out-of-range values have the highest var2
    // error probabilities, above one half; few others pass one half.
    const std::size_t edit = line_of(lines, "EDIT");
    const auto errors = rows_after(lines, edit, "There are error probabilities for ", error_row);
    ASSERT_GE(errors.size(), 5u);
    EXPECT_EQ(lines[edit + 1], "There are error probabilities for " + std::to_string(errors.size()) +
                                   " records, which are:");
    std::vector<Row> by_probability = errors;
    std::stable_sort(by_probability.begin(), by_probability.end(),
                     [](const Row& a, const Row& b) { return a.var2 > b.var2; });
    std::vector<long> top;
    for (std::size_t i = 0; i < 5; ++i) top.push_back(by_probability[i].index);
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<long>{0, 100, 200, 300, 400}));
    EXPECT_GT(by_probability[4].var2, 0.5);
    EXPECT_GT(by_probability[4].var2, by_probability.size() > 5 ? by_probability[5].var2 : 0.0);
    EXPECT_LE(errors.size(), 5u + 10u);
    for (const Row& e : errors) {
        EXPECT_EQ(e.var1, 0.0);  // var1 is not edited
        EXPECT_GT(e.var2, 0.5);  // the frame lists records above one half
    }
    EXPECT_TRUE(std::is_sorted(errors.begin(), errors.end(), [](const Row& a, const Row& b) { return a.index < b.index; }));

    // EDIT AND IMPUTATION: the planted values are replaced and the missing
    // ones filled, all from the range of the observed values.
    const std::size_t both = line_of(lines, "EDIT AND IMPUTATION");
    const auto changed = rows_after(lines, both, std::to_string(errors.size() + 5) + " records have been changed", data_row);
    ASSERT_EQ(changed.size(), errors.size() + 5);
    std::vector<long> changed_rows;
    for (const Row& c : changed) {
        changed_rows.push_back(c.index);
        EXPECT_GE(c.var2, 0.25) << "row " << c.index;
        EXPECT_LT(c.var2, 0.75) << "row " << c.index;
    }
    for (long planted : {0L, 5L, 100L, 105L, 200L, 210L, 300L, 315L, 400L, 420L})
        EXPECT_NE(std::find(changed_rows.begin(), changed_rows.end(), planted), changed_rows.end()) << planted;
    const auto errors_again = rows_after(lines, both, "There are error probabilities for ", error_row);
    EXPECT_EQ(errors_again.size(), errors.size());
}

TEST_F(KrtDemo, WithoutAnEngineItPrintsOnlyTheLoadError)
{
    // A copy of the demo whose run path leads to no engine.
    fs::create_directories(dir_ / "bin");
    fs::copy_file(KRTDEMO, dir_ / "bin" / "krtdemo");
    fs::permissions(dir_ / "bin" / "krtdemo", fs::perms::owner_all);
    const DemoRun r = run("", (dir_ / "bin" / "krtdemo").string());
    EXPECT_EQ(r.out, "ERROR: Unable to load krt.dll library");
    EXPECT_EQ(r.status, 255);
}

TEST_F(KrtDemo, PushesTheGeneratedDataAndSendsEveryScenariosCommands)
{
    const DemoRun r = run_recording("");
    EXPECT_EQ(r.status, 0);
    const auto log = lines_of(slurp(dir_ / "log"));
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "create_new_frame data");

    // The pushed values: var1 from the cosine, var2 from the generator
    // whose first draws are 41, 18467 and 6334, with the planted values.
    const auto values = [&](const std::string& line, const std::string& head) {
        EXPECT_EQ(line.rfind(head, 0), 0u);
        std::istringstream in(line.substr(head.size()));
        std::vector<float> v;
        for (float x; in >> x;) v.push_back(x);
        return v;
    };
    const auto var1 = values(log[1], "krt_insert_ffield data var1 1000");
    const auto var2 = values(log[2], "krt_insert_ffield data var2 1000");
    ASSERT_EQ(var1.size(), 1000u);
    ASSERT_EQ(var2.size(), 1000u);
    EXPECT_EQ(var1[0], 1.0f);
    EXPECT_EQ(var1[999], static_cast<float>((std::cos(0.999) + 1.0) * 0.5));
    EXPECT_EQ(var2[1], static_cast<float>(8467) * 0.00005f + 0.25f);
    EXPECT_EQ(var2[2], static_cast<float>(6334) * 0.00005f + 0.25f);
    const std::map<int, float> planted{{0, 0.0f},       {5, -10000.0f},   {100, 0.9f},      {105, -10000.0f},
                                       {200, 0.15f},    {210, -10000.0f}, {300, 0.91f},     {315, -10000.0f},
                                       {400, 0.05f},    {420, -10000.0f}};
    for (int i = 0; i < 1000; ++i) {
        const auto p = planted.find(i);
        if (p != planted.end()) {
            EXPECT_EQ(var2[static_cast<std::size_t>(i)], p->second) << i;
        } else {
            EXPECT_GE(var2[static_cast<std::size_t>(i)], 0.25f) << i;
            EXPECT_LT(var2[static_cast<std::size_t>(i)], 0.75f) << i;
        }
    }

    // Without result frames each scenario fails at its first print and the
    // next one still runs.
    EXPECT_EQ(r.out,
              "krt.dll loaded\n\ngenerating incomplete and erroneous data\n\n"
              "IMPUTATION\noutput data frame is missing from KRT's namespace?\ndo_imputation() failed, error -11\n\n"
              "EDIT\nerrors data frame is missing from KRT's namespace?\ndo_edit() failed, error -12\n\n"
              "EDIT AND IMPUTATION\noutput data frame is missing from KRT's namespace?\n"
              "do_edit_and_imputation() failed, error -11\n\nkrt.dll released\n");
    const std::vector<std::string> f0 = {"command setdata -f F0 -len 4 -t string -vals 0=IMP_NONE ;",
                                         "command setdata -f F0 -t string -vals 1=EDIT_NONE ;",
                                         "command setdata -f F0 -t string -vals 2=0.5 ;"};
    std::vector<std::string> expected(log.begin(), log.begin() + 3);
    const auto scenario = [&](const char* f0_threshold, const char* f1_impute, const char* script, bool errors_first) {
        for (const auto& c : f0) expected.push_back(c);
        expected.push_back(std::string("command setdata -f F0 -t string -vals 3=") + f0_threshold + " ;");
        expected.push_back(std::string("command setdata -f F1 -len 4 -t string -vals 0=") + f1_impute + " ;");
        expected.push_back("command setdata -f F1 -t string -vals 1=EDIT_CONTINUOUS ;");
        expected.push_back("command setdata -f F1 -t string -vals 2=0.5 ;");
        expected.push_back("command setdata -f F1 -t string -vals 3=1.75 ;");
        expected.push_back("command select sfr -f F0 F1");
        expected.push_back(std::string("command ") + script);
        expected.push_back(errors_first ? "get_field_ptr errors 0" : "get_field_ptr output 0");
    };
    scenario("3.0", "IMP_NRAND", "runcmd impute.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 0", false);
    scenario("3.0", "IMP_NONE", "runcmd edit.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 1 0 1.0 3.0", true);
    scenario("150.0", "IMP_NRAND", "runcmd edit.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 1 1 1.0 3.0", false);
    EXPECT_EQ(log, expected);
}

TEST_F(KrtDemo, PrintsTheFramesAndReportsAFailingCleanUpByItsStep)
{
    const DemoRun r = run_recording("result\t4\tcommand rm F1\n"
                                "result\t-10000\tcommand select sfr -f F0 F1\n"
                                "field\toutput\t0\tint\t7 12\n"
                                "field\toutput\t1\tfloat\t0.5 1\n"
                                "field\toutput\t2\tfloat\t0.25 0.125\n"
                                "field\terrors\t0\tint\t3\n"
                                "field\terrors\t1\tfloat\t0\n"
                                "field\terrors\t2\tfloat\t0.875\n");
    EXPECT_EQ(r.status, 0);
    const std::string output = "2 records have been changed, the records are:\n"
                               "row index=7, data:\tvar1=0.500000\tvar2=0.250000\t\n"
                               "row index=12, data:\tvar1=1.000000\tvar2=0.125000\t\n";
    const std::string errors = "There are error probabilities for 1 records, which are:\n"
                               "row index=3, error probabilities:\tvar1=0.000000\tvar2=0.875000\t\n";
    EXPECT_EQ(r.out, "krt.dll loaded\n\ngenerating incomplete and erroneous data\n\n"
                     "IMPUTATION\n" + output + "do_imputation() failed, error -14\n\n"
                     "EDIT\n" + errors + "do_edit() failed, error -15\n\n"
                     "EDIT AND IMPUTATION\n" + output + errors + "do_edit_and_imputation() failed, error -15\n\n"
                     "krt.dll released\n");
}

TEST_F(KrtDemo, AFailedPushEndsTheDemoWithMinusOne)
{
    const DemoRun r = run_recording("result\t2\tkrt_insert_ffield data var2 1000\n");
    EXPECT_EQ(r.out, "krt.dll loaded\n\ngenerating incomplete and erroneous data\n\n"
                     "Failed to create data into KRT's namespace\nkrt.dll released\n");
    EXPECT_EQ(r.status, 255);
}

}  // namespace
