// The TS-SOM plug-in against the recording engine: the exact calls and
// command texts, the messages and results on every failure path, and what
// reaches the data writer.  The recording engine is linked into this
// program, so the plug-in's load by name finds it already in the process.
// xml_update is interposed here to record the change list the plug-in
// hands over, and then passed on to libkest.so.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kest.h"
#include "quillon.h"
#include "../support/text_files.h"
#include "recording_engine.h"

namespace {

namespace fs = std::filesystem;

struct WriterCall {
    bool called = false;
    double missing_code = 0;
    int num_obs = 0, num_vars = 0, mode = 0, n_changes = -1;
    std::vector<int> recs, vars;  // with the end markers
    std::vector<double> vals;
};

WriterCall writer_call;
int writer_failure = 0;  // a code the interposed writer reports instead of writing

}  // namespace

extern "C" __attribute__((visibility("default"))) void xml_update(const char* data_path, const char* schema_path,
                                                                   const char* xsl_path, double missing_code,
                                                                   int num_obs, int num_vars, int mode, int n_changes,
                                                                   const int* change_recs, const int* change_vars,
                                                                   const double* change_vals, int* error)
{
    writer_call = WriterCall{true, missing_code, num_obs, num_vars, mode, n_changes, {}, {}, {}};
    for (int k = 0; k <= n_changes; ++k) {
        writer_call.recs.push_back(change_recs[k]);
        writer_call.vars.push_back(change_vars[k]);
        if (k < n_changes) writer_call.vals.push_back(change_vals[k]);
    }
    if (writer_failure != 0) {
        error[0] = writer_failure;
        error[1] = 0;
        return;
    }
    using Writer = void (*)(const char*, const char*, const char*, double, int, int, int, int, const int*,
                            const int*, const double*, int*);
    static const auto real = reinterpret_cast<Writer>(dlsym(RTLD_NEXT, "xml_update"));
    real(data_path, schema_path, xsl_path, missing_code, num_obs, num_vars, mode, n_changes, change_recs, change_vars,
         change_vals, error);
}

namespace {

constexpr double kMissing = -10000.0;

using test_text::slurp;
using test_text::lines_of;

struct Outcome {
    int rc;
    std::string messages;  // standard error
    std::string printed;   // standard output
};

const std::vector<std::string> settings_of(int j)
{
    const std::string f = "F" + std::to_string(j);
    return {"command setdata -f " + f + " -len 4 -t string -vals 0=IMP_NRAND ;",
            "command setdata -f " + f + " -t string -vals 1=EDIT_NONE ;",
            "command setdata -f " + f + " -t string -vals 2=0.5 ;",
            "command setdata -f " + f + " -t string -vals 3=3.0 ;"};
}

class Quillon : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(krt_recording_engine(), 1);
        std::string pattern = (fs::path(::testing::TempDir()) / "quillon_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("KRT_RECORDING_LOG", (dir_ / "log").c_str(), 1);
        setenv("KRT_RECORDING_SCRIPT", (dir_ / "script").c_str(), 1);
        writer_call = WriterCall{};
        writer_failure = 0;
        convert({"u", "v", "w"}, {"1,2,3", "4,NA,6", "7,8,NA", "10,11,12"});
    }
    void TearDown() override
    {
        unsetenv("KRT_RECORDING_LOG");
        unsetenv("KRT_RECORDING_SCRIPT");
        fs::remove_all(dir_);
    }

    // The data set d.xml, d.xdr, d.xsl from comma-separated rows; NA is a
    // missing cell.
    void convert(std::vector<std::string> names, const std::vector<std::string>& rows)
    {
        std::string text;
        for (const auto& row : rows) text += row + "\n";
        std::ofstream(dir_ / "in.txt") << text;
        data_ = (dir_ / "d.xml").string();
        schema_ = (dir_ / "d.xdr").string();
        xsl_ = (dir_ / "d.xsl").string();
        std::vector<char*> name_ptrs;
        for (auto& name : names) name_ptrs.push_back(name.data());
        const int num_vars = static_cast<int>(names.size());
        std::vector<int> flags(num_vars, 0), counts(num_vars, 0), codes(num_vars, 0);
        char dataset_name[] = "D";
        int error[2] = {-1, -1};
        data_conv(dataset_name, (dir_ / "in.txt").c_str(), data_.c_str(), xsl_.c_str(), schema_.c_str(),
                  static_cast<int>(rows.size()), num_vars, 2, -1e6, 0, name_ptrs.data(), flags.data(), counts.data(),
                  codes.data(), 1, error);
        ASSERT_EQ(error[0], 0);
        original_ = slurp(data_);
    }

