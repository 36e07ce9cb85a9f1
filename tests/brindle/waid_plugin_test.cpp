// End-to-end tests of libbrindle.so: small data sets are converted with
// data_conv, imputed with TAV_WAID_WRAPPER and read back with xml_read.
// Every test uses the plug-in's fixed debug log, so they run one at a time.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "brindle.h"
#include "../support/text_files.h"
#include "kest.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMissing = -999.0;
const std::string kLog = BRINDLE_DEBUG_LOG;
const std::string kFailed = "WAID: ERROR LOAD_DATA FAILED\n";

using test_text::slurp;

void spit(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Whatever sits at the log path before the tests is put back afterwards.
class LogPathKeeper : public ::testing::Environment {
public:
    void SetUp() override
    {
        struct stat st;
        if (::lstat(kLog.c_str(), &st) == 0) {
            saved_ = kLog + ".saved-by-brindle-tests";
            std::rename(kLog.c_str(), saved_.c_str());
        }
    }
    void TearDown() override
    {
        ::unlink(kLog.c_str());
        if (!saved_.empty()) std::rename(saved_.c_str(), kLog.c_str());
    }

private:
    std::string saved_;
};
[[maybe_unused]] const auto* const keeper = ::testing::AddGlobalTestEnvironment(new LogPathKeeper);

struct DataSet {
    std::string data, schema, xsl;
    std::string original;  // the data file as converted
};

struct Outcome {
    int rc;
    std::string messages;  // what the plug-in wrote to standard error
};

class WaidPlugin : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/brindle-tests-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        dir_ = folder;
        ::unlink(kLog.c_str());
    }
    void TearDown() override
    {
        ::unlink(kLog.c_str());
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // A data set named D from comma-separated rows; NA marks a missing cell.
    DataSet convert(const std::string& sub, std::vector<std::string> names, const std::vector<std::string>& rows)
    {
        const fs::path folder = dir_ / sub;
        fs::create_directories(folder);
        std::string text;
        for (const auto& row : rows) text += row + "\n";
        spit(folder / "in.txt", text);
        DataSet set{(folder / "d.xml").string(), (folder / "d.xdr").string(), (folder / "d.xsl").string(), ""};
        std::vector<char*> name_ptrs;
        for (auto& name : names) name_ptrs.push_back(name.data());
        const int num_vars = static_cast<int>(names.size());
        std::vector<int> flags(num_vars, 0), counts(num_vars, 0), codes(num_vars, 0);
        char dataset_name[] = "D";
        int error[2] = {-1, -1};
        data_conv(dataset_name, (folder / "in.txt").c_str(), set.data.c_str(), set.xsl.c_str(), set.schema.c_str(),
                  static_cast<int>(rows.size()), num_vars, 2, -1e6, 0, name_ptrs.data(), flags.data(),
                  counts.data(), codes.data(), 1, error);
        EXPECT_EQ(error[0], 0) << "data_conv detail " << error[1];
        set.original = slurp(set.data);
        return set;
    }

    static Outcome run(const DataSet& set, int dep_var, std::vector<int> predictors, int weight_scheme = 1,
                       int method = 1, int maxit = 20, double tuning = 3.0)
    {
        testing::internal::CaptureStderr();
        const int rc = TAV_WAID_WRAPPER(set.data.c_str(), set.schema.c_str(), set.xsl.c_str(), dep_var,
                                        predictors.data(), static_cast<int>(predictors.size()), weight_scheme,
                                        method, maxit, tuning);
        return {rc, testing::internal::GetCapturedStderr()};
    }

    // The data matrix as kest reads it with the given status limit.
    static std::vector<double> read_back(const std::string& data, const std::string& schema, int limit)
    {
        int num_obs = 0, num_vars = 0, name_size = 0, error[2] = {0, 0};
        xml_data_size(schema.c_str(), &num_obs, &num_vars, &name_size, error);
        EXPECT_EQ(error[0], 0);
        if (error[0] != 0) return {};
        char** names = nullptr;
        for (int j = 0; j < num_vars; ++j) alloc_names(&names, num_vars, j, name_size);
        std::vector<double> matrix(static_cast<std::size_t>(num_obs) * num_vars, 12345.0);
        std::vector<int> ncat(num_vars), codes(num_vars);
        int n_missing = 0;
        xml_read(data.c_str(), schema.c_str(), kMissing, num_obs, num_vars, matrix.data(), names, ncat.data(),
                 codes.data(), 1, limit, &n_missing, error);
        free_list(names, num_vars);
        EXPECT_EQ(error[0], 0) << "xml_read detail " << error[1];
        return matrix;
    }

    // After a successful run the data file must be the converted one with
    // exactly the given dependent cells imputed (record -> value text), and
    // kest must read those cells as Imputed values and everything else as before.
    static void expect_imputed(const DataSet& set, const std::string& dep_name, int dep_var, int num_vars,
                               const std::map<int, std::string>& imputed)
    {
        std::vector<std::string> lines;
        std::istringstream in(set.original);
        for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
        for (const auto& [record, text] : imputed)
            lines.at(3 + record) = replace_all(lines.at(3 + record), "<" + dep_name + " Status='Missing'> </" + dep_name + ">",
                                               "<" + dep_name + " Status='Imputed'>" + text + "</" + dep_name + ">");
        std::string expected;
        for (const auto& line : lines) expected += line;
        EXPECT_EQ(slurp(set.data), expected);

        std::vector<double> valid_only = read_back(set.data, set.schema, 1);
        std::vector<double> all = read_back(set.data, set.schema, 5);
        const DataSet before = write_copy(set);
        std::vector<double> expected_all = read_back(before.data, before.schema, 5);
        EXPECT_EQ(valid_only, expected_all);  // the converted set holds only Valid and Missing cells
        for (const auto& [record, text] : imputed)
            expected_all.at(static_cast<std::size_t>(record) * num_vars + dep_var) = std::stod(text);
        EXPECT_EQ(all, expected_all);
    }

    // The converted data file beside the schema, under another name.
    static DataSet write_copy(const DataSet& set)
    {
        DataSet copy = set;
        copy.data = set.data + ".orig";
        spit(copy.data, set.original);
        return copy;
    }

    static void expect_untouched(const DataSet& set) { EXPECT_EQ(slurp(set.data), set.original); }

    static void expect_log_ends_with(const std::string& end)
    {
        const std::string log = slurp(kLog);
        EXPECT_EQ(log.substr(log.size() - std::min(log.size(), end.size())), end) << log;
    }

    fs::path dir_;
};

