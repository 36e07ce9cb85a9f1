// kest impute: fills the missing cells of a data set and writes them into
// the data file with status Imputed.  Two methods: nn takes a record's
// missing values from the closest other record that has them (gen_imp),
// mean fills every missing cell of a variable with one value, the mean of
// the variable or its most frequent code (simp_imp).
//
// Both routines only return the cells they filled; the tool checks that
// list, drops the cells left without a value and hands the rest to the
// writer.
#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "command.h"
#include "data_set.h"
#include "messages.h"
#include "options.h"

namespace fs = std::filesystem;

namespace kest_cli {

namespace {

constexpr std::string_view impute_usage =
    "usage: kest impute DATAFILE [options]\n"
    "\n"
    "Fills the missing cells of a data set and writes them into the data file\n"
    "with status Imputed.  Every cell that holds a number is read as a value,\n"
    "whatever its status.\n"
    "\n"
    "The method nn fills the missing cells of each record (the recipient) from\n"
    "one donor: the closest record that has all of them, measured on the\n"
    "variables the recipient has.  Cells for which no donor is found stay\n"
    "missing.  It counts recipient groups - the missing cells of one record,\n"
    "or one cell with --variable - that it skipped because the variables left\n"
    "to match on weigh less than --min-weight, that it matched on fewer than\n"
    "all variables (as every record that misses a weighted value is), and that\n"
    "found no donor.  The method mean fills every missing cell of a variable\n"
    "with the mean of its values, or with its most frequent code when it is\n"
    "categorical.\n"
    "\n"
    "options:\n"
    "  --method METHOD         nn or mean (default: nn)\n"
    "  --variable VAR          fill only the cells of this variable (default:\n"
    "                          every variable)\n"
    "  --schema FILE           schema of the data file (default: the one the\n"
    "                          data file names, looked up beside the data file\n"
    "                          first)\n"
    "  --stylesheet FILE       stylesheet the rewritten data file names\n"
    "                          (default: the one the data file names, found\n"
    "                          the same way)\n"
    "\n"
    "options of nn:\n"
    "  --pool POOL             records that may donate: all (every record),\n"
    "                          range:FIRST:END (records FIRST to END-1, counted\n"
    "                          from 1) or class:VAR (the records with the\n"
    "                          recipient's code of the categorical variable\n"
    "                          VAR; records whose VAR is missing or not one of\n"
    "                          its codes are neither filled nor donors)\n"
    "                          (default: all)\n"
    "  --weights VAR=W,...     share of a variable in the distance, 0 or more;\n"
    "                          a variable of weight 0 is not matched on\n"
    "                          (default: 1 each)\n"
    "  --scales VAR=S,...      factor on the differences of a continuous\n"
    "                          variable, 0 or more; with distance 3 the\n"
    "                          tolerance (default: 1/(max - min) of its\n"
    "                          values, 1 when they are all equal)\n"
    "  --distance VAR=TYPE,... how a variable's differences count:\n"
    "                            continuous: 0 squared, as in the Euclidean\n"
    "                            distance (default), 1 absolute, 2 signed\n"
    "                            (summed before the size is taken), 3 the\n"
    "                            full weight when the difference exceeds\n"
    "                            the tolerance\n"
    "                            categorical: 0 the full weight when the\n"
    "                            codes differ (default), 1 the distance of\n"
    "                            the codes' places in the code list over the\n"
    "                            number of codes less one; type 2, a table of\n"
    "                            distances between categories, is not offered\n"
    "  --ties N                most equally close donors kept to draw from\n"
    "                          (default: 5)\n"
    "  --seed N                seed of the draw among equally close donors; 0\n"
    "                          takes the first of them, a negative seed takes\n"
    "                          the clock (default: 1)\n"
    "  --reuse-penalty         make a donor farther by the total weight each\n"
    "                          time it donates, so that one record does not\n"
    "                          fill most gaps (default: no penalty)\n"
    "  --min-weight X          skip a recipient whose variables left to match\n"
    "                          on weigh less than X together (default: 0)\n";

// Every option but --reuse-penalty takes a value.
constexpr KnownOption impute_options[] = {{"--method"},   {"--variable"}, {"--schema"}, {"--stylesheet"},
                                          {"--pool"},     {"--weights"},  {"--scales"}, {"--distance"},
                                          {"--ties"},     {"--seed"},     {"--min-weight"}};
constexpr std::string_view reuse_switch = "--reuse-penalty";

// Options that only the donor method reads.
constexpr std::string_view donor_options[] = {"--pool", "--weights", "--scales", "--distance",
                                              "--ties", "--seed",    "--min-weight"};

// A value no number text can produce, so a cell holds it only when the
// reader found the cell missing.  Not NaN: missing cells are found by
// equality.
const double missing_code = -std::numeric_limits<double>::max();

// The reader's status limit under which every status that comes with a
// number is read as a value.
constexpr int every_status = 5;

enum class Method { nn, mean };
enum class PoolKind { all, range, klass };

struct Settings {
    std::string data_file, schema, stylesheet;  // schema and stylesheet empty: found from the data file
    Method method = Method::nn;
    std::string variable;  // empty: every variable
    PoolKind pool = PoolKind::all;
    int first = 0, end = 0;  // range: records counted from 1, end excluded
    std::string class_variable;
    std::vector<std::pair<std::string, double>> weights, scales;
    std::vector<std::pair<std::string, int>> distances;
    int ties = 5;
    int seed = 1;
    bool reuse_penalty = false;
    double min_weight = 0;
};

// ---------------------------------------------------------------------------
// Reading the command line

bool takes_value(std::string_view arg)
{
    return std::any_of(std::begin(impute_options), std::end(impute_options),
                       [arg](const KnownOption& o) { return o.name == arg; });
}

// The option parser gives every option a value, so the one switch is taken
// out of the arguments before they reach it.
std::vector<std::string> without_switch(std::span<const std::string> args, bool& given)
{
    std::vector<std::string> rest;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!options_ended) {
            if (arg == "--") {
                options_ended = true;
            } else if (arg == reuse_switch) {
                if (given) throw UsageError("option '--reuse-penalty' is given more than once");
                given = true;
                continue;
            } else if (arg.rfind(std::string(reuse_switch) + "=", 0) == 0) {
                throw UsageError("option '--reuse-penalty' takes no value");
            } else if (takes_value(arg) && i + 1 < args.size()) {
                // Its value stays with it, even when it looks like the switch.
                rest.push_back(arg);
                rest.push_back(args[++i]);
                continue;
            }
        }
        rest.push_back(arg);
    }
    return rest;
}