    void script(const std::string& text) { std::ofstream(dir_ / "script") << text; }
    // The engine's answer for the usual data set: rows 1 and 2 changed,
    // with a value for every variable.
    void script_output(const std::string& extra = "")
    {
        script("field\toutput\t0\tint\t1 2\n"
               "field\toutput\t1\tfloat\t40 70\n"
               "field\toutput\t2\tfloat\t50 80\n"
               "field\toutput\t3\tfloat\t60 90\n" +
               extra);
    }
    std::vector<std::string> log() { return lines_of(slurp(dir_ / "log")); }

    Outcome run(std::vector<int> flags = {1, 1, 1}, int layer = 0, int training = 1, int passes = 20, int seed = 7)
    {
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        const int rc =
            TAV_TSSOM_WRAPPER(data_.c_str(), schema_.c_str(), xsl_.c_str(), flags.data(), layer, training, passes, seed);
        Outcome o{rc, "", ""};
        o.printed = testing::internal::GetCapturedStdout();
        o.messages = testing::internal::GetCapturedStderr();
        return o;
    }

    std::vector<double> read_back()
    {
        int num_obs = 0, num_vars = 0, name_size = 0, error[2] = {0, 0};
        xml_data_size(schema_.c_str(), &num_obs, &num_vars, &name_size, error);
        char** names = nullptr;
        for (int j = 0; j < num_vars; ++j) alloc_names(&names, num_vars, j, name_size);
        std::vector<double> matrix(static_cast<std::size_t>(num_obs) * num_vars);
        std::vector<int> ncat(num_vars), codes(num_vars);
        int n_missing = 0;
        xml_read(data_.c_str(), schema_.c_str(), kMissing, num_obs, num_vars, matrix.data(), names, ncat.data(),
                 codes.data(), 1, 2, &n_missing, error);  // Imputed cells count as values
        free_list(names, num_vars);
        EXPECT_EQ(error[0], 0);
        return matrix;
    }

    // The calls of a run up to and including the impute script.
    std::vector<std::string> load_calls(const std::string& seed = "7", const std::string& passes = "20",
                                        const std::string& layer = "0", const std::string& training = "1")
    {
        std::vector<std::string> calls{"create_new_frame data", "krt_insert_ffield data var1 4 1 4 7 10",
                                       "krt_insert_ffield data var2 4 2 -10000 8 11",
                                       "krt_insert_ffield data var3 4 3 6 -10000 12"};
        for (int j = 0; j < 3; ++j)
            for (const auto& c : settings_of(j)) calls.push_back(c);
        calls.push_back("command select sfr -f F0 F1 F2");
        calls.push_back("command runcmd impute.cmd 2 4 " + seed + " -10000 5 0.5 0.001 " + passes + " 3 0 1 " + layer +
                        " " + training);
        return calls;
    }

    fs::path dir_;
    std::string data_, schema_, xsl_, original_;
};

TEST_F(Quillon, ARunSendsTheseCallsAndWritesOnlyTheMissingCellsOfFlaggedVariables)
{
    script_output();
    const Outcome o = run({1, 1, 1}, 3, 0, 25, 99);
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(o.messages, "");
    EXPECT_EQ(o.printed, "command_buf >>select sfr -f F0 F1 F2< \nNow allocate the XML arrays \n");

    std::vector<std::string> expected = load_calls("99", "25", "3", "0");
    for (int j = 0; j < 3; ++j)
        for (const auto& c : settings_of(j)) expected.push_back(c);
    expected.push_back("command select sfr -f F0 F1 F2");
    expected.push_back("get_field_ptr output 0");
    for (int p = 0; p < 2; ++p)
        for (int k = 1; k <= 3; ++k) expected.push_back("get_field_ptr output " + std::to_string(k));
    for (const char* c : {"command rm sfr", "command rm F0;", "command rm F1;", "command rm F2;"}) expected.push_back(c);
    EXPECT_EQ(log(), expected);

    ASSERT_TRUE(writer_call.called);
    EXPECT_EQ(writer_call.missing_code, kMissing);
    EXPECT_EQ(writer_call.num_obs, 4);
    EXPECT_EQ(writer_call.num_vars, 3);
    EXPECT_EQ(writer_call.mode, 1);
    EXPECT_EQ(writer_call.n_changes, 2);
    EXPECT_EQ(writer_call.recs, (std::vector<int>{1, 2, -1}));
    EXPECT_EQ(writer_call.vars, (std::vector<int>{1, 2, -1}));
    EXPECT_EQ(writer_call.vals, (std::vector<double>{50, 90}));
    // Cells present in the file keep their values whatever the engine says.
    EXPECT_EQ(read_back(), (std::vector<double>{1, 2, 3, 4, 50, 6, 7, 8, 90, 10, 11, 12}));
    EXPECT_NE(slurp(data_).find("<v Status='Imputed'>50</v>"), std::string::npos);
}