// y is a function of the category of x: every leaf is pure, so each record
// to impute gets exactly the y of its x category.
TEST_F(WaidPlugin, ImputesExactlyTheMissingDependentCellsOfUsableRecords)
{
    const DataSet set = convert("a", {"y", "x", "w"},
                                {"2,1,1",   "4,2,1",      "NA,1,1",  "6,3,1",    "2.90,0,2", "4.50,2.70,2",
                                 "6,3.20,2", "4,NA,1",    "2,-3,3",  "NA,2.70,2", "4,2.99,3", "6,3,3",
                                 "2,1.50,1", "4,2,1",     "NA,0,3",  "6.99,3,1", "2,1,2",     "4,2.50,2",
                                 "6,3,NA",   "6,3.90,2",  "NA,-5,1", "2,-0.50,3", "4,2,3",    "NA,3,2",
                                 "6,3,3",    "NA,2,3"});
    const Outcome out = run(set, 0, {1, 2});
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.messages, "");
    // Records 7 (x missing) and 18 (w missing) are neither used nor imputed.
    expect_imputed(set, "y", 0, 3, {{2, "2"}, {9, "4"}, {14, "2"}, {20, "2"}, {23, "6"}, {25, "4"}});
}

// Ten complete records (the least the tree accepts), two to impute and two
// that take no part; the whole log is checked, and an old log with wider
// permissions is replaced by a new private one.
TEST_F(WaidPlugin, SmallRunWritesTheWholeDebugLog)
{
    spit(kLog, "stale text of an earlier run\n");
    ::chmod(kLog.c_str(), 0644);
    const DataSet set = convert("a", {"y", "x", "w"},
                                {"1,0,2", "NA,2,1", "3,2.70,1", "2,NA,1", "2.50,1,3", "3,2,2", "NA,-1,1",
                                 "3,2,1", "1,1,1", "3.99,2,3", "4,1,NA", "2,1.20,1", "3,2,2", "3,2,3"});
    const Outcome out = run(set, 0, {1}, 1, 1, 7, 3.0);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.messages, "");
    std::string expected;
    for (int r = 0; r < 14; ++r) expected += "checking for complete data observation = " + std::to_string(r) + " \n";
    expected +=
        "The complete data is : complete_count = 10 \n"
        "      1.0000,       1.0000,       2.0000, \n"
        "      3.0000,       2.0000,       1.0000, \n"
        "      2.0000,       1.0000,       3.0000, \n"
        "      3.0000,       2.0000,       2.0000, \n"
        "      3.0000,       2.0000,       1.0000, \n"
        "      1.0000,       1.0000,       1.0000, \n"
        "      3.0000,       2.0000,       3.0000, \n"
        "      2.0000,       1.0000,       1.0000, \n"
        "      3.0000,       2.0000,       2.0000, \n"
        "      3.0000,       2.0000,       3.0000, \n"
        "\nThe impute data is \n"
        "   -999.0000,       2.0000,       1.0000, \n"
        "   -999.0000,       1.0000,       1.0000, \n"
        "Just before call to waid_tree, input parameters are: \n"
        "rec1 = 0 \nnum_vars = 3 \ncomplete_count = 10 \nvars_selected \n1 \ndep_var = 0 \n"
        "ncat \nncat[0] = 3 \nncat[1] = 2 \nncat[2] = 3 \n"
        "weight_scheme = 1 \ntol =     0.000100 \nmaxit = 7 \nimputation_method = 1 \n"
        "Just before call to waid_tree \n"
        "\nThe imputed data is \n"
        "  3.0000 (0.00)\n"
        "  1.5000 (0.00)\n";
    EXPECT_EQ(slurp(kLog), expected);
    struct stat st;
    ASSERT_EQ(::lstat(kLog.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    expect_imputed(set, "y", 0, 3, {{1, "3"}, {6, "1.50"}});
}

// x holds values in [0, 1) among the complete records, so its codes are
// raised by one; the records to impute must see the same codes, or x = 1
// would land with x = 0.5 and x = 2 with x = 1.
TEST_F(WaidPlugin, FloorZeroPredictorIsRaisedInRecordsToImputeToo)
{
    const DataSet set = convert("a", {"y", "x"},
                                {"3,0.50", "5,1",   "7,2",    "NA,0.50", "3,0.20", "5,1.40", "7,2.50", "NA,1",
                                 "3.50,0.90", "5,0", "7,2",   "NA,1.70", "3,0.50", "5,-2",   "7,2.10", "NA,0",
                                 "3,0.70", "5.50,1", "7,2",   "NA,2",    "NA,2.80"});
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.messages, "");
    EXPECT_NE(slurp(kLog).find("ncat[1] = 3 \n"), std::string::npos);
    expect_imputed(set, "y", 0, 2, {{3, "3"}, {7, "5"}, {11, "5"}, {15, "5"}, {19, "7"}, {20, "7"}});
}

