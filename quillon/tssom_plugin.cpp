// The TS-SOM imputation plug-in: the data set is read through libkest.so,
// handed to the analysis engine, imputed by the engine's script and the
// imputed cells are written back through libkest.so.  What is the
// plug-in's own is composing the engine commands, checking what the engine
// lends back and the messages.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "engine.h"
#include "kest.h"
#include "message_box.h"
#include "quillon.h"

namespace quillon {

namespace {

constexpr double missing = QUILLON_MISSING;
constexpr int max_cats = 100;
constexpr int status_limit = 1;  // Valid values only

// The binding of the running TAV_TSSOM_WRAPPER call; TAV_IMPUTATION drives
// the engine through it.
kest_platform::Engine* engine = nullptr;

// Makes a binding the plug-in's one for the length of a call.
class EngineInUse {
public:
    explicit EngineInUse(kest_platform::Engine& bound) { engine = &bound; }
    ~EngineInUse() { engine = nullptr; }
    EngineInUse(const EngineInUse&) = delete;
    EngineInUse& operator=(const EngineInUse&) = delete;
};

void message(const char* text) { kest_platform::show_message_box("TS-SOM", text); }

// Ends the load step or the write-back; the caller shows its message.
struct StepFailed {};

bool run(const std::string& command)
{
    return engine != nullptr && kest_platform::command_succeeded(engine->run_command(command));
}

std::string numbered(const char* format, long value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The four settings of a variable, with the message each shows when it
// fails in the load step and in TAV_IMPUTATION.
struct SettingsCommand {
    const char* format;
    const char* load_message;
    const char* imputation_message;
};

constexpr SettingsCommand settings_commands[] = {
    {"setdata -f F%ld -len 4 -t string -vals 0=IMP_NRAND ;", "IN LOAD_DATA ERROR (I) IN BUILDING FSTAT",
     "ERROR (I) IN TAV_IMPUTATION: building fstat"},
    {"setdata -f F%ld -t string -vals 1=EDIT_NONE ;", "IN LOAD_DATA ERROR (II) IN BUILDING FSTAT",
     "ERROR (II) IN TAV_IMPUTATION: building fstat"},
    {"setdata -f F%ld -t string -vals 2=0.5 ;", "IN LOAD_DATA ERROR (III) IN BUILDING FSTAT",
     "ERROR (III) IN TAV_IMPUTATION: building fstat"},
    {"setdata -f F%ld -t string -vals 3=3.0 ;", "IN LOAD_DATA ERROR (IV) IN BUILDING FSTAT",
     "ERROR (IV) IN TAV_IMPUTATION: building fstat"},
};

// Runs the settings commands of variable j; the one that failed, or null.
const SettingsCommand* build_settings(int j)
{
    for (const SettingsCommand& c : settings_commands)
        if (!run(numbered(c.format, j))) return &c;
    return nullptr;
}

// "select sfr -f F0 F1 ..." for every variable; composed without a length
// limit, so any number of variables fits.
std::string selection_command(int num_vars)
{
    std::string command = "select sfr -f";
    for (int j = 0; j < num_vars; ++j) command += numbered(" F%ld", j);
    return command;
}

void print(const char* format, const char* text = "")
{
    std::printf(format, text);
    std::fflush(stdout);
}

// A double as the engine's float; beyond the float range it becomes an
// infinity, which the engine takes for no value.
float as_float(double v)
{
    if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
    if (v > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (v < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(v);
}

struct Paths {
    const char* data;
    const char* schema;
    const char* xsl;
};

struct ScriptNumbers {
    int layer, training, passes, seed;
};

struct NameList {
    char** names = nullptr;
    int count = 0;
    ~NameList() { free_list(names, count); }
};

// Reads the data set and pushes it into the engine, then runs the
// engine's imputation script.
void load_data(const Paths& paths, int num_obs, int num_vars, std::vector<double>& data, const ScriptNumbers& numbers)
{
    int error[2] = {0, 0};
    int obs_again = 0, vars_again = 0, name_size = 0;
    xml_data_size(paths.schema, &obs_again, &vars_again, &name_size, error);
    // The matrix was sized by the first look at the schema; a schema that
    // changed since would not fit it.
    if (error[0] > 0 || obs_again != num_obs || vars_again != num_vars || name_size < 1) throw StepFailed{};

    NameList names;
    names.count = num_vars;
    for (int j = 0; j < num_vars; ++j)
        if (alloc_names(&names.names, num_vars, j, name_size) == nullptr) {
            message("ALLOCATION FAILED");
            throw StepFailed{};
        }

    std::vector<int> ncat, cat_codes;
    std::vector<float> column;
    try {
        ncat.assign(static_cast<std::size_t>(num_vars), 0);
        cat_codes.assign(static_cast<std::size_t>(num_vars) * max_cats, 0);
        column.assign(static_cast<std::size_t>(num_obs), 0.0f);
    } catch (const std::bad_alloc&) {
        message("ALLOCATION FAILED");
        throw StepFailed{};
    }
    int n_missing = 0;
    xml_read(paths.data, paths.schema, missing, num_obs, num_vars, data.data(), names.names, ncat.data(),
             cat_codes.data(), max_cats, status_limit, &n_missing, error);
    if (error[0] > 0) throw StepFailed{};

    if (engine->create_frame("data") != 0) {
        message("IN LOAD_DATA ERROR CALLING krt_create_new_frame");
        throw StepFailed{};
    }
    for (int j = 0; j < num_vars; ++j) {
        for (int r = 0; r < num_obs; ++r)
            column[static_cast<std::size_t>(r)] = as_float(data[static_cast<std::size_t>(r) * num_vars + j]);
        if (engine->insert_float_field("data", numbered("var%ld", j + 1).c_str(), column) != 0) {
            message("IN LOAD_DATA ERROR CALLING krt_insert_ffield");
            throw StepFailed{};
        }
    }
    for (int j = 0; j < num_vars; ++j)
        if (const SettingsCommand* failed = build_settings(j)) {
            message(failed->load_message);
            throw StepFailed{};
        }
    if (!run(selection_command(num_vars))) {
        message("IN LOAD_DATA ERROR (V)");
        throw StepFailed{};
    }
    char command[160];
    std::snprintf(command, sizeof command, "runcmd impute.cmd 2 4 %ld -10000 5 0.5 0.001 %ld 3 0 1 %ld %ld",
                  static_cast<long>(numbers.seed), static_cast<long>(numbers.passes), static_cast<long>(numbers.layer),
                  static_cast<long>(numbers.training));
    run(command);  // a failed run leaves no "output" frame, which the write-back reports
}

// Field k of "output" with at least `count` values, or a retrieve error.
const float* output_values(int k, int count)
{
    kest_platform::LentField field;
    if (engine->get_field("output", k, field) != 0 || field.count < count) {
        message("ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR");
        throw StepFailed{};
    }
    return static_cast<const float*>(field.values);
}

// Writes the engine's imputations of flagged variables into the cells that
// are missing in the file.
void write_back(const int* flags, int num_records, int num_vars, const double* data, const Paths& paths)
{
    kest_platform::LentField field;
    if (engine->get_field("output", 0, field) != 0) {
        message("ERROR TAV_UPDATE_XML DATA STACK FRAME MISSING");
        throw StepFailed{};
    }
    const int count = field.count;

    print("Now allocate the XML arrays \n");
    std::vector<int> rows, change_recs, change_vars;
    std::vector<double> change_vals;
    try {
        // The engine lends the row numbers only until the next call into it.
        const int* lent = static_cast<const int*>(field.values);
        rows.assign(lent, lent + count);
        const std::size_t room = static_cast<std::size_t>(count) * static_cast<std::size_t>(num_vars) + 1;
        change_recs.reserve(room);
        change_vars.reserve(room);
        change_vals.reserve(room);
    } catch (const std::bad_alloc&) {
        message("ALLOCATION FAILED");
        throw StepFailed{};
    }

    // The writer needs its change list in row-major order and every row
    // inside the data set; rows the engine lends otherwise would land in
    // the wrong cells, so they are refused.
    for (int p = 0; p < count; ++p)
        if (rows[static_cast<std::size_t>(p)] < 0 || rows[static_cast<std::size_t>(p)] >= num_records ||
            (p > 0 && rows[static_cast<std::size_t>(p)] <= rows[static_cast<std::size_t>(p) - 1])) {
            message("ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR");
            throw StepFailed{};
        }

    for (int p = 0; p < count; ++p) {
        const int r = rows[static_cast<std::size_t>(p)];
        for (int j = 0; j < num_vars; ++j) {
            if (flags[j] != 1) continue;
            // Fetched again for every cell: a lent array lasts only until
            // the next call into the engine.
            const float* column = output_values(j + 1, count);
            if (data[static_cast<std::size_t>(r) * num_vars + j] != missing) continue;
            const double value = column[p];
            if (!std::isfinite(value)) {
                message("ERROR TAV_UPDATE_XML DATA RETRIEVE ERROR");
                throw StepFailed{};
            }
            change_recs.push_back(r);
            change_vars.push_back(j);
            change_vals.push_back(value);
        }
    }
    const int changes = static_cast<int>(change_recs.size());
    change_recs.push_back(-1);
    change_vars.push_back(-1);
    change_vals.push_back(0.0);

    int error[2] = {0, 0};
    xml_update(paths.data, paths.schema, paths.xsl, missing, num_records, num_vars, 1, changes, change_recs.data(),
               change_vars.data(), change_vals.data(), error);
    if (error[0] > 0) throw StepFailed{};
}

int imputation(const int* flags, int num_records, int num_vars, const double* data, const Paths& paths)
{
    if (flags == nullptr || data == nullptr || paths.data == nullptr || paths.schema == nullptr ||
        paths.xsl == nullptr || num_records < 1 || num_vars < 1)
        return QUILLON_SETTINGS_OF_FIRST_FAILED;
    for (int i = 0; i < num_vars; ++i)
        if (const SettingsCommand* failed = build_settings(i)) {
            message(failed->imputation_message);
            return i == 0 ? QUILLON_SETTINGS_OF_FIRST_FAILED : -i;
        }
    const std::string selection = selection_command(num_vars);
    print("command_buf >>%s< \n", selection.c_str());
    if (!run(selection)) {
        message("ERROR (V) IN TAV_IMPUTATION");
        return -9;
    }
    try {
        write_back(flags, num_records, num_vars, data, paths);
    } catch (const StepFailed&) {
        message("ERROR TAV_UPDATE_XML FAILED");
        return -11;
    }
    if (!run("rm sfr")) {
        message("ERROR (I) CLEAN KRT FAILED");
        return -12;
    }
    for (int i = 0; i < num_vars; ++i)
        if (!run(numbered("rm F%ld;", i))) {
            message("ERROR (II) CLEAN KRT FAILED");
            return -12;
        }
    return 0;
}

int tssom(const Paths& paths, const int* flags, const ScriptNumbers& numbers)
{
    kest_platform::Engine bound;
    if (!bound.bound()) {
        message("ERROR UNABLE TO LOAD KRT.DLL");
        return -1;
    }
    const EngineInUse in_use(bound);

    int error[2] = {0, 0};
    int num_obs = 0, num_vars = 0, name_size = 0;
    xml_data_size(paths.schema, &num_obs, &num_vars, &name_size, error);
    std::vector<double> data;
    try {
        if (error[0] > 0 || num_obs < 1 || num_vars < 1) throw StepFailed{};
        try {
            // Rows the reader does not reach (a data file shorter than its
            // schema states) keep NaN: the engine takes it for no value and
            // the write-back never writes such a row.
            data.assign(static_cast<std::size_t>(num_obs) * static_cast<std::size_t>(num_vars),
                        std::numeric_limits<double>::quiet_NaN());
        } catch (const std::bad_alloc&) {
            message("ALLOCATION FAILED");
            throw StepFailed{};
        }
        load_data(paths, num_obs, num_vars, data, numbers);
    } catch (const StepFailed&) {
        message("ERROR LOAD_DATA FAILED");
        return -1;
    }
    if (imputation(flags, num_obs, num_vars, data.data(), paths) != 0) {
        message("ERROR TAV_IMPUTATION FAILED");
        return -1;
    }
    return 0;
}

}  // namespace

}  // namespace quillon

extern "C" int TAV_TSSOM_WRAPPER(const char* data_path, const char* schema_path, const char* xsl_path,
                                 const int* flags, int layer, int training, int passes, int seed)
{
    // A null path or flag list is refused before the engine is loaded.
    if (data_path == nullptr || schema_path == nullptr || xsl_path == nullptr || flags == nullptr) {
        quillon::message("ERROR LOAD_DATA FAILED");
        return -1;
    }
    try {
        return quillon::tssom({data_path, schema_path, xsl_path}, flags, {layer, training, passes, seed});
    } catch (...) {
        // Storage that could not be obtained ends the run; the data file is
        // only ever changed by the last step.
        quillon::message("ALLOCATION FAILED");
        quillon::message("ERROR LOAD_DATA FAILED");
        return -1;
    }
}

extern "C" int TAV_IMPUTATION(const int* flags, int num_records, int num_variables, const double* data,
                              const char* data_path, const char* schema_path, const char* xsl_path)
{
    try {
        return quillon::imputation(flags, num_records, num_variables, data, {data_path, schema_path, xsl_path});
    } catch (...) {
        quillon::message("ALLOCATION FAILED");
        quillon::message("ERROR TAV_UPDATE_XML FAILED");
        return -11;
    }
}