TEST_F(Quillon, OnlyVariablesFlaggedExactlyOneAreWrittenBack)
{
    script_output();
    const Outcome o = run({2, -1, 1});
    EXPECT_EQ(o.rc, 0);
    EXPECT_EQ(writer_call.recs, (std::vector<int>{2, -1}));
    EXPECT_EQ(writer_call.vars, (std::vector<int>{2, -1}));
    EXPECT_EQ(writer_call.vals, (std::vector<double>{90}));
}

TEST_F(Quillon, WithAllFlagsZeroTheEngineRunsAndTheWriterGetsOnlyTheEndMarkers)
{
    script_output();
    const Outcome o = run({0, 0, 0});
    EXPECT_EQ(o.rc, 0);
    const auto calls = log();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "command runcmd impute.cmd 2 4 7 -10000 5 0.5 0.001 20 3 0 1 0 1"),
              1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "get_field_ptr output 1"), 0);
    ASSERT_TRUE(writer_call.called);
    EXPECT_EQ(writer_call.n_changes, 0);
    EXPECT_EQ(writer_call.recs, (std::vector<int>{-1}));
    EXPECT_EQ(writer_call.vars, (std::vector<int>{-1}));
    EXPECT_EQ(read_back(), (std::vector<double>{1, 2, 3, 4, kMissing, 6, 7, 8, kMissing, 10, 11, 12}));
}

TEST_F(Quillon, TheEnginesNoteCountsAsSuccess)
{
    script_output("result\t-10000\tcommand select sfr -f F0 F1 F2\n"
                  "result\t-10000\tcommand rm sfr\n");
    EXPECT_EQ(run().rc, 0);
    EXPECT_EQ(writer_call.n_changes, 2);
}

TEST_F(Quillon, SeventyVariablesAreSelectedInOneCommand)
{
    std::vector<std::string> names;
    std::string row;
    for (int j = 0; j < 70; ++j) {
        names.push_back("v" + std::to_string(j));
        row += (j ? "," : "") + std::to_string(j);
    }
    convert(names, {row, row});
    script("field\toutput\t0\tint\t\n");
    EXPECT_EQ(run(std::vector<int>(70, 1)).rc, 0);
    std::string selection = "select sfr -f";
    for (int j = 0; j < 70; ++j) selection += " F" + std::to_string(j);
    const auto calls = log();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "command " + selection), 2);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "command rm F69;"), 1);
}

// A failure path: what the engine is scripted to answer, and the messages
// the run shows.  The run returns -1 each time.
struct FailurePath {
    const char* name;
    const char* script;
    const char* messages;
    bool file_untouched;
};