Method method_named(const std::string* given)
{
    if (given == nullptr || *given == "nn") return Method::nn;
    if (*given == "mean") return Method::mean;
    throw UsageError("--method must be nn or mean, not '" + *given + "'");
}

void parse_pool(const std::string& text, Settings& s)
{
    if (text == "all") return;
    const std::vector<std::string> parts = split(text, ':');
    if (parts[0] == "range" && parts.size() == 3) {
        s.pool = PoolKind::range;
        s.first = static_cast<int>(parse_whole(parts[1], "the first record of --pool range", 1, INT_MAX - 1));
        s.end = static_cast<int>(parse_whole(parts[2], "the end record of --pool range", s.first + 1LL, INT_MAX));
        return;
    }
    if (parts[0] == "class" && parts.size() == 2 && !parts[1].empty()) {
        s.pool = PoolKind::klass;
        s.class_variable = parts[1];
        return;
    }
    throw UsageError("--pool must be all, range:FIRST:END or class:VAR, not '" + text + "'");
}

// "VAR=X,VAR=Y": each variable at most once.
template <typename T, typename Convert>
std::vector<std::pair<std::string, T>> parse_assignments(const std::string& text, std::string_view option, Convert convert)
{
    std::vector<std::pair<std::string, T>> list;
    for (const std::string& part : split(text, ',')) {
        const std::size_t equals = part.find('=');
        if (equals == 0 || equals == std::string::npos)
            throw UsageError(std::string(option) + " takes VAR=VALUE,..., not '" + part + "'");
        std::string name = part.substr(0, equals);
        for (const auto& [known, value] : list)
            if (known == name) throw UsageError(std::string(option) + " names '" + name + "' twice");
        list.emplace_back(std::move(name), convert(part.substr(equals + 1), std::string(option) + " of '" +
                                                                                  part.substr(0, equals) + "'"));
    }
    return list;
}

