// kest tree: grows a WAID, Gini or ANOVA tree that predicts one variable of
// a data set from chosen predictors, prints it as an indented outline, and
// can save it, load a saved tree in its place, and write the tree's
// predictions for the variable's missing cells into the data file with
// status Imputed.
//
// The trees take categories as 1 .. k, so a categorical variable reaches
// them as the place of its code in the variable's code list, and the
// outline and the imputed cells turn places back into codes.  A tree is
// grown on the records that have the variable and every predictor; its
// split variables are then renumbered as columns of the data set, so that
// a saved tree scores the data set it was grown on, or another with the
// same variables.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audit.h"
#include "cell_status.h"
#include "command.h"
#include "csv.h"
#include "options.h"
#include "records.h"
#include "lock.h"

namespace kest_cli {

namespace {

constexpr std::string_view tree_usage =
    "usage: kest tree DATAFILE --dep VAR [options]\n"
    "\n"
    "Grows a tree that predicts the variable VAR from other variables of a data\n"
    "set, on the records that have VAR and every predictor, and prints it as an\n"
    "outline: per node its condition (split variable and threshold, or the\n"
    "category codes of its group), its records, its value and its spread.  A\n"
    "WAID tree (robust weights) and an ANOVA tree (sum of squares) predict a\n"
    "mean; a Gini tree predicts the class of a categorical variable, and its\n"
    "spread is the share of the majority class.\n"
    "\n"
    "options:\n"
    "  --kind KIND            waid, gini or anova (default: waid)\n"
    "  --dep VAR              the variable to predict (required)\n"
    "  --predictors A,B,...   variables the tree may split on (default: every\n"
    "                         other variable but the weight)\n"
    "  --min-node N           fewest records of a node that is split, 2 or\n"
    "                         more (default: 20)\n"
    "  --min-child N          fewest records of each child, at most half of\n"
    "                         --min-node (default: 7, or half of --min-node\n"
    "                         when that is less)\n"
    "  --min-improvement X    gini: least decrease of impurity per record;\n"
    "                         anova: least share of a node's sum of squares a\n"
    "                         split must explain; 0 to 1 (default: 0)\n"
    "  --priors P1,P2,...     gini: weights of the classes in the order of the\n"
    "                         codes, 0 or more, adding up to exactly 1\n"
    "                         (default: every class weighs 1)\n"
    "  --weight VAR           anova: numeric variable of case weights\n"
    "  --scheme SCHEME        waid: none, sine, biweight or huber (default:\n"
    "                         biweight)\n"
    "  --maxit N              waid: most passes of the weighting (default: 50)\n"
    "  --tuning X             waid: tuning constant, 0 or more (default: 4.685)\n"
    "  --tol X                waid: tolerance of the weighting, 0 or more\n"
    "                         (default: 0.0001)\n"
    "  --depth N              print the outline down to depth N (default: all)\n"
    "  --values WHICH         the values the tree is grown on: observed, the\n"
    "                         cells marked Valid or Validn (default), or all,\n"
    "                         every cell that holds a number whatever its\n"
    "                         status; --impute fills only Missing cells\n"
    "  --save FILE            write the tree to FILE, and the names and kinds of\n"
    "                         its variables to FILE.variables.csv beside it\n"
    "  --load FILE            use the tree saved in FILE instead of growing one;\n"
    "                         the options of growing do not apply; a data set\n"
    "                         whose variables at the tree's columns have other\n"
    "                         names or kinds than FILE.variables.csv records is\n"
    "                         refused\n"
    "  --impute               write the tree's predictions for the missing cells\n"
    "                         of VAR into the data file with status Imputed\n"
    "  --method METHOD        what --impute writes: value (the leaf's mean or\n"
    "                         class), mode (the leaf's modal code; waid and\n"
    "                         anova trees of a categorical VAR) or donor (the\n"
    "                         value of a random record of the leaf); donor also\n"
    "                         makes a grown tree keep its records' values, so\n"
    "                         that it can impute by donor once saved (default:\n"
    "                         value; mode for a categorical VAR of a waid or\n"
    "                         anova tree)\n"
    "  --seed N               seed of the random draws of donor and of records\n"
    "                         whose category a split never saw (default: 1)\n"
    "  --schema FILE          schema of the data file (default: the one the data\n"
    "                         file names, looked up beside the data file first)\n"
    "  --stylesheet FILE      stylesheet the rewritten data file names (default:\n"
    "                         the one the data file names, found the same way)\n";

constexpr KnownOption tree_options[] = {
    {"--kind"},    {"--dep"},    {"--predictors"}, {"--min-node"}, {"--min-child"}, {"--min-improvement"},
    {"--priors"},  {"--weight"}, {"--scheme"},     {"--maxit"},    {"--tuning"},    {"--tol"},
    {"--depth"},   {"--save"},   {"--load"},       {"--method"},   {"--seed"},      {"--schema"},
    {"--stylesheet"}, {"--values"}};
constexpr std::string_view impute_switch = "--impute";

// Options that only growing a tree reads.
constexpr std::string_view growing_options[] = {"--kind",   "--predictors", "--min-node", "--min-child",
                                                "--min-improvement", "--priors", "--weight", "--scheme",
                                                "--maxit",  "--tuning",     "--tol",       "--values"};

enum class Kind { waid, gini, anova };
enum class Method { value = 1, mode = 2, donor = 3 };

struct Settings {
    std::string data_file, schema, stylesheet;
    Kind kind = Kind::waid;
    std::string dep;
    std::vector<std::string> predictors;  // empty: every other variable
    int min_node = 20, min_child = 7;
    double min_improvement = 0.0;
    std::vector<double> priors;  // empty: none
    std::string weight;          // empty: none
    int scheme = 3, maxit = 50;
    double tuning = 4.685, tol = 0.0001;
    int depth = INT_MAX;
    std::string save, load;
    bool impute = false;
    std::optional<Method> method;  // unset: the default of the tree and variable
    int seed = 1;
    ValuesUsed values = ValuesUsed::observed;
};

template <class T>
T choose(std::string_view given, std::string_view option, std::initializer_list<std::pair<std::string_view, T>> known)
{
    std::string names;
    for (const auto& [name, value] : known) {
        if (name == given) return value;
        names += (names.empty() ? "" : ", ") + std::string(name);
    }
    throw UsageError(std::string(option) + " must be one of " + names + ", not '" + std::string(given) + "'");
}

double at_least_zero(const std::string& text, std::string_view option)
{
    const double value = parse_real(text, option);
    if (!(value >= 0)) throw UsageError(std::string(option) + " must be 0 or more, not '" + text + "'");
    return value;
}

Settings parse_settings(std::span<const std::string> args)
{
    Settings s;
    const std::vector<std::string> rest = take_switch(args, impute_switch, tree_options, s.impute);
    const ParsedArgs parsed = parse_args(rest, tree_options);
    s.data_file = parsed.the_one("data file");
    const std::string* dep = parsed.value("--dep");
    if (dep == nullptr || dep->empty()) throw UsageError("no variable to predict given: use --dep VAR");
    s.dep = *dep;
    if (const std::string* v = parsed.value("--load")) {
        s.load = *v;
        for (std::string_view option : growing_options)
            if (parsed.has(option)) throw UsageError(std::string(option) + " applies only to growing a tree, not to --load");
    }
    if (const std::string* v = parsed.value("--kind"))
        s.kind = choose<Kind>(*v, "--kind", {{"waid", Kind::waid}, {"gini", Kind::gini}, {"anova", Kind::anova}});
    if (const std::string* v = parsed.value("--predictors")) s.predictors = split(*v, ',');
    if (const std::string* v = parsed.value("--min-node"))
        s.min_node = static_cast<int>(parse_whole(*v, "--min-node", 2, INT_MAX));
    s.min_child = std::min(s.min_child, s.min_node / 2);
    if (const std::string* v = parsed.value("--min-child"))
        s.min_child = static_cast<int>(parse_whole(*v, "--min-child", 1, INT_MAX));
    if (s.min_child > s.min_node / 2)
        throw UsageError("--min-child " + std::to_string(s.min_child) + " is more than half of --min-node " +
                         std::to_string(s.min_node));
    const auto only_for = [&](std::string_view option, Kind kind, std::string_view name) {
        if (parsed.has(option) && s.kind != kind)
            throw UsageError(std::string(option) + " applies only to --kind " + std::string(name));
    };
    only_for("--priors", Kind::gini, "gini");
    only_for("--weight", Kind::anova, "anova");
    for (std::string_view option : {"--scheme", "--maxit", "--tuning", "--tol"}) only_for(option, Kind::waid, "waid");
    if (parsed.has("--min-improvement") && s.kind == Kind::waid)
        throw UsageError("--min-improvement applies only to --kind gini and anova");
    if (const std::string* v = parsed.value("--min-improvement")) {
        s.min_improvement = parse_real(*v, "--min-improvement");
        if (!(s.min_improvement >= 0 && s.min_improvement <= 1))
            throw UsageError("--min-improvement must be from 0 to 1, not '" + *v + "'");
    }
    if (const std::string* v = parsed.value("--priors"))
        for (const std::string& part : split(*v, ',')) s.priors.push_back(at_least_zero(part, "a prior of --priors"));
    if (const std::string* v = parsed.value("--weight")) s.weight = *v;
    if (const std::string* v = parsed.value("--scheme"))
        s.scheme = choose<int>(*v, "--scheme", {{"none", 1}, {"sine", 2}, {"biweight", 3}, {"huber", 4}});
    if (const std::string* v = parsed.value("--maxit")) s.maxit = static_cast<int>(parse_whole(*v, "--maxit", 1, INT_MAX));
    if (const std::string* v = parsed.value("--tuning")) s.tuning = at_least_zero(*v, "--tuning");
    if (const std::string* v = parsed.value("--tol")) s.tol = at_least_zero(*v, "--tol");
    if (const std::string* v = parsed.value("--depth")) s.depth = static_cast<int>(parse_whole(*v, "--depth", 0, INT_MAX));
    if (const std::string* v = parsed.value("--save")) s.save = *v;
    if (const std::string* v = parsed.value("--method"))
        s.method = choose<Method>(*v, "--method", {{"value", Method::value}, {"mode", Method::mode}, {"donor", Method::donor}});
    if (const std::string* v = parsed.value("--seed"))
        s.seed = static_cast<int>(parse_whole(*v, "--seed", INT_MIN, INT_MAX));
    if (const std::string* v = parsed.value("--schema")) s.schema = *v;
    if (const std::string* v = parsed.value("--stylesheet")) s.stylesheet = *v;
    s.values = values_used(parsed.value("--values"));
    return s;
}

// ---------------------------------------------------------------------------
// Trees

struct TreeRelease {
    void operator()(TreeNode* t) const { tree_free(t); }
};
using Tree = std::unique_ptr<TreeNode, TreeRelease>;

std::string_view kind_name(Kind kind)
{
    return kind == Kind::waid ? "waid" : kind == Kind::gini ? "gini" : "anova";
}

// Visits every node with its depth (the root at 0) in pre-order, without
// recursion: trees may be deep.
template <class Visit>
void walk(TreeNode* root, Visit&& visit)
{
    std::vector<std::pair<TreeNode*, int>> stack{{root, 0}};
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        visit(node, depth);
        if (node->split_var == -1 || node->left == nullptr || node->right == nullptr) continue;
        stack.push_back({node->right, depth + 1});
        stack.push_back({node->left, depth + 1});
    }
}

// The place (1 .. k) of a value's code in a categorical variable's code
// list; values are matched to codes after rounding half up.
std::optional<int> category_place(const Variables& v, int j, double value)
{
    const double rounded = std::floor(value + 0.5);
    if (!(rounded >= INT_MIN && rounded <= INT_MAX)) return std::nullopt;
    const int* codes = v.code_row(j);
    const int k = v.ncat[static_cast<std::size_t>(j)];
    const int* at = std::find(codes, codes + k, static_cast<int>(rounded));
    if (at == codes + k) return std::nullopt;
    return static_cast<int>(at - codes) + 1;
}

// A cell as the trees take it: the value of a numeric variable, the place
// of a categorical one's code; nothing when it is missing or not a code.
std::optional<double> tree_value(const Records& rec, int r, int j)
{
    const double value = rec.at(r, j);
    if (value == missing_code) return std::nullopt;
    if (!rec.vars.categorical(j)) return value;
    const std::optional<int> place = category_place(rec.vars, j, value);
    if (!place) return std::nullopt;
    return static_cast<double>(*place);
}

int code_at(const Variables& v, int j, int place) { return v.code_row(j)[place - 1]; }

std::string number(double x)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", x);
    return text;
}

