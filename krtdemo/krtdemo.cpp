// krtdemo: exercises the analysis engine without any data file.  It makes
// 1000 records of two variables with planted missing and out-of-range
// values, pushes them into the engine and runs three scenarios -
// imputation, editing, and editing that imputes what it finds - printing
// what the engine reports.  It takes no arguments; the exit code is 0 when
// the engine could be bound and the data pushed, -1 otherwise.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "engine.h"

namespace {

constexpr int records = 1000;
constexpr float missing = -10000.0f;

// The demo's random numbers: a 32-bit linear congruential generator that
// starts at 1 and yields 15-bit numbers.
class Draws {
public:
    int next()
    {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFFu);
    }

private:
    std::uint32_t state_ = 1;
};

struct Scenario {
    const char* title;
    const char* failure;  // printed with the code when a step fails
    const char* commands[13];  // codes -1 to -10, then the clean-up
    bool print_output;
    bool print_errors;
};

// Every scenario gives both variables four settings, selects them, runs a
// script, prints results and cleans up.
const Scenario scenarios[] = {
    {"IMPUTATION\n",
     "do_imputation() failed, error %d\n",
     {"setdata -f F0 -len 4 -t string -vals 0=IMP_NONE ;", "setdata -f F0 -t string -vals 1=EDIT_NONE ;",
      "setdata -f F0 -t string -vals 2=0.5 ;", "setdata -f F0 -t string -vals 3=3.0 ;",
      "setdata -f F1 -len 4 -t string -vals 0=IMP_NRAND ;", "setdata -f F1 -t string -vals 1=EDIT_CONTINUOUS ;",
      "setdata -f F1 -t string -vals 2=0.5 ;", "setdata -f F1 -t string -vals 3=1.75 ;", "select sfr -f F0 F1",
      "runcmd impute.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 0", "rm sfr", "rm F0", "rm F1"},
     true,
     false},
    {"EDIT\n",
     "do_edit() failed, error %d\n",
     {"setdata -f F0 -len 4 -t string -vals 0=IMP_NONE ;", "setdata -f F0 -t string -vals 1=EDIT_NONE ;",
      "setdata -f F0 -t string -vals 2=0.5 ;", "setdata -f F0 -t string -vals 3=3.0 ;",
      "setdata -f F1 -len 4 -t string -vals 0=IMP_NONE ;", "setdata -f F1 -t string -vals 1=EDIT_CONTINUOUS ;",
      "setdata -f F1 -t string -vals 2=0.5 ;", "setdata -f F1 -t string -vals 3=1.75 ;", "select sfr -f F0 F1",
      "runcmd edit.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 1 0 1.0 3.0", "rm sfr", "rm F0", "rm F1"},
     false,
     true},
    {"EDIT AND IMPUTATION\n",
     "do_edit_and_imputation() failed, error %d\n",
     {"setdata -f F0 -len 4 -t string -vals 0=IMP_NONE ;", "setdata -f F0 -t string -vals 1=EDIT_NONE ;",
      "setdata -f F0 -t string -vals 2=0.5 ;", "setdata -f F0 -t string -vals 3=150.0 ;",
      "setdata -f F1 -len 4 -t string -vals 0=IMP_NRAND ;", "setdata -f F1 -t string -vals 1=EDIT_CONTINUOUS ;",
      "setdata -f F1 -t string -vals 2=0.5 ;", "setdata -f F1 -t string -vals 3=1.75 ;", "select sfr -f F0 F1",
      "runcmd edit.cmd 2 4 0 -10000 5 0.5 0.001 20 3 0 1 0 1 1 1.0 3.0", "rm sfr", "rm F0", "rm F1"},
     true,
     true},
};

constexpr int script_steps = 10;  // settings, selection and the run
constexpr int cleanup_steps = 3;

struct FramePrint {
    const char* frame;
    const char* missing;
    const char* count;
    const char* row;
};

constexpr FramePrint output_print{"output", "output data frame is missing from KRT's namespace?\n",
                                  "%lu records have been changed, the records are:\n", "row index=%lu, data:\t"};