double not_negative(const std::string& text, const std::string& what)
{
    const double value = parse_real(text, what);
    if (value < 0) throw UsageError(what + " must be 0 or more, not '" + text + "'");
    return value;
}

int distance_type(const std::string& text, const std::string& what)
{
    return static_cast<int>(parse_whole(text, what, 0, 3));
}

Settings parse_settings(std::span<const std::string> args)
{
    Settings s;
    const std::vector<std::string> rest = without_switch(args, s.reuse_penalty);
    const ParsedArgs parsed = parse_args(rest, impute_options);
    if (parsed.positional.empty()) throw UsageError("no data file given");
    if (parsed.positional.size() > 1) throw UsageError("unexpected argument '" + parsed.positional[1] + "'");
    s.data_file = parsed.positional[0];
    s.method = method_named(parsed.value("--method"));
    if (s.method == Method::mean) {
        for (std::string_view option : donor_options)
            if (parsed.has(option)) throw UsageError(std::string(option) + " applies only to --method nn");
        if (s.reuse_penalty) throw UsageError("--reuse-penalty applies only to --method nn");
    }
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    if (const std::string* v = parsed.value("--variable")) {
        if (v->empty()) throw UsageError("--variable needs a variable name");
        s.variable = *v;
    }
    if (const std::string* v = parsed.value("--pool")) parse_pool(*v, s);
    if (const std::string* v = parsed.value("--weights"))
        s.weights = parse_assignments<double>(*v, "--weights", not_negative);
    if (const std::string* v = parsed.value("--scales"))
        s.scales = parse_assignments<double>(*v, "--scales", not_negative);
    if (const std::string* v = parsed.value("--distance"))
        s.distances = parse_assignments<int>(*v, "--distance", distance_type);
    if (const std::string* v = parsed.value("--ties")) s.ties = static_cast<int>(parse_whole(*v, "--ties", 1, INT_MAX));
    if (const std::string* v = parsed.value("--seed"))
        s.seed = static_cast<int>(parse_whole(*v, "--seed", INT_MIN, INT_MAX));
    if (const std::string* v = parsed.value("--min-weight")) s.min_weight = not_negative(*v, "--min-weight");
    return s;
}

// ---------------------------------------------------------------------------
// The data set

struct Variables {
    std::vector<std::string> names;
    std::vector<int> ncat;   // 0 continuous
    std::vector<int> codes;  // row j holds the codes of variable j
    int row_length = 0;      // the longest code list

    int count() const { return static_cast<int>(names.size()); }
    bool categorical(int j) const { return ncat[static_cast<std::size_t>(j)] > 0; }
    int* code_row(int j) { return codes.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(row_length); }
    const int* code_row(int j) const
    {
        return codes.data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(row_length);
    }
};

struct Records {
    DataSetFiles files;
    std::string stylesheet;
    int count = 0;
    std::vector<double> data;  // count x variables, row-major
    Variables vars;
    long missing = 0;

    double at(int r, int j) const
    {
        return data[static_cast<std::size_t>(r) * vars.names.size() + static_cast<std::size_t>(j)];
    }
};

