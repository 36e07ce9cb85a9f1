// Runs the kest tool the way a user does, in a fresh folder per test, and
// collects what it prints and its exit status.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "../support/text_files.h"

namespace kest_cli_test {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

using test_text::slurp;

inline void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Each test works in a fresh folder of its own, which is also the current
// folder of the tool, so default output paths land there.
class KestTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(::testing::TempDir()) / "kest_cli_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    Outcome kest(const std::string& args)
    {
        const std::string command = "cd '" + dir_.string() + "' && '" KEST_TOOL "' " + args + " >stdout.txt 2>stderr.txt";
        Outcome run;
        const int raw = std::system(command.c_str());
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = slurp(dir_ / "stdout.txt");
        run.err = slurp(dir_ / "stderr.txt");
        return run;
    }

    fs::path dir_;
};

}  // namespace kest_cli_test
