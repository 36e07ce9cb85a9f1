// kest impute: fills the missing cells of a data set and writes them into
// the data file with status Imputed.  Three methods: nn takes a record's
// missing values from the closest other record that has them (gen_imp),
// mean fills every missing cell of a variable with one value, the mean of
// the variable or its most frequent code (simp_imp), and em fills the
// numeric variables with their regression on the values each record has,
// under a multivariate normal model (em).
//
// The routines return the cells they filled; the tool checks that list,
// drops the cells left without a value and hands the rest to the writer.
#include <algorithm>
#include <climits>
#include <cmath>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "command.h"
#include "data_set.h"
#include "lock.h"
#include "messages.h"
#include "options.h"
#include "records.h"

namespace kest_cli {

namespace {

constexpr std::string_view impute_usage =
    "usage: kest impute DATAFILE [options]\n"
    "\n"
    "Fills the missing cells of a data set and writes them into the data file\n"
    "with status Imputed.  The methods fit on the observed values - the cells\n"
    "marked Valid or Validn - unless --values all is given.\n"
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
    "categorical.  The method em fills the numeric variables it is given:\n"
    "each missing cell becomes its regression on the values of those\n"
    "variables that its record has, with means and covariances estimated\n"
    "again from the completed records pass after pass until the means\n"
    "settle (a record that has none of them gets the means).\n"
    "\n"
    "options:\n"
    "  --method METHOD         nn, mean or em (default: nn)\n"
    "  --variable VAR          fill only the cells of this variable (default:\n"
    "                          every variable); with em it may be given more\n"
    "                          than once or as a list A,B,... and names the\n"
    "                          numeric variables to model and fill (default:\n"
    "                          every numeric variable)\n"
    "  --schema FILE           schema of the data file (default: the one the\n"
    "                          data file names, looked up beside the data file\n"
    "                          first)\n"
    "  --stylesheet FILE       stylesheet the rewritten data file names\n"
    "                          (default: the one the data file names, found\n"
    "                          the same way)\n"
    "  --values WHICH          the values the method fits on: observed, the\n"
    "                          cells marked Valid or Validn (default), or all,\n"
    "                          every cell that holds a number whatever its\n"
    "                          status; only Missing cells are ever filled, so\n"
    "                          values earlier steps imputed stay as they are\n"
    "\n"
    "options of nn:\n"
    "  --pool POOL             records that may donate: all (every record),\n"
    "                          range:FIRST:END (records FIRST to END-1, counted\n"
    "                          from 1) or class:VAR[,VAR...] (the records with\n"
    "                          the recipient's codes of the categorical\n"
    "                          variables, crossed when there are several;\n"
    "                          records that miss one of them or hold a value\n"
    "                          that is not one of its codes are neither filled\n"
    "                          nor donors) (default: all)\n"
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
    "                          on weigh less than X together (default: 0)\n"
    "\n"
    "options of em:\n"
    "  --tolerance X           the means have settled when none moves by more\n"
    "                          than X in a pass; 1e-16 or more (default: 1e-6)\n"
    "  --max-passes N          passes that may run before the means must have\n"
    "                          settled; when they have not, the last pass's\n"
    "                          values are written with a warning (default:\n"
    "                          100)\n"
    "  --weight VAR            numeric variable of record weights, 0 or more;\n"
    "                          a record of weight 0 takes no part in the\n"
    "                          estimates (default: every record weighs 1)\n";

// Every option but --reuse-penalty takes a value.
constexpr KnownOption impute_options[] = {
    {"--method"}, {"--variable", true}, {"--schema"}, {"--stylesheet"}, {"--pool"},      {"--weights"},
    {"--scales"}, {"--distance"},       {"--ties"},   {"--seed"},       {"--min-weight"}, {"--tolerance"},
    {"--max-passes"}, {"--values"}, {"--weight"}};
constexpr std::string_view reuse_switch = "--reuse-penalty";

// Options that only the donor method reads.
constexpr std::string_view donor_options[] = {"--pool", "--weights", "--scales", "--distance",
                                              "--ties", "--seed",    "--min-weight"};

// Options that only em reads.
constexpr std::string_view em_options[] = {"--tolerance", "--max-passes", "--weight"};

// The smallest tolerance em accepts: below it the change of a mean is lost
// in rounding.
constexpr double em_min_tolerance = 1e-16;

enum class Method { nn, mean, em };
enum class PoolKind { all, range, klass };

struct Settings {
    std::string data_file, schema, stylesheet;  // schema and stylesheet empty: found from the data file
    Method method = Method::nn;
    std::vector<std::string> variables;  // none: every variable; more than one (or a list) only with em
    PoolKind pool = PoolKind::all;
    int first = 0, end = 0;  // range: records counted from 1, end excluded
    std::vector<std::string> class_variables;  // crossed when there are several
    ValuesUsed values = ValuesUsed::observed;
    std::string weight;  // em: empty for none
    std::vector<std::pair<std::string, double>> weights, scales;
    std::vector<std::pair<std::string, int>> distances;
    int ties = 5;
    int seed = 1;
    bool reuse_penalty = false;
    double min_weight = 0;
    double tolerance = 1e-6;
    int max_passes = 100;
};

// ---------------------------------------------------------------------------
// Reading the command line

Method method_named(const std::string* given)
{
    if (given == nullptr || *given == "nn") return Method::nn;
    if (*given == "mean") return Method::mean;
    if (*given == "em") return Method::em;
    throw UsageError("--method must be nn, mean or em, not '" + *given + "'");
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
        s.class_variables = split(parts[1], ',');
        for (const std::string& v : s.class_variables)
            if (v.empty()) throw UsageError("--pool class: holds an empty variable name in '" + text + "'");
        return;
    }
    throw UsageError("--pool must be all, range:FIRST:END or class:VAR[,VAR...], not '" + text + "'");
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
    const std::vector<std::string> rest = take_switch(args, reuse_switch, impute_options, s.reuse_penalty);
    const ParsedArgs parsed = parse_args(rest, impute_options);
    s.data_file = parsed.the_one("data file");
    s.method = method_named(parsed.value("--method"));
    if (s.method != Method::nn) {
        for (std::string_view option : donor_options)
            if (parsed.has(option)) throw UsageError(std::string(option) + " applies only to --method nn");
        if (s.reuse_penalty) throw UsageError("--reuse-penalty applies only to --method nn");
    }
    if (s.method != Method::em)
        for (std::string_view option : em_options)
            if (parsed.has(option)) throw UsageError(std::string(option) + " applies only to --method em");
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    s.variables = parsed.values("--variable");
    for (const std::string& v : s.variables)
        if (v.empty()) throw UsageError("--variable needs a variable name");
    if (s.method != Method::em && s.variables.size() > 1)
        throw UsageError("--variable may be given only once, except with --method em");
    if (const std::string* v = parsed.value("--tolerance")) {
        s.tolerance = parse_real(*v, "--tolerance");
        if (!(s.tolerance >= em_min_tolerance)) throw UsageError("--tolerance must be 1e-16 or more, not '" + *v + "'");
    }
    if (const std::string* v = parsed.value("--max-passes"))
        s.max_passes = static_cast<int>(parse_whole(*v, "--max-passes", 1, INT_MAX));
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
    s.values = values_used(parsed.value("--values"));
    if (const std::string* v = parsed.value("--weight")) {
        if (v->empty()) throw UsageError("--weight needs a variable name");
        s.weight = *v;
    }
    return s;
}

// ---------------------------------------------------------------------------
// The data set

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
        // A value that is not a finite number has no text the reader takes back.
        if (!std::isfinite(list.values[i]))
            throw refuse("a value that is not a finite number for record " +
                         std::to_string(row_record[static_cast<std::size_t>(row)] + 1));
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
    std::map<int, int> donor_of;  // recipient record -> donor record, where known
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

// The class of a record in class mode: the code of the class variable, or
// with several, the number (1..m) of the record's combination of their
// codes, kept in a column added after the variables.
struct ClassColumn {
    int variable = -1;                 // the class variable, or the added column (= the variables' count)
    std::string name;                  // for messages
    std::vector<int> record_class;     // per record: the class code, or 0 when unknown
    int combinations = 0;              // the added column's codes 1..combinations
};

std::string class_name(const Settings& s)
{
    std::string name;
    for (const std::string& v : s.class_variables) name += (name.empty() ? "" : " x ") + v;
    return name;
}

ClassColumn class_column(const Settings& s, const Variables& vars, const Records& rec)
{
    ClassColumn c;
    c.name = "'" + class_name(s) + "'";
    std::vector<int> columns;
    for (const std::string& name : s.class_variables) {
        const int j = variable_index(vars, name, "the class variable");
        if (!vars.categorical(j)) throw UsageError("the class variable '" + name + "' is not categorical");
        if (std::find(columns.begin(), columns.end(), j) != columns.end())
            throw UsageError("--pool class: names '" + name + "' twice");
        columns.push_back(j);
    }
    c.record_class.assign(static_cast<std::size_t>(rec.count), 0);
    if (columns.size() == 1) {
        c.variable = columns[0];
        return c;
    }
    c.variable = vars.count();
    std::vector<std::pair<std::vector<int>, int>> seen;  // combination, its number
    for (int r = 0; r < rec.count; ++r) {
        std::vector<int> combination;
        for (int j : columns) {
            const double value = rec.at(r, j);
            const std::optional<int> code = value == missing_code ? std::nullopt : rounded_code(value);
            const int* codes = vars.code_row(j);
            const int k = vars.ncat[static_cast<std::size_t>(j)];
            if (!code || std::find(codes, codes + k, *code) == codes + k) break;
            combination.push_back(*code);
        }
        if (combination.size() != columns.size()) continue;
        auto at = std::find_if(seen.begin(), seen.end(), [&](const auto& e) { return e.first == combination; });
        if (at == seen.end()) {
            seen.emplace_back(combination, static_cast<int>(seen.size()) + 1);
            at = seen.end() - 1;
        }
        c.record_class[static_cast<std::size_t>(r)] = at->second;
    }
    c.combinations = static_cast<int>(seen.size());
    return c;
}

// The crossed class as one more categorical variable that takes no part in
// the distance.
void add_class_column(Variables& vars, std::vector<double>& weights, std::vector<double>& scales,
                      std::vector<int>& types, const ClassColumn& c)
{
    const int old_length = vars.row_length;
    const int new_length = std::max(old_length, c.combinations);
    std::vector<int> codes(static_cast<std::size_t>(vars.count() + 1) * static_cast<std::size_t>(std::max(1, new_length)), 0);
    for (int j = 0; j < vars.count(); ++j)
        std::copy_n(vars.code_row(j), vars.ncat[static_cast<std::size_t>(j)],
                    codes.begin() + static_cast<std::ptrdiff_t>(j) * new_length);
    for (int k = 0; k < c.combinations; ++k)
        codes[static_cast<std::size_t>(vars.count()) * new_length + static_cast<std::size_t>(k)] = k + 1;
    vars.names.push_back("(class)");
    vars.ncat.push_back(c.combinations);
    vars.codes = std::move(codes);
    vars.row_length = new_length;
    weights.push_back(0.0);
    scales.push_back(1.0);
    types.push_back(0);
}

// In class mode every record with a known class takes part; a record whose
// class is missing or not among the codes would make the routine refuse the
// whole data set, so it is left out and counted.  With crossed classes each
// row gets its class in the added column.
Matrix of_known_class(const Records& rec, const ClassColumn& classes, const int* codes, int ncodes, long& left_out)
{
    Matrix m;
    const int nv = rec.vars.count();
    const bool crossed = classes.variable == nv;
    left_out = 0;
    for (int r = 0; r < rec.count; ++r) {
        std::optional<int> code;
        if (crossed) {
            if (classes.record_class[static_cast<std::size_t>(r)] > 0) code = classes.record_class[static_cast<std::size_t>(r)];
        } else {
            const double value = rec.at(r, classes.variable);
            code = value == missing_code ? std::nullopt : rounded_code(value);
        }
        if (!code || std::find(codes, codes + ncodes, *code) == codes + ncodes) {
            ++left_out;
            continue;
        }
        add_row(m, rec.data.data() + static_cast<std::ptrdiff_t>(r) * nv, nv, r);
        if (crossed) m.data.push_back(*code);
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

// The donor of each recipient: the one record of the pool that holds
// exactly the values the recipient received.  gen_imp returns the values
// only; when several records of the pool hold them all, the donor is not
// known and is left out.  class_column is the column of the class in class
// mode, -1 otherwise.
std::map<int, int> donors_of(const Matrix& m, std::size_t width, const std::vector<Cell>& cells, const Settings& s,
                             int class_column)
{
    const auto at = [&m, width](int row, int j) {
        return m.data[static_cast<std::size_t>(row) * width + static_cast<std::size_t>(j)];
    };
    std::map<int, int> row_of;
    for (int i = 0; i < m.rows(); ++i)
        if (m.row_record[static_cast<std::size_t>(i)] >= 0) row_of[m.row_record[static_cast<std::size_t>(i)]] = i;
    // Per variable, the rows by value, so that the rows holding a value are
    // found without a pass over all of them.
    using ByValue = std::vector<std::pair<double, int>>;
    std::map<int, ByValue> sorted;
    const auto rows_by_value = [&](int j) -> const ByValue& {
        const auto [it, added] = sorted.try_emplace(j);
        if (added) {
            for (int i = 0; i < m.rows(); ++i)
                if (m.row_record[static_cast<std::size_t>(i)] >= 0 && at(i, j) != missing_code)
                    it->second.emplace_back(at(i, j), i);
            std::sort(it->second.begin(), it->second.end());
        }
        return it->second;
    };
    std::map<int, int> donors;
    for (std::size_t a = 0, b = 0; a < cells.size(); a = b) {
        while (b < cells.size() && cells[b].record == cells[a].record) ++b;
        const auto recipient_row = row_of.find(cells[a].record);
        if (recipient_row == row_of.end()) continue;
        const ByValue& list = rows_by_value(cells[a].variable);
        auto candidate = std::lower_bound(list.begin(), list.end(), std::pair(cells[a].value, INT_MIN));
        int found = -1, count = 0;
        for (; candidate != list.end() && candidate->first == cells[a].value && count < 2; ++candidate) {
            const int row = candidate->second;
            const int record = m.row_record[static_cast<std::size_t>(row)];
            if (row == recipient_row->second) continue;
            if (s.pool == PoolKind::range && (record + 1 < s.first || record + 1 >= s.end)) continue;
            if (class_column >= 0 && at(row, class_column) != at(recipient_row->second, class_column)) continue;
            const bool holds_all = std::all_of(cells.begin() + static_cast<std::ptrdiff_t>(a),
                                               cells.begin() + static_cast<std::ptrdiff_t>(b),
                                               [&](const Cell& c) { return at(row, c.variable) == c.value; });
            if (!holds_all) continue;
            found = record;
            ++count;
        }
        if (count == 1) donors[cells[a].record] = found;
    }
    return donors;
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
    int class_col = -1;
    if (s.pool == PoolKind::klass) {
        const ClassColumn classes = class_column(s, vars, rec);
        if (classes.variable > nv - 1) {
            add_class_column(vars, weights, scales, types, classes);
        }
        const int c = classes.variable;
        class_col = c;
        // The routine needs the class codes distinct and ascending; their
        // order matters to nothing else, since within a class the class
        // variable is the same for recipient and donor.
        int* row = vars.code_row(c);
        int& ncodes = vars.ncat[static_cast<std::size_t>(c)];
        std::sort(row, row + ncodes);
        ncodes = static_cast<int>(std::unique(row, row + ncodes) - row);
        if (ncodes < 2) throw DataSetFailure{"the class " + classes.name + " has fewer than two codes"};
        m = of_known_class(rec, classes, row, ncodes, left_out);
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
        run.warning = std::to_string(left_out) + " record(s) whose " + class_name(s) +
                      " is missing or not one of its codes were left out";
    if (m.rows() == 0) return run;

    const std::size_t width = static_cast<std::size_t>(vars.count());
    long capacity = 0;
    for (std::size_t i = 0; i < m.data.size(); ++i)
        if (m.data[i] == missing_code && (selected < 0 || static_cast<int>(i % width) == selected)) ++capacity;
    CellList list(capacity);
    const int d = vars.row_length;
    // No variable has distance type 2, so the routine reads no table of
    // category distances.
    const int len = vars.count();
    int report[5] = {0, 0, 0, 0, 0};
    gen_imp(pool, s.seed, s.ties, selected + 1, s.reuse_penalty ? 0 : 1, s.min_weight, weights.data(), scales.data(),
            types.data(), nullptr, m.rows(), len, m.data.data(), vars.ncat.data(), vars.codes.data(), d,
            missing_code, &list.count, list.rows.data(), list.vars.data(), list.values.data(), report);

    // A category outside the code list skips that recipient only.
    constexpr int unknown_category = 55;
    if (report[0] > 0 && report[0] != unknown_category) throw DataSetFailure{describe_gen_imp(report[0], report[1], vars)};
    if (report[0] == unknown_category) {
        if (!run.warning.empty()) run.warning += "; ";
        run.warning += "recipients holding a category that is not among its variable's codes (such as " +
                       std::to_string(report[1]) + ") were not filled";
    }
    run.cells = filled_cells(list, m.row_record, len, "the donor imputation");
    run.donor_of = donors_of(m, width, run.cells, s, class_col);
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
// EM

std::string name_list(const Variables& vars, const std::vector<int>& columns)
{
    std::string text;
    for (int j : columns) text += (text.empty() ? "" : ", ") + vars.names[static_cast<std::size_t>(j)];
    return text;
}

// em works on a copy of the matrix: only its list of filled cells is
// written, and a failure, which may leave cells changed, writes nothing.
// Its outcomes that leave results in place become warnings.
std::vector<Cell> impute_by_em(const Settings& s, const Records& rec, const std::vector<int>& columns,
                               const std::vector<double>& weights, std::string& warning)
{
    const int nv = rec.vars.count();
    std::vector<int> include(static_cast<std::size_t>(nv), 0);
    for (int j : columns) include[static_cast<std::size_t>(j)] = 1;
    std::vector<double> data = rec.data;
    CellList list(rec.missing);
    int error[2] = {0, 0};
    em(rec.count, nv, include.data(), data.data(), missing_code, s.tolerance, s.max_passes,
       weights.empty() ? nullptr : weights.data(), &list.count,
       list.rows.data(), list.vars.data(), list.values.data(), error);

    constexpr int no_work = 20, means_only = 21, unsettled = 40;
    if (error[0] == no_work && error[1] == 1) {
        warning = "no cell of " + name_list(rec.vars, columns) + " is missing; there is nothing to fill";
        return {};
    }
    if (error[0] > 0 && error[0] != means_only && error[0] != unsettled) {
        MessageContext context;
        context.data_file = rec.files.data;
        context.schema_file = rec.files.schema;
        context.variables = rec.vars.names;
        throw DataSetFailure{describe_failure(Export::em, error[0], error[1], context) + "; nothing was written"};
    }
    if (error[0] == means_only)
        warning = std::to_string(error[1]) + " record(s) had " + (columns.size() == 1 ? "no value of " : "none of ") +
                  name_list(rec.vars, columns) + " and got the means";
    if (error[0] == unsettled)
        warning = "the means did not settle within " + std::to_string(error[1]) +
                  " passes (--max-passes); the values of the last pass were written";

    std::vector<int> row_record(static_cast<std::size_t>(rec.count));
    for (int r = 0; r < rec.count; ++r) row_record[static_cast<std::size_t>(r)] = r;
    return filled_cells(list, row_record, nv, "EM");
}

// ---------------------------------------------------------------------------
// The run

int impute(const Settings& s)
{
    const DataSetHold held = hold_data_set(s.data_file, s.schema, Access::change);
    const Records all = read_records(s.data_file, s.schema, s.stylesheet);
    const FittingData fit = fitting_data(all, s.values);
    const Records& rec = fit.values;
    AuditLog log(all.files.data);

    std::vector<Cell> cells;
    std::optional<DonorRun> donors;
    if (s.method == Method::em) {
        const int weight = s.weight.empty() ? -1 : weight_column(rec, s.weight);
        std::vector<int> columns = numeric_columns(rec.vars, s.variables, "the variable to impute");
        if (weight >= 0 && std::find(columns.begin(), columns.end(), weight) != columns.end()) {
            if (!s.variables.empty()) throw UsageError("the weight variable '" + s.weight + "' is also a variable to impute");
            std::erase(columns, weight);
            if (columns.empty()) throw DataSetFailure{"the data set has no numeric variable besides the weight"};
        }
        const std::vector<double> weights = weight >= 0 ? record_weights(rec, weight) : std::vector<double>{};
        std::string warning;
        cells = impute_by_em(s, rec, columns, weights, warning);
        if (!warning.empty()) std::cerr << "kest impute: " << warning << "\n";
    } else {
        const int selected =
            s.variables.empty() ? -1 : variable_index(rec.vars, s.variables.front(), "the variable to impute");
        if (s.method == Method::nn) {
            donors = impute_from_donors(s, rec, selected);
            cells = std::move(donors->cells);
            if (!donors->warning.empty()) std::cerr << "kest impute: " << donors->warning << "\n";
        } else {
            cells = impute_means(rec, selected);
        }
    }

    keep_missing_cells(cells, fit);
    const long written = cells.empty() ? 0 : write_cells(all, cells, KEST_STATUS_IMPUTED, "impute", "filled cells");
    const SourceOf source = [&](int record, int variable) {
        if (s.method == Method::em) return CellSource{"em"};
        if (s.method == Method::mean) return CellSource{rec.vars.categorical(variable) ? "mode" : "mean"};
        const auto donor = donors->donor_of.find(record);
        return CellSource{"nn", donor == donors->donor_of.end() ? 0 : donor->second + 1};
    };
    const bool logged = cells.empty() || log.record_changes(all, CellStates{all.data, fit.statuses}, source, "impute");
    std::cout << "filled " << written << " cells in " << s.data_file << "\n";
    if (donors)
        std::cout << "recipient groups: " << donors->skipped << " skipped (too little matching weight), "
                  << donors->reduced << " with reduced weight, " << donors->no_donor << " without a donor\n";
    return written == static_cast<long>(cells.size()) && logged ? exit_ok : exit_failure;
}

int run_impute(std::span<const std::string> args)
{
    const Settings settings = parse_settings(args);
    return impute(settings);
}

}  // namespace

const Command impute_command{"impute", "fill the missing cells of a data set from donors, with means or by EM",
                             impute_usage, run_impute};

}  // namespace kest_cli
