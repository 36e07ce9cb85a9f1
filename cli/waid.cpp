// kest waid: imputes the missing values of one variable of a data set with
// the WAID plug-in, which grows a WAID tree on the records that have no
// missing value and writes its predictions into the data file with status
// Imputed.
//
// The plug-in says only whether it succeeded; the tool counts the
// variable's Imputed cells before and after the run to tell how many it
// wrote.
#include <algorithm>
#include <climits>
#include <iostream>
#include <string>
#include <vector>

#include "audit.h"
#include "brindle.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "options.h"
#include "plugin_call.h"

namespace kest_cli {

namespace {

constexpr std::string_view waid_usage =
    "usage: kest waid DATAFILE --dep VAR [options]\n"
    "\n"
    "Imputes the missing values of one variable of a data set with a WAID tree\n"
    "grown on the records that have no missing value, and writes them into the\n"
    "data file with status Imputed.  Every value is taken as a category code:\n"
    "it is rounded down, and zero and negative values count as 1.  A record\n"
    "that lacks only a predictor is neither used nor imputed.  Each run writes\n"
    "a debug log to " BRINDLE_DEBUG_LOG "; runs must not overlap.  The tree\n"
    "routines need at least two records to grow on and two to impute.\n"
    "\n"
    "options:\n"
    "  --dep VAR             variable to impute (required)\n"
    "  --predictors A,B,...  variables the tree may split on (default: every\n"
    "                        other variable)\n"
    "  --scheme SCHEME       weighting of the records: none, sine, biweight or\n"
    "                        huber (default: biweight)\n"
    "  --method METHOD       imputed value: value (the leaf's value), mode (the\n"
    "                        leaf's modal category) or donor (a random record of\n"
    "                        the leaf) (default: mode for a categorical VAR,\n"
    "                        whose codes a leaf's mean is not; value otherwise)\n"
    "  --maxit N             most passes of the weighting (default: 50)\n"
    "  --tuning X            tuning constant of the weighting, 0 or more\n"
    "                        (default: 4.685)\n"
    "  --schema FILE         schema of the data file (default: the one the data\n"
    "                        file names, looked up beside the data file first)\n"
    "  --stylesheet FILE     stylesheet the rewritten data file names (default:\n"
    "                        the one the data file names, found the same way)\n";

constexpr KnownOption waid_options[] = {{"--dep"},    {"--predictors"}, {"--scheme"}, {"--method"},
                                        {"--maxit"},  {"--tuning"},     {"--schema"}, {"--stylesheet"}};

struct Choice {
    std::string_view name;
    int code;
};

// The plug-in's codes for the weighting schemes and imputation methods.
constexpr Choice schemes[] = {{"none", 1}, {"sine", 2}, {"biweight", 3}, {"huber", 4}};
constexpr Choice methods[] = {{"value", 1}, {"mode", 2}, {"donor", 3}};

int choose(std::span<const Choice> choices, const std::string* given, std::string_view fallback, std::string_view option)
{
    const std::string_view name = given ? std::string_view(*given) : fallback;
    std::string known;
    for (const Choice& c : choices) {
        if (c.name == name) return c.code;
        known += (known.empty() ? "" : ", ") + std::string(c.name);
    }
    throw UsageError(std::string(option) + " must be one of " + known + ", not '" + std::string(name) + "'");
}

struct Settings {
    std::string data_file, schema, stylesheet;  // schema and stylesheet empty: found from the data file
    std::string dep;
    std::vector<std::string> predictors;        // empty: every other variable
    int scheme = 3;
    int method = 0;  // 0: the default for the dependent variable's kind
    int maxit = 50;
    double tuning = 4.685;
};

Settings parse_settings(std::span<const std::string> args)
{
    const ParsedArgs parsed = parse_args(args, waid_options);
    Settings s;
    s.data_file = parsed.the_one("data file");
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    const std::string* dep = parsed.value("--dep");
    if (dep == nullptr || dep->empty()) throw UsageError("no variable to impute given: use --dep VAR");
    s.dep = *dep;
    if (const std::string* v = parsed.value("--predictors")) s.predictors = split(*v, ',');
    s.scheme = choose(schemes, parsed.value("--scheme"), "biweight", "--scheme");
    if (parsed.has("--method")) s.method = choose(methods, parsed.value("--method"), "value", "--method");
    if (const std::string* v = parsed.value("--maxit")) s.maxit = static_cast<int>(parse_whole(*v, "--maxit", 1, INT_MAX));
    if (const std::string* v = parsed.value("--tuning")) {
        s.tuning = parse_real(*v, "--tuning");
        if (s.tuning < 0) throw UsageError("--tuning must be 0 or more, not '" + *v + "'");
    }
    return s;
}

// ---------------------------------------------------------------------------
// Variables by name

std::vector<std::string> names_of(const DataSet& d)
{
    return std::vector<std::string>(d.names.list, d.names.list + d.num_vars);
}

int variable_index(const std::vector<std::string>& names, const std::string& name, std::string_view role)
{
    const auto it = std::find(names.begin(), names.end(), name);
    if (it != names.end()) return static_cast<int>(it - names.begin());
    std::string known;
    for (const std::string& n : names) known += (known.empty() ? "" : ", ") + n;
    throw UsageError(std::string(role) + " '" + name + "' is not a variable of the data set; its variables are " + known);
}

std::vector<int> predictor_indices(const Settings& s, const std::vector<std::string>& names, int dep)
{
    std::vector<int> chosen;
    if (s.predictors.empty()) {
        for (int j = 0; j < static_cast<int>(names.size()); ++j)
            if (j != dep) chosen.push_back(j);
        if (chosen.empty()) throw UsageError("the data set has no variable besides '" + s.dep + "' to predict it from");
        return chosen;
    }
    for (const std::string& name : s.predictors) {
        if (name.empty()) throw UsageError("--predictors holds an empty name");
        const int j = variable_index(names, name, "the predictor");
        if (j == dep) throw UsageError("the predictor '" + name + "' is the variable to impute");
        if (std::find(chosen.begin(), chosen.end(), j) != chosen.end())
            throw UsageError("the predictor '" + name + "' is given twice");
        chosen.push_back(j);
    }
    return chosen;
}

// ---------------------------------------------------------------------------
// The run

struct Census {
    StatusCounts counts;
    std::vector<std::string> names;
    std::vector<int> ncat;
    int records = 0;  // record lines the data file holds
    int stated = 0;   // records the schema states
};

Census take_census(const DataSetFiles& f)
{
    DataSet d;
    size_data_set(f, d);
    Census c;
    c.counts = count_statuses(f, d);
    c.names = names_of(d);
    c.ncat = d.ncat;
    c.records = d.rows_read;
    c.stated = d.num_obs;
    return c;
}

int call_plugin(const DataSetFiles& f, const std::string& stylesheet, int dep, const std::vector<int>& predictors,
                const Settings& s, int method)
{
    return call_from_data_folder(f, stylesheet, [&](const PluginPaths& p) {
        return TAV_WAID_WRAPPER(p.data.c_str(), p.schema.c_str(), p.stylesheet.c_str(), dep, predictors.data(),
                                static_cast<int>(predictors.size()), s.scheme, method, s.maxit, s.tuning);
    });
}

int waid(const Settings& s)
{
    DataSetFiles f{s.data_file, s.schema.empty() ? locate_schema(s.data_file) : s.schema};
    const DataSetHold held = hold_data_set(f.data, f.schema, Access::change);
    const std::string stylesheet = s.stylesheet.empty() ? locate_stylesheet(s.data_file) : s.stylesheet;

    const Census before = take_census(f);
    const int dep = variable_index(before.names, s.dep, "the variable to impute");
    const std::vector<int> predictors = predictor_indices(s, before.names, dep);

    // Rows the schema states but the file lacks would read as records with
    // every value missing, and be imputed and written as new records.
    if (before.records != before.stated)
        throw DataSetFailure{"'" + f.data + "' holds " + std::to_string(before.records) + " records but '" + f.schema +
                             "' states " + std::to_string(before.stated) + "; nothing was imputed"};
    const long missing_before = before.counts[static_cast<std::size_t>(dep)][missing];
    if (missing_before == 0) {
        std::cout << "nothing to impute: " << s.dep << " has no missing values in " << s.data_file << "\n";
        return exit_ok;
    }

    // The plug-in imputes every record whose dependent value is missing,
    // but its scorer needs two of them; with one it fails and says only
    // "ERROR LOAD_DATA FAILED".
    if (missing_before == 1)
        throw DataSetFailure{"only one record misses " + s.dep + ", and the plug-in's tree routines need at least two "
                             "records to impute; nothing was imputed (kest tree --impute can impute one)"};
    constexpr int mode_method = 2, value_method = 1;
    const bool categorical = before.ncat[static_cast<std::size_t>(dep)] > 0;
    const int method = s.method != 0 ? s.method : categorical ? mode_method : value_method;

    // The plug-in says only whether it succeeded; what it changed is found
    // by reading every cell before and after it, both under the hold.
    const Records rec = read_records(f.data, f.schema, stylesheet);
    const CellStates cells_before = read_cell_states(rec);
    AuditLog log(f.data);
    if (call_plugin(f, stylesheet, dep, predictors, s, method) != 0) {
        std::cerr << "kest waid: imputation failed; see the log " BRINDLE_DEBUG_LOG "\n";
        return exit_failure;
    }
    const bool logged = log.record_changes(rec, cells_before, [](int, int) { return CellSource{"waid"}; }, "waid");

    const Census after = take_census(f);
    const long imputed = after.counts[static_cast<std::size_t>(dep)][StatusColumn::imputed] -
                         before.counts[static_cast<std::size_t>(dep)][StatusColumn::imputed];
    std::cout << "imputed " << imputed << " values of " << s.dep << " in " << s.data_file
              << " (log: " BRINDLE_DEBUG_LOG ")\n";
    return logged ? exit_ok : exit_failure;
}

int run_waid(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    return waid(settings);
}

}  // namespace

const Command waid_command{"waid", "impute one variable of a data set with a WAID tree", waid_usage, run_waid};

}  // namespace kest_cli