// y holds values in [0, 1): the tree works on y + 1 and the predictions are
// lowered by one again before they are written.
TEST_F(WaidPlugin, FloorZeroDependentPredictionsAreLoweredBeforeWriting)
{
    const DataSet set = convert("a", {"y", "x"},
                                {"0.50,1", "1,2", "2,3",    "NA,1", "0.10,1", "0,2",  "2.40,3", "NA,2",
                                 "0.99,1", "-4,2", "2,3",   "NA,3", "0.50,1", "1.60,2", "2,3",  "0.20,1",
                                 "1,2",    "2,3",  "NA,3.50"});
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.messages, "");
    EXPECT_NE(slurp(kLog).find("ncat[0] = 3 \n"), std::string::npos);
    expect_imputed(set, "y", 0, 2, {{3, "0"}, {7, "1"}, {11, "2"}, {18, "2"}});
}

// Random donors (method 3): two runs on identical copies give the same
// values, namely those of a generator seeded with 34 before scoring.
TEST_F(WaidPlugin, RunsOnIdenticalCopiesDrawTheSameDonors)
{
    const std::vector<std::string> rows = {"1,1", "4,2", "2,1",  "5,2",  "3,1",  "6,2",  "4,1",  "7,2",
                                           "5,1", "8,2", "NA,1", "NA,2", "NA,1", "NA,2", "NA,2", "NA,1"};
    const DataSet first = convert("a", {"y", "x"}, rows);
    const DataSet second = convert("b", {"y", "x"}, rows);

    std::vector<double> complete, to_impute;
    for (const auto& row : rows) {
        const double x = std::stod(row.substr(row.find(',') + 1));
        if (row.rfind("NA", 0) == 0)
            to_impute.insert(to_impute.end(), {kMissing, x});
        else
            complete.insert(complete.end(), {std::stod(row), x});
    }
    const int predictors[] = {1}, ncat[] = {8, 2};
    std::vector<double> weights(10), expected(6), spreads(6);
    TreeNode* tree = nullptr;
    int error[2] = {0, 0};
    waid_tree(0, 2, 10, 10, complete.data(), nullptr, 1, predictors, 0, 1, weights.data(), ncat, 0.0001, 20, 3.0,
              10, 1, 1, &tree, error);
    ASSERT_EQ(error[0], 0);
    RandState state;
    set_rand_seed(34, &state);
    tree_score(0, 2, 6, 6, to_impute.data(), nullptr, tree, 1, 3, &state, expected.data(), spreads.data(), error);
    tree_free(tree);
    ASSERT_EQ(error[0], 0);

    std::map<int, std::string> imputed;
    for (int k = 0; k < 6; ++k) imputed[10 + k] = std::to_string(static_cast<int>(expected[k]));
    for (const DataSet* set : {&first, &second}) {
        const Outcome out = run(*set, 0, {1}, 1, 3);
        EXPECT_EQ(out.rc, 0);
        EXPECT_EQ(out.messages, "");
        expect_imputed(*set, "y", 0, 2, imputed);
    }
}