// The code table of the reader holds as many codes per variable as the
// schema could list; the routines get one just wide enough.
Variables variables_of(const DataSet& d)
{
    Variables v;
    v.names.assign(d.names.list, d.names.list + d.num_vars);
    v.ncat = d.ncat;
    for (int n : v.ncat) v.row_length = std::max(v.row_length, n);
    v.codes.assign(std::max<std::size_t>(1, static_cast<std::size_t>(d.num_vars) * v.row_length), 0);
    for (int j = 0; j < d.num_vars; ++j)
        std::copy_n(d.codes.begin() + static_cast<std::ptrdiff_t>(j) * d.max_cats, v.ncat[static_cast<std::size_t>(j)],
                    v.code_row(j));
    return v;
}

Records read_records(const Settings& s)
{
    Records rec;
    rec.files = {s.data_file, s.schema.empty() ? locate_schema(s.data_file) : s.schema};
    rec.stylesheet = s.stylesheet.empty() ? locate_stylesheet(s.data_file) : s.stylesheet;

    // Counting the statuses checks the files, reports what is wrong with
    // them and sizes the code table; then one more reading takes every
    // status with a number.
    DataSet d;
    size_data_set(rec.files, d);
    count_statuses(rec.files, d);
    // Rows the schema states but the file lacks would be read as records
    // with every value missing, and be filled and written as new records.
    if (d.rows_read != d.num_obs)
        throw DataSetFailure{"'" + rec.files.data + "' holds " + std::to_string(d.rows_read) + " records but '" +
                             rec.files.schema + "' states " + std::to_string(d.num_obs) + "; nothing was imputed"};
    int n_missing = 0;
    int error[2] = {0, 0};
    xml_read(rec.files.data.c_str(), rec.files.schema.c_str(), missing_code, d.num_obs, d.num_vars, d.data.data(),
             d.names.list, d.ncat.data(), d.codes.data(), d.max_cats, every_status, &n_missing, error);
    if (error[0] > 0)
        throw DataSetFailure{describe_failure(Export::xml_read, error[0], error[1],
                                              MessageContext{{}, rec.files.data, rec.files.schema, {}, 0, {}, {}, 0, {}})};
    rec.count = d.num_obs;
    rec.vars = variables_of(d);
    rec.data = std::move(d.data);
    rec.missing = static_cast<long>(std::count(rec.data.begin(), rec.data.end(), missing_code));
    return rec;
}

int variable_index(const Variables& v, const std::string& name, std::string_view role)
{
    const auto it = std::find(v.names.begin(), v.names.end(), name);
    if (it != v.names.end()) return static_cast<int>(it - v.names.begin());
    std::string known;
    for (const std::string& n : v.names) known += (known.empty() ? "" : ", ") + n;
    throw UsageError(std::string(role) + " '" + name + "' is not a variable of the data set; its variables are " + known);
}

// The shared rounding of values to category codes: half up.  Values beyond
// the range of a code match none.
std::optional<int> rounded_code(double value)
{
    const double r = std::floor(value + 0.5);
    if (!(r >= INT_MIN && r <= INT_MAX)) return std::nullopt;
    return static_cast<int>(r);
}

// ---------------------------------------------------------------------------
// Filled cells

struct Cell {
    int record, variable;
    double value;
};

struct CellList {
    int count = 0;
    std::vector<int> rows, vars;
    std::vector<double> values;

    explicit CellList(long capacity)
        : rows(static_cast<std::size_t>(std::max(1L, capacity))),
          vars(rows.size()),
          values(rows.size(), missing_code)
    {
    }
};