constexpr FramePrint errors_print{"errors", "errors data frame is missing from KRT's namespace?\n",
                                  "There are error probabilities for %lu records, which are:\n",
                                  "row index=%lu, error probabilities:\t"};

// Prints a result frame: its rows (field 0) and, per row, the values of
// fields 1 and 2.  False when a field is missing or shorter than field 0.
bool print_frame(kest_platform::Engine& engine, const FramePrint& p)
{
    kest_platform::LentField rows;
    if (engine.get_field(p.frame, 0, rows) != 0) {
        std::printf("%s", p.missing);
        return false;
    }
    const int n = rows.count;
    std::printf(p.count, static_cast<unsigned long>(n));
    for (int i = 0; i < n; ++i) {
        // Read the row again each time: a lent array lasts only until the
        // next call into the engine.
        if (engine.get_field(p.frame, 0, rows) != 0 || rows.count < n) return false;
        std::printf(p.row, static_cast<unsigned long>(static_cast<const int*>(rows.values)[i]));
        for (int j = 1; j <= 2; ++j) {
            kest_platform::LentField values;
            if (engine.get_field(p.frame, j, values) != 0 || values.count < n) return false;
            std::printf("var%d=%f\t", j, static_cast<double>(static_cast<const float*>(values.values)[i]));
        }
        std::printf("\n");
    }
    return true;
}

// Runs a scenario; 0, or the code of the step that failed.  The codes are
// fixed by row of the scenario table: -1 to -10 for the settings, the
// selection and the script, -11 for printing "output", -12 for printing
// "errors", and the clean-up after the last of them.
int run_scenario(kest_platform::Engine& engine, const Scenario& s)
{
    std::printf("%s", s.title);
    for (int i = 0; i < script_steps; ++i)
        if (!kest_platform::command_succeeded(engine.run_command(s.commands[i]))) return -(i + 1);
    if (s.print_output && !print_frame(engine, output_print)) return -11;
    if (s.print_errors && !print_frame(engine, errors_print)) return -12;
    const int first_cleanup_code = s.print_errors ? -13 : -12;
    for (int i = 0; i < cleanup_steps; ++i)
        if (!kest_platform::command_succeeded(engine.run_command(s.commands[script_steps + i])))
            return first_cleanup_code - i;
    return 0;
}

// The synthetic data: var1 falls slowly from 1 towards 0.77, var2 is
// uniform in [0.25, 0.75); five var2 values are missing and five out of
// range.
bool push_data(kest_platform::Engine& engine)
{
    if (engine.create_frame("data") != 0) return false;
    std::vector<float> var1(records), var2(records);
    Draws draws;
    for (int i = 0; i < records; ++i) {
        var1[static_cast<std::size_t>(i)] = static_cast<float>((std::cos(i * 0.001) + 1.0) * 0.5);
        const int r = draws.next();
        var2[static_cast<std::size_t>(i)] = static_cast<float>(r % 10000) * 0.00005f + 0.25f;
    }
    for (int i : {5, 105, 210, 315, 420}) var2[static_cast<std::size_t>(i)] = missing;
    var2[0] = 0.0f;
    var2[100] = 0.9f;
    var2[200] = 0.15f;
    var2[300] = 0.91f;
    var2[400] = 0.05f;
    return engine.insert_float_field("data", "var1", var1) == 0 && engine.insert_float_field("data", "var2", var2) == 0;
}

}  // namespace

int main()
{
    kest_platform::Engine engine;
    if (!engine.bound()) {
        std::printf("ERROR: Unable to load krt.dll library");
        return -1;
    }
    std::printf("krt.dll loaded\n\n");
    std::printf("generating incomplete and erroneous data\n\n");
    if (!push_data(engine)) {
        std::printf("Failed to create data into KRT's namespace\n");
        engine.release();
        std::printf("krt.dll released\n");
        return -1;
    }
    for (const Scenario& s : scenarios) {
        const int code = run_scenario(engine, s);
        if (code != 0) std::printf(s.failure, code);
        std::printf("\n");
    }
    engine.release();
    std::printf("krt.dll released\n");
    return 0;
}