// ---------------------------------------------------------------------------
// Growing

struct Problem {
    Kind kind;
    int dep;
    int weight = -1;
    std::vector<int> predictors;
};

std::vector<int> predictor_columns(const Settings& s, const Variables& v, int dep, int weight)
{
    std::vector<int> chosen;
    if (s.predictors.empty()) {
        for (int j = 0; j < v.count(); ++j)
            if (j != dep && j != weight) chosen.push_back(j);
        if (chosen.empty()) throw UsageError("the data set has no variable besides '" + s.dep + "' to predict it from");
        return chosen;
    }
    for (const std::string& name : s.predictors) {
        if (name.empty()) throw UsageError("--predictors holds an empty name");
        const int j = variable_index(v, name, "the predictor");
        if (j == dep) throw UsageError("the predictor '" + name + "' is the variable to predict");
        if (j == weight) throw UsageError("the predictor '" + name + "' is the weight variable");
        if (std::find(chosen.begin(), chosen.end(), j) != chosen.end())
            throw UsageError("the predictor '" + name + "' is given twice");
        chosen.push_back(j);
    }
    return chosen;
}

// The records a tree is grown on: those with every column of the tree, as
// a matrix of those columns in the order predictors, variable, weight.
struct Training {
    std::vector<int> columns;
    std::vector<double> matrix;
    std::vector<int> ncat;
    int rows = 0;
    int left_out = 0;
};