const FailurePath failure_paths[] = {
    {"create_frame", "result\t5\tcreate_new_frame data\n",
     "TS-SOM: IN LOAD_DATA ERROR CALLING krt_create_new_frame\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"insert", "result\t5\tkrt_insert_ffield data var2 4\n",
     "TS-SOM: IN LOAD_DATA ERROR CALLING krt_insert_ffield\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"load_settings_1", "result\t1\tcommand setdata -f F2 -len 4 -t string -vals 0=IMP_NRAND ;\n",
     "TS-SOM: IN LOAD_DATA ERROR (I) IN BUILDING FSTAT\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"load_settings_2", "result\t1\tcommand setdata -f F0 -t string -vals 1=EDIT_NONE ;\n",
     "TS-SOM: IN LOAD_DATA ERROR (II) IN BUILDING FSTAT\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"load_settings_3", "result\t-1\tcommand setdata -f F1 -t string -vals 2=0.5 ;\n",
     "TS-SOM: IN LOAD_DATA ERROR (III) IN BUILDING FSTAT\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"load_settings_4", "result\t9999\tcommand setdata -f F1 -t string -vals 3=3.0 ;\n",
     "TS-SOM: IN LOAD_DATA ERROR (IV) IN BUILDING FSTAT\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"load_selection", "result\t1\tcommand select sfr -f F0 F1 F2\t1\n",
     "TS-SOM: IN LOAD_DATA ERROR (V)\nTS-SOM: ERROR LOAD_DATA FAILED\n", true},
    {"imputation_settings_1", "result\t1\tcommand setdata -f F0 -len 4 -t string -vals 0=IMP_NRAND ;\t2\n",
     "TS-SOM: ERROR (I) IN TAV_IMPUTATION: building fstat\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", true},
    {"imputation_settings_2", "result\t1\tcommand setdata -f F2 -t string -vals 1=EDIT_NONE ;\t2\n",
     "TS-SOM: ERROR (II) IN TAV_IMPUTATION: building fstat\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", true},
    {"imputation_settings_3", "result\t1\tcommand setdata -f F1 -t string -vals 2=0.5 ;\t2\n",
     "TS-SOM: ERROR (III) IN TAV_IMPUTATION: building fstat\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", true},
    {"imputation_settings_4", "result\t1\tcommand setdata -f F1 -t string -vals 3=3.0 ;\t2\n",
     "TS-SOM: ERROR (IV) IN TAV_IMPUTATION: building fstat\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", true},
    {"imputation_selection", "result\t1\tcommand select sfr -f F0 F1 F2\t2\n",
     "TS-SOM: ERROR (V) IN TAV_IMPUTATION\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", true},
    {"no_output", "result\t3\tget_field_ptr output 0\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA STACK FRAME MISSING\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"no_values", "result\t3\tget_field_ptr output 3\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"rows_descending", "field\toutput\t0\tint\t2 1\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"rows_repeated", "field\toutput\t0\tint\t1 1\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"rows_outside", "field\toutput\t0\tint\t1 4\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"rows_negative", "field\toutput\t0\tint\t-1 2\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"values_short", "field\toutput\t2\tfloat\t50\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"values_infinite", "field\toutput\t2\tfloat\t1e39 80\n",
     "TS-SOM: ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
     "TS-SOM: ERROR TAV_IMPUTATION FAILED\n",
     true},
    {"clean_selection", "result\t1\tcommand rm sfr\n",
     "TS-SOM: ERROR (I) CLEAN KRT FAILED\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", false},
    {"clean_settings", "result\t1\tcommand rm F2;\n",
     "TS-SOM: ERROR (II) CLEAN KRT FAILED\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n", false},
};

class QuillonFailure : public Quillon, public ::testing::WithParamInterface<FailurePath> {};

TEST_P(QuillonFailure, ShowsItsMessagesAndReturnsMinusOne)
{
    const FailurePath& f = GetParam();
    // Scripted lines come first: the engine takes the first that matches.
    script(std::string(f.script) +
           "field\toutput\t0\tint\t1 2\nfield\toutput\t1\tfloat\t40 70\n"
           "field\toutput\t2\tfloat\t50 80\nfield\toutput\t3\tfloat\t60 90\n");
    const Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, f.messages);
    if (f.file_untouched) {
        EXPECT_EQ(slurp(data_), original_);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, QuillonFailure, ::testing::ValuesIn(failure_paths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Quillon, AFailedImputeScriptIsNotCheckedButLeavesNoOutput)
{
    script("result\t6\tcommand runcmd impute.cmd 2 4 7 -10000 5 0.5 0.001 20 3 0 1 0 1\n"
           "result\t3\tget_field_ptr output 0\n");
    const Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages,
              "TS-SOM: ERROR TAV_UPDATE_XML DATA STACK FRAME MISSING\nTS-SOM: ERROR TAV_UPDATE_XML FAILED\n"
              "TS-SOM: ERROR TAV_IMPUTATION FAILED\n");
}

TEST_F(Quillon, AWriterFailureFailsTheRun)
{
    script_output();
    writer_failure = 21;
    const Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, "TS-SOM: ERROR TAV_UPDATE_XML FAILED\nTS-SOM: ERROR TAV_IMPUTATION FAILED\n");
    EXPECT_EQ(slurp(data_), original_);
}