// The cells that received a value, as records of the data set.  row_record
// maps a row of the matrix the routine saw to its record (-1: none).  A
// list out of bounds or out of order would be written wrongly or not at
// all, so it is refused.
std::vector<Cell> filled_cells(const CellList& list, const std::vector<int>& row_record, int num_vars,
                               std::string_view routine)
{
    std::vector<Cell> cells;
    const auto refuse = [routine](const std::string& what) {
        return DataSetFailure{std::string(routine) + " returned " + what + "; nothing was written"};
    };
    if (list.count < 0 || static_cast<std::size_t>(list.count) > list.rows.size())
        throw refuse(std::to_string(list.count) + " cells where at most " + std::to_string(list.rows.size()) +
                     " can be missing");
    for (int k = 0; k < list.count; ++k) {
        const std::size_t i = static_cast<std::size_t>(k);
        const int row = list.rows[i], var = list.vars[i];
        if (row < 0 || static_cast<std::size_t>(row) >= row_record.size() || var < 0 || var >= num_vars ||
            row_record[static_cast<std::size_t>(row)] < 0)
            throw refuse("a cell outside the data set (row " + std::to_string(row) + ", variable " +
                         std::to_string(var) + ")");
        if (list.values[i] == missing_code) continue;  // no donor, or no value to take the mean of
        const Cell cell{row_record[static_cast<std::size_t>(row)], var, list.values[i]};
        if (!cells.empty() && std::pair(cell.record, cell.variable) <= std::pair(cells.back().record, cells.back().variable))
            throw refuse("its cells out of record order");
        cells.push_back(cell);
    }
    return cells;
}

// ---------------------------------------------------------------------------
// Donor imputation

struct DonorRun {
    std::vector<Cell> cells;
    int skipped = 0, reduced = 0, no_donor = 0;
    std::string warning;
};

struct Matrix {
    std::vector<double> data;
    std::vector<int> row_record;  // record of each row; -1 for a stand-in
    int rows() const { return static_cast<int>(row_record.size()); }
};

void add_row(Matrix& m, const double* row, int num_vars, int record)
{
    m.data.insert(m.data.end(), row, row + num_vars);
    m.row_record.push_back(record);
}

// In the modes all and range the routine never takes the first row of the
// matrix as a donor.  A stand-in row with no missing cell goes first, so
// that every record can donate and the records keep their numbers counted
// from 1 as rows.
Matrix with_stand_in(const Records& rec)
{
    Matrix m;
    const int nv = rec.vars.count();
    std::vector<double> stand_in(static_cast<std::size_t>(nv), 0.0);
    for (int j = 0; j < nv; ++j)
        if (rec.vars.categorical(j)) stand_in[static_cast<std::size_t>(j)] = rec.vars.code_row(j)[0];
    add_row(m, stand_in.data(), nv, -1);
    m.data.reserve(m.data.size() + rec.data.size());
    for (int r = 0; r < rec.count; ++r) add_row(m, rec.data.data() + static_cast<std::ptrdiff_t>(r) * nv, nv, r);
    return m;
}

// In class mode every record with a known class takes part; a record whose
// class is missing or not among the codes would make the routine refuse the
// whole data set, so it is left out and counted.
Matrix of_known_class(const Records& rec, int class_var, const int* codes, int ncodes, long& left_out)
{
    Matrix m;
    const int nv = rec.vars.count();
    left_out = 0;
    for (int r = 0; r < rec.count; ++r) {
        const double value = rec.at(r, class_var);
        const std::optional<int> code = value == missing_code ? std::nullopt : rounded_code(value);
        if (!code || std::find(codes, codes + ncodes, *code) == codes + ncodes) {
            ++left_out;
            continue;
        }
        add_row(m, rec.data.data() + static_cast<std::ptrdiff_t>(r) * nv, nv, r);
    }
    return m;
}

// Default scales bring every continuous variable to a range of 1.
std::vector<double> default_scales(const Records& rec)
{
    std::vector<double> scales(static_cast<std::size_t>(rec.vars.count()), 1.0);
    for (int j = 0; j < rec.vars.count(); ++j) {
        if (rec.vars.categorical(j)) continue;
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (int r = 0; r < rec.count; ++r) {
            const double v = rec.at(r, j);
            if (v == missing_code) continue;
            low = std::min(low, v);
            high = std::max(high, v);
        }
        const double range = high - low;
        if (range > 0 && std::isfinite(range)) scales[static_cast<std::size_t>(j)] = 1.0 / range;
    }
    return scales;
}