Training training_of(const Records& rec, const Problem& p)
{
    Training t;
    t.columns = p.predictors;
    t.columns.push_back(p.dep);
    if (p.weight >= 0) t.columns.push_back(p.weight);
    for (int j : t.columns) t.ncat.push_back(rec.vars.categorical(j) ? rec.vars.ncat[static_cast<std::size_t>(j)] : 0);
    std::vector<double> row(t.columns.size());
    for (int r = 0; r < rec.count; ++r) {
        bool complete = true;
        for (std::size_t c = 0; c < t.columns.size() && complete; ++c) {
            const std::optional<double> value = tree_value(rec, r, t.columns[c]);
            if (value) row[c] = *value;
            complete = value.has_value();
        }
        if (!complete) {
            ++t.left_out;
            continue;
        }
        t.matrix.insert(t.matrix.end(), row.begin(), row.end());
        ++t.rows;
    }
    return t;
}

std::string describe_growing(Kind kind, int code)
{
    if (code == KEST_ERR_NO_MEMORY) return "out of memory";
    if (kind == Kind::gini && code == 11) return "the priors must be 0 or more and add up to exactly 1";
    return "the " + std::string(kind_name(kind)) + " tree could not be grown (code " + std::to_string(code) + ")";
}

Tree grow(const Settings& s, const Records& rec, const Problem& p, Method method)
{
    const Training t = training_of(rec, p);
    const std::string& name = s.dep;
    if (t.rows < 2)
        throw DataSetFailure{"fewer than two records have " + name + " and every predictor; no tree can be grown"};
    if (s.min_node > t.rows)
        throw DataSetFailure{"--min-node " + std::to_string(s.min_node) + " is more than the " + std::to_string(t.rows) +
                             " records that have " + name + " and every predictor"};
    if (t.left_out > 0)
        std::cerr << "kest tree: " << t.left_out << " record(s) that lack "
                  << (s.values == ValuesUsed::observed ? "an observed value of " : "") << name
                  << " or a predictor (or hold a value that is not one of its codes) were left out\n";

    const int num_vars = static_cast<int>(t.columns.size());
    const int np = static_cast<int>(p.predictors.size());
    std::vector<int> selected(static_cast<std::size_t>(np));
    for (int i = 0; i < np; ++i) selected[static_cast<std::size_t>(i)] = i;
    const int keep = method == Method::donor ? 1 : 0;
    TreeNode* grown = nullptr;
    int error[2] = {0, 0};
    switch (p.kind) {
    case Kind::waid: {
        std::vector<double> rec_weights(static_cast<std::size_t>(t.rows));
        waid_tree(0, num_vars, t.rows, t.rows, t.matrix.data(), nullptr, np, selected.data(), np, s.scheme,
                  rec_weights.data(), t.ncat.data(), s.tol, s.maxit, s.tuning, s.min_node, s.min_child, keep, &grown,
                  error);
        break;
    }
    case Kind::gini:
        gini_tree(0, num_vars, t.rows, t.rows, t.matrix.data(), nullptr, np, selected.data(), np, t.ncat.data(),
                  s.priors.empty() ? nullptr : s.priors.data(), s.min_node, s.min_child, s.min_improvement, keep,
                  &grown, error);
        break;
    case Kind::anova:
        anova_tree(0, num_vars, t.rows, t.rows, t.matrix.data(), nullptr, np, selected.data(), np,
                   p.weight >= 0 ? np + 1 : -1, t.ncat.data(), s.min_node, s.min_child, s.min_improvement, keep,
                   &grown, error);
        break;
    }
    if (error[0] > 0) throw DataSetFailure{describe_growing(p.kind, error[0])};
    if (error[0] == KEST_WARN_NOT_CONVERGED)
        std::cerr << "kest tree: the weighting did not settle within --maxit " << s.maxit << " passes in some nodes\n";
    Tree tree(grown);
    // Split variables as columns of the data set.
    walk(tree.get(), [&](TreeNode* node, int) {
        if (node->split_var >= 0) node->split_var = t.columns[static_cast<std::size_t>(node->split_var)];
    });
    return tree;
}

