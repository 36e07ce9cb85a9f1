// impute.cmd and edit.cmd.
//
// Positional numbers (edit.cmd takes all sixteen, impute.cmd the first
// thirteen):
//   1 map dimension (1, 2 or 3)         2 layers (dimension x (layers-1) <= 16)
//   3 seed of the generator             4 missing code of the data
//   5 least passes per layer            6 learning rate, in (0, 1]
//   7 tolerance: a layer's training ends, after the least passes, when no
//     prototype moves by this much      8 most passes per layer
//   9 neighbour divisor: neighbours in the layer learn with weight 1/divisor
//     (0: no smoothing)                10 scaling: 1 measures distances in
//     units of each variable's standard deviation, 0 as they are
//  11 search: 1 tree search (children of the unit above), 0 whole layer
//  12 layer used for donors and prototypes, counted up from the bottom (0)
//  13 training records: 0 those with every value, 1 those with any value
//  14 1: edited values found erroneous are imputed as well
//  15 spread multiplier               16 least records behind a spread
//
// Settings frame of variable k (the k-th frame of the selection "sfr"):
//   0 IMP_NONE or IMP_NRAND, 1 EDIT_NONE or EDIT_CONTINUOUS,
//   2 prior error rate p in (0, 1), 3 threshold t >= 0.
// Error probability of value x of variable k, in a record whose unit in
// the donor layer has prototype m:
//   z = |x - m[k]| * sqrt(w[k]) / (multiplier * s)
//   P = 1 / (1 + (1 - p) / p * exp((t*t - z*z) / 2))
// w[k] is the variable's weight in the map's metric (1 unless scaled).
// s is the unit's spread: the root of the sum of squared distances
// (metric of the map, all variables) between the unit's other training
// records and m, divided by their count less one; records farther than
// three times the unit's median distance are left out, so that a few wild
// values in one unit do not hide each other.  A unit with fewer such
// records than the 16th number (at least 2), or no spread, gives way to
// its parent.  P is Bayes' rule with correct values normal around m and
// erroneous ones spread evenly at the density correct ones have at z = t;
// with p = 1/2, P > 1/2 exactly when z > t.  Missing values and variables
// with EDIT_NONE get 0.
#include "scripts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "krt.h"
#include "tssom.h"