TEST_F(Quillon, AFailedReadPushesNothingIntoTheEngine)
{
    // A data file without record lines cannot be read.
    const std::string broken = original_.substr(0, original_.find("<D_rec>"));
    std::ofstream(data_, std::ios::binary | std::ios::trunc) << broken;
    script_output();
    const Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, "TS-SOM: ERROR LOAD_DATA FAILED\n");
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(slurp(data_), broken);
}

TEST_F(Quillon, AMissingSchemaFailsBeforeTheEngineIsUsed)
{
    fs::remove(schema_);
    const Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, "TS-SOM: ERROR LOAD_DATA FAILED\n");
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(slurp(data_), original_);
}

TEST_F(Quillon, ImputationOutsideAWrapperRunHasNoEngineAndFailsOnTheFirstSettings)
{
    const std::vector<int> flags{1, 1, 1};
    const std::vector<double> data(12, 1.0);
    testing::internal::CaptureStderr();
    const int rc = TAV_IMPUTATION(flags.data(), 4, 3, data.data(), data_.c_str(), schema_.c_str(), xsl_.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "TS-SOM: ERROR (I) IN TAV_IMPUTATION: building fstat\n");
    EXPECT_EQ(rc, QUILLON_SETTINGS_OF_FIRST_FAILED);
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(TAV_IMPUTATION(nullptr, 4, 3, data.data(), data_.c_str(), schema_.c_str(), xsl_.c_str()),
              QUILLON_SETTINGS_OF_FIRST_FAILED);
    EXPECT_EQ(slurp(data_), original_);
}

}  // namespace

namespace {

TEST_F(Quillon, NullPathsAndFlagsAreRefusedBeforeTheEngineIsUsed)
{
    const std::vector<int> flags{1, 1, 1};
    for (int argument : {1, 2, 3, 4}) {
        SCOPED_TRACE(argument);
        testing::internal::CaptureStderr();
        const int rc = TAV_TSSOM_WRAPPER(argument == 1 ? nullptr : data_.c_str(),
                                         argument == 2 ? nullptr : schema_.c_str(),
                                         argument == 3 ? nullptr : xsl_.c_str(), argument == 4 ? nullptr : flags.data(),
                                         0, 1, 20, 7);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "TS-SOM: ERROR LOAD_DATA FAILED\n");
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(log().empty());
        EXPECT_EQ(slurp(data_), original_);
    }
    // The second half refuses its null pointers without a message.
    const std::vector<double> data(12, 1.0);
    for (int argument : {1, 4, 5, 6, 7}) {
        SCOPED_TRACE(argument);
        testing::internal::CaptureStderr();
        const int rc = TAV_IMPUTATION(argument == 1 ? nullptr : flags.data(), 4, 3,
                                      argument == 4 ? nullptr : data.data(), argument == 5 ? nullptr : data_.c_str(),
                                      argument == 6 ? nullptr : schema_.c_str(),
                                      argument == 7 ? nullptr : xsl_.c_str());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(rc, QUILLON_SETTINGS_OF_FIRST_FAILED);
    }
    EXPECT_TRUE(log().empty());
    EXPECT_EQ(slurp(data_), original_);
}

TEST_F(Quillon, MissingEmptyTruncatedAndUnreadableDataFile)
{
    script_output();
    // Empty, and cut inside the last record line.
    for (const std::string& bytes : {std::string(), original_.substr(0, original_.size() - 30)}) {
        std::ofstream(data_, std::ios::binary | std::ios::trunc) << bytes;
        const Outcome o = run();
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.messages, "TS-SOM: ERROR LOAD_DATA FAILED\n");
        EXPECT_TRUE(log().empty());
        EXPECT_EQ(slurp(data_), bytes);
    }
    fs::remove(data_);
    Outcome o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, "TS-SOM: ERROR LOAD_DATA FAILED\n");
    EXPECT_FALSE(fs::exists(data_));

    std::ofstream(data_, std::ios::binary | std::ios::trunc) << original_;
    ::chmod(data_.c_str(), 0);
    if (std::ifstream(data_).is_open()) GTEST_SKIP() << "running as root: a file without permissions is read";
    o = run();
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.messages, "TS-SOM: ERROR LOAD_DATA FAILED\n");
    EXPECT_TRUE(log().empty());
    ::chmod(data_.c_str(), 0600);
    EXPECT_EQ(slurp(data_), original_);
}

}  // namespace