std::string describe_gen_imp(int code, int detail, const Variables& v)
{
    const auto variable = [&v](int from_one) {
        return from_one >= 1 && from_one <= v.count() ? "'" + v.names[static_cast<std::size_t>(from_one - 1)] + "'"
                                                      : "number " + std::to_string(from_one);
    };
    std::string text;
    switch (code) {
    case 1: text = "the donor pool is not usable (a class variable with fewer than two codes, or a bad range)"; break;
    case 3: text = "the number of tied donors must be 1 or more"; break;
    case 4: text = "the variable to impute is out of range"; break;
    case 6:
        text = detail > 0 ? "the weight of variable " + variable(detail) + " is negative" : "the minimum weight is negative";
        break;
    case 7: text = "the weights add up to 0: give at least one variable a positive weight"; break;
    case 10: text = "a variable has more category codes than the code table holds"; break;
    case 11: text = "the code table has a negative row length"; break;
    case 14: text = "the data set has no records"; break;
    case 15: text = "the data set has no variables"; break;
    case 20:
    case 21: text = "the list of cells to impute names a cell outside the data set"; break;
    case 50: text = "a record's class code is not among the class variable's codes"; break;
    case KEST_ERR_NO_MEMORY: return "out of memory";
    default: text = "the donor imputation failed"; break;
    }
    return text + " (code " + std::to_string(code) + ", detail " + std::to_string(detail) + ")";
}

DonorRun impute_from_donors(const Settings& s, const Records& rec, int selected)
{
    Variables vars = rec.vars;
    const int nv = vars.count();
    const std::size_t nvs = static_cast<std::size_t>(nv);

    std::vector<double> weights(nvs, 1.0);
    for (const auto& [name, w] : s.weights)
        weights[static_cast<std::size_t>(variable_index(vars, name, "the weighted variable"))] = w;
    std::vector<double> scales = default_scales(rec);
    for (const auto& [name, scale] : s.scales) {
        const int j = variable_index(vars, name, "the scaled variable");
        if (vars.categorical(j))
            throw UsageError("--scales: '" + name + "' is categorical; only continuous variables take a scale");
        scales[static_cast<std::size_t>(j)] = scale;
    }
    std::vector<int> types(nvs, 0);
    for (const auto& [name, type] : s.distances) {
        const int j = variable_index(vars, name, "the variable given a distance");
        if (vars.categorical(j) && type == 2)
            throw UsageError("--distance: type 2 (a table of distances between categories) is not offered");
        if (vars.categorical(j) && type > 1)
            throw UsageError("--distance: '" + name + "' is categorical; its distance type must be 0 or 1");
        types[static_cast<std::size_t>(j)] = type;
    }

    int pool[3] = {0, 0, 0};
    Matrix m;
    long left_out = 0;
    if (s.pool == PoolKind::klass) {
        const int c = variable_index(vars, s.class_variable, "the class variable");
        if (!vars.categorical(c)) throw UsageError("the class variable '" + s.class_variable + "' is not categorical");
        // The routine needs the class codes distinct and ascending; their
        // order matters to nothing else, since within a class the class
        // variable is the same for recipient and donor.
        int* row = vars.code_row(c);
        int& ncodes = vars.ncat[static_cast<std::size_t>(c)];
        std::sort(row, row + ncodes);
        ncodes = static_cast<int>(std::unique(row, row + ncodes) - row);
        if (ncodes < 2)
            throw DataSetFailure{"the class variable '" + s.class_variable + "' has fewer than two codes"};
        m = of_known_class(rec, c, row, ncodes, left_out);
        pool[0] = -1;
        pool[1] = c;
    } else {
        m = with_stand_in(rec);
        if (s.pool == PoolKind::range) {
            if (s.end > rec.count + 1)
                throw UsageError("--pool range:" + std::to_string(s.first) + ":" + std::to_string(s.end) +
                                 " goes beyond the " + std::to_string(rec.count) + " records of the data set");
            pool[0] = 1;
            pool[1] = s.first;
            pool[2] = s.end;
        }
    }

    DonorRun run;
    if (left_out > 0)
        run.warning = std::to_string(left_out) + " record(s) whose " + s.class_variable +
                      " is missing or not one of its codes were left out";
    if (m.rows() == 0) return run;

    long capacity = 0;
    for (std::size_t i = 0; i < m.data.size(); ++i)
        if (m.data[i] == missing_code && (selected < 0 || static_cast<int>(i % nvs) == selected)) ++capacity;
    CellList list(capacity);
    const int d = vars.row_length;
    const std::vector<double> category_distances(std::max<std::size_t>(1, nvs * d * d), 0.0);
    int report[5] = {0, 0, 0, 0, 0};
    gen_imp(pool, s.seed, s.ties, selected + 1, s.reuse_penalty ? 0 : 1, s.min_weight, weights.data(), scales.data(),
            types.data(), category_distances.data(), m.rows(), nv, m.data.data(), vars.ncat.data(), vars.codes.data(), d,
            missing_code, &list.count, list.rows.data(), list.vars.data(), list.values.data(), report);

    // A category outside the code list skips that recipient only.
    constexpr int unknown_category = 55;
    if (report[0] > 0 && report[0] != unknown_category) throw DataSetFailure{describe_gen_imp(report[0], report[1], vars)};
    if (report[0] == unknown_category) {
        if (!run.warning.empty()) run.warning += "; ";
        run.warning += "recipients holding a category that is not among its variable's codes (such as " +
                       std::to_string(report[1]) + ") were not filled";
    }
    run.cells = filled_cells(list, m.row_record, nv, "the donor imputation");
    run.skipped = report[KEST_REPORT_SKIPPED];
    run.reduced = report[KEST_REPORT_REDUCED];
    run.no_donor = report[KEST_REPORT_NO_DONOR];
    return run;
}