// A weight iteration cut short (maxit 1) is only a warning of waid_tree; the
// scoring starts from a clean report and the run succeeds.
TEST_F(WaidPlugin, TreeWarningIsLoggedAndTheRunGoesOn)
{
    const DataSet set = convert("a", {"y", "x"}, {"1,1", "4,2", "2,1", "5,2", "3,1", "6,2", "4,1", "7,2", "6,1",
                                                  "9,2", "NA,1", "NA,2"});
    const Outcome out = run(set, 0, {1}, 2, 1, 1, 3.0);
    EXPECT_EQ(out.rc, 0);
    EXPECT_EQ(out.messages, "");
    const std::string log = slurp(kLog);
    EXPECT_NE(log.find("Just before call to waid_tree \nWARNING AFTER CALL TO WAID TREE info = -39  \n"
                       "\nThe imputed data is \n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("TREE SCORE"), std::string::npos) << log;
    const std::vector<double> values = read_back(set.data, set.schema, 5);
    EXPECT_NE(values.at(20), kMissing);
    EXPECT_NE(values.at(22), kMissing);
    EXPECT_EQ(read_back(set.data, set.schema, 1).at(20), kMissing);  // Imputed, not Valid
}

TEST_F(WaidPlugin, ImputationEntryPointDoesNothing)
{
    const DataSet set = convert("a", {"y", "x"}, {"1,1", "NA,2"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(TAV_IMPUTATION(0, 0, 0, 0, 0, 0), 0);
    EXPECT_EQ(TAV_IMPUTATION(1, 2, 3, 4, 5, 6), 0);
    EXPECT_EQ(TAV_IMPUTATION(-1, -1, -1, -1, -1, -1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    struct stat st;
    EXPECT_NE(::lstat(kLog.c_str(), &st), 0);
    expect_untouched(set);
    // The data set's three files and its lock file.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "a"), fs::directory_iterator()), 5);
}

// Failures: -1, the messages in order, and the data file byte for byte as it was.
using WaidPluginFailure = WaidPlugin;

const std::vector<std::string> kUsableRows = {"1,1", "2,2", "1,1", "2,2", "1,1", "2,2", "1,1",
                                              "2,2", "1,1", "2,2", "NA,1", "NA,2"};

TEST_F(WaidPluginFailure, MissingDataOrSchemaFile)
{
    const DataSet no_data = convert("a", {"y", "x"}, kUsableRows);
    fs::remove(no_data.data);
    Outcome out = run(no_data, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    EXPECT_FALSE(fs::exists(no_data.data));

    const DataSet no_schema = convert("b", {"y", "x"}, kUsableRows);
    fs::remove(no_schema.schema);
    out = run(no_schema, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    expect_untouched(no_schema);
}

TEST_F(WaidPluginFailure, FewerThanTwoCompleteRecords)
{
    const DataSet set = convert("a", {"y", "x"}, {"NA,1", "2,2", "NA,2", "3,NA"});
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    expect_untouched(set);
    expect_log_ends_with("Just before call to waid_tree \nERROR AFTER CALL TO WAID info = 3  \n");
}

TEST_F(WaidPluginFailure, FewerThanTwoRecordsToImpute)
{
    std::vector<std::string> rows(kUsableRows.begin(), kUsableRows.end() - 1);
    const DataSet set = convert("a", {"y", "x"}, rows);
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    expect_untouched(set);
    expect_log_ends_with("Just before call to waid_tree \nERROR AFTER CALL TO TREE SCORE info = 3  \n");
}

// Settings and variable numbers are refused by the tree routines they are
// passed to; out-of-range variables must not be used before that.
TEST_F(WaidPluginFailure, SettingsRefusedByTheTreeRoutines)
{
    struct Case {
        int dep_var, predictor, scheme, method, maxit;
        double tuning;
        std::string log_end;
    };
    const std::string waid = "ERROR AFTER CALL TO WAID info = ", score = "ERROR AFTER CALL TO TREE SCORE info = ";
    const std::vector<Case> cases = {
        {0, 1, 5, 1, 20, 3.0, waid + "10  \n"},  {0, 1, 2, 1, 0, 3.0, waid + "14  \n"},
        {0, 1, 2, 1, 20, -1.0, waid + "15  \n"}, {0, 1, 1, 4, 20, 3.0, score + "9  \n"},
        {2, 1, 1, 1, 20, 3.0, waid + "9  \n"},   {-1, 1, 1, 1, 20, 3.0, waid + "9  \n"},
        {0, 2, 1, 1, 20, 3.0, waid + "8  \n"},   {0, -1, 1, 1, 20, 3.0, waid + "8  \n"},
    };
    const DataSet set = convert("a", {"y", "x"}, kUsableRows);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log_end);
        const Outcome out = run(set, c.dep_var, {c.predictor}, c.scheme, c.method, c.maxit, c.tuning);
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.messages, kFailed);
        expect_untouched(set);
        expect_log_ends_with(c.log_end);
    }
}

// kest reads records of any type name but writes only "_rec" ones, so the
// write-back is the step that fails here.
TEST_F(WaidPluginFailure, WriteBackFailure)
{
    DataSet set = convert("a", {"y", "x"}, kUsableRows);
    spit(set.schema, replace_all(slurp(set.schema), "D_rec", "D_tab"));
    set.original = replace_all(set.original, "D_rec>", "D_tab>");
    spit(set.data, set.original);
    ASSERT_EQ(read_back(set.data, set.schema, 5).size(), 24u);
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    expect_untouched(set);
}

// A schema that claims two thousand million records: the data matrix cannot
// be had.
TEST_F(WaidPluginFailure, AllocationFailure)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer ends the process on an allocation this large";
#endif
    const DataSet set = convert("a", {"y", "x"}, kUsableRows);
    spit(set.schema, replace_all(slurp(set.schema), "<?Number of observations = 12?>",
                                 "<?Number of observations = 2000000000?>"));
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, "WAID: ALLOCATION FAILED\n" + kFailed);
    expect_untouched(set);
}

// The plug-in neither follows a link at the log path nor writes into a log
// that belongs to somebody else.
TEST_F(WaidPluginFailure, DebugLogThatIsNotThePluginsOwn)
{
    const DataSet set = convert("a", {"y", "x"}, kUsableRows);
    const fs::path target = dir_ / "target.txt";
    spit(target, "not the plug-in's file\n");
    ASSERT_EQ(::symlink(target.c_str(), kLog.c_str()), 0);
    Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, "WAID: ERROR OPENING DEBUG FILE file \n" + kFailed);
    EXPECT_EQ(slurp(target), "not the plug-in's file\n");
    expect_untouched(set);

    ::unlink(kLog.c_str());
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the log to another user";
    spit(kLog, "somebody else's log\n");
    ASSERT_EQ(::chown(kLog.c_str(), 65534, 65534), 0);
    out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, "WAID: ERROR OPENING DEBUG FILE file \n" + kFailed);
    EXPECT_EQ(slurp(kLog), "somebody else's log\n");
    struct stat st;
    ASSERT_EQ(::lstat(kLog.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    expect_untouched(set);
}

}  // namespace

// A schema that states more records than the data file holds: the rows the
// reader never reached are not taken for records to impute.
TEST_F(WaidPlugin, RecordsBeyondTheDataFileAreNotImputed)
{
    const DataSet set = convert("beyond", {"y", "x"},
                                {"2,1", "4,2", "6,3", "2,1", "4,2", "6,3", "2,1", "4,2", "6,3", "2,1", "4,2", "6,3",
                                 "NA,1", "NA,3"});
    spit(set.schema, replace_all(slurp(set.schema), "<?Number of observations = 14?>",
                                 "<?Number of observations = 16?>"));
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, 0);
    const std::string log = slurp(kLog);
    const std::string imputed = log.substr(log.find("\nThe imputed data is \n"));
    EXPECT_EQ(std::count(imputed.begin(), imputed.end(), '\n'), 2 + 2) << imputed;
    // Twelve complete records make one split: x = 1 against x = 2 or 3.
    expect_imputed(set, "y", 0, 2, {{12, "2"}, {13, "5"}});
}

namespace {

TEST_F(WaidPluginFailure, NullPathsAndPredictorsAreRefusedBeforeTheLog)
{
    const DataSet set = convert("a", {"y", "x"}, kUsableRows);
    const int predictors[] = {1};
    for (int argument : {1, 2, 3, 5}) {
        SCOPED_TRACE(argument);
        testing::internal::CaptureStderr();
        const int rc = TAV_WAID_WRAPPER(argument == 1 ? nullptr : set.data.c_str(),
                                        argument == 2 ? nullptr : set.schema.c_str(),
                                        argument == 3 ? nullptr : set.xsl.c_str(), 0,
                                        argument == 5 ? nullptr : predictors, 1, 1, 1, 20, 3.0);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), kFailed);
        expect_untouched(set);
        struct stat st;
        EXPECT_NE(::lstat(kLog.c_str(), &st), 0);
    }
}

TEST_F(WaidPluginFailure, EmptyTruncatedAndUnreadableDataFile)
{
    const DataSet set = convert("a", {"y", "x"}, kUsableRows);
    // Empty, and cut inside the last record line.
    for (const std::string& bytes : {std::string(), set.original.substr(0, set.original.size() - 30)}) {
        spit(set.data, bytes);
        const Outcome out = run(set, 0, {1});
        EXPECT_EQ(out.rc, -1);
        EXPECT_EQ(out.messages, kFailed);
        EXPECT_EQ(slurp(set.data), bytes);
    }
    spit(set.data, set.original);
    ::chmod(set.data.c_str(), 0);
    if (std::ifstream(set.data).is_open()) GTEST_SKIP() << "running as root: a file without permissions is read";
    const Outcome out = run(set, 0, {1});
    EXPECT_EQ(out.rc, -1);
    EXPECT_EQ(out.messages, kFailed);
    ::chmod(set.data.c_str(), 0600);
    expect_untouched(set);
}

}  // namespace