// ---------------------------------------------------------------------------
// Loading

// A saved tree must split on variables of this data set, as they are: a
// categorical variable with as many codes as the split has directions.
void check_fits(TreeNode* root, const Records& rec, int dep, const std::string& file)
{
    const Variables& v = rec.vars;
    const auto refuse = [&](const std::string& why) {
        return DataSetFailure{"the tree in '" + file + "' does not fit the data set: " + why};
    };
    if (root->kind == 2 && !v.categorical(dep))
        throw refuse("it predicts a class, but '" + v.names[static_cast<std::size_t>(dep)] + "' is not categorical");
    walk(root, [&](TreeNode* node, int) {
        if (node->split_var == -1) return;
        if (node->split_var >= v.count())
            throw refuse("it splits on column " + std::to_string(node->split_var + 1) + " of only " +
                         std::to_string(v.count()));
        const std::string& name = v.names[static_cast<std::size_t>(node->split_var)];
        const int k = v.ncat[static_cast<std::size_t>(node->split_var)];
        if (node->split_size != k)
            throw refuse("it splits on '" + name + "' " +
                         (node->split_size == 0 ? std::string("as a numeric variable")
                                                : "with " + std::to_string(node->split_size) + " categories") +
                         ", which " + (k == 0 ? std::string("is numeric") : "has " + std::to_string(k) + " codes"));
    });
}

