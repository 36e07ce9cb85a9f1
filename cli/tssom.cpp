// kest tssom: imputes the missing values of a data set with the TS-SOM
// plug-in, which hands the data to the analysis engine libkrt.so and writes
// the engine's imputations into the data file with status Imputed.
//
// The plug-in says only whether it succeeded (its messages go to standard
// error, captioned "TS-SOM"); the tool counts the Imputed cells of the
// written variables before and after the run to tell how many it wrote.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "options.h"
#include "plugin_call.h"
#include "quillon.h"
#include "records.h"

namespace kest_cli {

namespace {

constexpr std::string_view tssom_usage =
    "usage: kest tssom DATAFILE [options]\n"
    "\n"
    "Imputes the missing values of a data set with the TS-SOM method of the\n"
    "analysis engine libkrt.so (found through LD_LIBRARY_PATH, the plug-in's\n"
    "run path or the system folders), and writes them into the data file with\n"
    "status Imputed.  Only Valid values are read; every other cell counts as\n"
    "missing.  Each missing value comes from a donor among the records of its\n"
    "record's unit of the map.  Runs must not overlap.\n"
    "\n"
    "options:\n"
    "  --variables A,B,...   variables whose imputed values are written\n"
    "                        (default: every variable)\n"
    "  --layer N             layer whose units give the donors, counted up from\n"
    "                        the bottom layer 0 (0 to 3; default: 0)\n"
    "  --train WHICH         records the map is trained on: complete (every\n"
    "                        value present) or any (default: any)\n"
    "  --passes N            most training passes per layer (default: 20)\n"
    "  --seed N              seed of the engine's generator (default: 0)\n"
    "  --verbose             let through the two diagnostic lines the plug-in\n"
    "                        prints on standard output\n"
    "  --schema FILE         schema of the data file (default: the one the data\n"
    "                        file names, looked up beside the data file first)\n"
    "  --stylesheet FILE     stylesheet the rewritten data file names (default:\n"
    "                        the one the data file names, found the same way)\n";

constexpr KnownOption tssom_options[] = {{"--variables"}, {"--layer"},  {"--train"},
                                         {"--passes"},    {"--seed"},   {"--schema"}, {"--stylesheet"}};
constexpr std::string_view verbose_switch = "--verbose";

struct Settings {
    std::string data_file, schema, stylesheet;
    std::vector<std::string> variables;  // empty: every variable
    int layer = 0;
    int training = 1;
    int passes = 20;
    int seed = 0;
    bool verbose = false;
};

Settings parse_settings(std::span<const std::string> args)
{
    Settings s;
    const std::vector<std::string> rest = take_switch(args, verbose_switch, tssom_options, s.verbose);
    const ParsedArgs parsed = parse_args(rest, tssom_options);
    s.data_file = parsed.the_one("data file");
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    if (const std::string* v = parsed.value("--variables")) s.variables = split(*v, ',');
    if (const std::string* v = parsed.value("--layer")) s.layer = static_cast<int>(parse_whole(*v, "--layer", 0, 3));
    if (const std::string* v = parsed.value("--train")) {
        if (*v == "complete") s.training = 0;
        else if (*v != "any") throw UsageError("--train must be complete or any, not '" + *v + "'");
    }
    if (const std::string* v = parsed.value("--passes"))
        s.passes = static_cast<int>(parse_whole(*v, "--passes", 1, 10000));
    if (const std::string* v = parsed.value("--seed")) s.seed = static_cast<int>(parse_whole(*v, "--seed", 0, INT_MAX));
    return s;
}

// One flag per variable: 1 for the variables whose imputations are written.
std::vector<int> flags_for(const Settings& s, const std::vector<std::string>& names)
{
    std::vector<int> flags(names.size(), s.variables.empty() ? 1 : 0);
    Variables v;
    v.names = names;
    for (const std::string& name : s.variables) {
        if (name.empty()) throw UsageError("--variables holds an empty name");
        int& flag = flags[static_cast<std::size_t>(variable_index(v, name, "the variable"))];
        if (flag == 1) throw UsageError("the variable '" + name + "' is given twice");
        flag = 1;
    }
    return flags;
}

#if defined(_WIN32)
constexpr const char* null_device = "NUL";
constexpr int null_flags = O_WRONLY;
#else
constexpr const char* null_device = "/dev/null";
constexpr int null_flags = O_WRONLY | O_CLOEXEC;
#endif

// The plug-in prints its diagnostic lines to standard output; they are
// sent to the null device for the length of the call unless the user asks
// for them, so that the tool's own output stays its own.
class QuietStdout {
public:
    explicit QuietStdout(bool quiet)
    {
        if (!quiet) return;
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open(null_device, null_flags);
        if (saved_ < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) {
            if (null >= 0) close(null);
            restore();
            return;
        }
        close(null);
    }
    ~QuietStdout() { restore(); }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    void restore()
    {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
};

int tssom(const Settings& s)
{
    DataSetFiles f{s.data_file, s.schema.empty() ? locate_schema(s.data_file) : s.schema};
    const DataSetHold held = hold_data_set(f.data, f.schema, Access::change);
    const std::string stylesheet = s.stylesheet.empty() ? locate_stylesheet(s.data_file) : s.stylesheet;

    DataSet before;
    size_data_set(f, before);
    const StatusCounts counts_before = count_statuses(f, before);
    const std::vector<std::string> names(before.names.list, before.names.list + before.num_vars);
    const std::vector<int> flags = flags_for(s, names);
    // Rows the schema states but the file lacks are no records to impute.
    if (before.rows_read != before.num_obs)
        throw DataSetFailure{"'" + f.data + "' holds " + std::to_string(before.rows_read) + " records but '" +
                             f.schema + "' states " + std::to_string(before.num_obs) + "; nothing was imputed"};

    // The plug-in says only whether it succeeded; what it changed is found
    // by reading every cell before and after it, both under the hold.
    const Records rec = read_records(f.data, f.schema, stylesheet);
    const CellStates cells_before = read_cell_states(rec);
    AuditLog log(f.data);
    const int result = call_from_data_folder(f, stylesheet, [&](const PluginPaths& p) {
        const QuietStdout quiet(!s.verbose);
        return TAV_TSSOM_WRAPPER(p.data.c_str(), p.schema.c_str(), p.stylesheet.c_str(), flags.data(), s.layer,
                                 s.training, s.passes, s.seed);
    });
    if (result != 0) {
        std::cerr << "kest tssom: imputation failed\n";
        return exit_failure;
    }

    const bool logged = log.record_changes(rec, cells_before, [](int, int) { return CellSource{"tssom"}; }, "tssom");
    DataSet after;
    size_data_set(f, after);
    const StatusCounts counts_after = count_statuses(f, after);
    long imputed = 0, left = 0;
    for (std::size_t j = 0; j < flags.size(); ++j) {
        if (flags[j] != 1) continue;
        imputed += counts_after[j][StatusColumn::imputed] - counts_before[j][StatusColumn::imputed];
        left += counts_after[j][StatusColumn::missing];
    }
    std::cout << "imputed " << imputed << " values in " << s.data_file;
    if (left > 0) std::cout << "; " << left << " cells of the written variables are still missing";
    std::cout << "\n";
    return logged ? exit_ok : exit_failure;
}

int run_tssom(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    return tssom(settings);
}

}  // namespace

const Command tssom_command{"tssom", "impute a data set with the TS-SOM method of the analysis engine", tssom_usage,
                            run_tssom};

}  // namespace kest_cli
