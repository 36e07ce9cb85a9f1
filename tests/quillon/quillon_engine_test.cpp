// The TS-SOM plug-in end to end with the reference engine, which the
// plug-in loads by name through its run path, and without any engine.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kest.h"
#include "../support/text_files.h"
#include "quillon.h"

namespace {

namespace fs = std::filesystem;

constexpr double kMissing = -10000.0;
constexpr int kRecords = 90;

using test_text::slurp;

// Three clusters of households around incomes of 1000, 5000 and 9000,
// ages of 20, 40 and 60 and sizes of 1, 3 and 5; record r belongs to
// cluster r % 3.  Some incomes and sizes are missing.
constexpr double centres[3][3] = {{1000, 20, 1}, {5000, 40, 3}, {9000, 60, 5}};
constexpr double wobble[3] = {100, 2, 0.25};

double value(int r, int k) { return centres[r % 3][k] + wobble[k] * std::sin(7.0 * r + k); }

bool missing_cell(int r, int k) { return (k == 0 && r % 10 == 4) || (k == 2 && r % 15 == 7); }

class QuillonEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(::testing::TempDir()) / "quillon_e2e_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        std::string text;
        for (int r = 0; r < kRecords; ++r)
            for (int k = 0; k < 3; ++k) {
                char cell[32];
                std::snprintf(cell, sizeof cell, "%.2f", value(r, k));
                text += (missing_cell(r, k) ? std::string("NA") : std::string(cell)) + (k == 2 ? "\n" : ",");
            }
        std::ofstream(dir_ / "in.txt") << text;
        data_ = (dir_ / "d.xml").string();
        schema_ = (dir_ / "d.xdr").string();
        xsl_ = (dir_ / "d.xsl").string();
        std::string names[3] = {"income", "age", "size"};
        char* name_ptrs[3] = {names[0].data(), names[1].data(), names[2].data()};
        int flags[3] = {0, 0, 0}, counts[3] = {0, 0, 0}, codes[3] = {0, 0, 0};
        char dataset_name[] = "D";
        int error[2] = {-1, -1};
        data_conv(dataset_name, (dir_ / "in.txt").c_str(), data_.c_str(), xsl_.c_str(), schema_.c_str(), kRecords, 3, 2,
                  -1e6, 0, name_ptrs, flags, counts, codes, 1, error);
        ASSERT_EQ(error[0], 0);
        original_ = slurp(data_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<double> read_back(int status_limit)
    {
        int num_obs = 0, num_vars = 0, name_size = 0, error[2] = {0, 0};
        xml_data_size(schema_.c_str(), &num_obs, &num_vars, &name_size, error);
        char** names = nullptr;
        for (int j = 0; j < num_vars; ++j) alloc_names(&names, num_vars, j, name_size);
        std::vector<double> matrix(static_cast<std::size_t>(num_obs) * num_vars);
        std::vector<int> ncat(num_vars), codes(num_vars);
        int n_missing = 0;
        xml_read(data_.c_str(), schema_.c_str(), kMissing, num_obs, num_vars, matrix.data(), names, ncat.data(),
                 codes.data(), 1, status_limit, &n_missing, error);
        free_list(names, num_vars);
        EXPECT_EQ(error[0], 0);
        return matrix;
    }

    fs::path dir_;
    std::string data_, schema_, xsl_, original_;
};

TEST_F(QuillonEndToEnd, MissingValuesAreImputedFromTheirOwnClusterAndNothingElseChanges)
{
    const int flags[3] = {1, 1, 1};
    testing::internal::CaptureStdout();
    const int rc = TAV_TSSOM_WRAPPER(data_.c_str(), schema_.c_str(), xsl_.c_str(), flags, 0, 1, 20, 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(printed, "command_buf >>select sfr -f F0 F1 F2< \nNow allocate the XML arrays \n");

    const std::vector<double> valid_only = read_back(1);
    const std::vector<double> with_imputed = read_back(2);
    for (int r = 0; r < kRecords; ++r)
        for (int k = 0; k < 3; ++k) {
            const double v = with_imputed[static_cast<std::size_t>(r) * 3 + k];
            if (!missing_cell(r, k)) {
                EXPECT_NEAR(v, value(r, k), 0.006) << r << "," << k;
                continue;
            }
            // Imputed, not Valid, and a value of the record's own cluster.
            EXPECT_EQ(valid_only[static_cast<std::size_t>(r) * 3 + k], kMissing);
            EXPECT_NEAR(v, centres[r % 3][k], wobble[k] + 0.01) << "record " << r << " variable " << k;
        }
}

TEST_F(QuillonEndToEnd, TwoRunsOnCopiesGiveTheSameFile)
{
    const int flags[3] = {1, 0, 1};
    testing::internal::CaptureStdout();
    ASSERT_EQ(TAV_TSSOM_WRAPPER(data_.c_str(), schema_.c_str(), xsl_.c_str(), flags, 0, 1, 20, 5), 0);
    const std::string first = slurp(data_);
    std::ofstream(data_, std::ios::binary | std::ios::trunc) << original_;
    ASSERT_EQ(TAV_TSSOM_WRAPPER(data_.c_str(), schema_.c_str(), xsl_.c_str(), flags, 0, 1, 20, 5), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(slurp(data_), first);
    EXPECT_NE(first, original_);
}

TEST_F(QuillonEndToEnd, WithoutAnEngineTheRunFailsAndTheFileIsUntouched)
{
    // A copy of the plug-in in a folder of its own has no engine on its
    // run path; libkest.so is already in the process.
    void* resident = dlopen("libkrt.so", RTLD_NOW | RTLD_NOLOAD);
    if (resident != nullptr) {
        dlclose(resident);
        GTEST_SKIP() << "an engine is already loaded in this process";
    }
    if (const char* path = std::getenv("LD_LIBRARY_PATH"); path != nullptr && *path != '\0')
        GTEST_SKIP() << "LD_LIBRARY_PATH may lead to an engine";
    const fs::path copy = dir_ / "lib" / "libquillon.so";
    fs::create_directories(copy.parent_path());
    fs::copy_file(fs::canonical(QUILLON_LIBRARY), copy);
    void* plugin = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    using Wrapper = int (*)(const char*, const char*, const char*, const int*, int, int, int, int);
    const auto wrapper = reinterpret_cast<Wrapper>(dlsym(plugin, "TAV_TSSOM_WRAPPER"));
    ASSERT_NE(wrapper, nullptr);
    const int flags[3] = {1, 1, 1};
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    const int rc = wrapper(data_.c_str(), schema_.c_str(), xsl_.c_str(), flags, 0, 1, 20, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "TS-SOM: ERROR UNABLE TO LOAD KRT.DLL\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(slurp(data_), original_);
    dlclose(plugin);
}

}  // namespace