// The tree file holds split variables as column numbers only; the file
// beside it records which variables they were, so that a data set whose
// columns were reordered is refused instead of split on the wrong variable.
// Its lines: "role,column,name,kind" and then one line per variable the
// tree was grown from, role predictor, dependent or weight, the column
// counted from 1, kind numeric or categorical.
std::string variables_file(const std::string& tree_file) { return tree_file + ".variables.csv"; }

std::string kind_text(const Variables& v, int j) { return v.categorical(j) ? "categorical" : "numeric"; }

void save_variables(const std::string& tree_file, const Variables& v, const Problem& p)
{
    std::string text = "role,column,name,kind\n";
    const auto line = [&](const char* role, int j) {
        text += std::string(role) + "," + std::to_string(j + 1) + "," + csv_field(v.names[static_cast<std::size_t>(j)]) +
                "," + kind_text(v, j) + "\n";
    };
    for (int j : p.predictors) line("predictor", j);
    line("dependent", p.dep);
    if (p.weight >= 0) line("weight", p.weight);
    const std::string path = variables_file(tree_file);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw DataSetFailure{"cannot write '" + path + "', which records the tree's variables"};
}

// Every variable recorded beside the tree must be at its column, with its
// name and kind.  A tree saved without the record is taken as it is.
void check_variables(const std::string& tree_file, const Variables& v)
{
    const std::string path = variables_file(tree_file);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "kest tree: there is no '" << path << "' recording the tree's variables; its columns are taken "
                  << "as they are in the data set\n";
        return;
    }
    CsvReader reader(in, CsvDialect{});
    CsvRecord record;
    const auto refuse = [&](const std::string& why) {
        return DataSetFailure{"the tree in '" + tree_file + "' does not fit the data set: " + why};
    };
    try {
        reader.next(record);
        while (reader.next(record)) {
            if (record.blank()) continue;
            if (record.fields.size() != 4) throw DataSetFailure{"line " + std::to_string(record.line) + " of '" + path + "' does not hold 4 fields"};
            const long column = [&] {
                try {
                    return static_cast<long>(parse_whole(record.fields[1].text, "the column", 1, INT_MAX));
                } catch (const UsageError&) {
                    throw DataSetFailure{"line " + std::to_string(record.line) + " of '" + path + "' holds no column number"};
                }
            }();
            const std::string& name = record.fields[2].text;
            const std::string& kind = record.fields[3].text;
            if (column > v.count())
                throw refuse("its " + record.fields[0].text + " '" + name + "' was column " + std::to_string(column) +
                             ", but the data set has " + std::to_string(v.count()) + " variables");
            const int j = static_cast<int>(column - 1);
            const std::string& here = v.names[static_cast<std::size_t>(j)];
            if (here != name)
                throw refuse("its " + record.fields[0].text + " '" + name + "' was column " + std::to_string(column) +
                             ", which is '" + here + "' here");
            if (kind_text(v, j) != kind)
                throw refuse("its " + record.fields[0].text + " '" + name + "' was " + kind + ", but is " + kind_text(v, j) +
                             " here");
        }
    } catch (const CsvError& e) {
        throw DataSetFailure{"line " + std::to_string(e.line) + " of '" + path + "': " + e.message};
    }
}

