// The engine binding: a library is bound only with all six functions, the
// calls reach the engine with the reply buffer, and the library is
// released when the binding ends.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/text_files.h"
#include "engine.h"

namespace {

namespace fs = std::filesystem;

bool resident(const char* path)
{
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

using test_text::slurp;

class EngineBinding : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::path(::testing::TempDir()) / "engine_binding_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        setenv("KRT_RECORDING_LOG", (dir_ / "log").c_str(), 1);
        setenv("KRT_RECORDING_SCRIPT", (dir_ / "script").c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KRT_RECORDING_LOG");
        unsetenv("KRT_RECORDING_SCRIPT");
        fs::remove_all(dir_);
    }
    void script(const std::string& text) { std::ofstream(dir_ / "script") << text; }
    std::string log() { return slurp(dir_ / "log"); }

    fs::path dir_;
};

TEST(CommandResult, ZeroAndTheNoteAreSuccess)
{
    EXPECT_TRUE(kest_platform::command_succeeded(0));
    EXPECT_TRUE(kest_platform::command_succeeded(-10000));
    EXPECT_FALSE(kest_platform::command_succeeded(1));
    EXPECT_FALSE(kest_platform::command_succeeded(-1));
    EXPECT_FALSE(kest_platform::command_succeeded(-9999));
}

TEST_F(EngineBinding, AMissingLibraryIsNotBoundAndEveryCallFails)
{
    kest_platform::Engine engine("libkrt-that-does-not-exist.so");
    EXPECT_FALSE(engine.bound());
    EXPECT_EQ(engine.run_command("rm sfr"), -1);
    EXPECT_EQ(engine.create_frame("data"), -1);
    const float values[1] = {1.0f};
    EXPECT_EQ(engine.insert_float_field("data", "var1", values), -1);
    kest_platform::LentField field;
    EXPECT_EQ(engine.get_field("output", 0, field), -1);
}

TEST_F(EngineBinding, ALibraryLackingOneFunctionIsNotBoundAndIsReleased)
{
    {
        kest_platform::Engine engine(KRT_INCOMPLETE_ENGINE);
        EXPECT_FALSE(engine.bound());
        EXPECT_FALSE(resident(KRT_INCOMPLETE_ENGINE));
    }
    EXPECT_FALSE(resident(KRT_INCOMPLETE_ENGINE));
}

TEST_F(EngineBinding, CallsReachTheEngineAndTheLibraryIsReleasedAtTheEnd)
{
    script("result\t7\tcommand rm F1;\nfield\toutput\t0\tint\t4 9\n");
    {
        kest_platform::Engine engine(KRT_RECORDING_ENGINE);
        ASSERT_TRUE(engine.bound());
        EXPECT_TRUE(resident(KRT_RECORDING_ENGINE));
        EXPECT_EQ(engine.run_command("select sfr -f F0 F1"), 0);
        EXPECT_EQ(engine.run_command("rm F1;"), 7);
        EXPECT_EQ(engine.create_frame("data"), 0);
        const std::vector<float> values{1.5f, -10000.0f};
        EXPECT_EQ(engine.insert_float_field("data", "var1", values), 0);
        kest_platform::LentField field;
        ASSERT_EQ(engine.get_field("data", 0, field), 0);
        ASSERT_EQ(field.count, 2);
        EXPECT_EQ(static_cast<const float*>(field.values)[1], -10000.0f);
        ASSERT_EQ(engine.get_field("output", 0, field), 0);
        ASSERT_EQ(field.count, 2);
        EXPECT_EQ(static_cast<const int*>(field.values)[1], 9);
        EXPECT_EQ(engine.get_field("errors", 0, field), 3);
        EXPECT_EQ(field.count, 0);

        engine.release();
        EXPECT_FALSE(engine.bound());
        EXPECT_EQ(engine.run_command("rm sfr"), -1);
    }
    EXPECT_FALSE(resident(KRT_RECORDING_ENGINE));
    // Every command went with the 4096-byte reply buffer (else the log
    // would say so).
    EXPECT_EQ(log(),
              "command select sfr -f F0 F1\n"
              "command rm F1;\n"
              "create_new_frame data\n"
              "krt_insert_ffield data var1 2 1.5 -10000\n"
              "get_field_ptr data 0\n"
              "get_field_ptr output 0\n"
              "get_field_ptr errors 0\n");
}

TEST_F(EngineBinding, TheEngineIsFoundByNameThroughTheLoadersSearch)
{
    // This program's run path holds the reference engine.
    kest_platform::Engine engine;
    EXPECT_TRUE(engine.bound());
}

}  // namespace