// ---------------------------------------------------------------------------
// Mean imputation

std::vector<Cell> impute_means(const Records& rec, int selected)
{
    Variables vars = rec.vars;
    CellList list(rec.missing);
    int error[2] = {0, 0};
    simp_imp(rec.count, vars.count(), rec.data.data(), vars.ncat.data(), vars.codes.data(), vars.row_length,
             missing_code, &list.count, list.rows.data(), list.vars.data(), list.values.data(), error);
    if (error[0] > 0) {
        if (error[0] == KEST_ERR_NO_MEMORY) throw DataSetFailure{"out of memory"};
        throw DataSetFailure{"the mean imputation failed (code " + std::to_string(error[0]) + ", detail " +
                             std::to_string(error[1]) + ")"};
    }
    std::vector<int> row_record(static_cast<std::size_t>(rec.count));
    for (int r = 0; r < rec.count; ++r) row_record[static_cast<std::size_t>(r)] = r;
    std::vector<Cell> cells = filled_cells(list, row_record, vars.count(), "the mean imputation");
    if (selected >= 0) std::erase_if(cells, [selected](const Cell& c) { return c.variable != selected; });
    return cells;
}

// ---------------------------------------------------------------------------
// Writing

std::string describe_update(int code, int detail, const Records& rec)
{
    const std::string data = "'" + rec.files.data + "'";
    switch (code) {
    case 21: return "the data set could not be read again before writing (reader code " + std::to_string(detail) + ")";
    case KEST_ERR_LINE_TOO_LONG:
        return "line " + std::to_string(detail) + " of " + data + " is too long (" + std::to_string(KEST_MAX_LINE - 1) +
               " characters at most)";
    case KEST_ERR_VALUE_TOO_LONG:
        return "line " + std::to_string(detail) + " of " + data + " holds a value text longer than " +
               std::to_string(KEST_MAX_VALUE_TEXT) + " characters";
    case KEST_ERR_NAME_TOO_LONG:
        return "variable " + std::to_string(detail) + " has a name longer than " + std::to_string(KEST_MAX_NAME) +
               " characters, which cannot be written";
    case 2: return "the record type declared in '" + rec.files.schema + "' does not end in _rec";
    case 1:
        if (detail == 0) return "cannot create a new data file beside " + data;
        if (detail == 1) return "the new data file could not be written completely (is the disk full?)";
        if (detail == 2) return "the new data file could not replace " + data;
        break;
    case KEST_ERR_NO_MEMORY: return "out of memory";
    default: break;
    }
    return "writing " + data + " failed (code " + std::to_string(code) + ", detail " + std::to_string(detail) + ")";
}