Tree load(const std::string& file)
{
    TreeNode* root = nullptr;
    int error[2] = {0, 0};
    tree_load(&root, file.c_str(), error);
    if (error[0] == KEST_ERR_NO_MEMORY) throw DataSetFailure{"out of memory"};
    if (error[0] > 0 || root == nullptr)
        throw DataSetFailure{"'" + file + "' cannot be read as a tree file (it is missing, damaged or of another kind)"};
    return Tree(root);
}

// ---------------------------------------------------------------------------
// The outline

struct Outline {
    const Variables& vars;
    int dep;

    // A node's value: a class or a modal category as its code.
    std::string value_of(const TreeNode& node) const
    {
        const bool categorical = vars.categorical(dep);
        const int k = vars.ncat[static_cast<std::size_t>(dep)];
        if (node.kind == 2) {
            const int place = static_cast<int>(node.value);
            if (categorical && place >= 1 && place <= k) return "class " + std::to_string(code_at(vars, dep, place));
            return "class " + number(node.value);
        }
        std::string text = "value " + number(node.value);
        if (categorical && node.int_count >= 1 && node.int_count <= k)
            text += ", mode " + std::to_string(code_at(vars, dep, node.int_count));
        return text;
    }

    // The codes of a split variable whose direction is the one given.
    std::string group(const TreeNode& parent, double direction) const
    {
        std::string codes;
        for (int c = 1; c <= parent.split_size; ++c)
            if (parent.split_values[c - 1] == direction)
                codes += (codes.empty() ? "" : ", ") + std::to_string(code_at(vars, parent.split_var, c));
        return "{" + codes + "}";
    }

    std::string condition(const TreeNode& node) const
    {
        const TreeNode& parent = *node.parent;
        const std::string& name = vars.names[static_cast<std::size_t>(parent.split_var)];
        const bool left = parent.left == &node;
        if (parent.split_size == 0) return name + (left ? " <= " : " > ") + number(parent.split_values[0]);
        return name + " in " + group(parent, left ? -1.0 : 1.0);
    }

    void print(TreeNode* root, int max_depth) const
    {
        walk(root, [&](TreeNode* node, int depth) {
            if (depth > max_depth) return;
            std::cout << std::string(static_cast<std::size_t>(2 * depth), ' ')
                      << (node->parent == nullptr ? std::string("all records") : condition(*node)) << ": "
                      << node->count << " records, " << value_of(*node) << ", spread " << number(node->spread)
                      << "\n";
        });
    }
};