namespace krt {

namespace {

constexpr int impute_numbers = 13;
constexpr int edit_numbers = 16;
constexpr int most_passes = 10000;

struct Parameters {
    TrainingSettings training;
    float missing = -10000.0f;
    int donor_layer = 0;  // from the top
    bool train_all = false;
    bool edit = false;
    bool impute_flagged = false;
    double spread_multiplier = 1.0;
    int least_spread_records = 3;
};

struct VariableSettings {
    bool impute = false;
    bool edit = false;
    double prior = 0.5;
    double threshold = 3.0;
};

struct Failure {
    int code;
    std::string reply;
};

bool parse_number(const std::string& text, double& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

double number(const std::vector<std::string>& numbers, int position)
{
    double value = 0.0;
    if (!parse_number(numbers[static_cast<std::size_t>(position - 1)], value))
        throw Failure{KRT_ERR_SYNTAX, "number " + std::to_string(position) + " is not a number"};
    return value;
}

long long whole(const std::vector<std::string>& numbers, int position, long long least, long long most)
{
    const double value = number(numbers, position);
    if (value != std::floor(value) || value < static_cast<double>(least) || value > static_cast<double>(most))
        throw Failure{KRT_ERR_VALUE, "number " + std::to_string(position) + " must be a whole number from " +
                                         std::to_string(least) + " to " + std::to_string(most)};
    return static_cast<long long>(value);
}

bool flag(const std::vector<std::string>& numbers, int position) { return whole(numbers, position, 0, 1) == 1; }

Parameters read_parameters(bool edit, const std::vector<std::string>& numbers)
{
    const int expected = edit ? edit_numbers : impute_numbers;
    if (static_cast<int>(numbers.size()) != expected)
        throw Failure{KRT_ERR_SYNTAX, "the script takes " + std::to_string(expected) + " numbers"};
    Parameters p;
    p.edit = edit;
    TrainingSettings& t = p.training;
    t.dim = static_cast<int>(whole(numbers, 1, 1, 3));
    t.layers = static_cast<int>(whole(numbers, 2, 1, 1 + 16 / t.dim));
    t.seed = static_cast<std::uint64_t>(whole(numbers, 3, -(1LL << 52), 1LL << 52));
    const double missing = number(numbers, 4);
    if (std::fabs(missing) > std::numeric_limits<float>::max())
        throw Failure{KRT_ERR_VALUE, "number 4, the missing code, is no float"};
    p.missing = static_cast<float>(missing);
    t.min_passes = static_cast<int>(whole(numbers, 5, 1, most_passes));
    t.rate = number(numbers, 6);
    if (!(t.rate > 0.0 && t.rate <= 1.0)) throw Failure{KRT_ERR_VALUE, "number 6, the learning rate, must be in (0, 1]"};
    t.tolerance = number(numbers, 7);
    if (t.tolerance < 0.0) throw Failure{KRT_ERR_VALUE, "number 7, the tolerance, must not be negative"};
    t.max_passes = static_cast<int>(whole(numbers, 8, 1, most_passes));
    t.neighbour_divisor = number(numbers, 9);
    if (t.neighbour_divisor != 0.0 && t.neighbour_divisor < 1.0)
        throw Failure{KRT_ERR_VALUE, "number 9, the neighbour divisor, must be 0 or at least 1"};
    t.scale = flag(numbers, 10);
    t.tree_search = flag(numbers, 11);
    p.donor_layer = t.layers - 1 - static_cast<int>(whole(numbers, 12, 0, t.layers - 1));
    p.train_all = flag(numbers, 13);
    if (edit) {
        p.impute_flagged = flag(numbers, 14);
        p.spread_multiplier = number(numbers, 15);
        if (!(p.spread_multiplier > 0.0)) throw Failure{KRT_ERR_VALUE, "number 15, the spread multiplier, must be positive"};
        p.least_spread_records = static_cast<int>(whole(numbers, 16, 1, 1000000));
    }
    return p;
}

VariableSettings read_settings(const Store& store, const std::string& name)
{
    const auto it = store.find(name);
    if (it == store.end()) throw Failure{KRT_ERR_NO_OBJECT, "no settings frame " + name};
    const Frame& frame = it->second;
    if (frame.fields.empty() || frame.fields[0].type != FieldType::strings || frame.fields[0].strings.size() < 4)
        throw Failure{KRT_ERR_VALUE, name + " is not a settings frame of four values"};
    const auto& v = frame.fields[0].strings;
    VariableSettings s;
    if (v[0] == "IMP_NRAND") s.impute = true;
    else if (v[0] != "IMP_NONE") throw Failure{KRT_ERR_VALUE, name + ": value 0 must be IMP_NONE or IMP_NRAND"};
    if (v[1] == "EDIT_CONTINUOUS") s.edit = true;
    else if (v[1] != "EDIT_NONE") throw Failure{KRT_ERR_VALUE, name + ": value 1 must be EDIT_NONE or EDIT_CONTINUOUS"};
    if (!parse_number(v[2], s.prior) || !(s.prior > 0.0 && s.prior < 1.0))
        throw Failure{KRT_ERR_VALUE, name + ": value 2, the prior error rate, must be in (0, 1)"};
    if (!parse_number(v[3], s.threshold) || s.threshold < 0.0)
        throw Failure{KRT_ERR_VALUE, name + ": value 3, the threshold, must be a number of 0 or more"};
    return s;
}

// The settings of every variable, from the frames the selection names.
std::vector<VariableSettings> read_selection(const Store& store, int variables)
{
    const auto it = store.find("sfr");
    if (it == store.end()) throw Failure{KRT_ERR_NO_OBJECT, "no selection sfr"};
    const Frame& selection = it->second;
    if (selection.fields.empty() || selection.fields[0].type != FieldType::strings)
        throw Failure{KRT_ERR_VALUE, "sfr is not a selection"};
    const auto& names = selection.fields[0].strings;
    if (static_cast<int>(names.size()) != variables)
        throw Failure{KRT_ERR_DATA, "the selection names " + std::to_string(names.size()) + " settings frames for " +
                                        std::to_string(variables) + " fields of data"};
    std::vector<VariableSettings> settings;
    for (const std::string& name : names) settings.push_back(read_settings(store, name));
    return settings;
}

// The frame "data" as a table; the missing code and values that are not
// finite become NaN.
Table read_data(const Store& store, float missing)
{
    const auto it = store.find("data");
    if (it == store.end()) throw Failure{KRT_ERR_NO_OBJECT, "no frame data"};
    const Frame& data = it->second;
    if (data.fields.empty()) throw Failure{KRT_ERR_DATA, "the frame data has no fields"};
    Table table;
    table.variables = static_cast<int>(data.fields.size());
    table.records = data.fields[0].count();
    for (const Field& f : data.fields)
        if (f.type != FieldType::floats || f.count() != table.records)
            throw Failure{KRT_ERR_DATA, "the fields of data must be float fields of one length"};
    if (table.records < 1) throw Failure{KRT_ERR_DATA, "the frame data holds no records"};
    table.cells.resize(static_cast<std::size_t>(table.records) * table.variables);
    for (int k = 0; k < table.variables; ++k)
        for (int r = 0; r < table.records; ++r) {
            const float v = data.fields[static_cast<std::size_t>(k)].floats[static_cast<std::size_t>(r)];
            table.at(r, k) = (v == missing || !std::isfinite(v)) ? std::numeric_limits<double>::quiet_NaN() : v;
        }
    return table;
}

std::vector<int> training_rows(const Table& table, bool train_all)
{
    std::vector<int> rows;
    for (int r = 0; r < table.records; ++r) {
        int present = 0;
        for (int k = 0; k < table.variables; ++k) present += std::isnan(table.at(r, k)) ? 0 : 1;
        if (train_all ? present > 0 : present == table.variables) rows.push_back(r);
    }
    return rows;
}

// The spread of a unit is the root mean square distance (in the map's
// metric) between its training records and its prototype, leaving out the
// records farther than `outlying` times the median distance so that a few
// wild values in a unit do not hide each other.  Kept as sums of squared
// distances, counts and the distance limit per layer and unit.
constexpr double outlying = 3.0;

struct Spreads {
    std::vector<std::vector<double>> squares;
    std::vector<std::vector<int>> counts;
    std::vector<std::vector<double>> limits;
};

Spreads measure_spreads(const Tssom& map, const Table& table)
{
    Spreads s;
    for (int layer = 0; layer < map.layers(); ++layer) {
        const std::size_t n = static_cast<std::size_t>(map.units(layer));
        s.squares.emplace_back(n, 0.0);
        s.counts.emplace_back(n, 0);
        s.limits.emplace_back(n, 0.0);
        for (int unit = 0; unit < map.units(layer); ++unit) {
            std::vector<double> distances;
            for (int r : map.members(layer, unit)) distances.push_back(map.squared_distance(table.row(r), layer, unit));
            if (distances.empty()) continue;
            std::vector<double> sorted = distances;
            const auto middle = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
            std::nth_element(sorted.begin(), middle, sorted.end());
            const double limit = outlying * outlying * *middle;  // on squared distances
            s.limits.back()[static_cast<std::size_t>(unit)] = limit;
            for (double d : distances)
                if (d <= limit) {
                    s.squares.back()[static_cast<std::size_t>(unit)] += d;
                    s.counts.back()[static_cast<std::size_t>(unit)] += 1;
                }
        }
    }
    return s;
}

bool is_member(const Tssom& map, int layer, int unit, int row)
{
    const auto& members = map.members(layer, unit);
    return std::binary_search(members.begin(), members.end(), row);
}

// The error probability of value k of record r (see the head of the file).
// The unit is the record's unit in the donor layer; a unit with fewer
// other records than asked, or no spread, gives way to its parent.
double error_probability(const Tssom& map, const Spreads& spreads, const Table& table, const Parameters& p,
                         const VariableSettings& v, int r, int k, const std::vector<int>& path)
{
    const double x = table.at(r, k);
    double z = 0.0;
    for (int layer = p.donor_layer; layer >= 0; --layer) {
        const int unit = path[static_cast<std::size_t>(layer)];
        double squares = spreads.squares[static_cast<std::size_t>(layer)][static_cast<std::size_t>(unit)];
        int count = spreads.counts[static_cast<std::size_t>(layer)][static_cast<std::size_t>(unit)];
        const double own = map.squared_distance(table.row(r), layer, unit);
        const double limit = spreads.limits[static_cast<std::size_t>(layer)][static_cast<std::size_t>(unit)];
        if (is_member(map, layer, unit, r) && own <= limit) {  // a value is not its own witness
            squares -= own;
            count -= 1;
        }
        if (count < std::max(2, p.least_spread_records) || !(squares > 0.0)) continue;
        const double spread = std::sqrt(squares / (count - 1));
        const double deviation = std::fabs(x - map.prototype(layer, unit)[k]) * std::sqrt(map.weight(k));
        z = deviation / (p.spread_multiplier * spread);
        break;
    }
    if (std::isinf(z)) return 1.0;
    const double exponent = std::log((1.0 - v.prior) / v.prior) + (v.threshold * v.threshold - z * z) / 2.0;
    if (exponent > 700.0) return 0.0;
    return 1.0 / (1.0 + std::exp(exponent));
}

// A donor's value for variable k, drawn among the training records of the
// record's unit that hold an acceptable value; the search moves up a layer
// while the unit has none.  False when no layer has one.
bool draw_donor(const Tssom& map, const Table& table, const std::vector<std::vector<bool>>& flagged, int k,
                const std::vector<int>& path, int from_layer, Generator& generator, double& value)
{
    std::vector<int> pool;
    for (int layer = from_layer; layer >= 0; --layer) {
        pool.clear();
        for (int d : map.members(layer, path[static_cast<std::size_t>(layer)]))
            if (!std::isnan(table.at(d, k)) && !flagged[static_cast<std::size_t>(d)][static_cast<std::size_t>(k)])
                pool.push_back(d);
        if (pool.empty()) continue;
        value = table.at(pool[static_cast<std::size_t>(draw_below(generator, static_cast<int>(pool.size())))], k);
        return true;
    }
    return false;
}

Frame rows_frame(const std::vector<int>& rows, const std::vector<std::vector<float>>& columns)
{
    Frame frame;
    frame.put(int_field("row", rows));
    for (std::size_t k = 0; k < columns.size(); ++k) frame.put(float_field("var" + std::to_string(k + 1), columns[k]));
    return frame;
}

int run(Store& store, bool edit, const std::vector<std::string>& numbers, std::string& reply)
{
    store.erase("output");
    store.erase("errors");
    const Parameters p = read_parameters(edit, numbers);
    const Table table = read_data(store, p.missing);
    const std::vector<VariableSettings> settings = read_selection(store, table.variables);
    const std::vector<int> rows = training_rows(table, p.train_all);
    if (rows.empty()) throw Failure{KRT_ERR_NO_TRAINING, "no record to train the map on"};

    Tssom map(p.training.dim, p.training.layers);
    map.train(table, rows, p.training);
    Generator generator(p.training.seed ^ 0x9e3779b97f4a7c15ULL);

    const std::size_t n = static_cast<std::size_t>(table.records);
    const std::size_t m = static_cast<std::size_t>(table.variables);
    std::vector<std::vector<bool>> flagged(n, std::vector<bool>(m, false));
    std::vector<int> error_rows;
    std::vector<std::vector<float>> probabilities(m);
    if (edit) {
        const Spreads spreads = measure_spreads(map, table);
        for (int r = 0; r < table.records; ++r) {
            const std::vector<int> path = map.path(table.row(r), {});
            std::vector<double> row_p(m, 0.0);
            bool any = false;
            for (int k = 0; k < table.variables; ++k) {
                const VariableSettings& v = settings[static_cast<std::size_t>(k)];
                if (!v.edit || std::isnan(table.at(r, k))) continue;
                row_p[static_cast<std::size_t>(k)] = error_probability(map, spreads, table, p, v, r, k, path);
                if (row_p[static_cast<std::size_t>(k)] > 0.5) {
                    any = true;
                    flagged[static_cast<std::size_t>(r)][static_cast<std::size_t>(k)] = v.impute && p.impute_flagged;
                }
            }
            if (!any) continue;
            error_rows.push_back(r);
            for (std::size_t k = 0; k < m; ++k) probabilities[k].push_back(static_cast<float>(row_p[k]));
        }
    }

    // Imputation: missing values of IMP_NRAND variables (impute.cmd, and
    // edit.cmd when it imputes) and values found erroneous.
    const bool imputes = !edit || p.impute_flagged;
    std::vector<int> changed_rows;
    std::vector<std::vector<float>> changed(m);
    bool left_missing = false;
    for (int r = 0; imputes && r < table.records; ++r) {
        std::vector<double> after(table.row(r), table.row(r) + m);
        std::vector<bool> mask(m, false);
        bool wanted = false;
        int usable = 0;
        for (std::size_t k = 0; k < m; ++k) {
            const bool to_fill = settings[k].impute && (std::isnan(after[k]) || flagged[static_cast<std::size_t>(r)][k]);
            mask[k] = flagged[static_cast<std::size_t>(r)][k];
            wanted = wanted || to_fill;
            usable += (!std::isnan(after[k]) && !mask[k]) ? 1 : 0;
        }
        if (!wanted) continue;
        // A record without a usable value has no unit below the top.
        const std::vector<int> path = map.path(table.row(r), mask);
        const int from_layer = usable > 0 ? p.donor_layer : 0;
        bool any = false;
        for (std::size_t k = 0; k < m; ++k) {
            if (!settings[k].impute || !(std::isnan(after[k]) || mask[k])) continue;
            double value = 0.0;
            if (draw_donor(map, table, flagged, static_cast<int>(k), path, from_layer, generator, value)) {
                after[k] = value;
                any = true;
            } else {
                left_missing = true;
            }
        }
        if (!any) continue;
        changed_rows.push_back(r);
        for (std::size_t k = 0; k < m; ++k)
            changed[k].push_back(std::isnan(after[k]) ? p.missing : static_cast<float>(after[k]));
    }

    store["output"] = rows_frame(changed_rows, changed);
    if (edit) store["errors"] = rows_frame(error_rows, probabilities);
    reply = std::to_string(changed_rows.size()) + " records changed";
    if (edit) reply += ", " + std::to_string(error_rows.size()) + " records with an error probability above 1/2";
    if (left_missing) reply += "; some values had no donor and stay missing";
    return left_missing ? KRT_RESULT_NOTE : 0;
}

}  // namespace

int run_script(Store& store, const std::string& script, const std::vector<std::string>& numbers, std::string& reply)
{
    if (script != "impute.cmd" && script != "edit.cmd") {
        reply = "no script " + script;
        return KRT_ERR_COMMAND;
    }
    try {
        return run(store, script == "edit.cmd", numbers, reply);
    } catch (const Failure& failure) {
        reply = failure.reply;
        return failure.code;
    }
}

}  // namespace krt