// A path as seen from a folder.
std::string relative_to(const fs::path& folder, const std::string& path)
{
    const fs::path absolute = fs::absolute(path).lexically_normal();
    const fs::path relative = absolute.lexically_relative(folder);
    return relative.empty() ? absolute.string() : relative.string();
}

// Changes the current folder for its lifetime.
class InFolder {
public:
    explicit InFolder(const fs::path& folder) : previous_(fs::current_path())
    {
        std::error_code ec;
        fs::current_path(folder, ec);
        if (ec) throw DataSetFailure{"cannot enter the folder '" + folder.string() + "': " + ec.message()};
    }
    ~InFolder()
    {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    fs::path previous_;
};

// The writer puts the schema and stylesheet paths it is given into the data
// file, so it runs from the data file's folder with both as seen from there:
// the set stays readable wherever it is moved.  Unchanged cells keep their
// values and statuses.  Returns the cells written.
long write_cells(const Records& rec, const std::vector<Cell>& cells)
{
    std::vector<int> recs, vars;
    std::vector<double> values;
    for (const Cell& c : cells) {
        recs.push_back(c.record);
        vars.push_back(c.variable);
        values.push_back(c.value);
    }
    recs.push_back(-1);
    vars.push_back(-1);
    values.push_back(missing_code);

    const fs::path folder = fs::absolute(rec.files.data).lexically_normal().parent_path();
    const std::string data = fs::path(rec.files.data).filename().string();
    const std::string schema = relative_to(folder, rec.files.schema);
    const std::string stylesheet = relative_to(folder, rec.stylesheet);
    int error[2] = {0, 0};
    {
        const InFolder there(folder);
        xml_update(data.c_str(), schema.c_str(), stylesheet.c_str(), missing_code, rec.count, rec.vars.count(), 1,
                   static_cast<int>(cells.size()), recs.data(), vars.data(), values.data(), error);
    }
    if (error[0] > 0) throw DataSetFailure{describe_update(error[0], error[1], rec) + "; the data file is unchanged"};
    if (error[0] == KEST_WARN_CHANGES_NOT_APPLIED) {
        std::cerr << "kest impute: " << error[1] << " of the filled cells could not be written\n";
        return static_cast<long>(cells.size()) - error[1];
    }
    return static_cast<long>(cells.size());
}

// ---------------------------------------------------------------------------
// The run

int impute(const Settings& s)
{
    const Records rec = read_records(s);
    const int selected = s.variable.empty() ? -1 : variable_index(rec.vars, s.variable, "the variable to impute");

    std::vector<Cell> cells;
    std::optional<DonorRun> donors;
    if (s.method == Method::nn) {
        donors = impute_from_donors(s, rec, selected);
        cells = std::move(donors->cells);
        if (!donors->warning.empty()) std::cerr << "kest impute: " << donors->warning << "\n";
    } else {
        cells = impute_means(rec, selected);
    }

    const long written = cells.empty() ? 0 : write_cells(rec, cells);
    std::cout << "filled " << written << " cells in " << s.data_file << "\n";
    if (donors)
        std::cout << "recipient groups: " << donors->skipped << " skipped (too little matching weight), "
                  << donors->reduced << " with reduced weight, " << donors->no_donor << " without a donor\n";
    return written == static_cast<long>(cells.size()) ? exit_ok : exit_failure;
}

int run_impute(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    try {
        return impute(settings);
    } catch (const DataSetFailure& failure) {
        std::cerr << "kest impute: " << failure.message << "\n";
        return exit_failure;
    }
}

}  // namespace

const Command impute_command{"impute", "fill the missing cells of a data set from donors or with means", impute_usage,
                             run_impute};

}  // namespace kest_cli