struct Shape {
    long nodes = 0, leaves = 0;
    int depth = 0;
};

Shape shape_of(TreeNode* root)
{
    Shape s;
    walk(root, [&](TreeNode* node, int depth) {
        ++s.nodes;
        if (node->split_var == -1) ++s.leaves;
        s.depth = std::max(s.depth, depth);
    });
    return s;
}

// ---------------------------------------------------------------------------
// Imputing

struct Imputed {
    std::vector<Cell> cells;
    long not_scored = 0;  // records that lack a value the tree splits on
};

Imputed predict(const Records& rec, TreeNode* tree, int dep, Method method, int seed)
{
    std::vector<int> split_columns;
    walk(tree, [&](TreeNode* node, int) {
        if (node->split_var >= 0 && std::find(split_columns.begin(), split_columns.end(), node->split_var) == split_columns.end())
            split_columns.push_back(node->split_var);
    });
    const int nv = rec.vars.count();
    Imputed out;
    std::vector<int> records;
    std::vector<double> matrix;
    std::vector<double> row(static_cast<std::size_t>(nv));
    for (int r = 0; r < rec.count; ++r) {
        if (rec.at(r, dep) != missing_code) continue;
        std::fill(row.begin(), row.end(), 0.0);  // columns the tree does not read
        bool complete = true;
        for (int j : split_columns) {
            const std::optional<double> value = tree_value(rec, r, j);
            if (!value) {
                complete = false;
                break;
            }
            row[static_cast<std::size_t>(j)] = *value;
        }
        if (!complete) {
            ++out.not_scored;
            continue;
        }
        records.push_back(r);
        matrix.insert(matrix.end(), row.begin(), row.end());
    }
    if (records.empty()) return out;
    // The scorer takes at least two records: a single one is scored twice.
    const int rows = std::max<int>(2, static_cast<int>(records.size()));
    if (records.size() == 1) {
        const std::vector<double> once = matrix;
        matrix.insert(matrix.end(), once.begin(), once.end());
    }
    std::vector<double> values(static_cast<std::size_t>(rows)), spreads(static_cast<std::size_t>(rows));
    RandState state{};
    set_rand_seed(seed, &state);
    int error[2] = {0, 0};
    tree_score(0, nv, rows, rows, matrix.data(), nullptr, tree, 1, static_cast<int>(method), &state, values.data(),
               spreads.data(), error);
    if (error[0] == 4 && method == Method::donor)
        throw DataSetFailure{"a leaf of the tree holds a single record, from which --method donor cannot draw"};
    if (error[0] > 0) throw DataSetFailure{"scoring with the tree failed (code " + std::to_string(error[0]) + ")"};
    const bool categorical = rec.vars.categorical(dep);
    const int k = rec.vars.ncat[static_cast<std::size_t>(dep)];
    for (std::size_t i = 0; i < records.size(); ++i) {
        double value = values[i];
        if (categorical) {
            const int place = static_cast<int>(value);
            if (place < 1 || place > k || place != value) {
                ++out.not_scored;
                continue;
            }
            value = code_at(rec.vars, dep, place);
        }
        out.cells.push_back(Cell{records[i], dep, value});
    }
    return out;
}

// The method of imputation, checked against the tree and the variable.
Method method_for(const Settings& s, int kind, bool keep, bool categorical)
{
    const Method method = s.method.value_or(kind == 1 && categorical ? Method::mode : Method::value);
    if (method == Method::mode && (kind == 2 || !categorical))
        throw UsageError("--method mode needs a waid or anova tree of a categorical variable");
    if (method == Method::value && kind == 1 && categorical)
        throw UsageError("a waid or anova tree's value is a mean, not a code of '" + s.dep +
                         "': use --method mode or donor");
    if (method == Method::donor && !keep)
        throw DataSetFailure{"the tree in '" + s.load + "' keeps no values of its records, so it cannot impute by "
                             "donor; grow it with --method donor"};
    return method;
}

// ---------------------------------------------------------------------------
// The run

int run_tree(const Settings& s)
{
    const DataSetHold held = hold_data_set(s.data_file, s.schema, s.impute ? Access::change : Access::read);
    // The stylesheet is needed only to write the data file.
    const Records rec = read_records(s.data_file, s.schema, s.impute ? s.stylesheet : std::string("unused"));
    const int dep = variable_index(rec.vars, s.dep, "the variable to predict");
    std::optional<Problem> grown_for;
    const bool categorical = rec.vars.categorical(dep);

    Tree tree;
    if (!s.load.empty()) {
        tree = load(s.load);
        check_variables(s.load, rec.vars);
        check_fits(tree.get(), rec, dep, s.load);
    } else {
        Problem p{s.kind, dep, -1, {}};
        if (!s.weight.empty()) {
            p.weight = variable_index(rec.vars, s.weight, "the weight variable");
            if (rec.vars.categorical(p.weight)) throw UsageError("the weight variable '" + s.weight + "' is categorical");
            if (p.weight == dep) throw UsageError("the weight variable '" + s.weight + "' is the variable to predict");
        }
        if (s.kind == Kind::gini && !categorical)
            throw UsageError("a gini tree predicts a class: '" + s.dep + "' is not categorical");
        const int classes = rec.vars.ncat[static_cast<std::size_t>(dep)];
        if (!s.priors.empty() && static_cast<int>(s.priors.size()) != classes)
            throw UsageError("--priors gives " + std::to_string(s.priors.size()) + " priors for the " +
                             std::to_string(classes) + " codes of '" + s.dep + "'");
        p.predictors = predictor_columns(s, rec.vars, dep, p.weight);
        const int kind = s.kind == Kind::gini ? 2 : 1;
        // Grown on the values the user chose; predictions go only into
        // the Missing cells, which the full records tell.
        const FittingData fit = fitting_data(rec, s.values);
        tree = grow(s, fit.values, p, method_for(s, kind, true, categorical));
        grown_for = p;
    }

    // Checked before anything is printed or saved.
    const Method method = method_for(s, tree->kind, tree->keep == 1, categorical);
    const Shape shape = shape_of(tree.get());
    if (s.load.empty()) {
        std::cout << kind_name(s.kind) << " tree";
    } else {
        std::cout << (tree->kind == 2 ? "classification" : "regression") << " tree from " << s.load;
    }
    std::cout << " for " << s.dep << ": " << tree->count << " records, " << shape.nodes << " nodes, " << shape.leaves
              << " leaves, depth " << shape.depth << "\n";
    Outline{rec.vars, dep}.print(tree.get(), s.depth);

    if (!s.save.empty()) {
        int error[2] = {0, 0};
        tree_save(tree.get(), s.save.c_str(), error);
        if (error[0] > 0) throw DataSetFailure{"cannot write the tree file '" + s.save + "'"};
        if (grown_for) {
            save_variables(s.save, rec.vars, *grown_for);
        } else if (variables_file(s.load) != variables_file(s.save)) {
            // A loaded tree keeps the record of its variables.
            std::error_code ec;
            std::filesystem::remove(variables_file(s.save), ec);
            std::filesystem::copy_file(variables_file(s.load), variables_file(s.save), ec);
        }
        std::cout << "saved the tree to " << s.save << "\n";
    }
    if (!s.impute) return exit_ok;

    const Imputed imputed = predict(rec, tree.get(), dep, method, s.seed);
    const CellStates before = read_cell_states(rec);
    AuditLog log(rec.files.data);
    const long written = imputed.cells.empty() ? 0 : write_cells(rec, imputed.cells, KEST_STATUS_IMPUTED, "tree",
                                                                 "imputed values");
    const std::string source = method == Method::value ? "tree-value" : method == Method::mode ? "tree-mode" : "tree-donor";
    const bool logged =
        imputed.cells.empty() || log.record_changes(rec, before, [&](int, int) { return CellSource{source}; }, "tree");
    std::cout << "imputed " << written << " values of " << s.dep << " in " << s.data_file;
    if (imputed.not_scored > 0) std::cout << "; " << imputed.not_scored << " left missing (a value the tree splits on is missing)";
    std::cout << "\n";
    return written == static_cast<long>(imputed.cells.size()) && logged ? exit_ok : exit_failure;
}

int run(std::span<const std::string> args)
{
    return run_tree(parse_settings(args));
}

}  // namespace

const Command tree_command{"tree", "grow, print, save or load a WAID, Gini or ANOVA tree, and impute with it",
                           tree_usage, run};

}  // namespace kest_cli
